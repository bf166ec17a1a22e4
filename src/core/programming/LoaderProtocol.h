#pragma once

#include <cstdint>
#include <string>

#include "link/ByteBuffer.h"

// The bytes of the reader's loader: not framed, sent and read through the port's raw Write and
// Read. Single characters answer and command; text commands end in a zero byte; binary commands
// are a code and a length, then that many data bytes in a separate write.
class LoaderProtocol {
public:
    // Answers.
    static constexpr uint8_t kPrompt = '>';
    static constexpr uint8_t kSerialStored = '4';
    static constexpr uint8_t kBankErased = '2';
    static constexpr uint8_t kBankNotErased = '3';
    static constexpr uint8_t kDownloadReady = '5';
    static constexpr uint8_t kAck = 0x06;

    // Single-character commands.
    static constexpr uint8_t kEraseBank2 = '@';
    static constexpr uint8_t kEraseBank3 = '#';
    static constexpr uint8_t kStartDownload = 'D';
    static constexpr uint8_t kLeaveLoader = 'Q';

    // Binary command codes.
    static constexpr uint8_t kProgramBlock = 0x01;
    static constexpr uint8_t kVerifyBlock = 0x02;
    static constexpr uint8_t kResetCrc = 0x03;
    static constexpr uint8_t kCheckCrc = 0x04;
    static constexpr uint8_t kGetVersion = 0x05;
    static constexpr uint8_t kReboot = 0x07;

    // A block file is a run of these; raw files and firmware images go out in pieces of kRawChunk.
    static constexpr uint32_t kBlockSize = 72;
    static constexpr uint32_t kRawChunk = 64;

    // The character that wakes the loader: '~' for the serial-number, USB-settings and firmware
    // jobs; for block files 'y'/'x' (USB/serial line) to the reader itself and 'b'/'a' to its
    // auxiliary module (destination 1).
    static uint8_t WakeUpChar(bool blockFile, bool usb, int destination);
    // "0x" and the number in eight decimal digits: 12345 gives 0x00012345.
    static std::string SerialText(uint32_t serialNumber);
    // "SSERIAL=" with the serial text, "GSERIAL": each with its closing zero byte.
    static ByteBuffer StoreSerialCommand(const std::string& serialText);
    static ByteBuffer ReadSerialCommand();
    static ByteBuffer BinaryHeader(uint8_t code, uint8_t length);
};
