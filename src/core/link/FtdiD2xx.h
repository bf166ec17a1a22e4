#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/D2xx.h"

struct ftdi_context;
struct libusb_device;

// The D2XX entries the program calls, built on libftdi1 for machines without the vendor library.
// A handle is the address of a device object owned by this adapter; every call checks it against
// the devices it has open (FT_INVALID_HANDLE otherwise). Entries the program never calls answer
// FT_NOT_SUPPORTED. Reads and writes wait inside libusb's transfers, which sleep in the kernel.
// Calls come from one thread at a time, as the reader port makes them.
class FtdiD2xx final : public D2xxProvider {
public:
    // The bridge's latency timer: how long it holds a partly filled packet. Low, so that single
    // acknowledgement bytes arrive promptly; a read with nothing queued costs one such period.
    static constexpr uint8_t kLatencyTimerMs = 1;
    // Control requests (line settings, EEPROM words) give up after this long.
    static constexpr int kControlTimeoutMs = 1000;
    // Read and write time-outs until FT_SetTimeouts sets others.
    static constexpr uint32_t kDefaultTimeoutMs = 100;

    FtdiD2xx();
    // Closes every device still open.
    ~FtdiD2xx() override;
    FtdiD2xx(const FtdiD2xx&) = delete;
    FtdiD2xx& operator=(const FtdiD2xx&) = delete;

    std::string Name() const override { return "libftdi1"; }

    // True for the bridges FT_Open takes: vendor 0x0403 with a product ID the program programs
    // (0x6001, 0xFB18 to 0xFB1F) or a standard FTDI product ID.
    static bool IsKnownBridge(uint16_t vendorId, uint16_t productId);

    // The entries, with the vendor's meaning.
    FT_STATUS Open(int deviceNumber, FT_HANDLE* handle);
    // By serial number only (FT_OPEN_BY_SERIAL_NUMBER), among the bridges FT_Open takes.
    FT_STATUS OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle);
    FT_STATUS Close(FT_HANDLE handle);
    FT_STATUS Read(FT_HANDLE handle, void* buffer, uint32_t toRead, uint32_t* returned);
    FT_STATUS Write(FT_HANDLE handle, void* buffer, uint32_t toWrite, uint32_t* written);
    FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baudRate);
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits, uint8_t parity);
    FT_STATUS SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xon, uint8_t xoff);
    FT_STATUS SetDtr(FT_HANDLE handle);
    FT_STATUS SetRts(FT_HANDLE handle);
    FT_STATUS SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                       uint8_t errorEnabled);
    FT_STATUS Purge(FT_HANDLE handle, uint32_t mask);
    FT_STATUS SetTimeouts(FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout);
    FT_STATUS GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes);
    FT_STATUS EeRead(FT_HANDLE handle, FT_PROGRAM_DATA* data);
    FT_STATUS EeProgram(FT_HANDLE handle, FT_PROGRAM_DATA* data);

private:
    struct Device;

    Device* Find(FT_HANDLE handle) const;
    // Opens the first known bridge that matches, in the bus's order.
    FT_STATUS OpenFirst(const std::function<bool(ftdi_context*, libusb_device*)>& matches, FT_HANDLE* handle);
    // One pass over the bridge's receive side into the device's queue: waits at most one
    // latency period when nothing is there.
    FT_STATUS Fetch(Device& device, uint32_t maxBytes, int usbTimeoutMs);
    // Puts the line settings back after EEPROM programming has reset the bridge.
    static void Restore(Device& device);

    std::vector<std::unique_ptr<Device>> m_devices;
};
