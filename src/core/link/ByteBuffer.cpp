#include "link/ByteBuffer.h"

#include <algorithm>
#include <cstring>

ByteBuffer::ByteBuffer(std::initializer_list<uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        Append(byte);
    }
}

ByteBuffer::ByteBuffer(std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        if (!Append(byte)) {
            break;
        }
    }
}

// A copy holds only the source's valid bytes; the rest of its block stays zero.
ByteBuffer::ByteBuffer(const ByteBuffer& source) : m_dwCount(source.m_dwCount) {
    std::memcpy(m_data.data(), source.m_data.data(), m_dwCount);
}

ByteBuffer& ByteBuffer::operator=(const ByteBuffer& source) {
    if (this != &source) {
        Clear();
        m_dwCount = source.m_dwCount;
        std::memcpy(m_data.data(), source.m_data.data(), m_dwCount);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() {
    Clear();
}

void ByteBuffer::Clear() {
    std::fill_n(m_data.begin(), m_dwCount, uint8_t{0});
    m_dwCount = 0;
}

bool ByteBuffer::SetCount(uint32_t n) {
    if (n > kCapacity) {
        return false;
    }
    m_dwCount = n;
    return true;
}

bool ByteBuffer::Append(uint8_t byte) {
    if (m_dwCount >= kCapacity) {
        return false;
    }
    m_data[m_dwCount++] = byte;
    return true;
}

bool ByteBuffer::GetAt(uint32_t index, uint8_t& byte) const {
    if (index >= m_dwCount) {
        return false;
    }
    byte = m_data[index];
    return true;
}

bool ByteBuffer::SetAt(uint32_t index, uint8_t byte) {
    if (index >= m_dwCount) {
        return false;
    }
    m_data[index] = byte;
    return true;
}

uint8_t* ByteBuffer::PtrAt(uint32_t index) {
    if (m_dwCount == 0) {
        return nullptr;
    }
    return &m_data[std::min(index, m_dwCount - 1)];
}

bool ByteBuffer::AppendBuffer(const ByteBuffer& other) {
    const uint32_t count = other.m_dwCount;  // other may be this buffer
    for (uint32_t i = 0; i < count; ++i) {
        if (!Append(other.m_data[i])) {
            return false;
        }
    }
    return true;
}

bool ByteBuffer::AppendRange(ByteBuffer source, uint32_t first, uint32_t end) {
    bool ok = true;
    for (uint32_t i = first; i < end; ++i) {
        uint8_t byte = 0;
        if (!source.GetAt(i, byte) || !Append(byte)) {
            ok = false;
        }
    }
    return ok;
}

bool ByteBuffer::AppendString(std::string_view text) {
    for (char c : text) {
        if (!Append(static_cast<uint8_t>(c))) {
            return false;
        }
    }
    return true;
}

bool ByteBuffer::AppendU32(uint32_t value) {
    if (m_dwCount + 4 > kCapacity) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        Append(static_cast<uint8_t>(value >> (8 * i)));
    }
    return true;
}

bool ByteBuffer::GetU32(uint32_t offset, uint32_t& value) const {
    if (offset > m_dwCount || m_dwCount - offset < 4) {
        return false;
    }
    value = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(m_data[offset + i]) << (8 * i);
    }
    return true;
}

int ByteBuffer::ToHex(std::string& text) const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text.clear();
    text.reserve(3 * m_dwCount);
    for (uint32_t i = 0; i < m_dwCount; ++i) {
        text.push_back(kDigits[m_data[i] >> 4]);
        text.push_back(kDigits[m_data[i] & 0x0F]);
        text.push_back(' ');
    }
    return static_cast<int>(text.size());
}

int ByteBuffer::ToText(std::string& text) const {
    text.assign(reinterpret_cast<const char*>(m_data.data()), m_dwCount);
    std::replace(text.begin(), text.end(), '\0', '0');
    return static_cast<int>(text.size());
}

std::string ByteBuffer::ToHex() const {
    std::string text;
    ToHex(text);
    return text;
}

std::string ByteBuffer::ToText() const {
    std::string text;
    ToText(text);
    return text;
}

bool ByteBuffer::operator==(const ByteBuffer& other) const {
    return m_dwCount == other.m_dwCount && std::equal(Bytes().begin(), Bytes().end(), other.Bytes().begin());
}
