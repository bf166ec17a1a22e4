#include "link/ByteBuffer.h"

#include <gtest/gtest.h>

namespace {

ByteBuffer Filled(uint32_t count) {
    ByteBuffer buffer;
    for (uint32_t i = 0; i < count; ++i) {
        buffer.Append(static_cast<uint8_t>(i));
    }
    return buffer;
}

TEST(ByteBuffer, CapacityIsAHardLimit) {
    ByteBuffer buffer = Filled(ByteBuffer::kCapacity);
    EXPECT_FALSE(buffer.Append(0xAA));
    EXPECT_FALSE(buffer.AppendU32(1));
    EXPECT_EQ(buffer.GetCount(), 1024u);
    EXPECT_FALSE(buffer.AppendBuffer(ByteBuffer{1}));
}

TEST(ByteBuffer, SetCountAboveCapacityIsRefused) {
    ByteBuffer buffer{1, 2};
    EXPECT_FALSE(buffer.SetCount(1025));
    EXPECT_EQ(buffer.GetCount(), 2u);
    buffer.GetData()[2] = 7;
    EXPECT_TRUE(buffer.SetCount(3));
    EXPECT_EQ(buffer, (ByteBuffer{1, 2, 7}));
    EXPECT_TRUE(buffer.SetCount(1024));
}

TEST(ByteBuffer, PtrAtOnAnEmptyBufferIsNull) {
    ByteBuffer buffer;
    EXPECT_EQ(buffer.PtrAt(0), nullptr);
    buffer.Append(5);
    buffer.Append(6);
    EXPECT_EQ(*buffer.PtrAt(0), 5);
    EXPECT_EQ(*buffer.PtrAt(99), 6);  // past the end: the last byte
}

struct RenderCase {
    ByteBuffer bytes;
    std::string hex;
    std::string text;
};

TEST(ByteBuffer, RendersAsHexAndText) {
    const RenderCase cases[] = {
        {{}, "", ""},
        {{0x00, 0xFF}, "00 FF ", std::string("0\xFF")},
        {{0x02, 0x41, 0x00},
         "02 41 00 ",
         "\x02"
         "A0"},
        {{0x41, 0x00, 0x42}, "41 00 42 ", "A0B"},
    };
    for (const auto& c : cases) {
        std::string hex;
        std::string text;
        EXPECT_EQ(c.bytes.ToHex(hex), static_cast<int>(c.hex.size()));
        EXPECT_EQ(hex, c.hex);
        EXPECT_EQ(c.bytes.ToText(text), static_cast<int>(c.bytes.GetCount()));
        EXPECT_EQ(text, c.text);
    }
}

TEST(ByteBuffer, U32IsLittleEndianAndBounded) {
    ByteBuffer buffer{0xEE};
    EXPECT_TRUE(buffer.AppendU32(0x12345678));
    EXPECT_EQ(buffer, (ByteBuffer{0xEE, 0x78, 0x56, 0x34, 0x12}));
    uint32_t value = 0;
    EXPECT_TRUE(buffer.GetU32(buffer.GetCount() - 4, value));
    EXPECT_EQ(value, 0x12345678u);
    value = 7;
    EXPECT_FALSE(buffer.GetU32(buffer.GetCount() - 3, value));
    EXPECT_FALSE(buffer.GetU32(0xFFFFFFFE, value));  // no wrap-around in offset + 4
    EXPECT_EQ(value, 7u);
}

TEST(ByteBuffer, ClearZeroesTheUsedBytes) {
    ByteBuffer buffer{9, 8, 7};
    buffer.Clear();
    uint8_t byte = 0x55;
    EXPECT_FALSE(buffer.GetAt(0, byte));
    EXPECT_EQ(byte, 0x55);
    EXPECT_EQ(buffer.GetData()[0], 0);
    EXPECT_EQ(buffer.GetData()[2], 0);
    EXPECT_FALSE(buffer.SetAt(0, 1));
}

TEST(ByteBuffer, AppendRangeTakesFirstToEnd) {
    const ByteBuffer source{0, 1, 2, 3, 4};
    ByteBuffer target{9};
    EXPECT_TRUE(target.AppendRange(source, 3, 2));
    EXPECT_EQ(target, ByteBuffer{9});
    EXPECT_TRUE(target.AppendRange(source, 1, 4));
    EXPECT_EQ(target, (ByteBuffer{9, 1, 2, 3}));
    EXPECT_FALSE(target.AppendRange(source, 4, 6));  // past the source's end
    EXPECT_EQ(target, (ByteBuffer{9, 1, 2, 3, 4}));
}

TEST(ByteBuffer, CopiesAreIndependent) {
    ByteBuffer source{1, 2, 3};
    ByteBuffer copy = source;
    copy.SetAt(0, 0x99);
    copy.Append(4);
    EXPECT_EQ(source, (ByteBuffer{1, 2, 3}));
    ByteBuffer assigned{5, 5, 5, 5, 5};
    assigned = source;
    EXPECT_EQ(assigned, source);
    EXPECT_EQ(assigned.GetData()[3], 0);  // the old bytes past the new count are gone
    ByteBuffer self{1, 2};
    EXPECT_TRUE(self.AppendBuffer(self));
    EXPECT_EQ(self, (ByteBuffer{1, 2, 1, 2}));
}

TEST(ByteBuffer, AppendStringAddsNoTerminator) {
    ByteBuffer buffer;
    EXPECT_TRUE(buffer.AppendString("GSERIAL"));
    EXPECT_EQ(buffer.GetCount(), 7u);
    EXPECT_EQ(buffer.ToText(), "GSERIAL");
}

}  // namespace
