#include "production/UsbEepromRecord.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMaxTextLength = 40;  // manufacturer and description
constexpr uint32_t kMaxSerialNumber = 999999;
constexpr uint16_t kMaxPowerLimit = 500;

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// The three descriptor flags take 0 or 1.
bool SetFlag(uint16_t& field, uint16_t value) {
    if (value > 1) {
        return false;
    }
    field = value;
    return true;
}

}  // namespace

UsbEepromRecord::UsbEepromRecord() {
    m_data.VendorId = 0x0403;
    m_data.ProductId = 0x6001;
    m_data.Manufacturer = m_manufacturer.data();
    m_data.ManufacturerId = m_manufacturerId.data();
    m_data.Description = m_description.data();
    m_data.SerialNumber = m_serialNumber.data();
    m_data.MaxPower = 40;
    m_data.PnP = 1;
    m_data.SelfPowered = 1;
    m_data.RemoteWakeup = 1;
}

std::string UsbEepromRecord::GetVendorId() const {
    return Hex4(m_data.VendorId);
}

bool UsbEepromRecord::SetVendorId(uint16_t value) {
    if (value != 0x0403) {
        return false;
    }
    m_data.VendorId = value;
    return true;
}

std::string UsbEepromRecord::GetProductId() const {
    return Hex4(m_data.ProductId);
}

bool UsbEepromRecord::SetProductId(uint16_t value) {
    if (value != 0x6001 && !(value >= 0xFB18 && value <= 0xFB1F)) {
        return false;
    }
    m_data.ProductId = value;
    return true;
}

bool UsbEepromRecord::SetProductId(const std::string& text) {
    if (text.size() != 4) {
        return false;
    }
    uint16_t value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        const int digit =
            std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
        value = static_cast<uint16_t>(value * 16 + digit);
    }
    return SetProductId(value);
}

bool UsbEepromRecord::SetText(char* buffer, size_t size, const std::string& text) {
    std::memset(buffer, 0, size);
    std::memcpy(buffer, text.data(), text.size());
    return true;
}

bool UsbEepromRecord::SetManufacturer(const std::string& text) {
    return text.size() <= kMaxTextLength && SetText(m_manufacturer.data(), m_manufacturer.size(), text);
}

bool UsbEepromRecord::SetManufacturerId(const std::string& text) {
    return text.size() == 2 && SetText(m_manufacturerId.data(), m_manufacturerId.size(), text);
}

bool UsbEepromRecord::SetDescription(const std::string& text) {
    return text.size() <= kMaxTextLength && SetText(m_description.data(), m_description.size(), text);
}

uint32_t UsbEepromRecord::GetSerialNumber() const {
    const size_t length = std::strlen(m_serialNumber.data());
    unsigned value = 0;
    if (length <= 2 || std::sscanf(m_serialNumber.data() + 2, "%u", &value) != 1) {
        return 0;
    }
    return value;
}

bool UsbEepromRecord::SetSerialNumber(uint32_t value) {
    if (value > kMaxSerialNumber) {
        return false;
    }
    // As "%c%c%06u": an empty manufacturer ID ends the text at once.
    std::memset(m_serialNumber.data(), 0, m_serialNumber.size());
    std::snprintf(m_serialNumber.data(), m_serialNumber.size(), "%c%c%06u", m_manufacturerId[0],
                  m_manufacturerId[1], value);
    return true;
}

bool UsbEepromRecord::SetMaxPower(uint16_t milliAmps) {
    if (milliAmps > kMaxPowerLimit) {
        return false;
    }
    m_data.MaxPower = milliAmps;
    return true;
}

bool UsbEepromRecord::SetPnP(uint16_t value) {
    return SetFlag(m_data.PnP, value);
}

bool UsbEepromRecord::SetSelfPowered(uint16_t value) {
    return SetFlag(m_data.SelfPowered, value);
}

bool UsbEepromRecord::SetRemoteWakeup(uint16_t value) {
    return SetFlag(m_data.RemoteWakeup, value);
}

bool UsbEepromRecord::SetUsbVersion(uint16_t bcd) {
    if (bcd != 0x0100 && bcd != 0x0110 && bcd != 0x0200) {
        return false;
    }
    m_data.USBVersion = bcd;
    return true;
}

std::string UsbEepromRecord::FormatSummary() const {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "Vendor ID:\t0x%s\nProduct ID:\t0x%s\nManufacturer:\t%s\nManufacturer ID:\t%s\n"
                  "Description:\t%s\nSerial number:\t%s%06u\nMax. power:\t%d mA\nPlug 'n Play:\t%d\n"
                  "Self powered:\t%d\nRemote wakeup:\t%d\n\nRevision 4:\t%d\nIsochronous IN:\t%d\n"
                  "Isochronous OUT:\t%d\nPull down enable:\t%d\nSerial nr. enable:\t%d\nVersion enable:\t%d\n"
                  "USB Version:\t%04x",
                  GetVendorId().c_str(), GetProductId().c_str(), m_manufacturer.data(),
                  m_manufacturerId.data(), m_description.data(), m_manufacturerId.data(), GetSerialNumber(),
                  m_data.MaxPower, m_data.PnP, m_data.SelfPowered, m_data.RemoteWakeup, m_data.Rev4,
                  m_data.IsoIn, m_data.IsoOut, m_data.PullDownEnable, m_data.SerNumEnable,
                  m_data.USBVersionEnable, m_data.USBVersion);
    return text;
}
