#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "StringTable.h"
#include "link/ByteBuffer.h"

// Checks and conversions of the texts a user types for reader commands: the parameter dialogs
// and the command line check with the same rules and show the same messages.

// Each returns 0 when the text passes, else the id of the message to show (IDS_HEX_VALUE,
// IDS_MIFARE_KEY, IDS_HEX_LENGTH).
// Every character a hexadecimal digit; an empty text passes.
uint32_t CheckHexString(std::string_view text);
// Exactly 12 hexadecimal digits.
uint32_t CheckMifareKey(std::string_view text);
// Exactly length characters (else IDS_HEX_LENGTH), then all hexadecimal
// digits (else IDS_HEX_VALUE).
uint32_t CheckHexStringLength(std::string_view text, int length);
// The message of a failed check, with the length filled in for IDS_HEX_LENGTH.
std::string CheckMessage(uint32_t id, int length = 0);

// A decimal field into an 8-bit value: a text that is not a number or is above 255 gets the
// integer message, a value outside [min, max] the range message. True when accepted.
bool ParseByteField(std::string_view text, uint8_t min, uint8_t max, uint8_t& value, std::string& message);
// Our wording of the standard field messages.
std::string IntegerMessage();
std::string RangeMessage(int min, int max);
std::string LengthMessage(int maxLength);

// Reads a hexadecimal number as "%x" does: leading blanks, an optional 0x, then digits in either
// case up to the first other character (values wrap to 32 bits). False when there is no digit,
// and value is left unchanged.
bool ScanHex32(std::string_view text, uint32_t& value);

// Two hexadecimal digits per byte ("5E2F9A40C713" -> 5E 2F 9A 40 C7 13); false on an odd length
// or a character that is not a hexadecimal digit.
bool HexToBytes(std::string_view text, ByteBuffer& bytes);

// The code point of the well-formed UTF-8 sequence at text[i] and its length; length 0 where the
// bytes there form none (overlong forms, surrogates, values past U+10FFFF).
struct Utf8CodePoint {
    uint32_t value = 0;
    size_t length = 0;
};
Utf8CodePoint DecodeUtf8(std::string_view text, size_t i);

// Text from outside (a reader's answer) made safe to print on a terminal: control characters, C1
// controls and bytes that are not UTF-8 become \xNN, and a backslash becomes \\, so that no
// escape sequence can act; line feeds and tabs stay. Valid UTF-8 text passes unchanged.
std::string EscapeControls(std::string_view text);
