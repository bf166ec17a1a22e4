#include "production/ProductionForm.h"

#include <charconv>

#include "StringTable.h"
#include "commands/HexText.h"
#include "link/ReaderPort.h"
#include "production/DeviceProfiles.h"

namespace {

// A decimal edit's text as the page takes it: blanks around the number allowed.
bool ParseUnsigned(std::string_view text, uint32_t& value) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// Takes the fields in the page's exchange order; the first that breaks its limit stops it.
class Taker {
public:
    explicit Taker(ProductionForm::ProgramRequest& request) : m_request(request) {}

    bool Text(const std::string& text, size_t maxLength, int control, std::string& field) {
        if (text.size() > maxLength) {
            return Fail(LengthMessage(static_cast<int>(maxLength)), control);
        }
        field = text;
        return true;
    }
    template <typename T>
    bool Number(const std::string& text, uint32_t max, int control, T& field) {
        uint32_t value = 0;
        if (!ParseUnsigned(text, value)) {
            return Fail(LoadString(IDS_POSITIVE_INTEGER), control);
        }
        if (value > max) {
            return Fail(RangeMessage(0, static_cast<int>(max)), control);
        }
        field = static_cast<T>(value);
        return true;
    }

private:
    bool Fail(const std::string& message, int control) {
        m_request.start = ProductionForm::Start::OutOfRange;
        m_request.message = message;
        m_request.nControl = control;
        return false;
    }
    ProductionForm::ProgramRequest& m_request;
};

}  // namespace

ProductionEnabled ProductionForm::GetEnabled(bool portOpen) const {
    ProductionEnabled enabled;
    enabled.bStatusVisible = !portOpen;
    enabled.bUsbSettings = m_bUsb;
    enabled.bReadUsbSettings = m_bUsb && portOpen;
    enabled.bProgramSettings = m_bUsb;
    enabled.bProgramSerial = portOpen;
    enabled.bProgram = portOpen;
    enabled.bMifareSerialEditable = !m_bUsb;
    enabled.bAutoIncrease = m_bAutoIncreaseEnabled;
    return enabled;
}

void ProductionForm::Activate(const DeviceProfiles& profiles) {
    m_controls.profiles = profiles.GetNames();
    m_controls.nProfile = m_controls.profiles.empty() ? -1 : 0;
    Apply(profiles, Reason::Activation);
}

void ProductionForm::ChooseProfile(const DeviceProfiles& profiles, int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_controls.profiles.size()) {
        return;  // the list closed without a choice
    }
    m_controls.nProfile = index;
    Apply(profiles, Reason::Chosen);
}

void ProductionForm::Apply(const DeviceProfiles& profiles, Reason reason) {
    const std::string name = m_controls.nProfile >= 0 ? m_controls.profiles[m_controls.nProfile] : "";
    // A series of serial readers counts its MIFARE serial number on when the page is shown again
    // or its profile chosen again; choosing another profile takes it from the USB serial number.
    const DeviceProfile profile = profiles.Get(name);
    const bool keepMifare =
        !profile.bUsb && m_bApplied && (reason == Reason::Activation || name == m_strProfile);
    m_bUsb = profile.bUsb;
    m_bApplied = true;
    m_strProfile = name;
    ProductionControls& c = m_controls;
    c.strVendorId = profile.strVendorId;
    c.strProductId = profile.strProductId;
    c.strManufacturer = profile.strManufacturer;
    c.strManufacturerId = profile.strManufacturerId;
    c.strDescription = profile.strDescription;
    c.strMaxPower = std::to_string(profile.nMaxPower);
    c.bPnP = profile.nPnP != 0;
    c.bSelfPowered = profile.nSelfPowered != 0;
    c.bRemoteWakeup = profile.nRemoteWakeup != 0;
    NormaliseUsbSerial(!keepMifare);
    if (keepMifare) {
        NormaliseMifareSerial();
    }
}

void ProductionForm::NormaliseUsbSerial(bool rewriteMifare) {
    m_controls.strUsbSerial = Normalise(m_controls.strUsbSerial, 6);
    if (rewriteMifare) {
        m_controls.strMifareSerial = "00" + m_controls.strUsbSerial;
    }
}

void ProductionForm::EditUsbSerial(const std::string& text) {
    m_controls.strUsbSerial = text;
    if (m_bUsb) {
        m_controls.strMifareSerial = text;
    }
}

void ProductionForm::LeaveUsbSerial() {
    NormaliseUsbSerial(m_bUsb);
}

void ProductionForm::LeaveMifareSerial() {
    NormaliseMifareSerial();
}

std::string ProductionForm::Normalise(const std::string& text, size_t digits) {
    if (text.size() <= digits) {
        return std::string(digits - text.size(), '0') + text;
    }
    return text.substr(text.size() - digits);
}

void ProductionForm::EnterPort(ReaderPort& port) {
    m_dwRememberedBaud = port.GetBaudRate();
    if (m_dwRememberedBaud != kPageBaudRate) {
        port.SetBaudRate(kPageBaudRate);
    }
}

void ProductionForm::LeavePort(ReaderPort& port) {
    if (port.GetBaudRate() != m_dwRememberedBaud) {
        port.SetBaudRate(m_dwRememberedBaud);
    }
}

bool ProductionForm::ChooseJob(bool usb, bool programSettings, bool programSerial, ProgrammingMode& mode) {
    if (usb && programSettings) {
        mode = programSerial ? SerialAndUsbSettings : UsbSettingsOnly;
        return true;
    }
    if (programSerial) {
        mode = SerialOnly;
        return true;
    }
    return false;
}

ProductionForm::ProgramRequest ProductionForm::BeginProgram() {
    ProgramRequest request;
    ProgrammingInputs in;
    const ProductionControls& c = m_controls;
    Taker take(request);
    if (!take.Text(c.strVendorId, 4, IdVendorId, in.vendorId) ||
        !take.Text(c.strProductId, 4, IdProductId, in.productId) ||
        !take.Text(c.strManufacturer, 40, IdManufacturer, in.manufacturer) ||
        !take.Text(c.strManufacturerId, 2, IdManufacturerId, in.manufacturerId) ||
        !take.Text(c.strDescription, 40, IdDescription, in.description) ||
        !take.Number(c.strUsbSerial, kMaxUsbSerial, IdUsbSerial, in.usbSerial) ||
        !take.Number(c.strMaxPower, 500, IdMaxPower, in.maxPower) ||
        !take.Number(c.strMifareSerial, kMaxMifareSerial, IdMifareSerial, in.mifareSerial)) {
        // Nothing is programmed with a value the operator did not enter; a series ends here
        // instead of repeating the message.
        m_controls.bProgramRange = false;
        m_bAutoIncreaseEnabled = true;
        return request;
    }
    if (!m_strUsedUp.empty() && !m_bNumberTyped && m_bUsedUpUsb == m_bUsb &&
        (m_bUsb ? in.usbSerial : in.mifareSerial) == GetMax()) {
        // The last number of the space went out: programming it again would repeat it.
        request.start = Start::OutOfRange;
        request.message = m_strUsedUp;
        request.nControl = m_bUsb ? IdUsbSerial : IdMifareSerial;
        m_controls.bProgramRange = false;
        m_bAutoIncreaseEnabled = true;
        return request;
    }
    in.pnp = c.bPnP ? 1 : 0;
    in.selfPowered = c.bSelfPowered ? 1 : 0;
    in.remoteWakeup = c.bRemoteWakeup ? 1 : 0;
    if (!ChooseJob(m_bUsb, c.bProgramSettings, c.bProgramSerial, in.mode)) {
        m_controls.bProgramRange = false;  // a series never repeats without a dialog
        return request;
    }
    m_taken = in;
    request.start = Start::Ready;
    request.inputs = in;
    return request;
}

void ProductionForm::EndProgram(bool ok, bool serialSent) {
    uint32_t usbSerial = m_taken.usbSerial;
    uint32_t mifareSerial = m_taken.mifareSerial;
    uint32_t& counted = m_bUsb ? usbSerial : mifareSerial;
    if ((ok || serialSent) && m_controls.bAutoIncrease) {
        if (counted < GetMax()) {
            ++counted;
            m_bNumberTyped = false;
        } else {
            // Counting on would start again at 0 and repeat numbers that are in readers.
            m_strUsedUp = std::string(m_bUsb ? "USB serial number " : "Serial number ") +
                          Normalise(std::to_string(counted), m_bUsb ? 6 : 8) +
                          " was the last one and has been used. Type the next reader's number.";
            m_bUsedUpUsb = m_bUsb;
            ok = false;
        }
    }
    if (!ok) {
        m_controls.bProgramRange = false;
        m_bAutoIncreaseEnabled = true;
    }
    m_controls.strUsbSerial = std::to_string(usbSerial);
    m_controls.strMifareSerial = std::to_string(mifareSerial);
    NormaliseUsbSerial(m_bUsb);
    if (!m_bUsb) {
        NormaliseMifareSerial();
    }
}

void ProductionForm::TakeNumber(uint32_t number) {
    (m_bUsb ? m_taken.usbSerial : m_taken.mifareSerial) = number;
    if (m_bUsb) {
        m_taken.mifareSerial = number;
    }
    m_controls.strUsbSerial = std::to_string(m_taken.usbSerial);
    m_controls.strMifareSerial = std::to_string(m_taken.mifareSerial);
    NormaliseUsbSerial(m_bUsb);
    if (!m_bUsb) {
        NormaliseMifareSerial();
    }
    m_bNumberTyped = false;
}

void ProductionForm::SetNumberTyped(bool typed) {
    m_bNumberTyped = typed;
    if (typed) {
        m_strUsedUp.clear();
    }
}

bool ProductionForm::ToggleRange(bool pressed) {
    m_controls.bProgramRange = pressed;
    ProgrammingMode mode;
    if (!ChooseJob(m_bUsb, m_controls.bProgramSettings, m_controls.bProgramSerial, mode)) {
        return false;
    }
    if (!pressed) {
        m_bAutoIncreaseEnabled = true;
        return false;
    }
    m_controls.bAutoIncrease = true;
    m_bAutoIncreaseEnabled = false;
    return true;
}

ProgrammingInputs ProductionForm::FirmwareInputs(const std::string& path) {
    ProgrammingInputs in;
    in.mode = DownloadFirmware;
    in.filePath = path;
    return in;
}

bool ProductionForm::ReadUsbSettings(ReaderPort& port, std::string& text) {
    if (port.ReadEeprom() != LR_OK) {
        text = "Could not read USB settings.";
        return false;
    }
    text = port.GetEepromRecord().FormatSummary();
    return true;
}
