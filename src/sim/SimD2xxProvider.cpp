#include "sim/SimD2xxProvider.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

// The token that stands for the one device; any non-null value would do.
FT_HANDLE HandleOf(SimD2xxProvider* provider) {
    return static_cast<FT_HANDLE>(provider);
}

void CopyText(char* destination, size_t size, const std::string& text) {
    std::memset(destination, 0, size);
    std::memcpy(destination, text.data(), std::min(text.size(), size - 1));
}

std::string TextOf(const char* source, size_t size) {
    return source == nullptr ? std::string() : std::string(source, strnlen(source, size));
}

}  // namespace

SimD2xxProvider::SimD2xxProvider(std::shared_ptr<SimReader> reader, Clock& clock)
    : m_pReader(std::move(reader)), m_clock(clock), m_pFakeClock(dynamic_cast<FakeClock*>(&clock)) {
    m_nListener = m_pReader->AddListener([this] {
        std::lock_guard lock(m_mutex);
        m_bChanged = true;
        m_changed.notify_all();
    });

    D2xxTable& t = m_table;
    auto fail = [this](const char* name, auto body) {
        return [this, name, body](FT_HANDLE handle, auto... args) -> FT_STATUS {
            FT_STATUS status;
            if (Failing(name, status)) {
                return status;
            }
            if ((status = CheckHandle(handle)) != FT_OK) {
                return status;
            }
            return body(args...);
        };
    };
    t.FT_Open = [this](int device, FT_HANDLE* handle) -> FT_STATUS {
        FT_STATUS status;
        if (Failing("FT_Open", status)) {
            return status;
        }
        if (device != 0 || handle == nullptr) {
            return FT_DEVICE_NOT_FOUND;
        }
        return Open(handle);
    };
    t.FT_OpenEx = [this](void* arg, uint32_t flags, FT_HANDLE* handle) -> FT_STATUS {
        FT_STATUS status;
        if (Failing("FT_OpenEx", status)) {
            return status;
        }
        if (flags != FT_OPEN_BY_SERIAL_NUMBER) {
            return FT_NOT_SUPPORTED;
        }
        if (arg == nullptr || handle == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        // The serial number the bridge has now: after its EEPROM was programmed, the old one
        // names no bridge any more. A bridge whose EEPROM hides its serial number shows none.
        // A driver never opens another bridge instead.
        const SimEeprom eeprom = m_pReader->GetEeprom();
        if (eeprom.serNumEnable == 0 || eeprom.serialNumber != static_cast<const char*>(arg)) {
            return FT_DEVICE_NOT_FOUND;
        }
        return Open(handle);
    };
    t.FT_Close = fail("FT_Close", [this]() -> FT_STATUS {
        std::lock_guard lock(m_mutex);
        m_bOpen = false;
        return FT_OK;
    });
    t.FT_Read = fail("FT_Read", [this](void* buffer, uint32_t toRead, uint32_t* returned) {
        return Read(static_cast<uint8_t*>(buffer), toRead, returned);
    });
    t.FT_Write = fail("FT_Write", [this](void* buffer, uint32_t toWrite, uint32_t* written) -> FT_STATUS {
        if (buffer == nullptr && toWrite != 0) {
            return FT_INVALID_PARAMETER;
        }
        m_pReader->Receive({static_cast<const uint8_t*>(buffer), toWrite}, kSource);
        if (written != nullptr) {
            *written = toWrite;
        }
        return FT_OK;
    });
    t.FT_SetTimeouts = fail("FT_SetTimeouts", [this](uint32_t readTimeout, uint32_t) -> FT_STATUS {
        std::lock_guard lock(m_mutex);
        m_dwReadTimeout = readTimeout;
        return FT_OK;
    });
    t.FT_Purge = fail("FT_Purge", [this](uint32_t mask) -> FT_STATUS {
        if (mask & FT_PURGE_RX) {
            m_pReader->DiscardOutput();
        }
        return FT_OK;
    });
    t.FT_SetBaudRate = fail("FT_SetBaudRate", [this](uint32_t baudRate) -> FT_STATUS {
        if (baudRate < 300 || baudRate > 3000000) {
            return FT_INVALID_BAUD_RATE;
        }
        std::lock_guard lock(m_mutex);
        m_dwBaudRate = baudRate;
        return FT_OK;
    });
    t.FT_SetDataCharacteristics =
        fail("FT_SetDataCharacteristics", [](uint8_t, uint8_t, uint8_t) { return FT_OK; });
    t.FT_SetFlowControl = fail("FT_SetFlowControl", [](uint16_t, uint8_t, uint8_t) { return FT_OK; });
    t.FT_SetDtr = fail("FT_SetDtr", []() { return FT_OK; });
    t.FT_SetRts = fail("FT_SetRts", []() { return FT_OK; });
    t.FT_SetChars = fail("FT_SetChars",
                         [this](uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                                uint8_t errorEnabled) -> FT_STATUS {
                             std::lock_guard lock(m_mutex);
                             m_byEventChar = eventEnabled ? eventChar : 0;
                             m_byErrorChar = errorEnabled ? errorChar : 0;
                             return FT_OK;
                         });
    t.FT_EE_Read = fail("FT_EE_Read", [this](FT_PROGRAM_DATA* data) { return EeRead(data); });
    t.FT_EE_Program = fail("FT_EE_Program", [this](FT_PROGRAM_DATA* data) { return EeProgram(data); });

    // The bridge has nothing behind the other entries.
    t.FT_ListDevices = [](void*, void*, uint32_t) { return FT_NOT_SUPPORTED; };
    t.FT_IoCtl = [](FT_HANDLE, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t*, void*) {
        return FT_NOT_SUPPORTED;
    };
    t.FT_SetDivisor = [](FT_HANDLE, uint16_t) { return FT_NOT_SUPPORTED; };
    t.FT_ResetDevice = [](FT_HANDLE) { return FT_NOT_SUPPORTED; };
    t.FT_ClrDtr = [](FT_HANDLE) { return FT_NOT_SUPPORTED; };
    t.FT_ClrRts = [](FT_HANDLE) { return FT_NOT_SUPPORTED; };
    t.FT_GetModemStatus = [](FT_HANDLE, uint32_t*) { return FT_NOT_SUPPORTED; };
    t.FT_GetQueueStatus = [](FT_HANDLE, uint32_t*) { return FT_NOT_SUPPORTED; };
    t.FT_SetEventNotification = [](FT_HANDLE, uint32_t, void*) { return FT_NOT_SUPPORTED; };
    t.FT_GetStatus = [](FT_HANDLE, uint32_t*, uint32_t*, uint32_t*) { return FT_NOT_SUPPORTED; };
    t.FT_SetBreakOn = [](FT_HANDLE) { return FT_NOT_SUPPORTED; };
    t.FT_SetBreakOff = [](FT_HANDLE) { return FT_NOT_SUPPORTED; };
    t.FT_SetWaitMask = [](FT_HANDLE, uint32_t) { return FT_NOT_SUPPORTED; };
    t.FT_WaitOnMask = [](FT_HANDLE, uint32_t*) { return FT_NOT_SUPPORTED; };
    t.FT_GetEventStatus = [](FT_HANDLE, uint32_t*) { return FT_NOT_SUPPORTED; };
    t.FT_ReadEE = [](FT_HANDLE, uint32_t, uint16_t*) { return FT_NOT_SUPPORTED; };
    t.FT_WriteEE = [](FT_HANDLE, uint32_t, uint16_t) { return FT_NOT_SUPPORTED; };
    t.FT_EraseEE = [](FT_HANDLE) { return FT_NOT_SUPPORTED; };
    t.FT_EE_UASize = [](FT_HANDLE, uint32_t*) { return FT_NOT_SUPPORTED; };
    t.FT_EE_UAWrite = [](FT_HANDLE, uint8_t*, uint32_t) { return FT_NOT_SUPPORTED; };
    t.FT_EE_UARead = [](FT_HANDLE, uint8_t*, uint32_t, uint32_t*) { return FT_NOT_SUPPORTED; };
    t.FT_SetLatencyTimer = [](FT_HANDLE, uint8_t) { return FT_NOT_SUPPORTED; };
    t.FT_GetLatencyTimer = [](FT_HANDLE, uint8_t*) { return FT_NOT_SUPPORTED; };
    t.FT_SetBitMode = [](FT_HANDLE, uint8_t, uint8_t) { return FT_NOT_SUPPORTED; };
    t.FT_GetBitMode = [](FT_HANDLE, uint8_t*) { return FT_NOT_SUPPORTED; };
    t.FT_SetUSBParameters = [](FT_HANDLE, uint32_t, uint32_t) { return FT_NOT_SUPPORTED; };
}

SimD2xxProvider::~SimD2xxProvider() {
    m_pReader->RemoveListener(m_nListener);
}

void SimD2xxProvider::FailCall(const std::string& name, FT_STATUS status, uint32_t times) {
    std::lock_guard lock(m_mutex);
    if (times == 0) {
        m_failures.erase(name);
    } else {
        m_failures[name] = {status, times};
    }
}

bool SimD2xxProvider::Failing(const char* name, FT_STATUS& status) {
    std::lock_guard lock(m_mutex);
    auto it = m_failures.find(name);
    if (it == m_failures.end()) {
        return false;
    }
    status = it->second.status;
    if (it->second.times != kForever && --it->second.times == 0) {
        m_failures.erase(it);
    }
    return true;
}

FT_STATUS SimD2xxProvider::Open(FT_HANDLE* handle) {
    std::lock_guard lock(m_mutex);
    if (m_bOpen) {
        return FT_DEVICE_NOT_OPENED;  // one program at a time, as with the real bridge
    }
    m_bOpen = true;
    *handle = HandleOf(this);
    return FT_OK;
}

FT_STATUS SimD2xxProvider::CheckHandle(FT_HANDLE handle) {
    std::lock_guard lock(m_mutex);
    return m_bOpen && handle == HandleOf(this) ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS SimD2xxProvider::Read(uint8_t* buffer, uint32_t toRead, uint32_t* returned) {
    if (returned == nullptr || (buffer == nullptr && toRead != 0)) {
        return FT_INVALID_PARAMETER;
    }
    uint32_t timeout;
    {
        std::lock_guard lock(m_mutex);
        timeout = m_dwReadTimeout;
    }
    std::vector<uint8_t> got;
    const uint32_t start = m_clock.GetTickCount();
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            m_bChanged = false;
        }
        m_pReader->Transmit(got, toRead - got.size(), kSource);
        if (got.size() >= toRead) {
            break;
        }
        const uint32_t elapsed = m_clock.GetTickCount() - start;
        if (timeout != 0 && elapsed >= timeout) {
            break;
        }
        const std::optional<uint32_t> next = m_pReader->MsToNextEvent(kSource);
        std::optional<uint32_t> wait = next;
        if (timeout != 0) {
            wait = std::min(next.value_or(timeout - elapsed), timeout - elapsed);
        }
        if (m_pFakeClock != nullptr) {
            if (!wait) {
                break;  // nothing will ever come: only this thread moves a fake clock
            }
            m_pFakeClock->Advance(std::max<uint32_t>(*wait, 1));
            continue;
        }
        std::unique_lock lock(m_mutex);
        if (!m_bChanged) {
            if (wait) {
                m_changed.wait_for(lock, std::chrono::milliseconds(std::max<uint32_t>(*wait, 1)));
            } else {
                m_changed.wait(lock);
            }
        }
    }
    std::copy(got.begin(), got.end(), buffer);
    *returned = static_cast<uint32_t>(got.size());
    return FT_OK;
}

FT_STATUS SimD2xxProvider::EeRead(FT_PROGRAM_DATA* data) {
    if (data == nullptr || data->Manufacturer == nullptr || data->ManufacturerId == nullptr ||
        data->Description == nullptr || data->SerialNumber == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    const SimEeprom e = m_pReader->GetEeprom();
    data->VendorId = e.vendorId;
    data->ProductId = e.productId;
    CopyText(data->Manufacturer, kEeManufacturerSize, e.manufacturer);
    CopyText(data->ManufacturerId, kEeManufacturerIdSize, e.manufacturerId);
    CopyText(data->Description, kEeDescriptionSize, e.description);
    CopyText(data->SerialNumber, kEeSerialNumberSize, e.serialNumber);
    data->MaxPower = e.maxPower;
    data->PnP = e.pnp;
    data->SelfPowered = e.selfPowered;
    data->RemoteWakeup = e.remoteWakeup;
    data->Rev4 = e.rev4;
    data->IsoIn = e.isoIn;
    data->IsoOut = e.isoOut;
    data->PullDownEnable = e.pullDownEnable;
    data->SerNumEnable = e.serNumEnable;
    data->USBVersionEnable = e.usbVersionEnable;
    data->USBVersion = e.usbVersion;
    return FT_OK;
}

FT_STATUS SimD2xxProvider::EeProgram(FT_PROGRAM_DATA* data) {
    if (data == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    SimEeprom e;
    e.vendorId = data->VendorId;
    e.productId = data->ProductId;
    // Texts are taken up to their buffers' sizes, whether or not they end in a zero.
    e.manufacturer = TextOf(data->Manufacturer, kEeManufacturerSize);
    e.manufacturerId = TextOf(data->ManufacturerId, kEeManufacturerIdSize);
    e.description = TextOf(data->Description, kEeDescriptionSize);
    e.serialNumber = TextOf(data->SerialNumber, kEeSerialNumberSize);
    e.maxPower = data->MaxPower;
    e.pnp = data->PnP;
    e.selfPowered = data->SelfPowered;
    e.remoteWakeup = data->RemoteWakeup;
    e.rev4 = data->Rev4;
    e.isoIn = data->IsoIn;
    e.isoOut = data->IsoOut;
    e.pullDownEnable = data->PullDownEnable;
    e.serNumEnable = data->SerNumEnable;
    e.usbVersionEnable = data->USBVersionEnable;
    e.usbVersion = data->USBVersion;
    m_pReader->SetEeprom(e);
    return FT_OK;
}

bool SimD2xxProvider::IsOpen() {
    std::lock_guard lock(m_mutex);
    return m_bOpen;
}

uint32_t SimD2xxProvider::GetBaudRate() {
    std::lock_guard lock(m_mutex);
    return m_dwBaudRate;
}

uint32_t SimD2xxProvider::GetReadTimeout() {
    std::lock_guard lock(m_mutex);
    return m_dwReadTimeout;
}

std::pair<uint8_t, uint8_t> SimD2xxProvider::GetEventChars() {
    std::lock_guard lock(m_mutex);
    return {m_byEventChar, m_byErrorChar};
}
