#include "programming/Crc16.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Crc16, CheckValues) {
    EXPECT_EQ(Crc16::Update(Crc16::kDirectInit, Bytes("123456789")), 0xE5CC);
    EXPECT_EQ(Crc16::Finish(Crc16::ShiftIn(Crc16::kShiftInInit, Bytes("abc"))), 0x8CDA);
    // Both forms agree: shifting in from 0xFFFF is the direct form from 0x1D0F.
    EXPECT_EQ(Crc16::Finish(Crc16::ShiftIn(Crc16::kShiftInInit, Bytes("123456789"))), 0xE5CC);
}

TEST(Crc16, RunsOnAcrossPieces) {
    const uint16_t first = Crc16::Update(Crc16::kDirectInit, Bytes("1234"));
    EXPECT_EQ(Crc16::Update(first, Bytes("56789")), 0xE5CC);
    const uint16_t reg = Crc16::ShiftIn(Crc16::ShiftIn(Crc16::kShiftInInit, Bytes("a")), Bytes("bc"));
    EXPECT_EQ(Crc16::Finish(reg), 0x8CDA);
}

}  // namespace
