#include "link/FtdiD2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <span>
#include <string>

#include "link/FtdiEepromImage.h"

namespace {

// The vendor's flow-control values (the bridge's own request values too).
constexpr uint16_t kFlowRtsCts = 0x0100;
constexpr uint16_t kFlowDtrDsr = 0x0200;
constexpr uint16_t kFlowXonXoff = 0x0400;

// A read may run this much past its time-out before libusb gives up on an unresponsive bridge;
// a working bridge answers every request within one latency period.
constexpr int kReadSlackMs = 50;
// libftdi1's read chunk: one receive pass never brings more.
constexpr uint32_t kFetchChunk = 4096;
// FT_GetQueueStatus stops fetching once this much waits unread.
constexpr size_t kMaxQueued = 64 * 1024;
// Room for a USB string descriptor's text: at most 126 characters.
constexpr size_t kSerialTextSize = 128;
// The largest EEPROM image libftdi1 handles.
constexpr int kEepromImageSize = 256;

// Timing of the 10-bit characters (start, 8 data, stop) at the current baud rate, so that a long
// write at a low rate is not cut off by a time-out meant for a short telegram.
int WriteTimeoutMs(uint32_t timeoutMs, uint32_t count, uint32_t baudRate) {
    const uint64_t transmitMs =
        static_cast<uint64_t>(count) * 10 * 1000 / std::max<uint32_t>(baudRate, 1) + 1;
    const uint64_t total = timeoutMs + transmitMs;
    return static_cast<int>(std::min<uint64_t>(total, INT_MAX));
}

// The text is terminated within its buffer.
bool FitsIn(const char* text, size_t size) {
    return text != nullptr && strnlen(text, size) < size;
}

bool HasTextBuffers(const FT_PROGRAM_DATA* data) {
    return data != nullptr && data->Manufacturer != nullptr && data->ManufacturerId != nullptr &&
           data->Description != nullptr && data->SerialNumber != nullptr;
}

int GetEepromValue(ftdi_context* context, ftdi_eeprom_value name) {
    int value = 0;
    ftdi_get_eeprom_value(context, name, &value);
    return value;
}

}  // namespace

struct FtdiD2xx::Device {
    ~Device() {
        if (m_pContext != nullptr) {
            // Releasing the interface hands the bridge back to the system's serial driver.
            ftdi_usb_close(m_pContext);
            ftdi_free(m_pContext);
        }
    }

    ftdi_context* m_pContext = nullptr;
    uint32_t m_dwReadTimeout = kDefaultTimeoutMs;
    uint32_t m_dwWriteTimeout = kDefaultTimeoutMs;
    // The line settings as last set (opening the bridge sets 9600 baud, 8N1, no flow control).
    uint32_t m_dwBaudRate = 9600;
    uint8_t m_byWordLength = 8;
    uint8_t m_byStopBits = 0;
    uint8_t m_byParity = 0;
    uint16_t m_wFlowControl = FT_FLOW_NONE;
    uint8_t m_byXon = 0;
    uint8_t m_byXoff = 0;
    uint8_t m_byEventChar = 0;
    uint8_t m_byEventEnabled = 0;
    uint8_t m_byErrorChar = 0;
    uint8_t m_byErrorEnabled = 0;
    bool m_bDtr = false;
    bool m_bRts = false;
    // Bytes FT_GetQueueStatus fetched that no read has taken yet.
    std::vector<uint8_t> m_queued;
};

FtdiD2xx::FtdiD2xx() {
    D2xxTable& t = m_table;
    t.FT_Open = [this](int deviceNumber, FT_HANDLE* handle) { return Open(deviceNumber, handle); };
    t.FT_OpenEx = [this](void* arg, uint32_t flags, FT_HANDLE* handle) { return OpenEx(arg, flags, handle); };
    t.FT_Close = [this](FT_HANDLE handle) { return Close(handle); };
    t.FT_Read = [this](FT_HANDLE handle, void* buffer, uint32_t toRead, uint32_t* returned) {
        return Read(handle, buffer, toRead, returned);
    };
    t.FT_Write = [this](FT_HANDLE handle, void* buffer, uint32_t toWrite, uint32_t* written) {
        return Write(handle, buffer, toWrite, written);
    };
    t.FT_SetBaudRate = [this](FT_HANDLE handle, uint32_t baudRate) { return SetBaudRate(handle, baudRate); };
    t.FT_SetDataCharacteristics = [this](FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                         uint8_t parity) {
        return SetDataCharacteristics(handle, wordLength, stopBits, parity);
    };
    t.FT_SetFlowControl = [this](FT_HANDLE handle, uint16_t flowControl, uint8_t xon, uint8_t xoff) {
        return SetFlowControl(handle, flowControl, xon, xoff);
    };
    t.FT_SetDtr = [this](FT_HANDLE handle) { return SetDtr(handle); };
    t.FT_SetRts = [this](FT_HANDLE handle) { return SetRts(handle); };
    t.FT_SetChars = [this](FT_HANDLE handle, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                           uint8_t errorEnabled) {
        return SetChars(handle, eventChar, eventEnabled, errorChar, errorEnabled);
    };
    t.FT_Purge = [this](FT_HANDLE handle, uint32_t mask) { return Purge(handle, mask); };
    t.FT_SetTimeouts = [this](FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout) {
        return SetTimeouts(handle, readTimeout, writeTimeout);
    };
    t.FT_GetQueueStatus = [this](FT_HANDLE handle, uint32_t* rxBytes) {
        return GetQueueStatus(handle, rxBytes);
    };
    t.FT_EE_Read = [this](FT_HANDLE handle, FT_PROGRAM_DATA* data) { return EeRead(handle, data); };
    t.FT_EE_Program = [this](FT_HANDLE handle, FT_PROGRAM_DATA* data) { return EeProgram(handle, data); };

    // What the program never calls: present, so that a caller gets an answer instead of an
    // empty entry, but not pretending to work.
    const auto unsupported = [](auto&&...) -> FT_STATUS { return FT_NOT_SUPPORTED; };
    t.FT_ListDevices = unsupported;
    t.FT_IoCtl = unsupported;
    t.FT_SetDivisor = unsupported;
    t.FT_ResetDevice = unsupported;
    t.FT_ClrDtr = unsupported;
    t.FT_ClrRts = unsupported;
    t.FT_GetModemStatus = unsupported;
    t.FT_SetEventNotification = unsupported;
    t.FT_GetStatus = unsupported;
    t.FT_SetBreakOn = unsupported;
    t.FT_SetBreakOff = unsupported;
    t.FT_SetWaitMask = unsupported;
    t.FT_WaitOnMask = unsupported;
    t.FT_GetEventStatus = unsupported;
    t.FT_ReadEE = unsupported;
    t.FT_WriteEE = unsupported;
    t.FT_EraseEE = unsupported;
    t.FT_EE_UASize = unsupported;
    t.FT_EE_UAWrite = unsupported;
    t.FT_EE_UARead = unsupported;
    t.FT_SetLatencyTimer = unsupported;
    t.FT_GetLatencyTimer = unsupported;
    t.FT_SetBitMode = unsupported;
    t.FT_GetBitMode = unsupported;
    t.FT_SetUSBParameters = unsupported;
}

FtdiD2xx::~FtdiD2xx() = default;

bool FtdiD2xx::IsKnownBridge(uint16_t vendorId, uint16_t productId) {
    if (vendorId != 0x0403) {
        return false;
    }
    if (productId >= 0xFB18 && productId <= 0xFB1F) {
        return true;
    }
    switch (productId) {
        case 0x6001:  // FT232R / FT245R / FT232BM
        case 0x6010:  // FT2232
        case 0x6011:  // FT4232H
        case 0x6014:  // FT232H
        case 0x6015:  // FT-X series
            return true;
        default:
            return false;
    }
}

FtdiD2xx::Device* FtdiD2xx::Find(FT_HANDLE handle) const {
    if (handle == nullptr) {
        return nullptr;
    }
    for (const auto& device : m_devices) {
        if (device.get() == handle) {
            return device.get();
        }
    }
    return nullptr;
}

FT_STATUS FtdiD2xx::Open(int deviceNumber, FT_HANDLE* handle) {
    if (handle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *handle = nullptr;
    if (deviceNumber < 0) {
        return FT_DEVICE_NOT_FOUND;
    }
    int index = 0;
    return OpenFirst(
        [&index, deviceNumber](ftdi_context*, libusb_device*) { return index++ == deviceNumber; }, handle);
}

FT_STATUS FtdiD2xx::OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    if (handle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *handle = nullptr;
    if (flags != FT_OPEN_BY_SERIAL_NUMBER) {
        return FT_NOT_SUPPORTED;  // by description or location: the program never asks
    }
    if (arg == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    const std::string wanted(static_cast<const char*>(arg));
    return OpenFirst(
        [&wanted](ftdi_context* context, libusb_device* device) {
            // The serial number the bridge enumerated with. A bridge another program holds still
            // answers this; one that shows no serial number never matches.
            char serial[kSerialTextSize] = {};
            return ftdi_usb_get_strings(context, device, nullptr, 0, nullptr, 0, serial, sizeof serial) ==
                       0 &&
                   wanted == serial;
        },
        handle);
}

FT_STATUS FtdiD2xx::OpenFirst(const std::function<bool(ftdi_context*, libusb_device*)>& matches,
                              FT_HANDLE* handle) {
    auto device = std::make_unique<Device>();
    ftdi_context* context = ftdi_new();
    if (context == nullptr) {
        return FT_INSUFFICIENT_RESOURCES;
    }
    device->m_pContext = context;
    // Take the bridge from the system's serial driver while open, and give it back on close.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context->usb_ctx, &list);
    if (count < 0) {
        return FT_DEVICE_NOT_FOUND;
    }
    libusb_device* chosen = nullptr;
    for (ssize_t i = 0; i < count && chosen == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
            IsKnownBridge(descriptor.idVendor, descriptor.idProduct) && matches(context, list[i])) {
            chosen = list[i];
        }
    }
    // Opening keeps its own reference to the device, so the list can go either way.
    const int opened = chosen != nullptr ? ftdi_usb_open_dev(context, chosen) : 0;
    libusb_free_device_list(list, 1);
    if (chosen == nullptr) {
        return FT_DEVICE_NOT_FOUND;
    }
    if (opened < 0) {
        // In use by another program, no access to the device node, or it went away meanwhile.
        return FT_DEVICE_NOT_OPENED;
    }
    context->usb_read_timeout = kControlTimeoutMs;
    context->usb_write_timeout = kControlTimeoutMs;
    if (ftdi_set_latency_timer(context, kLatencyTimerMs) < 0) {
        return FT_IO_ERROR;
    }
    *handle = device.get();
    m_devices.push_back(std::move(device));
    return FT_OK;
}

FT_STATUS FtdiD2xx::Close(FT_HANDLE handle) {
    const auto it = std::find_if(m_devices.begin(), m_devices.end(),
                                 [handle](const auto& device) { return device.get() == handle; });
    if (handle == nullptr || it == m_devices.end()) {
        return FT_INVALID_HANDLE;
    }
    // A bridge that was unplugged cannot release cleanly; the handle is gone all the same, and
    // the caller can do nothing else about it.
    m_devices.erase(it);
    return FT_OK;
}

FT_STATUS FtdiD2xx::Read(FT_HANDLE handle, void* buffer, uint32_t toRead, uint32_t* returned) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (returned == nullptr || (buffer == nullptr && toRead > 0)) {
        return FT_INVALID_PARAMETER;
    }
    *returned = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;

    // First what a queue-status call already fetched.
    if (!device->m_queued.empty()) {
        const uint32_t take = static_cast<uint32_t>(std::min<size_t>(device->m_queued.size(), toRead));
        std::copy_n(device->m_queued.begin(), take, out);
        device->m_queued.erase(device->m_queued.begin(), device->m_queued.begin() + take);
        got = take;
    }

    // Then the bridge, until n bytes or the time-out. Each pass is one USB transfer that sleeps in
    // the kernel until the bridge answers: at once with data, or after its latency period with
    // none. A time-out of 0 still makes one pass.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(device->m_dwReadTimeout);
    ftdi_context* context = device->m_pContext;
    FT_STATUS status = FT_OK;
    bool first = true;
    while (got < toRead) {
        const auto now = Clock::now();
        if (!first && now >= deadline) {
            break;
        }
        first = false;
        const auto leftMs =
            std::chrono::ceil<std::chrono::milliseconds>(std::max(deadline - now, Clock::duration{}));
        context->usb_read_timeout =
            static_cast<int>(std::min<int64_t>(leftMs.count() + kReadSlackMs, INT_MAX));
        const int want = static_cast<int>(std::min<uint32_t>(toRead - got, INT_MAX));
        const int n = ftdi_read_data(context, out + got, want);
        context->usb_read_timeout = kControlTimeoutMs;
        if (n == LIBUSB_ERROR_TIMEOUT) {
            break;  // the bridge said nothing within the time-out
        }
        if (n < 0) {
            status = FT_IO_ERROR;
            break;
        }
        got += static_cast<uint32_t>(n);
    }
    *returned = got;
    return status;
}

FT_STATUS FtdiD2xx::Write(FT_HANDLE handle, void* buffer, uint32_t toWrite, uint32_t* written) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (written == nullptr || (buffer == nullptr && toWrite > 0) || toWrite > INT_MAX) {
        return FT_INVALID_PARAMETER;
    }
    *written = 0;
    if (toWrite == 0) {
        return FT_OK;
    }
    ftdi_context* context = device->m_pContext;
    context->usb_write_timeout = WriteTimeoutMs(device->m_dwWriteTimeout, toWrite, device->m_dwBaudRate);
    const int n =
        ftdi_write_data(context, static_cast<const unsigned char*>(buffer), static_cast<int>(toWrite));
    context->usb_write_timeout = kControlTimeoutMs;
    if (n < 0) {
        return FT_IO_ERROR;
    }
    *written = static_cast<uint32_t>(n);
    return FT_OK;
}

FT_STATUS FtdiD2xx::SetBaudRate(FT_HANDLE handle, uint32_t baudRate) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (baudRate == 0 || baudRate > INT_MAX) {
        return FT_INVALID_BAUD_RATE;
    }
    switch (ftdi_set_baudrate(device->m_pContext, static_cast<int>(baudRate))) {
        case 0:
            device->m_dwBaudRate = baudRate;
            return FT_OK;
        case -1:
            return FT_INVALID_BAUD_RATE;  // the bridge cannot come within 5% of it
        default:
            return FT_IO_ERROR;
    }
}

FT_STATUS FtdiD2xx::SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                           uint8_t parity) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    // The bridge frames 7 or 8 data bits; 1, 1.5 or 2 stop bits (0, 1, 2); parity none, odd,
    // even, mark, space (0 to 4).
    if ((wordLength != 7 && wordLength != 8) || stopBits > 2 || parity > 4) {
        return FT_INVALID_PARAMETER;
    }
    if (ftdi_set_line_property(device->m_pContext, static_cast<ftdi_bits_type>(wordLength),
                               static_cast<ftdi_stopbits_type>(stopBits),
                               static_cast<ftdi_parity_type>(parity)) < 0) {
        return FT_IO_ERROR;
    }
    device->m_byWordLength = wordLength;
    device->m_byStopBits = stopBits;
    device->m_byParity = parity;
    return FT_OK;
}

FT_STATUS FtdiD2xx::SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xon, uint8_t xoff) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    int result = 0;
    switch (flowControl) {
        case FT_FLOW_NONE:
            result = ftdi_setflowctrl(device->m_pContext, SIO_DISABLE_FLOW_CTRL);
            break;
        case kFlowRtsCts:
            result = ftdi_setflowctrl(device->m_pContext, SIO_RTS_CTS_HS);
            break;
        case kFlowDtrDsr:
            result = ftdi_setflowctrl(device->m_pContext, SIO_DTR_DSR_HS);
            break;
        case kFlowXonXoff:
            result = ftdi_setflowctrl_xonxoff(device->m_pContext, xon, xoff);
            break;
        default:
            return FT_INVALID_PARAMETER;
    }
    if (result < 0) {
        return FT_IO_ERROR;
    }
    device->m_wFlowControl = flowControl;
    device->m_byXon = xon;
    device->m_byXoff = xoff;
    return FT_OK;
}

FT_STATUS FtdiD2xx::SetDtr(FT_HANDLE handle) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (ftdi_setdtr(device->m_pContext, 1) < 0) {
        return FT_IO_ERROR;
    }
    device->m_bDtr = true;
    return FT_OK;
}

FT_STATUS FtdiD2xx::SetRts(FT_HANDLE handle) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (ftdi_setrts(device->m_pContext, 1) < 0) {
        return FT_IO_ERROR;
    }
    device->m_bRts = true;
    return FT_OK;
}

FT_STATUS FtdiD2xx::SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                             uint8_t errorEnabled) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (ftdi_set_event_char(device->m_pContext, eventChar, eventEnabled) < 0 ||
        ftdi_set_error_char(device->m_pContext, errorChar, errorEnabled) < 0) {
        return FT_IO_ERROR;
    }
    device->m_byEventChar = eventChar;
    device->m_byEventEnabled = eventEnabled;
    device->m_byErrorChar = errorChar;
    device->m_byErrorEnabled = errorEnabled;
    return FT_OK;
}

FT_STATUS FtdiD2xx::Purge(FT_HANDLE handle, uint32_t mask) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    // Receive: what the bridge holds, what libftdi1 buffered, and what we fetched ahead.
    if ((mask & FT_PURGE_RX) != 0) {
        device->m_queued.clear();
        if (ftdi_tciflush(device->m_pContext) < 0) {
            return FT_IO_ERROR;
        }
    }
    if ((mask & FT_PURGE_TX) != 0 && ftdi_tcoflush(device->m_pContext) < 0) {
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS FtdiD2xx::SetTimeouts(FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    device->m_dwReadTimeout = readTimeout;
    device->m_dwWriteTimeout = writeTimeout;
    return FT_OK;
}

FT_STATUS FtdiD2xx::Fetch(Device& device, uint32_t maxBytes, int usbTimeoutMs) {
    uint8_t chunk[kFetchChunk];
    ftdi_context* context = device.m_pContext;
    context->usb_read_timeout = usbTimeoutMs;
    const int n = ftdi_read_data(context, chunk, static_cast<int>(std::min(maxBytes, kFetchChunk)));
    context->usb_read_timeout = kControlTimeoutMs;
    if (n == LIBUSB_ERROR_TIMEOUT) {
        return FT_OK;
    }
    if (n < 0) {
        return FT_IO_ERROR;
    }
    device.m_queued.insert(device.m_queued.end(), chunk, chunk + n);
    return FT_OK;
}

FT_STATUS FtdiD2xx::GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (rxBytes == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    // The bridge only reports its bytes by handing them over: fetch what is there now into our
    // own queue, which the next reads drain first.
    FT_STATUS status = FT_OK;
    if (device->m_queued.size() < kMaxQueued) {
        status = Fetch(*device, kFetchChunk, kLatencyTimerMs + kReadSlackMs);
    }
    *rxBytes = static_cast<uint32_t>(device->m_queued.size());
    return status;
}

FT_STATUS FtdiD2xx::EeRead(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (!HasTextBuffers(data)) {
        return FT_INVALID_PARAMETER;
    }
    ftdi_context* context = device->m_pContext;
    if (ftdi_read_eeprom(context) < 0) {
        return FT_EEPROM_READ_FAILED;
    }
    // An erased EEPROM, or one whose strings point outside it, is never handed to libftdi1's
    // decoder, which would read past its image.
    if (const FT_STATUS status = FtdiEepromImage::Decode(context); status != FT_OK) {
        return status;
    }
    uint8_t buffer[kEepromImageSize] = {};
    ftdi_get_eeprom_buf(context, buffer, sizeof buffer);
    const std::span<const uint8_t> image(buffer, static_cast<size_t>(GetEepromValue(context, CHIP_SIZE)));

    data->VendorId = static_cast<uint16_t>(GetEepromValue(context, VENDOR_ID));
    data->ProductId = static_cast<uint16_t>(GetEepromValue(context, PRODUCT_ID));
    data->MaxPower = static_cast<uint16_t>(GetEepromValue(context, MAX_POWER));
    data->PnP = GetEepromValue(context, IS_NOT_PNP) != 0 ? 0 : 1;
    data->SelfPowered = GetEepromValue(context, SELF_POWERED) != 0 ? 1 : 0;
    data->RemoteWakeup = GetEepromValue(context, REMOTE_WAKEUP) != 0 ? 1 : 0;
    // Every bridge after the first (AM) generation has the revision-4 features.
    data->Rev4 = context->type != TYPE_AM ? 1 : 0;
    data->IsoIn = GetEepromValue(context, IN_IS_ISOCHRONOUS) != 0 ? 1 : 0;
    data->IsoOut = GetEepromValue(context, OUT_IS_ISOCHRONOUS) != 0 ? 1 : 0;
    data->PullDownEnable = GetEepromValue(context, SUSPEND_PULL_DOWNS) != 0 ? 1 : 0;
    data->SerNumEnable = GetEepromValue(context, USE_SERIAL) != 0 ? 1 : 0;
    data->USBVersionEnable = GetEepromValue(context, USE_USB_VERSION) != 0 ? 1 : 0;
    data->USBVersion = static_cast<uint16_t>(GetEepromValue(context, USB_VERSION));

    std::memset(data->Manufacturer, 0, kEeManufacturerSize);
    std::memset(data->ManufacturerId, 0, kEeManufacturerIdSize);
    std::memset(data->Description, 0, kEeDescriptionSize);
    std::memset(data->SerialNumber, 0, kEeSerialNumberSize);
    // A string the EEPROM lacks stays null in libftdi1, which would copy from it: ask only for the
    // strings that are there.
    const auto present = [image](size_t pair) { return FtdiEepromImage::HasString(image, pair); };
    ftdi_eeprom_get_strings(context, present(0x0E) ? data->Manufacturer : nullptr, kEeManufacturerSize,
                            present(0x10) ? data->Description : nullptr, kEeDescriptionSize,
                            present(0x12) ? data->SerialNumber : nullptr, kEeSerialNumberSize);
    // The manufacturer ID is no field of its own in the EEPROM: it is the serial number's prefix.
    if (std::strlen(data->SerialNumber) >= 2) {
        std::memcpy(data->ManufacturerId, data->SerialNumber, 2);
    }
    return FT_OK;
}

FT_STATUS FtdiD2xx::EeProgram(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    Device* device = Find(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (!HasTextBuffers(data) || !FitsIn(data->Manufacturer, kEeManufacturerSize) ||
        !FitsIn(data->Description, kEeDescriptionSize) || !FitsIn(data->SerialNumber, kEeSerialNumberSize)) {
        return FT_INVALID_PARAMETER;
    }
    ftdi_context* context = device->m_pContext;

    // Start from what the bridge holds, so that settings the record does not carry (pin
    // functions, driver choice, oscillator) survive; an erased, unreadable or corrupt EEPROM starts
    // from libftdi1's defaults for this chip.
    const bool keep = ftdi_read_eeprom(context) == 0 && FtdiEepromImage::Decode(context) == FT_OK &&
                      GetEepromValue(context, CHIP_TYPE) != -1;
    if (!keep && ftdi_eeprom_initdefaults(context, nullptr, nullptr, nullptr) < 0) {
        return FT_EEPROM_WRITE_FAILED;
    }

    // Strings first: setting them switches the serial number on, which the record decides below.
    if (ftdi_eeprom_set_strings(context, data->Manufacturer, data->Description, data->SerialNumber) < 0) {
        return FT_EEPROM_WRITE_FAILED;
    }
    const struct {
        ftdi_eeprom_value name;
        int value;
    } values[] = {
        {VENDOR_ID, data->VendorId},
        {PRODUCT_ID, data->ProductId},
        {MAX_POWER, data->MaxPower},
        {IS_NOT_PNP, data->PnP != 0 ? 0 : 1},
        {SELF_POWERED, data->SelfPowered != 0 ? 1 : 0},
        {REMOTE_WAKEUP, data->RemoteWakeup != 0 ? 1 : 0},
        {IN_IS_ISOCHRONOUS, data->IsoIn != 0 ? 1 : 0},
        {OUT_IS_ISOCHRONOUS, data->IsoOut != 0 ? 1 : 0},
        {SUSPEND_PULL_DOWNS, data->PullDownEnable != 0 ? 1 : 0},
        {USE_SERIAL, data->SerNumEnable != 0 ? 1 : 0},
        {USE_USB_VERSION, data->USBVersionEnable != 0 ? 1 : 0},
        {USB_VERSION, data->USBVersion},
    };
    for (const auto& entry : values) {
        if (ftdi_set_eeprom_value(context, entry.name, entry.value) < 0) {
            return FT_EEPROM_WRITE_FAILED;
        }
    }
    const int built = ftdi_eeprom_build(context);
    if (built == -1) {
        return FT_INVALID_PARAMETER;  // the texts do not fit this chip's EEPROM; nothing written
    }
    if (built < 0) {
        return FT_EEPROM_WRITE_FAILED;
    }
    const int result = ftdi_write_eeprom(context);
    // Writing resets the bridge and changes its latency timer.
    Restore(*device);
    return result < 0 ? FT_EEPROM_WRITE_FAILED : FT_OK;
}

void FtdiD2xx::Restore(Device& device) {
    ftdi_context* context = device.m_pContext;
    ftdi_set_latency_timer(context, kLatencyTimerMs);
    ftdi_set_baudrate(context, static_cast<int>(device.m_dwBaudRate));
    ftdi_set_line_property(context, static_cast<ftdi_bits_type>(device.m_byWordLength),
                           static_cast<ftdi_stopbits_type>(device.m_byStopBits),
                           static_cast<ftdi_parity_type>(device.m_byParity));
    if (device.m_wFlowControl == kFlowXonXoff) {
        ftdi_setflowctrl_xonxoff(context, device.m_byXon, device.m_byXoff);
    } else {
        ftdi_setflowctrl(context, device.m_wFlowControl);
    }
    if (device.m_bDtr) {
        ftdi_setdtr(context, 1);
    }
    if (device.m_bRts) {
        ftdi_setrts(context, 1);
    }
    ftdi_set_event_char(context, device.m_byEventChar, device.m_byEventEnabled);
    ftdi_set_error_char(context, device.m_byErrorChar, device.m_byErrorEnabled);
}

std::unique_ptr<D2xxProvider> CreateFtdiD2xx() {
    // libftdi1 needs libusb: check once that a context can be made.
    ftdi_context* probe = ftdi_new();
    if (probe == nullptr) {
        return nullptr;
    }
    ftdi_free(probe);
    return std::make_unique<FtdiD2xx>();
}
