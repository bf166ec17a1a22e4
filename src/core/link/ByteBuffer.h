#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

// The one container for raw bytes: telegrams, answers, keys, block data, file chunks.
// A fixed, zero-filled block of 1024 bytes and a count; it never grows, and every copy owns its
// own block. Operations that can fail return false and change nothing.
class ByteBuffer {
public:
    static constexpr uint32_t kCapacity = 1024;

    ByteBuffer() = default;
    ByteBuffer(std::initializer_list<uint8_t> bytes);
    explicit ByteBuffer(std::span<const uint8_t> bytes);
    ByteBuffer(const ByteBuffer& source);
    ByteBuffer& operator=(const ByteBuffer& source);
    ~ByteBuffer();

    void Clear();
    uint32_t GetCount() const { return m_dwCount; }
    bool IsEmpty() const { return m_dwCount == 0; }
    uint8_t* GetData() { return m_data.data(); }
    const uint8_t* GetData() const { return m_data.data(); }
    std::span<const uint8_t> Bytes() const { return {m_data.data(), m_dwCount}; }

    // Sets the count without touching the bytes (after a caller filled GetData() directly).
    // A count above the capacity is refused.
    bool SetCount(uint32_t n);

    bool Append(uint8_t byte);
    bool GetAt(uint32_t index, uint8_t& byte) const;
    bool SetAt(uint32_t index, uint8_t byte);
    // The address of byte index, or of the last byte when index is past the end;
    // nullptr when the buffer is empty.
    uint8_t* PtrAt(uint32_t index);

    // Appends the other buffer's bytes in order; stops at the first refused append.
    bool AppendBuffer(const ByteBuffer& other);
    // Appends source bytes first .. end-1 (nothing when first >= end); false if any was refused.
    bool AppendRange(ByteBuffer source, uint32_t first, uint32_t end);
    bool AppendString(std::string_view text);
    // 4 bytes, least significant first.
    bool AppendU32(uint32_t value);
    bool GetU32(uint32_t offset, uint32_t& value) const;

    // "%02X " per byte: 3 characters a byte, always ending in a blank. Returns the length.
    int ToHex(std::string& text) const;
    // One character a byte; a zero byte shows as '0'. Returns the length.
    int ToText(std::string& text) const;
    std::string ToHex() const;
    std::string ToText() const;

    bool operator==(const ByteBuffer& other) const;

private:
    uint32_t m_dwCount = 0;
    std::array<uint8_t, kCapacity> m_data{};
};
