// tagbench-cli end to end: in-process through the runner against the simulated reader, and the
// real binary once.
#include "CliRunner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

struct CliRun {
    int exitCode;
    std::string out;
    std::string err;
};

CliRun RunInProcess(const std::vector<std::string>& args) {
    CliOptions options;
    std::string error;
    EXPECT_TRUE(options.Parse(args, error)) << error;
    std::ostringstream out;
    std::ostringstream err;
    CliRunner runner(options, out, err, false);
    const int exitCode = runner.Run();
    return {exitCode, out.str(), err.str()};
}

const std::vector<std::string> kReadSequence = {"request",
                                                "anticollision",
                                                "select",
                                                "loadkey",
                                                "A",
                                                "0",
                                                "0",
                                                "FFFFFFFFFFFF",
                                                "authenticate",
                                                "A",
                                                "0",
                                                "0",
                                                "1",
                                                "read",
                                                "1"};

TEST(CliRunner, QuietRunPrintsStatusLinesAndDataForScripts) {
    std::vector<std::string> args = {"--simulate", "--quiet"};
    args.insert(args.end(), kReadSequence.begin(), kReadSequence.end());
    const CliRun run = RunInProcess(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "<OK>\ncard type: 0004\n"
              "<OK>\nserial: 12345678\n"
              "<OK>\nselect: 08\n"
              "<OK>\n<OK>\n"
              "<OK>\nblock 1: 54 61 67 62 65 6E 63 68 20 73 61 6D 70 6C 65 2E\n");
    EXPECT_EQ(run.err, "");
}

TEST(CliRunner, FullOutputIsTheOutputWindowsLinesOverThePseudoTerminal) {
    const CliRun run = RunInProcess({"--simulate=com", "request", "select", "1A2B3C4D"});
    // The card is not there to select, but the output window's lines are: the whole exchange.
    std::istringstream lines(run.out);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) {
        all.push_back(line);
    }
    ASSERT_GE(all.size(), 13u);
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 3),
              (std::vector<std::string>{">> 02 ", "<< 10 ", ">> 00 41 01 00 40 10 03 "}));
    EXPECT_EQ(all[8], "<OK>");
    EXPECT_EQ(all[9], "card type: 0004");
    EXPECT_EQ(all[12], ">> 01 43 04 4D 3C 2B 1A 06 10 03 ") << "the serial, least significant byte first";
}

TEST(CliRunner, FirstFailureIsPrintedWithItsCodeAndExitStatusOne) {
    const CliRun run =
        RunInProcess({"--simulate", "--quiet", "request", "anticollision", "select", "read", "0", "halt"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("<Card is not authenticated>\n"), std::string::npos);
    EXPECT_EQ(run.err,
              "tagbench-cli: read failed: 200000D2 the reader answered with status 10 <Card is not "
              "authenticated>\n");
}

TEST(CliRunner, ConnectionFailureNamesThePortAndTheReason) {
    const CliRun run = RunInProcess({"--port", "/dev/tagbench-no-such-port", "request"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "tagbench-cli: cannot connect to /dev/tagbench-no-such-port: No such file or directory "
              "(0x00000002)\n");
}

TEST(CliRunner, ProgrammingJobsPrintTheirLogAndTheFirstFailure) {
    const std::string file = ::testing::TempDir() + "tagbench-cli-image.btl";
    { std::ofstream(file, std::ios::binary) << std::string(144, 'B'); }
    CliRun run = RunInProcess({"--simulate", "--quiet", "serial", "7", "btl", "program", file});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(
        run.out,
        "Programming 0x00000007\nPlease (re)connect the reader...\nWriting serial number: 0x00000007...\n"
        "Verifying serial number...\nSerial number written successful!\n"
        "Programming file: tagbench-cli-image.btl\nPlease (re)connect the reader...\n"
        "Get Version: TBLOAD 1.0\nReset CRC: OK\nProgramming file: tagbench-cli-image.btl\n"
        "File is successfully programmed!\nVerify CRC: OK\nReboot: OK\n");
    run = RunInProcess({"--simulate=com", "--quiet", "usb-settings", "--usb-serial", "3", "sendfile", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("File sent successful!\n"), std::string::npos) << "later jobs still run";
    EXPECT_EQ(run.err, "tagbench-cli: usb-settings failed: ERROR: USB settings not written!\n");
    std::remove(file.c_str());
}

// Runs the installed-form binary and returns its exit status, with stdout and stderr together.
int RunBinary(const std::string& args, std::string& output) {
    const char* dir = std::getenv("TAGBENCH_BIN_DIR");
    const std::string command =
        std::string(dir != nullptr ? dir : ".") + "/src/cli/tagbench-cli " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::array<char, 256> chunk;
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) {
        output += chunk.data();
    }
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CliBinary, ExitStatusTellsSuccessFailureAndBadArguments) {
    std::string output;
    EXPECT_EQ(RunBinary("--simulate --quiet request anticollision select info", output), 0) << output;
    EXPECT_NE(output.find("info: Tagbench simulated reader V1.0\n"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(RunBinary("--simulate=com request anticollision select read 0", output), 1) << output;
    EXPECT_NE(output.find("read failed: 200000D2"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(RunBinary("--simulate read 256", output), 2);
    EXPECT_EQ(output.rfind("tagbench-cli: read 256: Please enter a whole number from 0 to 255.\n\nUsage:", 0),
              0u)
        << output;
}

}  // namespace
