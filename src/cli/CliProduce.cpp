#include "CliProduce.h"

#include "CliNumber.h"

#include <strings.h>
#include <atomic>
#include <charconv>
#include <ctime>

#include "commands/HexText.h"
#include "link/ReaderPort.h"
#include "stepping/BlockingStepDriver.h"

namespace {

// Set by the signal handler, read between steps: lock-free, hence safe in a handler.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

const char* FieldName(int control) {
    switch (control) {
        case ProductionForm::IdVendorId:
            return "VendorID";
        case ProductionForm::IdProductId:
            return "ProductID";
        case ProductionForm::IdManufacturer:
            return "Manufacturer";
        case ProductionForm::IdManufacturerId:
            return "ManufacturerID";
        case ProductionForm::IdDescription:
            return "Description";
        case ProductionForm::IdMaxPower:
            return "MaxPower";
        case ProductionForm::IdUsbSerial:
            return "--usb-serial";
        default:
            return "--serial";
    }
}

const char* JobName(ProgrammingMode mode) {
    switch (mode) {
        case SerialAndUsbSettings:
            return "serial number and USB settings";
        case UsbSettingsOnly:
            return "USB settings";
        default:
            return "serial number";
    }
}

// Runs one reader's job to its end. Ctrl-C cancels only the wait for a reader: a reader whose
// loader answered is finished, so that it and its line in the record stay whole.
void RunJob(ProgrammingSequence& sequence, const ProgrammingInputs& inputs) {
    sequence.SetInputs(inputs);
    sequence.Begin();
    const auto waitingForReader = [&sequence] {
        const ProgrammingState state = sequence.GetState();
        return g_stop && (state == ProgrammingState::Start || state == ProgrammingState::WaitPrompt);
    };
    BlockingStepDriver(nullptr).Run(sequence, waitingForReader);
}

}  // namespace

void RequestProduceStop() {
    g_stop = true;
}

bool IsProduceStopRequested() {
    return g_stop;
}

bool ParseProduce(const std::vector<std::string>& args, size_t& i, CliProduceOptions& o, std::string& error) {
    o.bEnabled = true;
    while (i < args.size()) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        const bool flag = name == "--no-settings" || name == "--no-serial";
        const bool valued = name == "--profile" || name == "--profiles" || name == "--serial" ||
                            name == "--usb-serial" || name == "--count" || name == "--record";
        if (!flag && !valued) {
            break;  // not ours: a connection option
        }
        ++i;
        if (flag) {
            // A flag is there or not: --no-serial=0 must not quietly mean --no-serial.
            if (hasValue) {
                error = "produce " + name + " takes no value";
                return false;
            }
            (name == "--no-settings" ? o.bProgramSettings : o.bProgramSerial) = false;
            continue;
        }
        if (!hasValue && i < args.size()) {
            value = args[i++];
        }
        if (value.empty()) {
            error = "produce " + name + " needs a value";
            return false;
        }
        if (name == "--profile") {
            o.strProfile = value;
        } else if (name == "--profiles") {
            o.strProfiles = value;
        } else if (name == "--record") {
            o.strRecord = value;
        } else if (name == "--serial" || name == "--usb-serial") {
            const bool usb = name == "--usb-serial";
            const uint32_t max = usb ? ProductionForm::kMaxUsbSerial : ProductionForm::kMaxMifareSerial;
            if (!ParseNumber<uint32_t>(value, 0, max, usb ? o.dwUsbSerial : o.dwSerial)) {
                error =
                    "produce " + name + " needs a number from 0 to " + std::to_string(max) + ", not " + value;
                return false;
            }
            (usb ? o.bHasUsbSerial : o.bHasSerial) = true;
        } else if (!ParseNumber<uint32_t>(value, 0, UINT32_MAX, o.dwCount) || o.dwCount == 0) {
            error = "produce --count needs a positive number, not " + value;
            return false;
        }
    }
    if (o.strProfile.empty()) {
        error = "produce needs --profile NAME";
        return false;
    }
    return true;
}

std::string ProduceUsage() {
    return "A series of readers (as \"Program range...\" on the production page runs it):\n"
           "  produce --profile NAME [--profiles FILE] [--serial N] [--usb-serial N] [--count N]\n"
           "          [--record FILE] [--no-settings] [--no-serial]\n"
           "                     for each reader: wait for its loader (plug in the next one), program\n"
           "                     it, count the number up and print one line; stops after N readers\n"
           "                     or on Ctrl-C. A USB profile starts at --usb-serial (the MIFARE\n"
           "                     serial number follows it), a serial profile at --serial.\n"
           "                     --no-settings / --no-serial leave out the USB settings or the\n"
           "                     serial number. FILE defaults to MifareProduction.ini beside the\n"
           "                     program, in ~/.config/tagbench or in the system's tagbench folder;\n"
           "                     every run is appended to the record (default\n"
           "                     ~/.local/share/tagbench/production-record.csv).\n";
}

bool CliProduce::Fail(const std::string& message) {
    m_err << "tagbench-cli: produce: " << EscapeControls(message) << "\n";
    return false;
}

bool CliProduce::Prepare() {
    const CliProduceOptions& o = m_options;
    const std::string path = o.strProfiles.empty() ? DeviceProfiles::FindFile() : o.strProfiles;
    if (!m_profiles.Load(path)) {
        return Fail("cannot read the device profiles " + path + ": " + m_profiles.GetError());
    }
    const std::vector<std::string>& names = m_profiles.GetNames();
    int index = -1;
    for (size_t n = 0; n < names.size() && index < 0; ++n) {
        if (strcasecmp(names[n].c_str(), o.strProfile.c_str()) == 0) {
            index = static_cast<int>(n);
        }
    }
    if (index < 0) {
        std::string known;
        for (const std::string& name : names) {
            known += (known.empty() ? "" : ", ") + name;
        }
        return Fail("no profile " + o.strProfile + " in " + path + " (" + (known.empty() ? "none" : known) +
                    ")");
    }

    m_form.Activate(m_profiles);
    m_form.ChooseProfile(m_profiles, index);
    const bool usb = m_form.IsUsbProfile();
    const std::string& profile = m_form.GetProfileName();
    ProductionControls& controls = m_form.Controls();
    controls.bProgramSettings = o.bProgramSettings;
    controls.bProgramSerial = o.bProgramSerial;
    if (usb ? o.bHasSerial : o.bHasUsbSerial) {
        return Fail(usb ? "profile " + profile +
                              " is a USB reader: its MIFARE serial number follows --usb-serial"
                        : "profile " + profile + " is a serial reader: it has no USB serial number");
    }
    if (!(usb ? o.bHasUsbSerial : o.bHasSerial)) {
        return Fail(std::string("give the first reader's number with ") +
                    (usb ? "--usb-serial N" : "--serial N"));
    }
    if (usb) {
        m_form.EditUsbSerial(std::to_string(o.dwUsbSerial));
        m_form.LeaveUsbSerial();
    } else {
        controls.strMifareSerial = std::to_string(o.dwSerial);
        m_form.LeaveMifareSerial();
    }
    if (!m_form.ToggleRange(true)) {
        return Fail("nothing to program: profile " + profile +
                    (usb ? " with --no-settings and --no-serial" : " with --no-serial"));
    }
    m_request = m_form.BeginProgram();
    if (m_request.start != ProductionForm::Start::Ready) {
        return Fail("profile " + profile + ", " + FieldName(m_request.nControl) + ": " + m_request.message);
    }
    // A profile the bridge would refuse stops here, before any reader gets a number.
    if (const std::string refusal = ProgrammingSequence::CheckInputs(m_request.inputs, true);
        !refusal.empty()) {
        return Fail("profile " + profile + ": " + refusal);
    }
    m_record.SetPath(o.strRecord.empty() ? ProductionRecord::DefaultPath() : o.strRecord);
    return m_record.Check() || Fail(m_record.GetError());
}

int CliProduce::Run(ReaderPort& port, Clock& clock) {
    const std::string& profile = m_form.GetProfileName();
    if (const std::string refusal = ProgrammingSequence::CheckInputs(m_request.inputs, port.IsUsb());
        !refusal.empty()) {
        Fail("profile " + profile + ": " + refusal);
        return 1;
    }
    m_form.EnterPort(port);
    m_out << "Profile " << EscapeControls(profile) << ": " << JobName(m_request.inputs.mode) << ", record "
          << EscapeControls(m_record.GetPath()) << ".\nConnect reader 1; Ctrl-C ends the series.\n";
    m_out.flush();
    uint32_t handled = 0;
    uint32_t failed = 0;
    bool recordFailed = false;
    while (!g_stop && (m_options.dwCount == 0 || handled < m_options.dwCount)) {
        ProgrammingSequence sequence(port, clock);
        RunJob(sequence, m_request.inputs);
        if (!ProductionRecord::ShouldRecord(sequence)) {
            break;  // stopped while waiting for a reader
        }
        const ProductionRecord::Entry entry =
            ProductionRecord::MakeEntry(profile, sequence, std::time(nullptr));
        ++handled;
        const bool ok = sequence.Succeeded();
        failed += ok ? 0 : 1;
        m_out << "reader " << handled << ":";
        if (!entry.strMifareSerial.empty()) {
            m_out << " MIFARE " << entry.strMifareSerial;
        }
        if (!entry.strUsbSerial.empty()) {
            m_out << (entry.strMifareSerial.empty() ? " USB " : ", USB ")
                  << EscapeControls(entry.strUsbSerial);
        }
        m_out << ": " << entry.strResult;
        if (!ok) {
            m_out << ": " << entry.strMessage;
        }
        m_out << "\n";
        m_out.flush();
        if (!m_record.Append(entry)) {
            // The series stops: a reader programmed without its line would go untraced.
            recordFailed = !Fail(m_record.GetError());
            break;
        }
        // A failed reader keeps its number for the next one, unless the number reached it; the
        // series goes on.
        m_form.EndProgram(ok, sequence.SerialSent());
        m_request = m_form.BeginProgram();
    }
    m_form.LeavePort(port);
    m_out << handled << (handled == 1 ? " reader" : " readers") << ": " << handled - failed << " programmed, "
          << failed << " failed.\n";
    return failed == 0 && !recordFailed ? 0 : 1;
}
