// tagbench-cli end to end: in-process through the runner against the simulated reader, and the
// real binary once.
#include "CliRunner.h"
#include "link/SerialLine.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

struct CliRun {
    int exitCode;
    std::string out;
    std::string err;
};

CliRun RunInProcess(const std::vector<std::string>& args, std::function<void(SimReader&)> setup = {}) {
    CliOptions options;
    std::string error;
    EXPECT_TRUE(options.Parse(args, error)) << error;
    std::ostringstream out;
    std::ostringstream err;
    CliRunner runner(options, out, err, false);
    runner.SetSimulatorSetup(std::move(setup));
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
                                                "A0A1A2A3A4A5",
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

TEST(CliRunner, PrintsOnlyWhatTheReaderSentAndNothingThatActsOnTheTerminal) {
    const struct {
        const char* what;
        std::vector<std::string> commands;
        std::vector<uint8_t> answer;
        int exitCode;
        std::string out;  // what follows the status line of the first command
        std::string err;
    } cases[] = {
        {"title and colour sequences in the info text",
         {"info"},
         {0x1B, ']', '0', ';', 'x', 0x07, 0x1B, '[', '3', '1', 'm', 'V', 0xC2, 0x9B, '1', 0xFF, 0xC3, 0xA9,
          0},
         0,
         "info: \\x1B]0;x\\x07\\x1B[31mV\\xC2\\x9B1\\xFF\xC3\xA9\n",
         ""},
        {"an anticollision answer of two bytes, then select",
         {"anticollision", "select"},
         {0x34, 0x12},
         1,
         "serial: 34 12 (2 of 4 bytes received)\n",
         "tagbench-cli: select: no card serial number yet; run anticollision first or give one\n"},
        {"an empty answer to request", {"request"}, {}, 0, "card type: (0 of 1 bytes received)\n", ""},
        {"a short block", {"read", "1"}, {0x54, 0x61}, 0, "block 1: 54 61 (2 of 16 bytes received)\n", ""},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        std::vector<std::string> args = {"--simulate", "--quiet"};
        args.insert(args.end(), test.commands.begin(), test.commands.end());
        const CliRun run = RunInProcess(args, [&](SimReader& reader) {
            SimFaults faults;
            faults.answerData = test.answer;
            reader.SetFaults(faults);
        });
        EXPECT_EQ(run.exitCode, test.exitCode);
        EXPECT_EQ(run.out.find('\x1B'), std::string::npos);
        const size_t firstLine = run.out.find('\n') + 1;
        EXPECT_EQ(run.out.substr(firstLine, test.out.size()), test.out) << run.out;
        EXPECT_EQ(run.err.substr(0, test.err.size()), test.err);
    }
}

TEST(CliRunner, LoaderTextIsEscapedToo) {
    const std::string file = ::testing::TempDir() + "tagbench-escape-" + std::to_string(getpid()) + ".btl";
    { std::ofstream(file, std::ios::binary) << std::string(72, 'B'); }
    const CliRun run = RunInProcess({"--simulate", "--quiet", "btl", "program", file}, [](SimReader& reader) {
        SimLoader::Settings settings;
        settings.version = "\x1B[2J\aV1\r";
        reader.SetLoaderSettings(settings);
    });
    std::remove(file.c_str());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Get Version: \\x1B[2J\\x07V1\\x0D\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\x1B'), std::string::npos);
}

TEST(CliRunner, ConnectionFailureNamesThePortAndTheReason) {
    const CliRun run = RunInProcess({"--port", "/dev/tagbench-no-such-port", "request"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "tagbench-cli: cannot connect to /dev/tagbench-no-such-port: No such file or directory "
              "(0x00000002)\n");

    char fifo[] = "/tmp/tagbench-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(fifo), nullptr);
    const std::string fifoPath = std::string(fifo) + "/port";
    ASSERT_EQ(mkfifo(fifoPath.c_str(), 0600), 0);
    for (const std::string& notAPort : {std::string("/dev/null"), fifoPath, std::string("/etc/hostname")}) {
        const CliRun other = RunInProcess({"--port", notAPort, "request"});
        EXPECT_EQ(other.err,
                  "tagbench-cli: cannot connect to " + notAPort + ": not a serial port (0x00000019)\n");
    }
    unlink(fifoPath.c_str());
    rmdir(fifo);
}

TEST(CliRunner, ProgrammingJobsPrintTheirLogAndTheFirstFailure) {
    // A folder of this run's own: other runs of the suite may use the same name meanwhile.
    const std::string dir = ::testing::TempDir() + "tagbench-cli-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    const std::string file = dir + "/tagbench-cli-image.btl";
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
    const std::string shortFile = dir + "/short.btl";
    { std::ofstream(shortFile, std::ios::binary) << std::string(71, 'B'); }
    run = RunInProcess({"--simulate=com", "--quiet", "btl", "verify", shortFile, "sendfile", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("File sent successful!\n"), std::string::npos) << "later jobs still run";
    EXPECT_EQ(run.err,
              "tagbench-cli: btl failed: ERROR: The block file has 71 bytes, not a whole number of 72-byte "
              "blocks!\n");
    std::remove(shortFile.c_str());
    std::remove(file.c_str());
    rmdir(dir.c_str());
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

// A log at the file size limit is a write error with its message, not a signal that ends the
// program before the statistics and the reader's switch-off.
TEST(CliBinary, ALogAtTheFileSizeLimitIsAWriteError) {
    const char* dir = std::getenv("TAGBENCH_BIN_DIR");
    const std::string log = ::testing::TempDir() + "tagbench-fsize-" + std::to_string(getpid()) + ".log";
    const std::string command = "ulimit -f 0; exec " + std::string(dir != nullptr ? dir : ".") +
                                "/src/cli/tagbench-cli --simulate contread --cycles 3 --log " + log + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 256> chunk;
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) {
        output += chunk.data();
    }
    const int status = pclose(pipe);
    std::remove(log.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 1) << output;
    EXPECT_NE(output.find("Cannot write to " + log + ": File too large"), std::string::npos) << output;
    EXPECT_NE(output.find("3 records could not be written"), std::string::npos) << output;
    EXPECT_NE(output.find("cycles"), std::string::npos) << "the statistics are printed";
}

// Whether the pseudo-terminal's exclusive-open flag is set, seen through a descriptor opened before.
bool Exclusive(int fd) {
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) {
            return true;
        }
        usleep(10000);
    }
    return condition();
}

TEST(CliBinary, AnInterruptedOrKilledRunLeavesThePortFree) {
    std::string error;
    const auto simulator = Simulator::Start(error);
    ASSERT_NE(simulator, nullptr) << error;
    SimFaults silent;
    silent.silent = true;
    simulator->Reader().SetFaults(silent);  // the run waits in its first exchange
    const std::string port = simulator->PortName();
    const int watcher = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(watcher, 0);
    const std::string binary = std::string(std::getenv("TAGBENCH_BIN_DIR")) + "/src/cli/tagbench-cli";
    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        const char* argv[] = {binary.c_str(), "--quiet", "--port", port.c_str(), "request", nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, binary.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        ASSERT_TRUE(WaitFor([&] { return Exclusive(watcher); })) << "the run holds the port";
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (signal != SIGKILL) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal);
            EXPECT_FALSE(Exclusive(watcher)) << "given up by the run itself";
        } else {
            // Nothing runs in a killed process: the simulated reader finds the flag stale.
            EXPECT_TRUE(WaitFor([&] { return !Exclusive(watcher); }));
        }
        SerialLine next;
        EXPECT_EQ(next.Open(port), 0);
    }
    close(watcher);
}

}  // namespace
