// tagbench-cli conformance: its options, runs against the simulated reader on the fake clock (the
// table, the exit status, the reports, Ctrl-C), and through the runner: report files refused
// before the connection, and one short run on the in-process simulator.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "CliRunner.h"
#include "core/conformance/TinyXml.h"
#include "link/ReaderLink.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(CliConformanceOptions, RefusesWhatTheSuiteCannotRunWithAClearMessage) {
    const struct {
        std::vector<std::string> args;  // after --simulate
        const char* error;
    } cases[] = {
        {{"conformance", "--only", "framing.nope"},
         "conformance --only: no check or group framing.nope (--help lists the checks)"},
        {{"conformance", "--only", "framing,,handshake"},
         "conformance --only needs check ids separated by commas, not framing,,handshake"},
        {{"conformance", "--repeat", "0"}, "conformance --repeat needs a number from 1 to 1000, not 0"},
        {{"conformance", "--repeat=1001"}, "conformance --repeat needs a number from 1 to 1000, not 1001"},
        {{"conformance", "--write", "256"}, "conformance --write needs a block number 0-255, not 256"},
        {{"conformance", "--write", "7"},
         "conformance: block 7 is a sector trailer: writing it could lock the sector"},
        {{"conformance", "--write", "0"},
         "conformance: block 0 holds the card's serial number and cannot be written"},
        {{"conformance", "--procedure", "hdlc"},
         "conformance --procedure takes auto, 3964r or framed, not hdlc"},
        {{"conformance", "--junit"}, "conformance --junit needs a value"},
        {{"conformance", "--junit", "r.xml", "--report", "r.xml"},
         "conformance --junit and --report name the same file r.xml"},
        {{"conformance", "conformance"}, "conformance given twice"},
        {{"request", "conformance"},
         "conformance runs alone: no other command, contread, waitcard or produce with it"},
        {{"conformance", "waitcard"},
         "conformance runs alone: no other command, contread, waitcard or produce with it"},
        {{"conformance", "--bogus"}, "unknown option --bogus"},
    };
    for (const auto& test : cases) {
        std::vector<std::string> args = {"--simulate"};
        args.insert(args.end(), test.args.begin(), test.args.end());
        SCOPED_TRACE(args.back());
        CliOptions options;
        std::string error;
        EXPECT_FALSE(options.Parse(args, error));
        EXPECT_EQ(error, test.error);
    }

    // A group stands for its checks, in the suite's order; an id named twice runs once.
    CliOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"--port", "/dev/ttyS0", "conformance", "--only", "handshake,framing.length",
                               "--only=handshake.stx-ack", "--repeat", "5", "--write=4", "--procedure",
                               "framed", "--junit", "j.xml", "--report", "r.md", "--baud", "115200"},
                              error))
        << error;
    const CliConformanceOptions& conformance = options.GetConformance();
    EXPECT_TRUE(conformance.bEnabled);
    EXPECT_EQ(conformance.suite.only,
              (std::vector<std::string>{"handshake.stx-ack", "handshake.telegram-ack", "framing.length"}));
    EXPECT_EQ(conformance.suite.repeat, 5u);
    EXPECT_EQ(conformance.suite.writeBlock, std::optional<uint8_t>(4));
    EXPECT_EQ(conformance.suite.procedure, ConformanceProcedure::Framed);
    EXPECT_EQ(conformance.strJUnit, "j.xml");
    EXPECT_EQ(conformance.strReport, "r.md");
    EXPECT_EQ(options.GetBaudRate(), 115200u);
}

// The simulated reader with a card, on the fake clock: the suite's waits move the clock instead of
// taking time.
class CliConformanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir);
        reader->EnterCard(SimCard(0x12345678));
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Parses "--simulate conformance ARGS" and runs it; stopAfter: Ctrl-C after that many steps.
    int Run(const std::vector<std::string>& args, int stopAfter = 0) {
        std::vector<std::string> all = {"--simulate", "conformance"};
        all.insert(all.end(), args.begin(), args.end());
        std::string error;
        EXPECT_TRUE(options.Parse(all, error)) << error;
        CliConformance conformance(options.GetConformance(), out, err, false);
        if (!conformance.Prepare()) {
            return -1;
        }
        int steps = 0;
        return conformance.Run(port, clock, link.GetLinkMode(), "the simulated reader (USB) at 9600 baud",
                               [&](uint32_t ms) {
                                   clock.Advance(ms);
                                   if (++steps == stopAfter) {
                                       std::raise(SIGINT);
                                   }
                               });
    }
    TinyXmlElement JUnit() {
        TinyXmlElement root;
        std::string error;
        EXPECT_TRUE(TinyXml::Parse(Slurp(junit), root, error)) << error;
        EXPECT_EQ(root.children.size(), 1u);
        return root.children.empty() ? root : root.children[0];
    }

    fs::path dir = fs::temp_directory_path() / ("tagbench-conformance-" + std::to_string(::getpid()));
    fs::path junit = dir / "junit.xml";
    fs::path report = dir / "report.md";
    FakeClock clock{5000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    ReaderPort port{nullptr, std::make_shared<SimD2xxProvider>(reader, clock)};
    ReaderLink link{clock};
    CliOptions options;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(CliConformanceTest, PassingRunPrintsEachCheckAndWritesBothReports) {
    EXPECT_EQ(Run({"--only", "handshake.stx-ack,framing.length,commands.write", "--repeat", "3", "--junit",
                   junit.string(), "--report", report.string()}),
              0)
        << err.str();
    EXPECT_EQ(err.str(), "");
    const std::string text = out.str();
    EXPECT_EQ(
        text.substr(0, text.find("\n\n2 passed")),
        "Reader: Tagbench simulated reader V1.0\n"
        "Line:   the simulated reader (USB) at 9600 baud, 3964R procedure\n"
        "\n"
        "handshake.stx-ack  passed   exchanges=3 stx_ack_min_ms=0 stx_ack_median_ms=0 stx_ack_max_ms=0\n"
        "framing.length     passed   answers=4\n"
        "commands.write     skipped  writes a card block: run with a block to write (--write BLOCK)");
    EXPECT_NE(text.find("\n\n2 passed, 0 failed, 1 skipped in "), std::string::npos) << text;
    EXPECT_NE(text.find("Wrote the JUnit report " + junit.string() + ".\nWrote the report " +
                        report.string() + ".\n"),
              std::string::npos)
        << text;

    const TinyXmlElement suite = JUnit();
    EXPECT_EQ(suite.AttributeOr("tests"), "3");
    EXPECT_EQ(suite.AttributeOr("failures"), "0");
    EXPECT_EQ(suite.AttributeOr("skipped"), "1");
    EXPECT_EQ(suite.Children("testcase").size(), 3u);
    const std::string md = Slurp(report);
    EXPECT_EQ(md.rfind("# Reader conformance report\n", 0), 0u);
    EXPECT_NE(md.find("| Reader | Tagbench simulated reader V1.0 |\n"
                      "| Line | the simulated reader (USB) at 9600 baud, 3964R procedure |\n"),
              std::string::npos)
        << md;
    EXPECT_NE(md.find("| Tagbench version | 1."), std::string::npos) << md;
    // No file of the temporary kind is left beside the reports.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

TEST_F(CliConformanceTest, FailedCheckIsNamedWithWhatWasExpectedAndSeenAndExitsOne) {
    SimFaults faults;
    faults.wrongSequenceCount = UINT32_MAX;
    reader->SetFaults(faults);
    EXPECT_EQ(Run({"--only", "framing.sequence", "--report", report.string()}), 1);
    // The failed check's row, then what a conformant reader does and what this one did.
    EXPECT_TRUE(std::regex_search(out.str(), std::regex("\nframing\\.sequence  failed   exchanges=256 .+\n"
                                                        "    expected: \\S.*\n"
                                                        "    seen:     \\S.*\n"
                                                        "\n0 passed, 1 failed, 0 skipped in ")))
        << out.str();
    const std::string md = Slurp(report);
    EXPECT_NE(md.find("## Failures\n\n### framing.sequence: Sequence number echoed (all 256 values)\n"),
              std::string::npos)
        << md;
}

TEST_F(CliConformanceTest, CtrlCStopsTheRunWithExitOneAndReportsTheRestAsNotRun) {
    // The first step reads the reader's Info, the second runs the first check.
    EXPECT_EQ(Run({"--only", "handshake,framing.length", "--repeat", "2", "--junit", junit.string()}, 2), 1);
    EXPECT_EQ(err.str(), "tagbench-cli: conformance stopped before its end\n");
    EXPECT_NE(out.str().find("handshake.stx-ack       passed"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("handshake.telegram-ack  not run\nframing.length          not run\n"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("\n1 passed, 0 failed, 0 skipped, 2 not run in "), std::string::npos);
    const TinyXmlElement suite = JUnit();
    EXPECT_EQ(suite.AttributeOr("skipped"), "2");
    const auto cases = suite.Children("testcase");
    ASSERT_EQ(cases.size(), 3u);
    ASSERT_NE(cases[2]->Child("skipped"), nullptr);
    EXPECT_EQ(cases[2]->Child("skipped")->AttributeOr("message"), "not run: stopped");
}

TEST_F(CliConformanceTest, ReaderTextNeverActsOnTheTerminal) {
    // The answer to the suite's first GetInfo: a text that clears the screen and sets a title.
    SimFaults faults;
    faults.answerData =
        std::vector<uint8_t>{0x1B, '[', '2', 'J', 0x1B, ']', '0', ';', 'x', 0x07, 'V', 0xC2, 0x9B, 0};
    reader->SetFaults(faults);
    Run({"--only", "framing.length"});
    EXPECT_EQ(out.str().find('\x1B'), std::string::npos);
    EXPECT_EQ(out.str().find('\x07'), std::string::npos);
    EXPECT_EQ(out.str().find("\xC2\x9B"), std::string::npos);
    EXPECT_EQ(out.str().rfind("Reader: \\x1B[2J\\x1B]0;x\\x07V\\xC2\\x9B\n", 0), 0u) << out.str();
}

// Through the runner, as the program runs it.
struct RunnerRun {
    int exitCode;
    std::string out;
    std::string err;
    bool simulatorStarted;
};

RunnerRun RunRunner(const std::vector<std::string>& args) {
    CliOptions options;
    std::string error;
    EXPECT_TRUE(options.Parse(args, error)) << error;
    std::ostringstream out;
    std::ostringstream err;
    CliRunner runner(options, out, err, false);
    bool started = false;
    runner.SetSimulatorSetup([&](SimReader&) { started = true; });
    const int exitCode = runner.Run();
    return {exitCode, out.str(), err.str(), started};
}

TEST(CliConformanceRunner, ReportThatCannotBeWrittenIsRefusedBeforeTheReaderIsOpened) {
    const fs::path dir =
        fs::temp_directory_path() / ("tagbench-conformance-runner-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--junit", (dir / "missing" / "j.xml").string()},
         "tagbench-cli: conformance: cannot write the JUnit report " + (dir / "missing" / "j.xml").string() +
             ": there is no folder " + (dir / "missing").string() + "\n"},
        {{"--report", dir.string()},
         "tagbench-cli: conformance: cannot write the report " + dir.string() + ": it is a folder\n"},
    };
    for (const auto& test : cases) {
        std::vector<std::string> args = {"--simulate", "conformance"};
        args.insert(args.end(), test.args.begin(), test.args.end());
        const RunnerRun run = RunRunner(args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, test.err);
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(run.simulatorStarted) << "the reader was opened";
    }
    fs::remove_all(dir);
}

TEST(CliConformanceRunner, RunsOnTheConnectionWithoutTracingIt) {
    const RunnerRun run =
        RunRunner({"--simulate", "conformance", "--only", "handshake.stx-ack", "--repeat", "1"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.simulatorStarted);
    EXPECT_EQ(run.out.rfind("Reader: Tagbench simulated reader V1.0\n"
                            "Line:   the simulated reader (USB) at 9600 baud, 3964R procedure\n\n"
                            "handshake.stx-ack  passed   exchanges=1 ",
                            0),
              0u)
        << run.out;
    EXPECT_EQ(run.out.find(">> "), std::string::npos) << "the trace reached the output";
}

}  // namespace
