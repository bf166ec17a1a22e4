// tagbench-cli produce: a series of readers against the simulated reader, in-process, and the
// binary once with the profiles the build places beside it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliRunner.h"
#include "sim/SimReader.h"

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
    Run Produce(std::vector<std::string> args, std::function<void(SimReader&)> setup = {}) {
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

    fs::path dir = fs::temp_directory_path() / ("tagbench-produce-" + std::to_string(::getpid()));
    fs::path profiles = dir / "profiles.ini";
    fs::path record = dir / "record.csv";
    SimReader* simReader = nullptr;
    std::vector<SimSeriesReader> readers;
};

TEST_F(CliProduceTest, ASeriesProgramsEachReaderWithTheNextNumberAndRecordsIt) {
    const Run run = Produce({"--profile", "desk usb", "--usb-serial", "999998", "--count", "3"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Profile Desk USB: serial number and USB settings, record " + record.string() +
                           ".\nConnect reader 1; Ctrl-C ends the series.\n"
                           "reader 1: MIFARE 00999998, USB QV999998: OK\n"
                           "reader 2: MIFARE 00999999, USB QV999999: OK\n"
                           "reader 3: MIFARE 00000000, USB QV000000: OK\n"
                           "3 readers: 3 programmed, 0 failed.\n");
    ASSERT_EQ(readers.size(), 3u);
    EXPECT_EQ(readers[2].serialText, "0x00000000");
    EXPECT_EQ(readers[2].eeprom.serialNumber, "QV000000");
    EXPECT_EQ(readers[2].eeprom.productId, 0xFB1A);
    EXPECT_EQ(RecordLines(),
              (std::vector<std::string>{"profile,job,mifare_serial,usb_serial,result,message,file",
                                        "Desk USB,SerialAndUsbSettings,00999998,QV999998,OK,,",
                                        "Desk USB,SerialAndUsbSettings,00999999,QV999999,OK,,",
                                        "Desk USB,SerialAndUsbSettings,00000000,QV000000,OK,,"}));
}

// Once the store command went out, the number may be in the reader, whatever the job's end: the
// next reader gets the next one.
TEST_F(CliProduceTest, ANumberThatReachedAReaderIsUsedUpEvenWhenTheJobFails) {
    const Run run = Produce({"--profile", "Terminal", "--serial", "5", "--count", "2"},
                            [](SimReader& reader) { reader.StartSeries("0x00000001"); });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("reader 1: MIFARE 00000005: failed: ERROR: Reader already has a serial number!\n"
                           "reader 2: MIFARE 00000006: failed: ERROR: Reader already has a serial number!\n"
                           "2 readers: 0 programmed, 2 failed.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(RecordLines().back(),
              "Terminal,SerialOnly,00000006,,failed,ERROR: Reader already has a serial number!,");
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
        {{"--profile", "Terminal"}, "give the first reader's number with --serial N"},
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
        record.string() + " 2>&1";
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
}

}  // namespace
