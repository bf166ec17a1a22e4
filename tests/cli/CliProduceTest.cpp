// tagbench-cli produce: series of readers against simulated readers, in-process, with a ledger in a
// temporary folder; and the binary once with the profiles the build places beside it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "CliRunner.h"
#include "pg/PostgresTest.h"
#include "production/Ledger.h"
#include "production/LedgerJob.h"
#include "production/ProductionRecord.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

namespace fs = std::filesystem;

class CliProduceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir);
        std::ofstream(profiles) << "[Desk USB]\nIsUSBDevice=1\nProductID=FB1A\n"
                                   "[Terminal]\n"
                                   "[Too strong]\nIsUSBDevice=1\nMaxPower=501\n"
                                   "[Bad PID]\nIsUSBDevice=1\nProductID=zzzz\n";
    }
    void TearDown() override { fs::remove_all(dir); }

    struct Run {
        int exitCode;
        std::string out;
        std::string err;
    };
    // A series on the in-process simulated reader, with the fixture's ledger unless the arguments
    // name another or none.
    Run Produce(std::vector<std::string> args, std::function<void(SimReader&)> setup = {}) {
        if (std::find_if(args.begin(), args.end(), [](const std::string& arg) {
                return arg.rfind("--ledger", 0) == 0 || arg == "--no-ledger";
            }) == args.end()) {
            args.insert(args.end(), {"--ledger", ledger.string(), "--station", "bench-1"});
        }
        args.insert(args.begin(),
                    {"--simulate", "produce", "--profiles", profiles.string(), "--record", record.string()});
        CliOptions options;
        std::string error;
        EXPECT_TRUE(options.Parse(args, error)) << error;
        std::ostringstream out;
        std::ostringstream err;
        CliRunner runner(options, out, err, false);
        runner.SetSimulatorSetup([&](SimReader& reader) {
            if (setup) {
                setup(reader);
            }
            simReader = &reader;
        });
        simReader = nullptr;
        readers.clear();
        const int exitCode = runner.Run();
        if (simReader != nullptr) {
            readers = simReader->GetSeriesReaders();
        }
        return {exitCode, out.str(), err.str()};
    }
    std::vector<std::string> RecordLines() {
        std::ifstream in(record);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line.substr(line.find(',') + 1));  // without the time
        }
        return lines;
    }

    // The fixture's ledger, newest run first.
    std::vector<LedgerRun> Runs() {
        std::string error;
        const auto opened = Ledger::Open(ledger.string(), LedgerStation::ThisProcess("test"), error);
        std::vector<LedgerRun> runs;
        EXPECT_TRUE(opened && opened->ListRuns(LedgerFilter{}, runs, error)) << error;
        return runs;
    }
    std::string Header(const std::string& profile, const std::string& job) {
        return "Profile " + profile + ": " + job + ", ledger file " + ledger.string() +
               ", station bench-1, record " + record.string() + ".\n";
    }

    fs::path dir = fs::temp_directory_path() / ("tagbench-produce-" + std::to_string(::getpid()));
    fs::path profiles = dir / "profiles.ini";
    fs::path record = dir / "record.csv";
    fs::path ledger = dir / "ledger.sqlite";
    SimReader* simReader = nullptr;
    std::vector<SimSeriesReader> readers;
};

TEST_F(CliProduceTest, ASeriesProgramsEachReaderWithTheNextNumberAndRecordsIt) {
    const Run run = Produce({"--profile", "desk usb", "--usb-serial", "41", "--count", "3"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, Header("Desk USB", "serial number and USB settings") +
                           "Connect reader 1; Ctrl-C ends the series.\n"
                           "reader 1: MIFARE 00000041, USB QV000041: OK\n"
                           "reader 2: MIFARE 00000042, USB QV000042: OK\n"
                           "reader 3: MIFARE 00000043, USB QV000043: OK\n"
                           "3 readers: 3 programmed, 0 failed.\n");
    ASSERT_EQ(readers.size(), 3u);
    EXPECT_EQ(readers[2].serialText, "0x00000043");
    EXPECT_EQ(readers[2].eeprom.serialNumber, "QV000043");
    EXPECT_EQ(readers[2].eeprom.productId, 0xFB1A);
    EXPECT_EQ(RecordLines(),
              (std::vector<std::string>{"profile,job,mifare_serial,usb_serial,result,message,file",
                                        "Desk USB,SerialAndUsbSettings,00000041,QV000041,OK,,",
                                        "Desk USB,SerialAndUsbSettings,00000042,QV000042,OK,,",
                                        "Desk USB,SerialAndUsbSettings,00000043,QV000043,OK,,"}));
    const std::vector<LedgerRun> runs = Runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].usbSerial, 43u);
    EXPECT_EQ(runs[0].mifareSerial, 43u);
    EXPECT_EQ(runs[0].strStation, "bench-1");
    EXPECT_EQ(runs[0].outcome, LedgerOutcome::Stored);
}

// Counting on past the top would start again at 0 and give out numbers that are in readers.
TEST_F(CliProduceTest, TheLastNumberOfTheSpaceEndsTheSeries) {
    const Run run = Produce({"--profile", "desk usb", "--usb-serial", "999998", "--count", "3"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("reader 1: MIFARE 00999998, USB QV999998: OK\n"
                           "reader 2: MIFARE 00999999, USB QV999999: OK\n"
                           "2 readers: 2 programmed, 0 failed.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.err,
              "tagbench-cli: produce: USB serial number 999999 was the last one and has been used. Type the "
              "next reader's number.\n");
    EXPECT_EQ(readers.size(), 2u);
    EXPECT_EQ(Runs().size(), 2u);
}

// Without a typed number the ledger gives the lowest free one, and a second series goes on from
// where the first stopped: no number twice.
TEST_F(CliProduceTest, SeriesDrawTheirNumbersFromTheLedger) {
    const std::string header =
        Header("Terminal", "serial number") + "Connect reader 1; Ctrl-C ends the series.\n";
    Run run = Produce({"--profile", "Terminal", "--count", "2"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, header +
                           "reader 1: MIFARE 00000000: OK\n"
                           "reader 2: MIFARE 00000001: OK\n"
                           "2 readers: 2 programmed, 0 failed.\n");
    run = Produce({"--profile", "Terminal", "--count", "2"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, header +
                           "reader 1: MIFARE 00000002: OK\n"
                           "reader 2: MIFARE 00000003: OK\n"
                           "2 readers: 2 programmed, 0 failed.\n");
    ASSERT_EQ(readers.size(), 2u);
    EXPECT_EQ(readers[0].serialText, "0x00000002");
    EXPECT_EQ(readers[1].serialText, "0x00000003");

    // A typed number is that number: taken when free, and counting goes on from it...
    run = Produce({"--profile", "Terminal", "--serial", "7", "--count", "1"});
    EXPECT_NE(run.out.find("reader 1: MIFARE 00000007: OK\n"), std::string::npos) << run.out + run.err;
    // ... and refused, with when and where, when it was given out: no reader is woken.
    const std::vector<LedgerRun> runs = Runs();
    ASSERT_EQ(runs.size(), 5u);
    run = Produce({"--profile", "Terminal", "--serial", "2", "--count", "1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "tagbench-cli: produce: Serial number 00000002 was given out on " +
                           ProductionRecord::FormatTime(runs[2].tStarted) +
                           " at station bench-1 (profile Terminal, run 3, stored).\n");
    EXPECT_EQ(run.out.find("reader 1:"), std::string::npos) << run.out;
    EXPECT_TRUE(readers.empty());
    EXPECT_EQ(Runs().size(), 5u) << "a refusal records no run";
    // The untyped series fills the gap below the typed number.
    run = Produce({"--profile", "Terminal", "--count", "1"});
    EXPECT_NE(run.out.find("reader 1: MIFARE 00000004: OK\n"), std::string::npos) << run.out + run.err;
}

// Once the store command went out, the number may be in the reader, whatever the job's end: the
// next reader gets the next one, and the ledger keeps both as unknown until someone looks.
TEST_F(CliProduceTest, ANumberThatReachedAReaderIsUsedUpEvenWhenTheJobFails) {
    Run run = Produce({"--profile", "Terminal", "--serial", "5", "--count", "2"},
                      [](SimReader& reader) { reader.StartSeries("0x00000001"); });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("reader 1: MIFARE 00000005: failed: ERROR: Reader already has a serial number!\n"
                           "reader 2: MIFARE 00000006: failed: ERROR: Reader already has a serial number!\n"
                           "2 readers: 0 programmed, 2 failed.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(RecordLines().back(),
              "Terminal,SerialOnly,00000006,,failed,ERROR: Reader already has a serial number!,");

    // The next series shows the operator what needs looking at, and never gives those numbers out.
    const std::vector<LedgerRun> runs = Runs();
    ASSERT_EQ(runs.size(), 2u);
    run = Produce({"--profile", "Terminal", "--serial", "4", "--count", "3"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::string warnings;
    for (const int n : {1, 0}) {
        const uint32_t number = *runs[n].mifareSerial;
        warnings +=
            "Unknown outcome: run " + std::to_string(runs[n].nId) + ", MIFARE 0000000" +
            std::to_string(number) + ", station bench-1, " + ProductionRecord::FormatTime(runs[n].tStarted) +
            ": ERROR: Reader already has a serial number! Release it with: tagbench-cli ledger release " +
            std::to_string(number) + " --reason TEXT\n";
    }
    EXPECT_EQ(run.err, warnings);
    EXPECT_NE(run.out.find("reader 1: MIFARE 00000004: OK\n"
                           "reader 2: MIFARE 00000007: OK\n"
                           "reader 3: MIFARE 00000008: OK\n"),
              std::string::npos)
        << run.out;
}

// A station killed mid-job leaves its run running; the next start on that host marks it unknown,
// and its number stays out of use.
TEST_F(CliProduceTest, ARunOfADeadStationIsShownAsUnknownAndItsNumberIsNotGivenAgain) {
    {
        LedgerStation dead = LedgerStation::ThisProcess("line-2");
        dead.nPidStart += 1;  // this pid, but another process: gone
        std::string error;
        const auto opened = Ledger::Open(ledger.string(), dead, error);
        ASSERT_NE(opened, nullptr) << error;
        ProgrammingInputs inputs;
        inputs.mode = SerialOnly;
        LedgerJob job;
        ASSERT_EQ(job.Reserve(*opened, "Terminal", inputs, false, 1000000000, error),
                  Ledger::Reserve::Reserved)
            << error;
    }
    const Run run = Produce({"--profile", "Terminal", "--count", "1"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err,
              "Unknown outcome: run 1, MIFARE 00000000, station line-2, " +
                  ProductionRecord::FormatTime(1000000000) +
                  ": The station stopped during the job: whether the reader got its number is unknown. "
                  "Release it with: tagbench-cli ledger release 0 --reason TEXT\n");
    EXPECT_NE(run.out.find("reader 1: MIFARE 00000001: OK\n"), std::string::npos) << run.out;
}

// The options win over the profile file's [Ledger] section, which wins over the defaults.
TEST_F(CliProduceTest, TheProfileFileNamesTheLedgerAndTheStation) {
    const fs::path line = dir / "line.sqlite";
    std::ofstream(profiles, std::ios::app) << "[Ledger]\nLocation=" << line.string() << "\nStation=line-3\n";
    const Run run = Produce({"--profile", "Terminal", "--count", "1"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1), Header("Terminal", "serial number"));

    CliOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"--simulate", "produce", "--profiles", profiles.string(), "--record",
                               record.string(), "--profile", "Terminal", "--count", "1"},
                              error));
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(CliRunner(options, out, err, false).Run(), 0) << err.str();
    EXPECT_EQ(out.str(), "Profile Terminal: serial number, ledger file " + line.string() +
                             ", station line-3, record " + record.string() +
                             ".\nConnect reader 1; Ctrl-C ends the series.\n"
                             "reader 1: MIFARE 00000000: OK\n"
                             "1 reader: 1 programmed, 0 failed.\n");
}

TEST_F(CliProduceTest, WithoutALedgerTheSeriesSaysSoAndNeedsATypedNumber) {
    Run run = Produce({"--profile", "Terminal", "--serial", "3", "--count", "1", "--no-ledger"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Profile Terminal: serial number, no ledger, record " + record.string() +
                           ".\nConnect reader 1; Ctrl-C ends the series.\n"
                           "reader 1: MIFARE 00000003: OK\n"
                           "1 reader: 1 programmed, 0 failed.\n");
    run = Produce({"--profile", "Terminal", "--no-ledger"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(
        run.err,
        "tagbench-cli: produce: give the first reader's number with --serial N (without a ledger nothing "
        "else knows it)\n");
    EXPECT_FALSE(fs::exists(ledger));
}

// Two readers on two ports at once, one series each, with the ledger at location: every reader
// gets its own number, and every line comes out whole with its port in front.
void ExpectTwoSeriesAtOnce(const std::string& location, const fs::path& profiles, const fs::path& record) {
    std::string error;
    std::vector<std::unique_ptr<Simulator>> sims;
    for (int n = 0; n < 2; ++n) {
        sims.push_back(Simulator::Start(error));
        ASSERT_NE(sims.back(), nullptr) << error;
        sims.back()->Reader().StartSeries("");
    }
    const std::string a = sims[0]->PortName();
    const std::string b = sims[1]->PortName();
    CliOptions options;
    ASSERT_TRUE(options.Parse(
        {"--port", a, "--port", b, "produce", "--profiles", profiles.string(), "--record", record.string(),
         "--profile", "Terminal", "--count", "3", "--ledger", location, "--station", "bench-1"},
        error))
        << error;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(CliRunner(options, out, err, false).Run(), 0) << err.str();
    const auto ledger = Ledger::Open(location, LedgerStation::ThisProcess("bench-1"), error);
    ASSERT_NE(ledger, nullptr) << error;

    std::istringstream lines(out.str());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Profile Terminal: serial number, ledger " + ledger->Describe() + ", record " +
                        record.string() + ".");
    std::getline(lines, line);
    EXPECT_EQ(line, "Connect a reader to each of the 2 ports; Ctrl-C ends the series.");
    std::map<std::string, std::vector<std::string>> printed;  // port: numbers in order
    const std::regex reader(R"(\[(.+)\] reader ([1-3]): MIFARE (\d{8}): OK)");
    const std::regex summary(R"(\[(.+)\] 3 readers: 3 programmed, 0 failed\.)");
    std::smatch match;
    int summaries = 0;
    while (std::getline(lines, line) && line.find(" on 2 ports") == std::string::npos) {
        if (std::regex_match(line, match, reader)) {
            printed[match[1]].push_back("0x" + match[3].str());
        } else {
            EXPECT_TRUE(std::regex_match(line, summary)) << line;
            ++summaries;
        }
    }
    EXPECT_EQ(line, "6 readers on 2 ports: 6 programmed, 0 failed.");
    EXPECT_EQ(summaries, 2);
    // What each simulated reader stored is what its port's lines say, and no number twice.
    std::set<std::string> stored;
    for (size_t n = 0; n < sims.size(); ++n) {
        std::vector<std::string> numbers;
        for (const SimSeriesReader& r : sims[n]->Reader().GetSeriesReaders()) {
            numbers.push_back(r.serialText);
            stored.insert(r.serialText);
        }
        EXPECT_EQ(numbers, printed[n == 0 ? a : b]);
    }
    EXPECT_EQ(stored, (std::set<std::string>{"0x00000000", "0x00000001", "0x00000002", "0x00000003",
                                             "0x00000004", "0x00000005"}));
    std::vector<LedgerRun> runs;
    ASSERT_TRUE(ledger->ListRuns(LedgerFilter{}, runs, error)) << error;
    EXPECT_EQ(runs.size(), 6u);
    for (const LedgerRun& run : runs) {
        EXPECT_EQ(run.outcome, LedgerOutcome::Stored) << run.nId;
    }
}

TEST_F(CliProduceTest, SeveralPortsRunTheirSeriesAtOnceWithDistinctNumbers) {
    ExpectTwoSeriesAtOnce(ledger.string(), profiles, record);
    EXPECT_EQ(RecordLines().size(), 7u) << "the record's header and six lines, none torn";
}

// The same with a line's ledger on a server, which several stations share.
class CliProducePostgresTest : public PostgresTest {
protected:
    void SetUp() override {
        PostgresTest::SetUp();
        fs::create_directories(dir);
        std::ofstream(dir / "profiles.ini") << "[Terminal]\n";
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir = fs::temp_directory_path() / ("tagbench-produce-pg-" + std::to_string(::getpid()));
};

TEST_F(CliProducePostgresTest, SeveralPortsRunTheirSeriesAtOnceWithDistinctNumbers) {
    ExpectTwoSeriesAtOnce(NewDatabase("cli_two_ports"), dir / "profiles.ini", dir / "record.csv");
}

// The ledger is opened before any port: one that cannot be opened programs nothing.
TEST_F(CliProduceTest, ALedgerThatCannotBeOpenedStopsTheSeriesBeforeAnyReader) {
    const fs::path corrupt = dir / "corrupt.sqlite";
    std::ofstream(corrupt) << std::string(4096, 'x');
    struct Case {
        fs::path location;
        std::string reason;
    };
    const Case cases[] = {
        {dir, "it is a folder"},
        {corrupt, "file is not a database"},
        {dir / "no-such-folder" / "ledger.sqlite",
         "the folder " + (dir / "no-such-folder").string() + " does not exist"},
    };
    for (const Case& k : cases) {
        const Run run = Produce({"--profile", "Terminal", "--serial", "1", "--ledger", k.location.string()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "tagbench-cli: produce: Could not open the production ledger " +
                               k.location.string() + ": " + k.reason + ".\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(simReader, nullptr) << "no reader was connected";
    }
}

// A file the program may not write: root writes any file, so the case runs as nobody then.
TEST_F(CliProduceTest, AReadOnlyLedgerStopsTheSeriesBeforeAnyReader) {
    ASSERT_EQ(Produce({"--profile", "Terminal", "--count", "1"}).exitCode, 0);
    fs::permissions(ledger, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir, fs::perms::all);
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipes[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(99);
        }
        CliOptions options;
        std::string error;
        options.Parse({"--simulate", "produce", "--profiles", profiles.string(), "--record", record.string(),
                       "--profile", "Terminal", "--count", "1", "--ledger", ledger.string()},
                      error);
        std::ostringstream out;
        std::ostringstream err;
        const int exitCode = CliRunner(options, out, err, false).Run();
        const std::string text = out.str() + err.str();
        [[maybe_unused]] const ssize_t written = write(pipes[1], text.data(), text.size());
        _exit(exitCode);
    }
    close(pipes[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; (n = read(pipes[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(pipes[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(text, "tagbench-cli: produce: Could not open the production ledger " + ledger.string() +
                        ": the file is read-only.\n");
    EXPECT_EQ(Runs().size(), 1u);
}

// Simulated readers behind USB bridges with serial numbers of their own, each bridge a table of
// its own (the simulated bridge plays one device). Each fresh reader of a series comes with its
// bridge's serial number as the series started, so the bridge stays the one named.
TEST_F(CliProduceTest, UsbBridgesNamedBySerialNumberRunTheirSeriesAtOnce) {
    const std::vector<std::string> serials = {"QV000900", "QV000901"};
    std::vector<std::shared_ptr<SimReader>> sims;
    std::vector<std::shared_ptr<D2xxProvider>> bridges;
    for (const std::string& serial : serials) {
        sims.push_back(std::make_shared<SimReader>(Clock::System()));
        SimEeprom eeprom;
        eeprom.serialNumber = serial;
        sims.back()->SetEeprom(eeprom);
        sims.back()->StartSeries("");
        bridges.push_back(std::make_shared<SimD2xxProvider>(sims.back(), Clock::System()));
    }
    // Handed out in reverse: a port must find its bridge by the serial number, not by turn.
    size_t handed = bridges.size();
    CliOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"--usb=QV000901", "--usb=QV000900", "produce", "--profiles", profiles.string(),
                               "--record", record.string(), "--profile", "desk usb", "--count", "2",
                               "--ledger", ledger.string(), "--station", "bench-1"},
                              error))
        << error;
    std::ostringstream out;
    std::ostringstream err;
    CliRunner runner(options, out, err, false);
    runner.SetD2xxFactory([&] { return bridges.at(--handed); });
    EXPECT_EQ(runner.Run(), 0) << err.str();

    std::map<std::string, std::vector<std::string>> printed;  // port: USB serial numbers in order
    const std::regex line(R"(\[(USB QV00090[01])\] reader [12]: MIFARE \d{8}, USB (QV\d{6}): OK)");
    std::istringstream lines(out.str());
    for (std::string text; std::getline(lines, text);) {
        if (std::smatch match; std::regex_match(text, match, line)) {
            printed[match[1]].push_back(match[2]);
        }
    }
    EXPECT_NE(out.str().find("[USB QV000900] 2 readers: 2 programmed, 0 failed.\n"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("4 readers on 2 ports: 4 programmed, 0 failed.\n"), std::string::npos);
    std::set<std::string> stored;
    for (size_t n = 0; n < sims.size(); ++n) {
        std::vector<std::string> numbers;
        for (const SimSeriesReader& r : sims[n]->GetSeriesReaders()) {
            numbers.push_back(r.eeprom.serialNumber);
            stored.insert(r.eeprom.serialNumber);
        }
        EXPECT_EQ(numbers, printed["USB " + serials[n]]) << serials[n];
    }
    EXPECT_EQ(stored.size(), 4u) << "no USB serial number twice";

    // A bridge that is not there: the series does not start on another one.
    CliOptions missing;
    ASSERT_TRUE(missing.Parse({"--usb=QV000999", "produce", "--profiles", profiles.string(), "--record",
                               record.string(), "--profile", "desk usb", "--ledger", ledger.string()},
                              error));
    std::ostringstream missingErr;
    CliRunner missingRunner(missing, out, missingErr, false);
    missingRunner.SetD2xxFactory([&] { return bridges[0]; });
    EXPECT_EQ(missingRunner.Run(), 1);
    EXPECT_EQ(missingErr.str().rfind("tagbench-cli: cannot connect to the USB bridge QV000999: ", 0), 0u)
        << missingErr.str();
    EXPECT_EQ(sims[0]->GetSeriesReaders().size(), 2u);
}

TEST_F(CliProduceTest, ASeriesThatCannotStartSaysWhyAndTouchesNoReader) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--profile", "Door", "--serial", "1"},
         "no profile Door in " + profiles.string() + " (Desk USB, Terminal, Too strong, Bad PID)"},
        {{"--profile", "Desk USB", "--serial", "1"},
         "profile Desk USB is a USB reader: its MIFARE serial number follows --usb-serial"},
        {{"--profile", "Terminal", "--usb-serial", "1"},
         "profile Terminal is a serial reader: it has no USB serial number"},
        {{"--profile", "Terminal", "--serial", "1", "--no-serial"},
         "nothing to program: profile Terminal with --no-serial"},
        {{"--profile", "Too strong", "--usb-serial", "1"},
         "profile Too strong, MaxPower: Please enter a number from 0 to 500."},
        // A profile the bridge would refuse gives no reader a number.
        {{"--profile", "Bad PID", "--usb-serial", "1"},
         "profile Bad PID: ERROR: USB settings not written! The product ID zzzz is not 6001 or FB18 to "
         "FB1F."},
        // A path that is no regular file would block or never end: refused at once.
        {{"--profile", "Terminal", "--serial", "1", "--profiles", dir.string()},
         "cannot read the device profiles " + dir.string() + ": Is a directory"},
        {{"--profile", "Terminal", "--serial", "1", "--profiles", "/dev/zero"},
         "cannot read the device profiles /dev/zero: not a regular file"},
        {{"--profile", "Terminal", "--serial", "1", "--record", (dir / "profiles.ini" / "x.csv").string()},
         "Could not write the production record " + (dir / "profiles.ini" / "x.csv").string() +
             ": Not a directory."},
    };
    for (const Case& k : cases) {
        const Run run = Produce(k.args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "tagbench-cli: produce: " + k.err + "\n");
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists(record)) << "no reader, no record";
}

TEST(CliProduceOptions, BadArgumentsAreRefused) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{"--simulate", "produce", "--serial", "1"}, "produce needs --profile NAME"},
        {{"--simulate", "produce", "--profile", "P", "--serial", "100000000"},
         "produce --serial needs a number from 0 to 99999999, not 100000000"},
        {{"--simulate", "produce", "--profile", "P", "--usb-serial=1000000"},
         "produce --usb-serial needs a number from 0 to 999999, not 1000000"},
        {{"--simulate", "produce", "--profile", "P", "--count", "0"},
         "produce --count needs a positive number, not 0"},
        {{"--simulate", "request", "produce", "--profile", "P"},
         "produce runs alone: no other command, contread or waitcard with it"},
        {{"--port", "/dev/ttyS0", "--port", "/dev/ttyS1", "produce", "--profile", "P", "--serial", "1",
          "--no-ledger"},
         "produce on several ports needs a ledger: --no-ledger would give readers the same numbers"},
        {{"--port", "/dev/ttyS0", "--port", "/dev/ttyS0", "produce", "--profile", "P"},
         "--port /dev/ttyS0 given twice"},
        {{"--simulate", "produce", "--profile", "P", "--no-ledger", "--ledger", "x.sqlite"},
         "produce --no-ledger and --ledger contradict each other"},
    };
    for (const Case& k : cases) {
        CliOptions options;
        std::string error;
        EXPECT_FALSE(options.Parse(k.args, error));
        EXPECT_EQ(error, k.error);
    }
}

TEST(CliProduceBinary, TheShippedProfilesLieBesideTheProgram) {
    const char* bin = std::getenv("TAGBENCH_BIN_DIR");
    const fs::path record =
        fs::temp_directory_path() / ("tagbench-produce-bin-" + std::to_string(::getpid()) + ".csv");
    const std::string command =
        std::string(bin != nullptr ? bin : ".") +
        "/src/cli/tagbench-cli --simulate produce --profile 'Door reader USB' --usb-serial 7 "
        "--count 1 --record " +
        record.string() + " --ledger " + record.string() + ".sqlite 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
        output += chunk;
    }
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("reader 1: MIFARE 00000007, USB QV000007: OK\n"), std::string::npos) << output;
    fs::remove(record);
    fs::remove(record.string() + ".sqlite");
    fs::remove(record.string() + ".sqlite-wal");
    fs::remove(record.string() + ".sqlite-shm");
}

}  // namespace
