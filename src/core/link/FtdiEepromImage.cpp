#include "link/FtdiEepromImage.h"

#include <ftdi.h>

#include <algorithm>

namespace {

// The largest EEPROM image libftdi1 handles.
constexpr int kMaxImageSize = 256;

bool IsEepromSize(size_t size) {
    return size == 64 || size == 128 || size == 256;
}

}  // namespace

bool FtdiEepromImage::IsSound(std::span<const uint8_t> image) {
    if (!IsEepromSize(image.size())) {
        return false;
    }
    const size_t checksumAt = image.size() - 2;
    for (const size_t pair : kStringPairs) {
        const uint8_t length = image[pair + 1];
        if (length == 0) {
            continue;  // no such string
        }
        // Two bytes of header, then UTF-16 units.
        if (length % 2 != 0) {
            return false;
        }
        const size_t offset = StringOffset(image, pair);
        if (offset < kFirstStringOffset || offset + length > checksumAt) {
            return false;
        }
        if (image[offset] != length || image[offset + 1] != kStringDescriptorType) {
            return false;
        }
    }
    return true;
}

FT_STATUS FtdiEepromImage::Decode(ftdi_context* context) {
    int size = 0;
    if (ftdi_get_eeprom_value(context, CHIP_SIZE, &size) < 0 || !IsEepromSize(static_cast<size_t>(size))) {
        return FT_EEPROM_NOT_PROGRAMMED;  // libftdi1 cannot size an erased EEPROM
    }
    uint8_t buffer[kMaxImageSize] = {};
    if (ftdi_get_eeprom_buf(context, buffer, sizeof buffer) < 0) {
        return FT_EEPROM_READ_FAILED;
    }
    const std::span<const uint8_t> image(buffer, static_cast<size_t>(size));
    if (std::all_of(image.begin(), image.end(), [](uint8_t byte) { return byte == 0xFF; })) {
        return FT_EEPROM_NOT_PROGRAMMED;
    }
    if (!IsSound(image)) {
        return kFtEepromCorrupt;
    }
    return ftdi_eeprom_decode(context, 0) < 0 ? FT_EEPROM_READ_FAILED : FT_OK;
}
