#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "programming/ProgrammingSequence.h"

class DeviceProfiles;
class ReaderPort;

// What the production page's controls show. The serial-number edits keep their text as typed
// until they are normalised, so the texts, not numbers, are the state.
struct ProductionControls {
    std::vector<std::string> profiles;  // the "&Device profile:" list, in file order
    int nProfile = -1;
    std::string strVendorId;
    std::string strProductId;
    std::string strManufacturer;
    std::string strManufacturerId;
    std::string strDescription;
    std::string strUsbSerial = "0";
    std::string strMaxPower = "0";
    bool bPnP = false;
    bool bSelfPowered = false;
    bool bRemoteWakeup = false;
    std::string strMifareSerial = "0";
    bool bAutoIncrease = true;
    bool bProgramSettings = true;
    bool bProgramSerial = true;
    bool bProgramRange = false;  // the push-like "Program r&ange..." toggle
};

// Which controls are enabled (or shown) for the applied profile and the port's state.
struct ProductionEnabled {
    bool bStatusVisible = false;  // "Not connected. Go to 'settings' tab to connect."
    bool bUsbSettings = false;    // the USB group: its fields, labels, flags, the USB serial and its spin
    bool bReadUsbSettings = false;
    bool bProgramSettings = false;
    bool bProgramSerial = false;
    bool bProgram = false;               // also "Program r&ange..." and "&Download firmware..."
    bool bMifareSerialEditable = false;  // the MIFARE serial edit and its spin
    bool bAutoIncrease = true;
};

// The production page without its widgets: profile application, the serial-number rules, the
// choice of job, the field limits, counting up after a run and the series of "Program range".
// The page shows Controls(), hands every edit in, and runs the progress dialog with the inputs
// BeginProgram returns.
class ProductionForm {
public:
    static constexpr uint32_t kPageBaudRate = 9600;
    static constexpr uint32_t kMaxUsbSerial = 999999;
    static constexpr uint32_t kMaxMifareSerial = 99999999;

    // Control ids, so that the page can focus the field a limit refused.
    enum ControlId : int {
        IdDescription = 1082,
        IdVendorId = 1083,
        IdManufacturer = 1084,
        IdMaxPower = 1085,
        IdProductId = 1086,
        IdManufacturerId = 1087,
        IdUsbSerial = 1081,
        IdMifareSerial = 1095,
    };

    enum class Start { Ready, NoJob, OutOfRange };
    struct ProgramRequest {
        Start start = Start::NoJob;
        ProgrammingInputs inputs;  // Ready: what the progress dialog gets
        std::string message;       // OutOfRange: the field's message
        int nControl = 0;          // OutOfRange: the field to focus
    };

    const ProductionControls& Controls() const { return m_controls; }
    ProductionControls& Controls() { return m_controls; }
    ProductionEnabled GetEnabled(bool portOpen) const;
    bool IsUsbProfile() const { return m_bUsb; }
    // The name of the applied profile ("" when the list is empty).
    const std::string& GetProfileName() const { return m_strProfile; }

    // The page becomes active: the list is filled from the profiles, its first entry selected and
    // applied. A serial profile keeps the MIFARE serial number a series has counted up to.
    void Activate(const DeviceProfiles& profiles);
    // The user confirmed a choice in the list. Choosing the applied serial profile again keeps its
    // MIFARE serial number; another profile takes it from the USB serial number.
    void ChooseProfile(const DeviceProfiles& profiles, int index);

    // The USB serial edit's text as typed; a USB profile's MIFARE serial number follows it.
    void EditUsbSerial(const std::string& text);
    // The serial-number edits lose the focus.
    void LeaveUsbSerial();
    void LeaveMifareSerial();

    // The remembered rate goes back on the port when the page is left.
    void EnterPort(ReaderPort& port);
    void LeavePort(ReaderPort& port);

    // "&Program...": takes the values with their limits and chooses the job. A value outside its
    // limit programs nothing (and ends a running series).
    ProgramRequest BeginProgram();
    // The progress dialog ended, with OK or otherwise: counts up, or ends a series. serialSent: the
    // job's number went out to the reader; it is used up then, whatever the end, so it counts up
    // too. Counting never passes the top of the space: the series ends there, and the number
    // programs nothing more until the user types another (GetUsedUp()).
    void EndProgram(bool ok, bool serialSent = false);
    // The ledger gave the job another number than the page showed (the shown one was taken
    // meanwhile): the fields, and the count after the run, follow it.
    void TakeNumber(uint32_t number);
    // Whether the job's number was typed by the user (a ledger refuses it when used) rather than
    // counted up or given (the ledger takes the next free one from it). The page marks an edit;
    // counting up and TakeNumber clear it.
    void SetNumberTyped(bool typed);
    bool IsNumberTyped() const { return m_bNumberTyped; }
    // The top of the applied profile's number: the USB serial number's for a USB profile, the
    // MIFARE one's otherwise.
    uint32_t GetMax() const { return m_bUsb ? kMaxUsbSerial : kMaxMifareSerial; }
    // Why the last number of the space ends the series; empty while numbers are left.
    const std::string& GetUsedUp() const { return m_strUsedUp; }
    // "Program r&ange..." has just changed to pressed or released. True when a series starts: the
    // page then runs BeginProgram/EndProgram as long as Controls().bProgramRange stays set.
    bool ToggleRange(bool pressed);

    // The job for the profile's kind and the two checkboxes; false when none fits.
    static bool ChooseJob(bool usb, bool programSettings, bool programSerial, ProgrammingMode& mode);
    // Pads with '0' in front to digits characters, or keeps the last digits characters.
    static std::string Normalise(const std::string& text, size_t digits);
    static ProgrammingInputs FirmwareInputs(const std::string& path);
    // "&Read USB settings...": reads the bridge's EEPROM; true with the summary in text, false with
    // the message.
    static bool ReadUsbSettings(ReaderPort& port, std::string& text);

private:
    enum class Reason { Activation, Chosen };
    void Apply(const DeviceProfiles& profiles, Reason reason);
    void NormaliseUsbSerial(bool rewriteMifare);
    void NormaliseMifareSerial() { m_controls.strMifareSerial = Normalise(m_controls.strMifareSerial, 8); }

    ProductionControls m_controls;
    bool m_bUsb = false;
    bool m_bApplied = false;
    std::string m_strProfile;
    bool m_bAutoIncreaseEnabled = true;
    uint32_t m_dwRememberedBaud = kPageBaudRate;
    // The values taken by the last BeginProgram.
    ProgrammingInputs m_taken;
    bool m_bNumberTyped = false;
    std::string m_strUsedUp;
    bool m_bUsedUpUsb = false;
};
