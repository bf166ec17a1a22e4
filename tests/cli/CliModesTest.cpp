// contread and waitcard on the command line: their options, and runs against the simulated reader.
#include "CliModes.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "CliOptions.h"
#include "CliRunner.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"

namespace {

TEST(CliModes, OptionsAreCheckedWithTheirMode) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"contread", "--cycles", "0"}, "contread --cycles needs a positive whole number, not 0"},
        {{"contread", "--cycles", "3", "--seconds", "2"}, "contread takes --cycles or --seconds, not both"},
        {{"contread", "--signal", "green,blue"},
         "contread --signal takes green, red and buzzer, separated by commas, not green,blue"},
        {{"contread", "--key", "C"}, "contread --key takes A or B, not C"},
        {{"contread", "--keynum=16"}, "contread --keynum needs a key number 0-15, not 16"},
        {{"contread", "--log"}, "contread --log needs a value"},
        {{"waitcard", "--block", "3"}, "unknown option --block"},
        {{"contread", "waitcard"}, "choose one of contread and waitcard"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--simulate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CliOptions options;
        std::string error;
        EXPECT_FALSE(options.Parse(args, error));
        EXPECT_EQ(error, c.error);
    }

    CliOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"contread", "--block=9", "--key", "B", "--simulate", "--signal", "red,buzzer",
                               "--max-attempts", "0", "--pc-beep", "--hitag2"},
                              error))
        << error;
    const CliModeOptions& mode = options.GetMode();
    EXPECT_EQ(mode.nMode, CliModeOptions::ModeContRead);
    EXPECT_EQ(mode.contRead.nBlock, 9);
    EXPECT_TRUE(mode.contRead.bKeyB);
    EXPECT_TRUE(mode.contRead.bRedLedFlash && mode.contRead.bReaderBeep && !mode.contRead.bGreenLedFlash);
    EXPECT_EQ(mode.contRead.nMaxAttempts, 0u);
    EXPECT_TRUE(mode.contRead.bPcBeep);
    EXPECT_TRUE(mode.contRead.bHitag2) << "the cycle's Request follows the run mode";
    EXPECT_EQ(options.GetConnection(), CliOptions::ConnectionSimulateUsb)
        << "global options mix with the mode's";
}

// Out of the box: block 0 of the simulated sample card, with the key contread loads as the commands
// page does.
TEST(CliModes, ContReadRunsItsCyclesLogsThemAndPrintsTheTable) {
    const std::string log = ::testing::TempDir() + "cli_contread_" + std::to_string(getpid()) + ".log";
    std::remove(log.c_str());
    CliOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"--simulate", "contread", "--cycles", "5", "--log", log}, error)) << error;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(CliRunner(options, out, err, false).Run(), 0) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(out.str().find(">>"), std::string::npos) << "nothing is traced while the cycle runs";
    EXPECT_NE(out.str().find("cycles                     5\n"
                             "completed                  5  100.0 %\n"),
              std::string::npos)
        << out.str();
    EXPECT_TRUE(out.str().ends_with("  Switch-off               0\n"))
        << "no failure, no hint: " << out.str();
    std::ifstream in(log);
    int records = 0;
    for (std::string line; std::getline(in, line); ++records) {
        EXPECT_EQ(line.substr(line.find(';')), ";7;00000000");
    }
    EXPECT_EQ(records, 5);
}

TEST(CliModes, ContReadSaysWhichKeyTheCardRefusedAndTheAdviceWorks) {
    const auto run = [](const std::vector<std::string>& args, std::string& out) {
        CliOptions options;
        std::string error;
        EXPECT_TRUE(options.Parse(args, error)) << error;
        std::ostringstream text;
        std::ostringstream err;
        const int status = CliRunner(options, text, err, false).Run();
        EXPECT_EQ(err.str(), "");
        out = text.str();
        return status;
    };
    const std::string lastFailure =
        "  Switch-off               0\n"
        "last failure      Authenticate: the reader answered with status 4 <No authentication possible>\n";
    std::string out;
    // Block 4 keeps the shipping key, not the one contread loads into key 0.
    EXPECT_EQ(run({"--simulate", "contread", "--block", "4", "--cycles", "3"}, out), 0);
    EXPECT_TRUE(
        out.ends_with(lastFailure +
                      "The card did not accept key A 0 of key set 0 for block 4: load the card's key with "
                      "\"loadkey A 0 0 KEY\" (new cards use FFFFFFFFFFFF).\n"))
        << out;
    // A key the line loads is the one contread reads with.
    EXPECT_EQ(run({"--simulate", "--quiet", "loadkey", "B", "0", "5", "FFFFFFFFFFFF", "contread", "--key",
                   "B", "--keynum", "5", "--cycles", "3"},
                  out),
              0);
    EXPECT_TRUE(
        out.ends_with(lastFailure +
                      "The card did not accept key B 5 of key set 0 for block 0: load the card's key with "
                      "\"loadkey B 0 5 KEY\" (new cards use FFFFFFFFFFFF).\n"))
        << "sector 0's key B only reads as data: " << out;
    EXPECT_EQ(run({"--simulate", "--quiet", "loadkey", "A", "0", "0", "FFFFFFFFFFFF", "contread", "--block",
                   "4", "--cycles", "3"},
                  out),
              0);
    EXPECT_NE(out.find("completed                  3  100.0 %\n"), std::string::npos) << out;
}

// The modes on a reader without a card, on the fake clock.
class CliModesNoCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
        port.SetReadMode(ReadModeNormal);
        port.SetOutputWindow(&window, false, TraceModeHex);
        reader->ClearRequests();
    }
    int Run(const std::vector<std::string>& args) {
        CliOptions options;
        std::string error;
        std::vector<std::string> all = {"--simulate"};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_TRUE(options.Parse(all, error)) << error;
        return CliModes(link, clock, &window, out, err, false).Run(options.GetMode());
    }

    FakeClock clock{5000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    MemoryOutputWindow window{1000};
    ReaderPort port{&window, std::make_shared<SimD2xxProvider>(reader, clock)};
    ReaderLink link{clock};
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(CliModesNoCardTest, WaitCardTimesOutWithStatusOneAfterResettingTheReader) {
    EXPECT_EQ(Run({"waitcard", "--seconds", "1"}), 1);
    EXPECT_EQ(err.str(), "tagbench-cli: waitcard saw no card within 1 s\n");
    ASSERT_FALSE(reader->Requests().empty());
    EXPECT_EQ(reader->Requests().back().command, kCmdReset);
    EXPECT_FALSE(reader->IsWaitingForCard());
}

TEST_F(CliModesNoCardTest, ContReadShowsTheLastFailureAndStopsByItselfWithoutAReader) {
    EXPECT_EQ(Run({"contread", "--cycles", "3"}), 0);
    EXPECT_NE(out.str().find("  Request                  3\n"), std::string::npos) << out.str();
    EXPECT_TRUE(
        out.str().ends_with("last failure      Request: the reader answered with status 1 <No card in "
                            "operating area>\n"
                            "No card answers in the field: put a card on the reader.\n"))
        << out.str();

    SimFaults faults;
    faults.silent = true;
    reader->SetFaults(faults);
    out.str("");
    EXPECT_EQ(Run({"contread", "--max-attempts", "2"}), 1);
    EXPECT_EQ(err.str(), "tagbench-cli: contread stopped by itself after 3 failed resets\n");
    EXPECT_NE(out.str().find("  Reset                    3\n"), std::string::npos) << out.str();
    EXPECT_TRUE(out.str().ends_with("The reader does not answer: check the connection.\n")) << out.str();
}

}  // namespace
