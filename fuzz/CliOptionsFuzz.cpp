// The command line of tagbench-cli. Input: the arguments, separated by zero bytes.
//
// What must hold: a refused command line says why in one bounded line; an accepted one names a
// connection (or asks for help, or is a ledger command, which needs no reader) and holds only
// commands whose arguments passed their checks, so that no command reaches the reader with a key,
// block data or bounds it should not have, and no number is released without a reason; conformance
// runs alone, with options the suite takes (known checks, each once, a repeat count of 1 to 1000,
// no block it must not write) and two different report files; parsing the same arguments again
// gives the same result.
#include "CliOptions.h"
#include "FuzzSupport.h"

namespace {

void CheckCommand(const CliCommand& command) {
    FUZZ_CHECK(!command.name.empty(), "a command without its name");
    switch (command.verb) {
        case CliCommand::LoadKey:
            FUZZ_CHECK(command.data.GetCount() == 6, "loadkey with a key of %u bytes",
                       command.data.GetCount());
            [[fallthrough]];
        case CliCommand::Authenticate:
            FUZZ_CHECK(command.keyNumber <= 15 && (command.mode & ~7) == 0 && (command.mode & 3) <= 2,
                       "%s with key number %u, mode %u", command.name.c_str(), command.keyNumber,
                       command.mode);
            break;
        case CliCommand::Write:
            FUZZ_CHECK(command.data.GetCount() == 16, "write with %u bytes", command.data.GetCount());
            break;
        case CliCommand::SetPort:
            FUZZ_CHECK((command.mask & ~0x17) == 0, "setport mask %02X", command.mask);
            break;
        default:
            FUZZ_CHECK(command.data.IsEmpty(), "%s carries data", command.name.c_str());
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> args = SplitAtZero({data, size});
    size_t longest = 0;
    for (const std::string& arg : args) {
        longest = std::max(longest, arg.size());
    }

    CliOptions options;
    std::string error;
    const bool accepted = options.Parse(args, error);
    if (!accepted) {
        // The message quotes at most the two arguments it is about.
        FUZZ_CHECK(!error.empty() && error.size() <= 160 + 2 * longest, "error of %zu characters",
                   error.size());
    } else {
        FUZZ_CHECK(options.WantsHelp() || options.WantsVersion() || options.IsLedger() ||
                       options.GetConnection() != CliOptions::ConnectionNone,
                   "accepted without a connection");
        const CliLedgerOptions& ledger = options.GetLedger();
        if (options.IsLedger() && !options.WantsHelp()) {
            FUZZ_CHECK(ledger.verb != CliLedgerOptions::None, "a ledger command without its verb");
            FUZZ_CHECK(ledger.verb != CliLedgerOptions::Release ||
                           ledger.strReason.find_first_not_of(" \t\r\n") != std::string::npos,
                       "a release without a reason");
            FUZZ_CHECK(ledger.verb != CliLedgerOptions::Export || !ledger.strCsv.empty(),
                       "an export without a file");
        }
        // Two series on several readers (ports and USB bridges) would give readers the same numbers
        // without a ledger.
        const std::vector<CliReader>& readers = options.GetReaders();
        FUZZ_CHECK(readers.size() <= 1 || (options.GetProduce().bEnabled && !options.GetProduce().bNoLedger),
                   "%zu readers without a ledger's series", readers.size());
        FUZZ_CHECK(readers.size() >= options.GetPortNames().size(), "a port that is no reader");
        // The first bridge beside a named one might be that one: two series on one reader.
        size_t bridges = 0;
        bool firstBridge = false;
        for (size_t n = 0; n < readers.size(); ++n) {
            bridges += readers[n].bUsb ? 1 : 0;
            firstBridge = firstBridge || (readers[n].bUsb && readers[n].strName.empty());
            for (size_t m = 0; m < n; ++m) {
                FUZZ_CHECK(!(readers[m] == readers[n]), "reader %s given twice", readers[n].strName.c_str());
            }
        }
        FUZZ_CHECK(!(firstBridge && bridges > 1), "the first bridge beside a named one");
        FUZZ_CHECK(options.GetBaudRate() > 0, "baud rate 0");
        const CliConformanceOptions& conformance = options.GetConformance();
        if (conformance.bEnabled) {
            FUZZ_CHECK(options.GetCommands().empty() && options.GetMode().nMode == CliModeOptions::ModeNone &&
                           !options.GetProduce().bEnabled,
                       "conformance beside other commands");
            std::string refusal;
            FUZZ_CHECK(ConformanceSuite::CheckOptions(conformance.suite, refusal), "the suite refuses: %s",
                       refusal.c_str());
            FUZZ_CHECK(conformance.suite.repeat >= 1 && conformance.suite.repeat <= 1000, "repeat %u",
                       conformance.suite.repeat);
            const std::vector<std::string>& only = conformance.suite.only;
            for (size_t n = 0; n < only.size(); ++n) {
                FUZZ_CHECK(std::find(only.begin(), only.begin() + static_cast<long>(n), only[n]) ==
                               only.begin() + static_cast<long>(n),
                           "check %s named twice", only[n].c_str());
            }
            FUZZ_CHECK(conformance.strJUnit.empty() || conformance.strJUnit != conformance.strReport,
                       "both reports to %s", conformance.strJUnit.c_str());
        }
        for (const CliCommand& command : options.GetCommands()) {
            CheckCommand(command);
        }
    }

    CliOptions again;
    std::string againError;
    FUZZ_CHECK(again.Parse(args, againError) == accepted && againError == error, "a second parse differs");
    FUZZ_CHECK(again.GetCommands().size() == options.GetCommands().size(), "a second parse differs");
    return 0;
}
