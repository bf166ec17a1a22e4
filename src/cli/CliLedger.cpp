#include "CliLedger.h"

#include "CliNumber.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "commands/HexText.h"
#include "files/RegularFile.h"
#include "production/ProductionForm.h"
#include "production/ProductionRecord.h"

namespace {

// One option of the command line: "--name VALUE" or "--name=VALUE".
struct Option {
    std::string name;
    std::string value;
    bool hasValue = false;
};

Option SplitOption(const std::string& arg) {
    Option option{arg, {}, false};
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
        option = {arg.substr(0, eq), arg.substr(eq + 1), true};
    }
    return option;
}

bool IsOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

std::string Digits(uint32_t number, size_t width) {
    return ProductionForm::Normalise(std::to_string(number), width);
}

std::string UsbText(const LedgerRun& run) {
    return run.usbSerial ? run.strUsbPrefix + Digits(*run.usbSerial, 6) : std::string();
}

// Columns as wide as their widest cell; the last one (the message) is not padded.
void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t c = 0; c < row.size(); ++c) {
            // Cells are ASCII after escaping, but for names in UTF-8: count characters, not bytes.
            const size_t length =
                static_cast<size_t>(std::count_if(row[c].begin(), row[c].end(), [](char ch) {
                    return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
                }));
            widths[c] = std::max(widths[c], length);
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                const size_t length =
                    static_cast<size_t>(std::count_if(row[c].begin(), row[c].end(), [](char ch) {
                        return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
                    }));
                line.append(widths[c] - length + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        out << line << "\n";
    }
}

int Fail(std::ostream& err, const std::string& message) {
    err << "tagbench-cli: ledger: " << OneLineText(message) << "\n";
    return 1;
}

int List(Ledger& ledger, const LedgerFilter& filter, std::ostream& out, std::ostream& err) {
    std::vector<LedgerRun> runs;
    std::string error;
    if (!ledger.ListRuns(filter, runs, error)) {
        return Fail(err, error);
    }
    std::vector<std::vector<std::string>> rows{
        {"ID", "TIME", "STATION", "PROFILE", "JOB", "MIFARE", "USB", "OUTCOME", "MESSAGE"}};
    for (const LedgerRun& run : runs) {
        rows.push_back({std::to_string(run.nId),
                        ProductionRecord::FormatTime(static_cast<std::time_t>(run.tStarted)),
                        OneLineText(run.strStation), OneLineText(run.strProfile), OneLineText(run.strJob),
                        run.mifareSerial ? Digits(*run.mifareSerial, 8) : std::string(),
                        OneLineText(UsbText(run)), OutcomeName(run.outcome), OneLineText(run.strMessage)});
    }
    PrintTable(out, rows);
    return 0;
}

int Export(Ledger& ledger, const std::string& file, std::ostream& out, std::ostream& err, bool terminal) {
    std::vector<LedgerRun> runs;
    std::string error;
    if (!ledger.ListRuns(LedgerFilter{}, runs, error)) {
        return Fail(err, error);
    }
    std::string text = LedgerExportHeader() + "\n";
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {  // oldest first
        text += LedgerExportLine(*run) + "\n";
    }
    if (file == "-") {
        out << (terminal ? EscapeControls(text) : text);
        out.flush();
        return out ? 0 : Fail(err, "cannot write the export to the standard output");
    }
    if (!RegularFile::WriteWhole(file, text, error)) {
        return Fail(err, "cannot write the export " + OneLineText(file) + ": " + error);
    }
    out << "Exported " << runs.size() << (runs.size() == 1 ? " run" : " runs") << " to " << OneLineText(file)
        << ".\n";
    return 0;
}

int Check(Ledger& ledger, const std::string& location, std::ostream& out, std::ostream& err) {
    std::vector<std::string> problems;
    std::string error;
    if (!ledger.Check(problems, error)) {
        return Fail(err, error);
    }
    for (const std::string& problem : problems) {
        out << OneLineText(problem) << "\n";
    }
    if (!problems.empty()) {
        out << "Ledger " << OneLineText(location) << ": " << problems.size()
            << (problems.size() == 1 ? " problem." : " problems.") << "\n";
        return 1;
    }
    std::vector<LedgerRun> runs;
    if (!ledger.ListRuns(LedgerFilter{}, runs, error)) {
        return Fail(err, error);
    }
    out << "Ledger " << OneLineText(location) << ": " << runs.size() << (runs.size() == 1 ? " run" : " runs")
        << ", no problems.\n";
    return 0;
}

int Release(Ledger& ledger, uint32_t number, const std::string& reason, std::ostream& out,
            std::ostream& err) {
    std::string message;
    if (!ledger.Release(number, reason, std::time(nullptr), message)) {
        return Fail(err, message);
    }
    // One line for each space the number was freed in.
    std::istringstream lines(message);
    for (std::string line; std::getline(lines, line);) {
        out << OneLineText(line) << "\n";
    }
    return 0;
}

}  // namespace

CliLedgerPlace ResolveLedgerPlace(const std::string& location, const std::string& station,
                                  const LedgerSettings& fromFile) {
    CliLedgerPlace place;
    place.strLocation = !location.empty() ? location : fromFile.strLocation;
    if (place.strLocation.empty()) {
        place.strLocation = Ledger::DefaultPath();
        place.bDefault = true;
    }
    place.strStation = !station.empty() ? station : fromFile.strStation;
    return place;
}

std::unique_ptr<Ledger> OpenCliLedger(const CliLedgerPlace& place, std::string& error) {
    // An empty location is the default file, whose folder the ledger makes when missing.
    return Ledger::Open(place.bDefault ? std::string() : place.strLocation,
                        LedgerStation::ThisProcess(place.strStation), error);
}

std::string OneLineText(const std::string& text) {
    std::string line;
    for (const char c : EscapeControls(text)) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else {
            line += c;
        }
    }
    return line;
}

std::string DescribeRun(const LedgerRun& run) {
    std::string text = "run " + std::to_string(run.nId);
    if (run.mifareSerial) {
        text += ", MIFARE " + Digits(*run.mifareSerial, 8);
    }
    if (run.usbSerial) {
        text += ", USB " + UsbText(run);
    }
    return OneLineText(text + ", station " + run.strStation + ", " +
                       ProductionRecord::FormatTime(static_cast<std::time_t>(run.tStarted)));
}

uint32_t ReleaseNumber(const LedgerRun& run) {
    return run.mifareSerial ? *run.mifareSerial : run.usbSerial.value_or(0);
}

bool ParseLedger(const std::vector<std::string>& args, size_t& i, CliLedgerOptions& o, std::string& error) {
    // Options of the ledger itself, then the verb, then the verb's options.
    while (i < args.size()) {
        const Option option = SplitOption(args[i]);
        const std::string& name = option.name;
        if (!IsOption(args[i])) {
            if (o.verb != CliLedgerOptions::None) {
                error = "ledger: unexpected " + args[i];
                return false;
            }
            static const std::pair<const char*, CliLedgerOptions::Verb> verbs[] = {
                {"list", CliLedgerOptions::List},
                {"export", CliLedgerOptions::Export},
                {"check", CliLedgerOptions::Check},
                {"release", CliLedgerOptions::Release}};
            const auto found = std::find_if(std::begin(verbs), std::end(verbs),
                                            [&](const auto& verb) { return args[i] == verb.first; });
            if (found == std::end(verbs)) {
                error = "ledger: unknown command " + args[i] + " (list, export, check or release)";
                return false;
            }
            o.verb = found->second;
            ++i;
            if (o.verb == CliLedgerOptions::Release) {
                if (i >= args.size() ||
                    !ParseNumber<uint32_t>(args[i], 0, ProductionForm::kMaxMifareSerial, o.dwNumber)) {
                    error = "ledger release needs a serial number from 0 to " +
                            std::to_string(ProductionForm::kMaxMifareSerial) +
                            (i < args.size() ? ", not " + args[i] : std::string());
                    return false;
                }
                ++i;
            }
            continue;
        }
        ++i;
        if (name == "--help" || name == "-h") {
            o.bHelp = true;
            continue;
        }
        if (name == "--open") {
            if (option.hasValue) {
                error = "ledger list --open takes no value";
                return false;
            }
            if (o.verb != CliLedgerOptions::List) {
                error = "ledger: --open belongs to list";
                return false;
            }
            o.filter.bOpenOnly = true;
            continue;
        }
        std::string value = option.value;
        if (!option.hasValue && i < args.size()) {
            value = args[i++];
        }
        if (value.empty() && name != "--reason") {
            error = "ledger " + name + " needs a value";
            return false;
        }
        const auto belongs = [&](CliLedgerOptions::Verb verb, const char* verbName) {
            if (o.verb == verb) {
                return true;
            }
            error = "ledger: " + name + " belongs to " + verbName;
            return false;
        };
        if (o.verb != CliLedgerOptions::None && (name == "--ledger" || name == "--profiles" ||
                                                 (name == "--station" && o.verb != CliLedgerOptions::List))) {
            error = "ledger: " + name + " comes before the command";
            return false;
        }
        if (o.verb == CliLedgerOptions::None && name == "--ledger") {
            o.strLocation = value;
        } else if (o.verb == CliLedgerOptions::None && name == "--station") {
            o.strStation = value;
        } else if (o.verb == CliLedgerOptions::None && name == "--profiles") {
            o.strProfiles = value;
        } else if (name == "--last") {
            if (!belongs(CliLedgerOptions::List, "list")) {
                return false;
            }
            uint32_t last = 0;
            if (!ParseNumber<uint32_t>(value, 1, UINT32_MAX, last)) {
                error = "ledger list --last needs a positive number, not " + value;
                return false;
            }
            o.filter.nLast = last;
        } else if (name == "--profile") {
            if (!belongs(CliLedgerOptions::List, "list")) {
                return false;
            }
            o.filter.strProfile = value;
        } else if (name == "--station") {
            if (!belongs(CliLedgerOptions::List, "list")) {
                return false;
            }
            o.filter.strStation = value;
        } else if (name == "--csv") {
            if (!belongs(CliLedgerOptions::Export, "export")) {
                return false;
            }
            o.strCsv = value;
        } else if (name == "--reason") {
            if (!belongs(CliLedgerOptions::Release, "release")) {
                return false;
            }
            o.strReason = value;
        } else {
            error = "ledger: unknown option " + name;
            return false;
        }
    }
    if (o.bHelp) {
        return true;
    }
    if (o.verb == CliLedgerOptions::None) {
        error = "ledger needs a command: list, export, check or release";
        return false;
    }
    if (o.verb == CliLedgerOptions::Export && o.strCsv.empty()) {
        error = "ledger export needs --csv FILE (- for the standard output)";
        return false;
    }
    if (o.verb == CliLedgerOptions::Release &&
        o.strReason.find_first_not_of(" \t\r\n") == std::string::npos) {
        // A number given out again must say why: the ledger keeps the reason with the run.
        error = "ledger release needs --reason TEXT: why the number may be given out again";
        return false;
    }
    return true;
}

std::string LedgerUsage() {
    return "The production ledger (every serial number given out, every programming run):\n"
           "  ledger [--ledger URL|FILE] [--station NAME] [--profiles FILE] COMMAND\n"
           "                     the ledger is --ledger (a SQLite file or a PostgreSQL connection\n"
           "                     string), else Location= in the profile file's [Ledger] section,\n"
           "                     else ~/.local/share/tagbench/production.sqlite\n"
           "  ledger list [--last N] [--profile NAME] [--station NAME] [--open]\n"
           "                     the runs, newest first: id, time, station, profile, job, numbers,\n"
           "                     outcome and message; --open: only running runs and unknown outcomes\n"
           "  ledger export --csv FILE\n"
           "                     every run, oldest first, as CSV (FILE - for the standard output)\n"
           "  ledger check       checks the database and the ledger's rules; exit status 1 on a problem\n"
           "  ledger release N --reason TEXT\n"
           "                     gives number N free again when its run's outcome is unknown (the\n"
           "                     reader it went to does not hold it); the reason is kept with the run\n";
}

int RunLedger(const CliLedgerOptions& o, std::ostream& out, std::ostream& err, bool terminal) {
    LedgerSettings fromFile;
    if (o.strLocation.empty() || o.strStation.empty()) {
        DeviceProfiles profiles;
        const std::string path = o.strProfiles.empty() ? DeviceProfiles::FindFile() : o.strProfiles;
        if (profiles.Load(path)) {
            fromFile = profiles.GetLedger();
        } else if (!o.strProfiles.empty()) {
            return Fail(err, "cannot read the device profiles " + path + ": " + profiles.GetError());
        }
    }
    const CliLedgerPlace place = ResolveLedgerPlace(o.strLocation, o.strStation, fromFile);
    std::error_code code;
    if (!Ledger::IsServerLocation(place.strLocation) && !std::filesystem::exists(place.strLocation, code) &&
        !code) {
        // Opening would make an empty ledger: a mistyped name would then show no runs and no problems.
        return Fail(err, "no ledger at " + place.strLocation + " (no series has used it yet)");
    }
    std::string error;
    const std::unique_ptr<Ledger> ledger = OpenCliLedger(place, error);
    if (ledger == nullptr) {
        return Fail(err, error);
    }
    switch (o.verb) {
        case CliLedgerOptions::List:
            return List(*ledger, o.filter, out, err);
        case CliLedgerOptions::Export:
            return Export(*ledger, o.strCsv, out, err, terminal);
        case CliLedgerOptions::Check:
            return Check(*ledger, ledger->Location(), out, err);
        case CliLedgerOptions::Release:
            return Release(*ledger, o.dwNumber, o.strReason, out, err);
        case CliLedgerOptions::None:
            break;
    }
    return 1;
}
