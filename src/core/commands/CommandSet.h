#pragma once

#include <cstdint>
#include <string>

#include "link/LinkResult.h"

class OutputWindow;
class ReaderLink;
class ReaderPort;

// The reader commands a user sends one at a time, in the order the commands page shows them.
enum class Command {
    Startup,
    Reset,
    Request,
    Anticollision,
    Select,
    LoadKey,
    Authenticate,
    Read,
    Write,
    Halt,
    MakeValueBlock,
    ReadValueBlock,
    Increment,
    Decrement,
    DecrementTransfer,
    Restore,
    Transfer,
    SetPort,
    Info,
};
inline constexpr int kCommandCount = static_cast<int>(Command::Info) + 1;

// What the commands take, remembered between them: each parameter dialog opens with the last
// entries and leaves its own back here.
struct CommandParameters {
    bool bHitag2 = false;
    // Anticollision's answer; what Select sends and wait-for-card accepts.
    uint32_t dwCardSerial = 0;
    uint32_t dwValue = 0;
    uint8_t nBlock = 0;
    uint8_t nKeySet = 0;
    uint8_t nKeyNumber = 0;
    uint8_t nValueAddress = 0;
    int nKeyType = 0;  // 0 key A, 1 key B
    // As typed, in hexadecimal.
    std::string strKey;
    std::string strBlockData;
    std::string strValue;
    std::string strValueAddress;
    // Set Port: the outputs as last chosen, and the mask sent.
    bool bBuzzerOn = false;
    bool bGreenLedOn = false;
    bool bRedLedOn = false;
    uint8_t byPortMask = 0;

    // The key mode byte: key B sets bit 2, the key set goes in bits 0-1.
    uint8_t KeyMode() const { return static_cast<uint8_t>((nKeyType == 1 ? 4 : 0) | (nKeySet & 3)); }
};

// Purges the port and sends command with parameters; Anticollision leaves the card's serial
// number in parameters. Each command writes its own status line into the trace.
LinkResult RunCommand(Command command, CommandParameters& parameters, ReaderPort& port, ReaderLink& link);

// The key loaded into key number 0 whenever the commands page comes to the front: six byte values
// counting up from this one.
inline constexpr uint8_t kDefaultKeyStart = 0xA0;
// Loads that key outside the trace and then traces into window in hexadecimal.
LinkResult LoadDefaultKey(ReaderPort& port, ReaderLink& link, OutputWindow* window);
