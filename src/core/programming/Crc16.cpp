#include "programming/Crc16.h"

uint16_t Crc16::Update(uint16_t crc, std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ kPolynomial)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

uint16_t Crc16::ShiftIn(uint16_t reg, uint8_t byte) {
    for (int bit = 0; bit < 8; ++bit) {
        const bool carry = (reg & 0x8000) != 0;
        reg = static_cast<uint16_t>((reg << 1) | ((byte >> 7) & 1));
        if (carry) {
            reg ^= kPolynomial;
        }
        byte = static_cast<uint8_t>(byte << 1);
    }
    return reg;
}

uint16_t Crc16::ShiftIn(uint16_t reg, std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        reg = ShiftIn(reg, byte);
    }
    return reg;
}

uint16_t Crc16::Finish(uint16_t reg) {
    return ShiftIn(ShiftIn(reg, uint8_t{0}), uint8_t{0});
}
