// tagbench-cli ledger: the runs of a SQLite ledger in a temporary folder, listed, exported, checked
// and released, through the command line's parser and runner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliLedger.h"
#include "CliRunner.h"
#include "commands/HexText.h"
#include "production/Ledger.h"
#include "production/ProductionRecord.h"

namespace {

namespace fs = std::filesystem;

constexpr std::time_t kT1 = 1765400000;

class CliLedgerTest : public ::testing::Test {
protected:
    // Four runs, one of each kind an operator meets: stored, unknown (its number went out to a
    // reader that did not confirm it), failed before the number went out (free again), running.
    void SetUp() override {
        fs::create_directories(dir);
        Add("line-1", Request("Terminal", "SerialOnly", false, 5), kT1, Stored);
        Add("line-2", Request("Desk USB", "SerialAndUsbSettings", true, 7), kT1 + 60, Unknown,
            "ERROR: \x1b[2J no answer\nafter 4 s");
        Add("line-1", Request("Terminal", "SerialOnly", false, 6), kT1 + 120, FailedBeforeSending,
            "ERROR: Loader did not answer.");
        Add("line-1", Request("Terminal", "SerialOnly", false, 8), kT1 + 180, Running);
    }
    void TearDown() override { fs::remove_all(dir); }

    enum End { Stored, Unknown, FailedBeforeSending, Running };
    static LedgerRequest Request(const std::string& profile, const std::string& job, bool usb,
                                 uint32_t number) {
        LedgerRequest request;
        request.strProfile = profile;
        request.strJob = job;
        request.bMifare = true;
        request.bUsb = usb;
        request.dwNumber = number;
        request.bExact = true;
        request.dwMax = usb ? 999999 : 99999999;
        request.strUsbPrefix = usb ? "QV" : "";
        return request;
    }
    void Add(const std::string& station, const LedgerRequest& request, std::time_t when, End end,
             const std::string& message = {}) {
        std::string error;
        const auto ledger = Ledger::Open(path.string(), LedgerStation::ThisProcess(station), error);
        ASSERT_NE(ledger, nullptr) << error;
        LedgerRun run;
        ASSERT_EQ(ledger->ReserveRun(request, when, run, error), Ledger::Reserve::Reserved) << error;
        if (end != Running) {
            ASSERT_TRUE(
                ledger->FinishRun(run.nId, end == Stored, false, end == Unknown, message, when + 5, error))
                << error;
        }
    }

    struct Result {
        int exitCode;
        std::string out;
        std::string err;
    };
    // "tagbench-cli ledger --ledger PATH ARGS..." in-process; exit status 2 for a bad argument.
    Result Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"ledger", "--ledger", path.string(), "--station", "office"});
        CliOptions options;
        std::string error;
        if (!options.Parse(args, error)) {
            return {2, "", error};
        }
        std::ostringstream out;
        std::ostringstream err;
        const int exitCode = CliRunner(options, out, err, false).Run();
        return {exitCode, out.str(), err.str()};
    }
    // The ids in the first column of a list, under its header.
    static std::vector<std::string> Ids(const std::string& table) {
        std::istringstream lines(table);
        std::vector<std::string> ids;
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            ids.push_back(line.substr(0, line.find(' ')));
        }
        return ids;
    }
    static std::string Time(std::time_t when) { return ProductionRecord::FormatTime(when); }

    fs::path dir = fs::temp_directory_path() / ("tagbench-cli-ledger-" + std::to_string(::getpid()));
    fs::path path = dir / "ledger.sqlite";
};

TEST_F(CliLedgerTest, ListShowsTheRunsNewestFirstWithWhatARowSentEscaped) {
    const Result list = Cli({"list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    const std::string pad(Time(kT1).size() - 4, ' ');
    EXPECT_EQ(list.out,
              "ID  TIME" + pad +
                  "  STATION  PROFILE   JOB                   MIFARE    USB       OUTCOME  MESSAGE\n"
                  "4   " +
                  Time(kT1 + 180) +
                  "  line-1   Terminal  SerialOnly            00000008            running\n"
                  "3   " +
                  Time(kT1 + 120) +
                  "  line-1   Terminal  SerialOnly            00000006            failed   "
                  "ERROR: Loader did not answer.\n"
                  "2   " +
                  Time(kT1 + 60) +
                  "  line-2   Desk USB  SerialAndUsbSettings  00000007  QV000007  unknown  "
                  "ERROR: \\x1B[2J no answer\\nafter 4 s\n"
                  "1   " +
                  Time(kT1) + "  line-1   Terminal  SerialOnly            00000005            stored\n");
    EXPECT_EQ(list.err, "");
}

TEST_F(CliLedgerTest, ListFiltersByCountProfileStationAndOpenRuns) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> ids;
    };
    const Case cases[] = {
        {{"list", "--last", "2"}, {"4", "3"}},
        {{"list", "--profile", "Desk USB"}, {"2"}},
        {{"list", "--station=line-1", "--last", "2"}, {"4", "3"}},
        // The runs an operator must look at: one that runs, one whose reader never confirmed.
        {{"list", "--open"}, {"4", "2"}},
        {{"list", "--station", "nowhere"}, {}},
    };
    for (const Case& k : cases) {
        const Result list = Cli(k.args);
        EXPECT_EQ(list.exitCode, 0) << list.err;
        EXPECT_EQ(Ids(list.out), k.ids) << k.args[1];
    }
}

TEST_F(CliLedgerTest, ExportWritesEveryRunOldestFirstAndReplacesTheFileWhole) {
    const fs::path csv = dir / "export.csv";
    std::ofstream(csv) << "an older export\n";
    const Result result = Cli({"export", "--csv", csv.string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "Exported 4 runs to " + csv.string() + ".\n");
    std::vector<LedgerRun> runs;
    std::string error;
    const auto ledger = Ledger::Open(path.string(), LedgerStation::ThisProcess("test"), error);
    ASSERT_TRUE(ledger && ledger->ListRuns(LedgerFilter{}, runs, error)) << error;
    std::string expected = LedgerExportHeader() + "\n";
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        expected += LedgerExportLine(*run) + "\n";
    }
    std::stringstream written;
    written << std::ifstream(csv).rdbuf();
    EXPECT_EQ(written.str(), expected);
    EXPECT_EQ(runs.back().nId, 1) << "the oldest run is the export's first line";
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(csv).permissions()), 0666 & ~mask) << "an ordinary file";

    // To the standard output as it stands for a pipe, with what a row carries escaped for a terminal.
    CliLedgerOptions options;
    options.strLocation = path.string();
    options.verb = CliLedgerOptions::Export;
    options.strCsv = "-";
    for (const bool terminal : {false, true}) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunLedger(options, out, err, terminal), 0) << err.str();
        EXPECT_EQ(out.str(), terminal ? EscapeControls(expected) : expected);
        EXPECT_EQ(out.str().find('\x1b') == std::string::npos, terminal);
    }

    // A target that cannot take the export leaves nothing behind.
    const Result refused = Cli({"export", "--csv", dir.string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err,
              "tagbench-cli: ledger: cannot write the export " + dir.string() + ": not a regular file\n");
    const Result noFolder = Cli({"export", "--csv", (dir / "none" / "x.csv").string()});
    EXPECT_EQ(noFolder.exitCode, 1);
    EXPECT_EQ(noFolder.err, "tagbench-cli: ledger: cannot write the export " +
                                (dir / "none" / "x.csv").string() + ": No such file or directory\n");
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "export.csv" || name.rfind("ledger.sqlite", 0) == 0) << name << " left behind";
    }
}

TEST_F(CliLedgerTest, CheckSaysTheLedgerIsSoundOrNamesEachProblem) {
    Result check = Cli({"check"});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(check.out, "Ledger file " + path.string() + ": 4 runs, no problems.\n");

    // A stored run whose number the ledger no longer holds: that number could be given out again.
    std::string error;
    {
        const auto database = OpenSqliteLedger(path.string(), error);
        ASSERT_NE(database, nullptr) << error;
        ASSERT_TRUE(database->Exec("DELETE FROM numbers WHERE number = 5").Ok());
    }
    check = Cli({"check"});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.out, "run 1 (stored) does not hold its serial number 5\nLedger file " + path.string() +
                             ": 1 problem.\n");
}

TEST_F(CliLedgerTest, ReleaseFreesTheNumberOfAnUnknownRunAndRefusesAnyOther) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"release", "7", "--reason", "reader 7 was scrapped"},
         0,
         "USB serial number 000007 of run 2 (station line-2, unknown) is free again: reader 7 was scrapped\n"
         "Serial number 00000007 of run 2 (station line-2, unknown) is free again: reader 7 was scrapped\n",
         ""},
        {{"release", "7", "--reason", "again"},
         1,
         "",
         "tagbench-cli: ledger: Number 7 is not held by any run: there is nothing to release.\n"},
        {{"release", "5", "--reason", "x"},
         1,
         "",
         "tagbench-cli: ledger: Serial number 00000005 is stored in a reader (run 1, station line-1): it "
         "cannot be released.\n"},
        {{"release", "8", "--reason", "x"},
         1,
         "",
         "tagbench-cli: ledger: Serial number 00000008 is being programmed (run 4, station line-1): it "
         "cannot be "
         "released.\n"},
        {{"release", "6", "--reason", "x"},
         1,
         "",
         "tagbench-cli: ledger: Number 6 is not held by any run: there is nothing to release.\n"},
        // A number is given out again only with a reason.
        {{"release", "7"},
         2,
         "",
         "ledger release needs --reason TEXT: why the number may be given out again"},
        {{"release", "7", "--reason", " "},
         2,
         "",
         "ledger release needs --reason TEXT: why the number may be given out again"},
        {{"release", "--reason", "x"},
         2,
         "",
         "ledger release needs a serial number from 0 to 99999999, not --reason"},
        {{"release", "100000000", "--reason", "x"},
         2,
         "",
         "ledger release needs a serial number from 0 to 99999999, not 100000000"},
    };
    for (const Case& k : cases) {
        const Result result = Cli(k.args);
        EXPECT_EQ(result.exitCode, k.exitCode) << k.args[1];
        EXPECT_EQ(result.out, k.out);
        EXPECT_EQ(result.err, k.err);
    }
    const Result open = Cli({"list", "--open"});
    EXPECT_EQ(Ids(open.out), std::vector<std::string>{"4"});
    EXPECT_NE(open.out.find("running"), std::string::npos);
    const Result released = Cli({"list", "--station", "line-2"});
    EXPECT_NE(released.out.find("  released  Released by office: reader 7 was scrapped\n"), std::string::npos)
        << released.out;
}

TEST_F(CliLedgerTest, BadCommandsAndMissingLedgersAreRefused) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    };
    const fs::path missing = dir / "missing.sqlite";
    const Case cases[] = {
        {{}, 2, "ledger needs a command: list, export, check or release"},
        {{"erase"}, 2, "ledger: unknown command erase (list, export, check or release)"},
        {{"list", "--csv", "x"}, 2, "ledger: --csv belongs to export"},
        {{"export"}, 2, "ledger export needs --csv FILE (- for the standard output)"},
        {{"list", "--last", "0"}, 2, "ledger list --last needs a positive number, not 0"},
        {{"list", "--open=yes"}, 2, "ledger list --open takes no value"},
        {{"check", "now"}, 2, "ledger: unexpected now"},
        {{"check", "--ledger", "x.sqlite"}, 2, "ledger: --ledger comes before the command"},
    };
    for (const Case& k : cases) {
        const Result result = Cli(k.args);
        EXPECT_EQ(result.exitCode, k.exitCode);
        EXPECT_EQ(result.err, k.err);
    }
    // Opening would make an empty ledger and report no runs and no problems: a typo must show.
    for (const char* verb : {"list", "check"}) {
        CliOptions options;
        std::string error;
        ASSERT_TRUE(options.Parse({"ledger", "--ledger", missing.string(), verb}, error)) << error;
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(CliRunner(options, out, err, false).Run(), 1);
        EXPECT_EQ(err.str(), "tagbench-cli: ledger: no ledger at " + missing.string() +
                                 " (no series has used it yet)\n");
        EXPECT_FALSE(fs::exists(missing));
    }
    // A ledger that is there but cannot be opened: the ledger's own reason.
    CliOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"ledger", "--ledger", dir.string(), "list"}, error)) << error;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(CliRunner(options, out, err, false).Run(), 1);
    EXPECT_EQ(err.str(), "tagbench-cli: ledger: Could not open the production ledger " + dir.string() +
                             ": it is a folder.\n");
}

TEST(CliLedgerUsage, HelpDocumentsTheLedgerCommands) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"ledger", "--help"}, error)) << error;
    EXPECT_TRUE(options.WantsHelp());
    for (const char* text : {"ledger list", "--last N", "--open", "ledger export --csv FILE", "ledger check",
                             "ledger release N --reason TEXT", "produce --profile NAME", "--ledger URL|FILE",
                             "--no-ledger", "--station NAME"}) {
        EXPECT_NE(CliOptions::Usage().find(text), std::string::npos) << text;
    }
}

}  // namespace
