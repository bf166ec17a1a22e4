#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/D2xx.h"

// The USB descriptor settings of the reader's bridge, in the layout the D2XX EEPROM calls take,
// with the four text buffers it points at. Every write goes through a checked setter: a refused
// value returns false and leaves the field as it was.
class UsbEepromRecord {
public:
    // The manufacturer, the description and the serial number text share the string area of the
    // bridge's EEPROM (an FT232R's): this many characters in all.
    static constexpr size_t kMaxTextCharacters = 48;

    UsbEepromRecord();
    // The record points into its own buffers.
    UsbEepromRecord(const UsbEepromRecord&) = delete;
    UsbEepromRecord& operator=(const UsbEepromRecord&) = delete;

    // What FT_EE_Read fills and FT_EE_Program writes.
    FT_PROGRAM_DATA* Data() { return &m_data; }

    std::string GetVendorId() const;  // "%04X"
    bool SetVendorId(uint16_t value);
    std::string GetProductId() const;
    bool SetProductId(uint16_t value);
    // Exactly four hexadecimal digits, either case.
    bool SetProductId(const std::string& text);
    std::string GetManufacturer() const { return m_manufacturer.data(); }
    bool SetManufacturer(const std::string& text);
    std::string GetManufacturerId() const { return m_manufacturerId.data(); }
    bool SetManufacturerId(const std::string& text);
    std::string GetDescription() const { return m_description.data(); }
    bool SetDescription(const std::string& text);
    // The number behind the serial text's two-character prefix; 0 when there is none.
    uint32_t GetSerialNumber() const;
    std::string GetSerialNumberText() const { return m_serialNumber.data(); }
    // The current manufacturer ID's two characters and the number in six digits (QV001234).
    bool SetSerialNumber(uint32_t value);
    uint16_t GetMaxPower() const { return m_data.MaxPower; }
    bool SetMaxPower(uint16_t milliAmps);
    uint16_t GetPnP() const { return m_data.PnP; }
    bool SetPnP(uint16_t value);
    uint16_t GetSelfPowered() const { return m_data.SelfPowered; }
    bool SetSelfPowered(uint16_t value);
    uint16_t GetRemoteWakeup() const { return m_data.RemoteWakeup; }
    bool SetRemoteWakeup(uint16_t value);
    // Taken as they come.
    uint8_t GetRev4() const { return m_data.Rev4; }
    void SetRev4(uint8_t value) { m_data.Rev4 = value; }
    uint8_t GetIsoIn() const { return m_data.IsoIn; }
    void SetIsoIn(uint8_t value) { m_data.IsoIn = value; }
    uint8_t GetIsoOut() const { return m_data.IsoOut; }
    void SetIsoOut(uint8_t value) { m_data.IsoOut = value; }
    uint8_t GetPullDownEnable() const { return m_data.PullDownEnable; }
    void SetPullDownEnable(uint8_t value) { m_data.PullDownEnable = value; }
    uint8_t GetSerNumEnable() const { return m_data.SerNumEnable; }
    void SetSerNumEnable(uint8_t value) { m_data.SerNumEnable = value; }
    uint8_t GetUsbVersionEnable() const { return m_data.USBVersionEnable; }
    void SetUsbVersionEnable(uint8_t value) { m_data.USBVersionEnable = value; }
    uint16_t GetUsbVersion() const { return m_data.USBVersion; }
    // 0x0100, 0x0110 or 0x0200.
    bool SetUsbVersion(uint16_t bcd);

    // The text of the "read USB settings" message box.
    std::string FormatSummary() const;

private:
    bool SetText(char* buffer, size_t size, const std::string& text);

    FT_PROGRAM_DATA m_data{};
    // One byte more than the bridge may fill, so that a full buffer still ends in a zero.
    std::array<char, kEeManufacturerSize + 1> m_manufacturer{};
    std::array<char, kEeManufacturerIdSize + 1> m_manufacturerId{};
    std::array<char, kEeDescriptionSize + 1> m_description{};
    std::array<char, kEeSerialNumberSize + 1> m_serialNumber{};
};
