#include "CliProduce.h"

#include "CliNumber.h"

#include <strings.h>
#include <atomic>
#include <charconv>
#include <ctime>
#include <mutex>
#include <thread>

#include "CliLedger.h"
#include "commands/HexText.h"
#include "link/ReaderPort.h"
#include "production/LedgerJob.h"
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
        auto [name, value, hasValue] = SplitOptionWord(args[i]);
        const bool flag = name == "--no-settings" || name == "--no-serial" || name == "--no-ledger";
        const bool valued = name == "--profile" || name == "--profiles" || name == "--serial" ||
                            name == "--usb-serial" || name == "--count" || name == "--record" ||
                            name == "--ledger" || name == "--station";
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
            if (name == "--no-ledger") {
                o.bNoLedger = true;
            } else {
                (name == "--no-settings" ? o.bProgramSettings : o.bProgramSerial) = false;
            }
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
        } else if (name == "--ledger") {
            o.strLedger = value;
        } else if (name == "--station") {
            o.strStation = value;
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
    if (o.bNoLedger && (!o.strLedger.empty() || !o.strStation.empty())) {
        error = std::string("produce --no-ledger and ") + (o.strLedger.empty() ? "--station" : "--ledger") +
                " contradict each other";
        return false;
    }
    return true;
}

std::string ProduceUsage() {
    return "A series of readers (as \"Program range...\" on the production page runs it):\n"
           "  produce --profile NAME [--profiles FILE] [--serial N] [--usb-serial N] [--count N]\n"
           "          [--ledger URL|FILE] [--station NAME] [--no-ledger] [--record FILE]\n"
           "          [--no-settings] [--no-serial]\n"
           "                     for each reader: take its number from the ledger, wait for its\n"
           "                     loader (plug in the next one), program it, count the number up and\n"
           "                     print one line; stops after N readers or on Ctrl-C. A USB profile\n"
           "                     starts at --usb-serial (the MIFARE serial number follows it), a\n"
           "                     serial profile at --serial: that exact number, refused when the\n"
           "                     ledger has given it out; without them the series starts at the\n"
           "                     ledger's lowest free number. Several --port: one series on each,\n"
           "                     at the same time, --count readers each, numbers from one ledger.\n"
           "                     The ledger (a SQLite file or a PostgreSQL connection string) is\n"
           "                     --ledger, else Location= in the profile file's [Ledger] section,\n"
           "                     else ~/.local/share/tagbench/production.sqlite; the station is\n"
           "                     --station, else Station= there, else the host name. --no-ledger\n"
           "                     runs without one (one port only; --serial or --usb-serial needed).\n"
           "                     --no-settings / --no-serial leave out the USB settings or the\n"
           "                     serial number. FILE defaults to MifareProduction.ini beside the\n"
           "                     program, in ~/.config/tagbench or in the system's tagbench folder;\n"
           "                     every run is also appended to the record (default\n"
           "                     ~/.local/share/tagbench/production-record.csv).\n";
}

namespace {

// What the series of several ports share: the terminal and the record. Each line goes out whole,
// so that the lines of two readers never mix.
class SeriesOutput {
public:
    SeriesOutput(std::ostream& out, std::ostream& err, ProductionRecord& record)
        : m_out(out), m_err(err), m_record(record) {}

    void Out(const std::string& text) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_out << text;
        m_out.flush();
    }
    void Err(const std::string& text) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_err << text;
        m_err.flush();
    }
    // False with the record's message.
    bool Append(const ProductionRecord::Entry& entry, std::string& error) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_record.Append(entry)) {
            return true;
        }
        error = m_record.GetError();
        return false;
    }

private:
    std::mutex m_mutex;
    std::ostream& m_out;
    std::ostream& m_err;
    ProductionRecord& m_record;
};

// One port's series: its own form (its own count), its own connection to the ledger.
class Series {
public:
    Series(const CliProduceOptions& options, const ProductionForm& form,
           const ProductionForm::ProgramRequest& request, Ledger* ledger, ReaderPort& port, Clock& clock,
           std::string prefix, SeriesOutput& output)
        : m_options(options),
          m_form(form),
          m_request(request),
          m_pLedger(ledger),
          m_port(port),
          m_clock(clock),
          m_prefix(std::move(prefix)),
          m_output(output) {}

    // Claims the next reader's number in the ledger, unless it holds one already. False with the
    // ledger's message printed: the series ends.
    bool Reserve();
    // 0 when every reader succeeded and the series ended by its count or Ctrl-C.
    int Run();
    uint32_t Handled() const { return m_dwHandled; }
    uint32_t Failed() const { return m_dwFailed; }

private:
    bool Fail(const std::string& message) {
        m_output.Err("tagbench-cli: produce: " + m_prefix + EscapeControls(message) + "\n");
        return false;
    }
    uint32_t Number(const ProgrammingInputs& inputs) const {
        return m_form.IsUsbProfile() ? inputs.usbSerial : inputs.mifareSerial;
    }

    const CliProduceOptions& m_options;
    ProductionForm m_form;
    ProductionForm::ProgramRequest m_request;
    Ledger* m_pLedger;
    ReaderPort& m_port;
    Clock& m_clock;
    std::string m_prefix;
    SeriesOutput& m_output;
    LedgerJob m_job;
    uint32_t m_dwHandled = 0;
    uint32_t m_dwFailed = 0;
};

bool Series::Reserve() {
    if (m_pLedger == nullptr || m_job.IsReserved()) {
        return true;
    }
    ProgrammingInputs inputs = m_request.inputs;
    std::string message;
    if (m_job.Reserve(*m_pLedger, m_form.GetProfileName(), inputs, m_form.IsNumberTyped(), std::time(nullptr),
                      message) != Ledger::Reserve::Reserved) {
        return Fail(message);
    }
    if (Number(inputs) != Number(m_request.inputs)) {
        // Another series or station took the number meanwhile: count on from the one given.
        m_form.TakeNumber(Number(inputs));
    }
    m_request.inputs = inputs;
    return true;
}

int Series::Run() {
    const std::string& profile = m_form.GetProfileName();
    m_form.EnterPort(m_port);
    bool ended = false;  // by the ledger, the record or the last number, not by the count or Ctrl-C
    while (!g_stop && (m_options.dwCount == 0 || m_dwHandled < m_options.dwCount)) {
        if (m_request.start != ProductionForm::Start::Ready) {
            // The last number of the space went out: counting on would repeat numbers.
            ended = !Fail(m_request.message);
            break;
        }
        if (!Reserve()) {
            ended = true;
            break;
        }
        ProgrammingSequence sequence(m_port, m_clock);
        RunJob(sequence, m_request.inputs);
        if (!ProductionRecord::ShouldRecord(sequence)) {
            break;  // stopped while waiting for a reader: the reservation is cancelled below
        }
        const std::time_t now = std::time(nullptr);
        const ProductionRecord::Entry entry = ProductionRecord::MakeEntry(profile, sequence, now);
        ++m_dwHandled;
        const bool ok = sequence.Succeeded();
        m_dwFailed += ok ? 0 : 1;
        std::string line = m_prefix + "reader " + std::to_string(m_dwHandled) + ":";
        if (!entry.strMifareSerial.empty()) {
            line += " MIFARE " + entry.strMifareSerial;
        }
        if (!entry.strUsbSerial.empty()) {
            line += (entry.strMifareSerial.empty() ? " USB " : ", USB ") + EscapeControls(entry.strUsbSerial);
        }
        line += ": " + entry.strResult;
        if (!ok) {
            line += ": " + EscapeControls(entry.strMessage);
        }
        m_output.Out(line + "\n");
        std::string ledgerError;
        const bool finished = m_pLedger == nullptr || m_job.Finish(*m_pLedger, sequence, now, ledgerError);
        std::string recordError;
        const bool recorded = m_output.Append(entry, recordError);
        if (!finished || !recorded) {
            // A reader programmed without its ledger row or its line would go untraced: no more.
            if (!finished) {
                Fail(ledgerError);
            }
            if (!recorded) {
                Fail(recordError);
            }
            ended = true;
            break;
        }
        // A failed reader keeps its number for the next one, unless the number reached it; the
        // series goes on.
        m_form.EndProgram(ok, sequence.SerialSent());
        m_request = m_form.BeginProgram();
    }
    if (m_job.IsReserved()) {
        // Reserved, but no reader was woken: the number is free again.
        std::string error;
        if (!m_job.Cancel(*m_pLedger, std::time(nullptr), error)) {
            ended = !Fail(error);
        }
    }
    m_form.LeavePort(m_port);
    m_output.Out(m_prefix + std::to_string(m_dwHandled) + (m_dwHandled == 1 ? " reader" : " readers") + ": " +
                 std::to_string(m_dwHandled - m_dwFailed) + " programmed, " + std::to_string(m_dwFailed) +
                 " failed.\n");
    return m_dwFailed == 0 && !ended ? 0 : 1;
}

}  // namespace

CliProduce::CliProduce(const CliProduceOptions& options, std::ostream& out, std::ostream& err)
    : m_options(options), m_out(out), m_err(err) {}

CliProduce::~CliProduce() = default;

bool CliProduce::Fail(const std::string& message) {
    m_err << "tagbench-cli: produce: " << EscapeControls(message) << "\n";
    return false;
}

void CliProduce::SetNumber(uint32_t number) {
    if (m_form.IsUsbProfile()) {
        m_form.EditUsbSerial(std::to_string(number));
        m_form.LeaveUsbSerial();
    } else {
        m_form.Controls().strMifareSerial = std::to_string(number);
        m_form.LeaveMifareSerial();
    }
}

bool CliProduce::Prepare(size_t ports) {
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
    const bool typed = usb ? o.bHasUsbSerial : o.bHasSerial;
    if (!typed && o.bNoLedger) {
        return Fail(std::string("give the first reader's number with ") +
                    (usb ? "--usb-serial N" : "--serial N") + " (without a ledger nothing else knows it)");
    }
    SetNumber(typed ? (usb ? o.dwUsbSerial : o.dwSerial) : 0);
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

    if (!o.bNoLedger) {
        const CliLedgerPlace place = ResolveLedgerPlace(o.strLedger, o.strStation, m_profiles.GetLedger());
        // One connection per series: each thread speaks to the ledger on its own.
        for (size_t n = 0; n < std::max<size_t>(ports, 1); ++n) {
            std::string error;
            std::unique_ptr<Ledger> ledger = OpenCliLedger(place, error);
            if (ledger == nullptr) {
                return Fail(error);
            }
            m_ledgers.push_back(std::move(ledger));
        }
        if (!typed) {
            // Not typed: the series starts at the ledger's lowest free number.
            const LedgerRequest request = LedgerJob::MakeRequest(profile, m_request.inputs, false);
            std::string error;
            const std::optional<uint32_t> next =
                m_ledgers[0]->NextFree(request.bMifare, request.bUsb, 0, request.dwMax, error);
            if (!next) {
                return Fail(!error.empty()
                                ? error
                                : "the ledger has no free " +
                                      std::string(usb ? "USB serial number" : "serial number") +
                                      " left: give one with " + (usb ? "--usb-serial N" : "--serial N"));
            }
            SetNumber(*next);
            m_request = m_form.BeginProgram();
        }
    }
    m_form.SetNumberTyped(typed);
    m_record.SetPath(o.strRecord.empty() ? ProductionRecord::DefaultPath() : o.strRecord);
    return m_record.Check() || Fail(m_record.GetError());
}

bool CliProduce::PrintOpenRuns() {
    if (m_ledgers.empty()) {
        return true;
    }
    LedgerFilter filter;
    filter.bOpenOnly = true;
    std::vector<LedgerRun> runs;
    std::string error;
    if (!m_ledgers[0]->ListRuns(filter, runs, error)) {
        return Fail(error);
    }
    // Oldest first, as they happened; each says what the operator can do about it.
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        std::string text = DescribeRun(*run);
        if (!run->strMessage.empty()) {
            text += ": " + OneLineText(run->strMessage);
        }
        if (std::string(".!?").find(text.back()) == std::string::npos) {
            text += ".";
        }
        if (run->outcome == LedgerOutcome::Unknown) {
            m_err << "Unknown outcome: " << text << " Release it with: tagbench-cli ledger release "
                  << ReleaseNumber(*run) << " --reason TEXT\n";
        } else {
            m_err << "Still running: " << text
                  << " Another series runs it, or its station stopped where this one cannot tell.\n";
        }
    }
    return true;
}

int CliProduce::Run(ReaderPort& port, Clock& clock) {
    return Run(std::vector<ReaderPort*>{&port}, clock);
}

int CliProduce::Run(const std::vector<ReaderPort*>& ports, Clock& clock) {
    const std::string& profile = m_form.GetProfileName();
    for (ReaderPort* port : ports) {
        if (const std::string refusal = ProgrammingSequence::CheckInputs(m_request.inputs, port->IsUsb());
            !refusal.empty()) {
            Fail("profile " + profile + ": " + refusal);
            return 1;
        }
    }
    if (!m_ledgers.empty() && m_ledgers.size() < ports.size()) {
        Fail("one connection to the ledger for each port is needed");
        return 1;
    }
    m_out << "Profile " << EscapeControls(profile) << ": " << JobName(m_request.inputs.mode) << ", "
          << (m_ledgers.empty() ? std::string("no ledger")
                                : "ledger " + EscapeControls(m_ledgers[0]->Describe()))
          << ", record " << EscapeControls(m_record.GetPath()) << ".\n";
    m_out.flush();
    if (!PrintOpenRuns()) {
        return 1;
    }
    if (ports.size() == 1) {
        m_out << "Connect reader 1; Ctrl-C ends the series.\n";
    } else {
        m_out << "Connect a reader to each of the " << ports.size() << " ports; Ctrl-C ends the series.\n";
    }
    m_out.flush();

    SeriesOutput output(m_out, m_err, m_record);
    std::vector<std::unique_ptr<Series>> series;
    for (size_t n = 0; n < ports.size(); ++n) {
        const std::string prefix = ports.size() == 1 ? std::string() : "[" + ports[n]->GetPortName() + "] ";
        series.push_back(std::make_unique<Series>(m_options, m_form, m_request,
                                                  m_ledgers.empty() ? nullptr : m_ledgers[n].get(), *ports[n],
                                                  clock, prefix, output));
        // The other series count from the same number but take the next free one, never a typed one.
        m_form.SetNumberTyped(false);
    }
    // A typed first number is the first series' to claim, before the others start: claimed by
    // whichever thread came first, it would be refused to the series it was typed for.
    if (!series[0]->Reserve()) {
        return 1;
    }
    int result = 0;
    if (series.size() == 1) {
        result = series[0]->Run();
    } else {
        std::vector<int> results(series.size(), 0);
        std::vector<std::thread> threads;
        for (size_t n = 0; n < series.size(); ++n) {
            threads.emplace_back([&, n] { results[n] = series[n]->Run(); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        uint32_t handled = 0;
        uint32_t failed = 0;
        for (size_t n = 0; n < series.size(); ++n) {
            result = std::max(result, results[n]);
            handled += series[n]->Handled();
            failed += series[n]->Failed();
        }
        m_out << handled << (handled == 1 ? " reader" : " readers") << " on " << ports.size()
              << " ports: " << handled - failed << " programmed, " << failed << " failed.\n";
    }
    return result;
}
