// The checks and conversions of typed hexadecimal and decimal texts (dialogs and command line).
//
// Input: one byte that picks the bounds of the decimal field and the length the length check wants,
// then the text.
//
// What must hold: the checks agree with each other and with the conversions; a converted text gives
// back the digits it came from; a number the field accepts lies within its bounds and is the text's
// decimal value; the hexadecimal scan reads what "%x" reads for texts that fit 32 bits.
#include <cctype>
#include <cinttypes>
#include <cstring>
#include <string_view>

#include "FuzzSupport.h"
#include "commands/HexText.h"

namespace {

bool AllHex(std::string_view text) {
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

void CheckHexChecks(std::string_view text, int length) {
    const bool hex = AllHex(text);
    FUZZ_CHECK((CheckHexString(text) == 0) == hex, "CheckHexString(\"%.*s\")", static_cast<int>(text.size()),
               text.data());
    FUZZ_CHECK((CheckMifareKey(text) == 0) == (hex && text.size() == 12), "CheckMifareKey");
    const uint32_t lengthCheck = CheckHexStringLength(text, length);
    FUZZ_CHECK(lengthCheck == (static_cast<int>(text.size()) != length ? IDS_HEX_LENGTH
                               : hex                                   ? 0
                                                                       : IDS_HEX_VALUE),
               "CheckHexStringLength(%zu characters, %d) = %u", text.size(), length, lengthCheck);
    const std::string message = CheckMessage(lengthCheck, length);
    FUZZ_CHECK(lengthCheck == 0 || (!message.empty() && message.size() < 128), "message for %u", lengthCheck);
}

void CheckHexToBytes(std::string_view text) {
    ByteBuffer bytes;
    const bool converted = HexToBytes(text, bytes);
    const bool fits = text.size() % 2 == 0 && text.size() / 2 <= ByteBuffer::kCapacity;
    FUZZ_CHECK(converted == (AllHex(text) && fits), "HexToBytes of %zu characters: %d", text.size(),
               converted);
    if (converted) {
        std::string back = bytes.ToHex();
        std::erase(back, ' ');
        FUZZ_CHECK(back == Upper(text), "HexToBytes does not give back its digits");
    }
}

void CheckScanHex32(std::string_view text) {
    uint32_t value = 0x5A5A5A5A;
    const bool scanned = ScanHex32(text, value);
    // "%x" wraps only within the 64 bits of strtoul, and takes a sign, which the scan does not:
    // compare where neither matters.
    const std::string copy(text.substr(0, text.find('\0')));
    size_t digits = copy.find_first_not_of(" \t\n\v\f\r");
    if (digits == std::string::npos || copy[digits] == '+' || copy[digits] == '-') {
        return;
    }
    if (copy.compare(digits, 2, "0x") == 0 || copy.compare(digits, 2, "0X") == 0) {
        digits += 2;
    }
    size_t end = digits;
    while (end < copy.size() && std::isxdigit(static_cast<unsigned char>(copy[end]))) {
        ++end;
    }
    if (end - digits > 8) {
        return;
    }
    unsigned reference = 0;
    const bool referenceScanned = std::sscanf(copy.c_str(), "%x", &reference) == 1;
    FUZZ_CHECK(scanned == referenceScanned, "ScanHex32(\"%s\") %d, %%x %d", copy.c_str(), scanned,
               referenceScanned);
    FUZZ_CHECK(!scanned || value == reference, "ScanHex32(\"%s\") = %08X, %%x %08X", copy.c_str(), value,
               reference);
    FUZZ_CHECK(scanned || value == 0x5A5A5A5A, "a failed scan changed the value");
}

void CheckByteField(std::string_view text, uint8_t min, uint8_t max) {
    uint8_t value = 0xA5;
    std::string message;
    const bool accepted = ParseByteField(text, min, max, value, message);
    // The reference: blanks around, then only decimal digits of a number up to 255.
    const std::string copy(text);
    const size_t first = copy.find_first_not_of(" \t\n\v\f\r");
    const size_t last = copy.find_last_not_of(" \t\n\v\f\r");
    bool digits = first != std::string::npos;
    unsigned number = 0;
    for (size_t i = first; digits && i <= last; ++i) {
        digits = std::isdigit(static_cast<unsigned char>(copy[i])) != 0;
        number = std::min(1000u, number * 10 + static_cast<unsigned>(copy[i] - '0'));
    }
    const bool inRange = digits && number >= min && number <= max;
    FUZZ_CHECK(accepted == inRange, "ParseByteField(\"%s\", %u, %u) = %d", copy.c_str(), min, max, accepted);
    if (accepted) {
        FUZZ_CHECK(value == number && message.empty(), "ParseByteField gave %u for %u", value, number);
    } else {
        FUZZ_CHECK(value == 0xA5 && !message.empty(), "a refused field changed the value or gave no message");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t bounds = input.Byte();
    const std::span<const uint8_t> rest = input.Rest();
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    const uint8_t min = static_cast<uint8_t>((bounds & 0x0F) * 4);
    const uint8_t max = static_cast<uint8_t>(255 - (bounds >> 4) * 8);

    CheckHexChecks(text, bounds % 40);
    CheckHexToBytes(text);
    CheckScanHex32(text);
    CheckByteField(text, min, max);
    return 0;
}
