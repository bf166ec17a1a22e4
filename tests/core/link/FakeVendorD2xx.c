/* A stand-in for the vendor's D2XX library, built as a loadable module for the loader's tests.
 * It exports three of the 41 names with the vendor's signatures; FT_Read and the rest are
 * missing on purpose. */
#include <stdint.h>

#define EXPORT __attribute__((visibility("default")))

/* The one device: its address is the handle. */
static int g_device;

EXPORT uint32_t FT_Open(int deviceNumber, void** handle) {
    if (deviceNumber != 0) {
        return 2; /* FT_DEVICE_NOT_FOUND */
    }
    *handle = &g_device;
    return 0;
}

EXPORT uint32_t FT_Close(void* handle) {
    return handle == &g_device ? 0 : 1; /* FT_INVALID_HANDLE */
}

/* Reports the sum of the bytes as the count written, so that a test sees buffer and count arrive. */
EXPORT uint32_t FT_Write(void* handle, void* buffer, uint32_t toWrite, uint32_t* written) {
    if (handle != &g_device) {
        return 1;
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < toWrite; ++i) {
        sum += ((const uint8_t*)buffer)[i];
    }
    *written = sum;
    return 0;
}
