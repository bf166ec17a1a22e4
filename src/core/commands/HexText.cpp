#include "commands/HexText.h"

#include <cctype>
#include <charconv>
#include <cstdio>

#include "StringTable.h"

namespace {

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

}  // namespace

uint32_t CheckHexString(std::string_view text) {
    for (char c : text) {
        if (!IsHexDigit(c)) {
            return IDS_HEX_VALUE;
        }
    }
    return 0;
}

uint32_t CheckMifareKey(std::string_view text) {
    return text.size() == 12 && CheckHexString(text) == 0 ? 0 : IDS_MIFARE_KEY;
}

uint32_t CheckHexStringLength(std::string_view text, int length) {
    if (static_cast<int>(text.size()) != length) {
        return IDS_HEX_LENGTH;
    }
    return CheckHexString(text);
}

std::string CheckMessage(uint32_t id, int length) {
    const std::string text = LoadString(id);
    if (id != IDS_HEX_LENGTH) {
        return text;
    }
    char message[128];
    std::snprintf(message, sizeof message, "Please enter a string of %d characters.", length);
    return message;
}

std::string IntegerMessage() {
    return "Please enter a whole number from 0 to 255.";
}

std::string RangeMessage(int min, int max) {
    return "Please enter a number from " + std::to_string(min) + " to " + std::to_string(max) + ".";
}

std::string LengthMessage(int maxLength) {
    return "Please enter no more than " + std::to_string(maxLength) + " characters.";
}

bool ParseByteField(std::string_view text, uint8_t min, uint8_t max, uint8_t& value, std::string& message) {
    // Blanks around the number are allowed, as a user may leave them.
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    unsigned number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || number > 255) {
        message = IntegerMessage();
        return false;
    }
    if (number < min || number > max) {
        message = RangeMessage(min, max);
        return false;
    }
    value = static_cast<uint8_t>(number);
    return true;
}

bool ScanHex32(std::string_view text, uint32_t& value) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        IsHexDigit(text[i + 2])) {
        i += 2;
    }
    if (i >= text.size() || !IsHexDigit(text[i])) {
        return false;
    }
    uint32_t number = 0;
    for (; i < text.size() && IsHexDigit(text[i]); ++i) {
        number = (number << 4) | static_cast<uint32_t>(HexValue(text[i]));
    }
    value = number;
    return true;
}

bool HexToBytes(std::string_view text, ByteBuffer& bytes) {
    if (text.size() % 2 != 0 || CheckHexString(text) != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!bytes.Append(static_cast<uint8_t>(HexValue(text[i]) * 16 + HexValue(text[i + 1])))) {
            return false;
        }
    }
    return true;
}

Utf8CodePoint DecodeUtf8(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return {lead, 1};
    }
    size_t length = 0;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return {};
    }
    if (i + length > text.size()) {
        return {};
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) {
            return {};
        }
        value = (value << 6) | (byte(i + k) & 0x3Fu);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {};
    }
    return {value, length};
}

namespace {

// The length of the multi-byte UTF-8 sequence that starts at i, or 0 when it is not a valid one
// or a C1 control.
size_t Utf8Length(std::string_view text, size_t i) {
    const Utf8CodePoint point = DecodeUtf8(text, i);
    return point.length >= 2 && point.value > 0x9F ? point.length : 0;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            safe += "\\\\";
            ++i;
        } else if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) {
            safe += static_cast<char>(c);
            ++i;
        } else if (const size_t length = c >= 0x80 ? Utf8Length(text, i) : 0; length != 0) {
            safe.append(text.substr(i, length));
            i += length;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            safe += escaped;
            ++i;
        }
    }
    return safe;
}
