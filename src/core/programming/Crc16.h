#pragma once

#include <cstdint>
#include <span>

// CRC-16/SPI-FUJITSU (polynomial 0x1021, not reflected, no final XOR), the running checksum of the
// reader's loader over the data bytes of the program and verify blocks.
//
// Two equivalent forms:
//   Update    the direct form: start from kDirectInit (or a running value), feed the message; the
//             register is the CRC ("123456789" gives 0xE5CC).
//   ShiftIn   the form the loader computes, shifting each bit in at the bottom: start from
//             kShiftInInit, feed the message, then Finish (two zero bytes); "abc" gives 0x8CDA.
// Both may be fed in pieces: pass the value returned by the previous call as the start value.
class Crc16 {
public:
    static constexpr uint16_t kPolynomial = 0x1021;
    static constexpr uint16_t kDirectInit = 0x1D0F;
    static constexpr uint16_t kShiftInInit = 0xFFFF;

    static uint16_t Update(uint16_t crc, std::span<const uint8_t> bytes);
    static uint16_t ShiftIn(uint16_t reg, uint8_t byte);
    static uint16_t ShiftIn(uint16_t reg, std::span<const uint8_t> bytes);
    // Feeds the two zero bytes that close a shifted-in checksum.
    static uint16_t Finish(uint16_t reg);
};
