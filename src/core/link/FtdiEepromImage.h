#pragma once

#include <cstdint>
#include <span>

#include "link/D2xx.h"

struct ftdi_context;

// The libftdi1 adapter's own status for a bridge whose EEPROM holds content that cannot be decoded
// safely, its checksum valid or not. Far above the vendor's values, so that it never stands for one of
// theirs.
inline constexpr FT_STATUS kFtEepromCorrupt = 0x100;

// The bridge's EEPROM image as libftdi1 decodes it: the three string descriptors (manufacturer,
// product, serial number) are found through offset/length pairs at 0x0E, 0x10 and 0x12, the offset
// taken modulo the EEPROM's size, and libftdi1 copies the characters from there without checking
// either value. Erased chips and checksums are not this check's business.
class FtdiEepromImage {
public:
    static constexpr size_t kStringPairs[] = {0x0E, 0x10, 0x12};
    // Descriptors lie after the pointer pairs (every chip's strings area starts further on).
    static constexpr size_t kFirstStringOffset = 0x14;
    static constexpr uint8_t kStringDescriptorType = 0x03;

    // Whether image (the chip's whole EEPROM: 64, 128 or 256 bytes) can be decoded without reading
    // outside it: every string descriptor is absent (length 0), or has an even length of at least 2,
    // lies wholly after the pointer pairs and before the checksum word, and begins with its own
    // length and the string type.
    static bool IsSound(std::span<const uint8_t> image);
    // Where the descriptor of pair begins, as libftdi1 computes it (image.size() a power of 2).
    static size_t StringOffset(std::span<const uint8_t> image, size_t pair) {
        return image[pair] & (image.size() - 1);
    }
    // The descriptor's length byte at pair + 1 says a string is there (libftdi1 leaves the others null).
    static bool HasString(std::span<const uint8_t> image, size_t pair) { return image[pair + 1] >= 2; }

    // Decodes the image libftdi1 holds for the bridge (read with ftdi_read_eeprom, or set with
    // ftdi_set_eeprom_buf on a context sized for its chip), once it passes IsSound:
    //   FT_OK                     decoded: the values and strings are in the context
    //   FT_EEPROM_NOT_PROGRAMMED  erased (all 0xFF) or of a size libftdi1 could not tell
    //   kFtEepromCorrupt          refused by IsSound, nothing decoded
    //   FT_EEPROM_READ_FAILED     decoded, but the checksum does not match
    static FT_STATUS Decode(ftdi_context* context);
};
