#include "commands/HexText.h"

#include <gtest/gtest.h>

namespace {

struct CheckCase {
    const char* text;
    uint32_t hexString;
    uint32_t mifareKey;
    uint32_t length32;
};

TEST(HexText, ChecksGiveTheirMessageIds) {
    const CheckCase cases[] = {
        {"", 0, 161, 162},
        {"5e2f9a40c713", 0, 0, 162},                       // lower case is fine
        {"5E2F9A40C71", 0, 161, 162},                      // 11 digits
        {"5E2F9A40C71G", 160, 161, 162},                   // a bad character
        {"5E2F9A40C713FF0780697FA2C1D6083B", 0, 161, 0},   // 32 digits
        {"5E2F9A40C713FF0780697FA2C1D6083", 0, 161, 162},  // 31 digits
        {"5E2F9A40C713FF0780697FA2C1D6083X", 160, 161, 160},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(CheckHexString(c.text), c.hexString);
        EXPECT_EQ(CheckMifareKey(c.text), c.mifareKey);
        EXPECT_EQ(CheckHexStringLength(c.text, 32), c.length32);
    }
    EXPECT_EQ(CheckMessage(162, 32), "Please enter a string of 32 characters.");
    EXPECT_EQ(CheckMessage(161), "Please enter a valid Mifare key of 12 hexadecimal digits.");
    EXPECT_EQ(CheckMessage(160), "Please enter a hexadecimal value.");
}

TEST(HexText, ByteFieldsRefuseNonNumbersThenCheckTheRange) {
    uint8_t value = 7;
    std::string message;
    EXPECT_FALSE(ParseByteField("256", 0, 255, value, message));
    EXPECT_EQ(message, IntegerMessage());
    EXPECT_FALSE(ParseByteField("1x", 0, 15, value, message));
    EXPECT_EQ(message, IntegerMessage());
    EXPECT_FALSE(ParseByteField("", 0, 15, value, message));
    EXPECT_FALSE(ParseByteField("3", 0, 2, value, message));
    EXPECT_EQ(message, "Please enter a number from 0 to 2.");
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(ParseByteField(" 15 ", 0, 15, value, message));
    EXPECT_EQ(value, 15);
}

TEST(HexText, ScanHex32ReadsLikePercentX) {
    uint32_t value = 0xAAAA;
    EXPECT_FALSE(ScanHex32("", value));
    EXPECT_FALSE(ScanHex32("zz", value));
    EXPECT_EQ(value, 0xAAAAu);
    EXPECT_TRUE(ScanHex32("ff", value));
    EXPECT_EQ(value, 0xFFu);
    EXPECT_TRUE(ScanHex32("0x1A2b", value));
    EXPECT_EQ(value, 0x1A2Bu);
    EXPECT_TRUE(ScanHex32("12345678", value));
    EXPECT_EQ(value, 0x12345678u);
}

TEST(HexText, HexToBytesTakesPairsOfDigits) {
    ByteBuffer bytes;
    EXPECT_TRUE(HexToBytes("5e2F9A", bytes));
    EXPECT_EQ(bytes, (ByteBuffer{0x5E, 0x2F, 0x9A}));
    ByteBuffer refused;
    EXPECT_FALSE(HexToBytes("5E2", refused));
    EXPECT_FALSE(HexToBytes("5G", refused));
}

}  // namespace
