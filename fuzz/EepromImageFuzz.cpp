// A bridge's EEPROM image through the adapter's check and, when the check lets it through, through
// libftdi1's decoder, without a device: an FT232R's 128 bytes or an FT230X's 256.
//
// Input: flags (bit 0: the 256-byte chip), then the image (zeros past the end of the input). The
// checksum is made valid, since libftdi1 compares it only after it has decoded the strings, and a
// bad one would only stop the decoding that is to be checked here.
//
// What must hold for every input:
//   - the check refuses exactly the images it calls corrupt, and then nothing is decoded;
//   - an image it accepts decodes, and libftdi1 reads nothing outside the image while it does:
//     every decoded string lies in its descriptor, within the image and before the checksum word,
//     and no read goes past libftdi1's own buffer (which ends at an inaccessible page here).
#include <ftdi.h>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/lsan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <iterator>

#include "FuzzSupport.h"
#include "link/FtdiEepromImage.h"

namespace {

constexpr size_t kBufferSize = 256;  // libftdi1's image buffer, whatever the chip
// What libftdi1's buffer holds past a shorter image: a decoder that reads there copies it into a
// string, where the check below finds it.
constexpr uint8_t kBeyondImage = 0xA5;

// libftdi1 is not built with the sanitizers, so ASan cannot see its reads. Its image buffer lies at
// the end of the EEPROM structure it allocates; this copy of that structure ends right before an
// inaccessible page, so that a read past it faults. The strings the decoder allocates hang from the
// copy, which the leak checker is told to search.
void* GuardedCopy(void* block) {
    const size_t size = __sanitizer_get_allocated_size(block);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t pages = (size + page - 1) / page * page;
    void* mapped = mmap(nullptr, pages + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    FUZZ_CHECK(mapped != MAP_FAILED, "mmap");
    auto* base = static_cast<uint8_t*>(mapped);
    FUZZ_CHECK(mprotect(base + pages, page, PROT_NONE) == 0, "mprotect");
    uint8_t* copy = base + pages - size;
    FUZZ_CHECK(size % alignof(void*) == 0, "libftdi1's EEPROM structure has %zu bytes", size);
    std::memcpy(copy, block, size);
    __lsan_register_root_region(copy, size);
    return copy;
}

// A context sized for the chip as if a device were open: libftdi1 sizes the image only for a
// device, but touches none while it does.
ftdi_context* DecodingContext(ftdi_chip_type type) {
    ftdi_context* context = ftdi_new();
    FUZZ_CHECK(context != nullptr, "ftdi_new");
    context->type = type;
    static int notADevice = 0;
    context->usb_dev = reinterpret_cast<libusb_device_handle*>(&notADevice);
    FUZZ_CHECK(ftdi_eeprom_initdefaults(context, nullptr, nullptr, nullptr) == 0, "initdefaults");
    context->usb_dev = nullptr;
    // libftdi1's own block stays reachable from here, also after static destructors have run.
    static void* originals[2] = {};
    static size_t count = 0;
    FUZZ_CHECK(count < std::size(originals), "more contexts than places");
    originals[count++] = context->eeprom;
    context->eeprom = static_cast<ftdi_eeprom*>(GuardedCopy(context->eeprom));
    return context;
}

// libftdi1's checksum: from 0xAAAA, each word before the last XORed in and rotated left; an
// FT230X leaves out its user area (words 0x12 to 0x3F).
void PutChecksum(std::span<uint8_t> image, bool ft230x) {
    uint16_t checksum = 0xAAAA;
    for (size_t word = 0; word < image.size() / 2 - 1; ++word) {
        if (ft230x && word == 0x12) {
            word = 0x40;
        }
        checksum ^= static_cast<uint16_t>(image[2 * word] | image[2 * word + 1] << 8);
        checksum = static_cast<uint16_t>(checksum << 1 | checksum >> 15);
    }
    image[image.size() - 2] = static_cast<uint8_t>(checksum);
    image[image.size() - 1] = static_cast<uint8_t>(checksum >> 8);
}

int Value(ftdi_context* context, ftdi_eeprom_value name) {
    int value = 0;
    ftdi_get_eeprom_value(context, name, &value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ftdi_context* const ft232r = DecodingContext(TYPE_R);
    static ftdi_context* const ft230x = DecodingContext(TYPE_230X);

    FuzzInput input(data, size);
    const bool large = (input.Byte() & 1) != 0;
    ftdi_context* context = large ? ft230x : ft232r;
    std::array<uint8_t, kBufferSize> buffer;
    buffer.fill(kBeyondImage);
    const std::span<uint8_t> image(buffer.data(), large ? 256 : 128);
    const std::span<const uint8_t> bytes = input.Take(image.size());
    std::fill(std::copy(bytes.begin(), bytes.end(), image.begin()), image.end(), 0);
    if (!large) {
        image[0x01] |= 0x40;  // libftdi1 warns on stderr about an FT232R without it
    }
    PutChecksum(image, large);
    const std::span<const uint8_t> view = image;
    const bool sound = FtdiEepromImage::IsSound(view);

    // A vendor ID the image does not hold: it stays only where nothing is decoded.
    const int vendorId = image[0x02] | image[0x03] << 8;
    const int marker = vendorId ^ 0xFFFF;
    FUZZ_CHECK(ftdi_set_eeprom_value(context, VENDOR_ID, marker) == 0, "set the vendor ID");
    FUZZ_CHECK(ftdi_set_eeprom_buf(context, buffer.data(), static_cast<int>(buffer.size())) == 0, "set buf");
    const FT_STATUS status = FtdiEepromImage::Decode(context);

    if (!sound) {
        FUZZ_CHECK(status == kFtEepromCorrupt, "refused image gave status %u", status);
        FUZZ_CHECK(Value(context, VENDOR_ID) == marker, "a refused image was decoded");
        return 0;
    }
    FUZZ_CHECK(status == FT_OK, "sound image with a valid checksum gave status %u", status);
    FUZZ_CHECK(Value(context, VENDOR_ID) == vendorId, "vendor ID %04X decoded as %04X", vendorId,
               Value(context, VENDOR_ID));

    // Only the strings that are there: libftdi1 leaves the others null and would copy from null.
    std::array<std::array<char, kBufferSize + 1>, 3> texts{};
    const auto ask = [&](size_t i) {
        return FtdiEepromImage::HasString(view, FtdiEepromImage::kStringPairs[i]) ? texts[i].data() : nullptr;
    };
    const int length = static_cast<int>(texts[0].size());
    ftdi_eeprom_get_strings(context, ask(0), length, ask(1), length, ask(2), length);
    for (size_t i = 0; i < texts.size(); ++i) {
        const size_t pair = FtdiEepromImage::kStringPairs[i];
        if (ask(i) == nullptr) {
            continue;
        }
        const size_t offset = FtdiEepromImage::StringOffset(view, pair);
        const size_t characters = std::strlen(texts[i].data());
        FUZZ_CHECK(characters <= image[pair + 1] / 2u - 1, "string %zu: %zu characters from %u bytes", i,
                   characters, image[pair + 1]);
        for (size_t j = 0; j < characters; ++j) {
            const size_t at = offset + 2 + 2 * j;
            FUZZ_CHECK(at < image.size() - 2 && static_cast<uint8_t>(texts[i][j]) == image[at],
                       "string %zu, character %zu: not the image's byte at 0x%zX", i, j, at);
        }
    }
    return 0;
}
