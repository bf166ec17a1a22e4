#pragma once

#include <cstdint>
#include <span>

// The reader's wire vocabulary, shared by the PC side of the link and the simulated reader.

// The block check of a telegram: the XOR of its bytes (0 over a telegram with its check).
inline uint8_t BlockCheck(std::span<const uint8_t> bytes) {
    uint8_t bcc = 0;
    for (uint8_t byte : bytes) {
        bcc ^= byte;
    }
    return bcc;
}

// Control characters of the link procedure.
inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t DLE = 0x10;
inline constexpr uint8_t NAK = 0x15;

// Command codes of the reader's command set.
inline constexpr uint8_t kCmdWaitForCard = 0x40;
inline constexpr uint8_t kCmdRequest = 0x41;
inline constexpr uint8_t kCmdAnticollision = 0x42;
inline constexpr uint8_t kCmdSelect = 0x43;
inline constexpr uint8_t kCmdHalt = 0x45;
inline constexpr uint8_t kCmdReadBlock = 0x46;
inline constexpr uint8_t kCmdWriteBlock = 0x47;
inline constexpr uint8_t kCmdIncrement = 0x48;
inline constexpr uint8_t kCmdDecrement = 0x49;
inline constexpr uint8_t kCmdRestore = 0x4A;
inline constexpr uint8_t kCmdTransfer = 0x4B;
inline constexpr uint8_t kCmdLoadKey = 0x4C;
inline constexpr uint8_t kCmdReset = 0x4E;
inline constexpr uint8_t kCmdGetInfo = 0x4F;
inline constexpr uint8_t kCmdSetPort = 0x54;
inline constexpr uint8_t kCmdAuthenticate = 0x56;
inline constexpr uint8_t kCmdDecrementTransfer = 0x57;
