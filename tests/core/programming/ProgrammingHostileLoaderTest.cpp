// The programming jobs against loaders and files that misbehave: a scripted loader behind the
// scripted USB bridge on a fake clock, and real files, pipes and FIFOs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/link/ScriptedBridge.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderPort.h"
#include "programming/ProgrammingSequence.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Bytes B(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class HostileLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
        port.SetOutputWindow(&window, false, TraceModeHex);
        // The loader: a scripted answer per command; after the command named in floodAfter it
        // sends floodByte for ever, one byte per floodMs.
        bridge->onWrite = [this](std::span<const uint8_t> written) {
            const Bytes command(written.begin(), written.end());
            if (command == floodAfter) {
                floodStartedAt = clock.GetTickCount();
                bridge->streaming = true;
                bridge->streamByte = floodByte;
                bridge->streamMs = floodMs;
            }
            if (const auto found = answers.find(command); found != answers.end()) {
                bridge->Send(found->second);
            }
        };
        bridge->written.clear();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string File(const std::string& name, const Bytes& content) {
        std::filesystem::create_directories(dir);
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return path;
    }
    // Runs the job to its end as the dialog's timer would; returns the fake time it took.
    uint32_t Run(const ProgrammingInputs& in) {
        const uint32_t start = clock.GetTickCount();
        sequence.SetInputs(in);
        sequence.Begin();
        for (int steps = 0; sequence.IsRunning() && steps < 100000; ++steps) {
            sequence.Step();
            clock.Advance(sequence.GetNextStepDelay());
        }
        return clock.GetTickCount() - start;
    }
    static ProgrammingInputs Job(ProgrammingMode mode, uint32_t serial = 42) {
        ProgrammingInputs in;
        in.mode = mode;
        in.mifareSerial = serial;
        in.manufacturer = "QV Cardterminal";
        in.manufacturerId = "QV";
        in.description = "Desk reader";
        in.productId = "6001";
        in.usbSerial = 42;
        in.maxPower = 40;
        in.pnp = in.selfPowered = in.remoteWakeup = 1;
        return in;
    }

    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tagbench-hostile-" + std::to_string(::getpid()));
    FakeClock clock{1000};
    std::shared_ptr<ScriptedBridge> bridge = std::make_shared<ScriptedBridge>(clock);
    MemoryOutputWindow window{1000000};
    ReaderPort port{nullptr, bridge};
    ProgrammingSequence sequence{port, clock};
    std::map<Bytes, Bytes> answers{{B("~"), B(">")}, {B("y"), B(">")}};
    Bytes floodAfter;
    uint8_t floodByte = 'x';
    uint32_t floodMs = 1;
    uint32_t floodStartedAt = 0;
};

// A loader that answers a wait with wrong bytes, dripping or flooding, cannot hold it past its
// limit: each wait gives up within one period of it.
TEST_F(HostileLoaderTest, EveryWaitEndsAtItsLimitWhateverArrives) {
    struct Case {
        ProgrammingMode mode;
        std::string file;
        Bytes floodAfter;
        std::string message;
        uint32_t limitMs;
    };
    const std::string firmware = File("reader.A07", Bytes(100, 0xA5));
    const std::vector<Case> cases = {
        {SerialOnly, "", B(std::string("SSERIAL=0x00000042", 19)), "ERROR: Serial number not written!", 2000},
        {DownloadFirmware, firmware, B("@"), "ERROR: Could not erase flash bank 2!", 10000},
        {DownloadFirmware, firmware, B("#"), "ERROR: Could not erase flash bank 3!", 10000},
        {DownloadFirmware, firmware, B("D"), "ERROR: Could not download file!", 2000},
        {ProgramFile, File("image.btl", Bytes(72, 1)), Bytes{0x05, 0x00}, "Get Version error: Timeout", 1000},
    };
    for (const Case& c : cases) {
        for (uint32_t ms : {1u, 50u}) {
            SCOPED_TRACE(c.message + (ms == 1 ? ", flood" : ", trickle"));
            bridge->streaming = false;
            port.Purge();
            // Erases succeed up to the command that floods.
            answers[B("@")] = c.floodAfter == B("@") ? Bytes{} : B("2");
            answers[B("#")] = c.floodAfter == B("#") ? Bytes{} : B("2");
            floodAfter = c.floodAfter;
            floodMs = ms;
            ProgrammingInputs in = Job(c.mode);
            in.filePath = c.file;
            Run(in);
            EXPECT_EQ(sequence.GetLog().back(), c.message);
            const uint32_t took = clock.GetTickCount() - floodStartedAt;
            EXPECT_GT(took, c.limitMs);
            EXPECT_LE(took, c.limitMs + 400);
        }
    }
}

TEST_F(HostileLoaderTest, WaitingForThePromptEndsEachStepWithinItsPeriodUnderAFlood) {
    answers.clear();  // no prompt, ever: only noise
    floodAfter = B("~");
    sequence.SetInputs(Job(SerialOnly));
    sequence.Begin();
    for (int i = 0; i < 20; ++i) {
        const uint32_t start = clock.GetTickCount();
        sequence.Step();
        EXPECT_LE(clock.GetTickCount() - start, ProgrammingSequence::kSlowPeriodMs + 100);
        clock.Advance(sequence.GetNextStepDelay());
    }
    EXPECT_TRUE(sequence.Cancel());
}

// The serial number read-back counts only when it is the stored text, whole.
TEST_F(HostileLoaderTest, SerialReadBackIsComparedWhole) {
    const std::string store("SSERIAL=0x00000042", 19);
    const std::string read("GSERIAL", 8);
    struct Case {
        std::string answer;
        std::string last;
    };
    const std::string repeated = [] {
        std::string text;
        while (text.size() < 1000) {
            text += "=0x00000042";
        }
        return text;
    }();
    const std::vector<Case> cases = {
        {"=0x00000042", "Serial number written successful!"},
        {"#0x0000004299", "ERROR: Reader already has a serial number!"},  // an older, longer number
        {"=0x00000042garbage", "ERROR: Reader already has a serial number!"},
        {repeated, "ERROR: Reader already has a serial number!"},
        {"=0x00000041", "ERROR: Reader already has a serial number!"},
        {"=0x0000004", "ERROR: Reader already has a serial number!"},
        {std::string("=0x\0\0\0"
                     "00042",
                     11),
         "ERROR: Reader already has a serial number!"},  // zeros, not digits
        {"", "ERROR: No answer when reading the serial number back!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 20));
        answers[B(store)] = B("4");
        answers[B(read)] = B(c.answer);
        Run(Job(SerialOnly));
        EXPECT_EQ(sequence.GetLog().back(), c.last);
        EXPECT_EQ(sequence.Succeeded(), c.last == "Serial number written successful!");
        EXPECT_TRUE(sequence.SerialSent());
        port.Purge();
    }
    // A byte spoiled on its way in and spoiled back on its way out passes one read-back, not two.
    int readBacks = 0;
    bridge->onWrite = [&](std::span<const uint8_t> written) {
        const Bytes command(written.begin(), written.end());
        if (command == B("~")) {
            bridge->Send(B(">"));
        } else if (command == B(store)) {
            bridge->Send(B("4"));
        } else if (command == B(read)) {
            bridge->Send(B(readBacks++ == 0 ? "=0x00000042"
                                            : "=0x0000\xBF"
                                              "042"));
        }
    };
    Run(Job(SerialOnly));
    EXPECT_EQ(readBacks, 2);
    EXPECT_EQ(sequence.GetLog().back(), "ERROR: Reader already has a serial number!");
}

// A job that cannot succeed is refused before the loader is woken: nothing is sent at all.
TEST_F(HostileLoaderTest, ImpossibleJobsAreRefusedBeforeAnythingIsSent) {
    struct Case {
        std::string name;
        ProgrammingInputs job;
        std::string message;
    };
    auto usb = [](auto change) {
        ProgrammingInputs in = Job(SerialAndUsbSettings);
        change(in);
        return in;
    };
    const std::string prefix = "ERROR: USB settings not written! ";
    const std::vector<Case> cases = {
        {"product ID", usb([](auto& in) { in.productId = "zzzz"; }),
         prefix + "The product ID zzzz is not 6001 or FB18 to FB1F."},
        {"decimal product ID", usb([](auto& in) { in.productId = "1234"; }),
         prefix + "The product ID 1234 is not 6001 or FB18 to FB1F."},
        {"manufacturer ID", usb([](auto& in) { in.manufacturerId = "Q"; }),
         prefix + "The manufacturer ID Q is not 2 characters."},
        {"manufacturer", usb([](auto& in) { in.manufacturer = std::string(41, 'M'); }),
         prefix + "The manufacturer has more than 40 characters."},
        {"max. power", usb([](auto& in) { in.maxPower = 501; }),
         prefix + "The max. power 501 mA is above 500 mA."},
        {"texts together", usb([](auto& in) {
             in.manufacturer = std::string(21, 'M');
             in.description = std::string(20, 'D');
         }),
         prefix + "The manufacturer, the description and the serial number have 49 characters together; the "
                  "bridge's EEPROM holds 48."},
        {"serial number", Job(SerialOnly, 100000000),
         "ERROR: Serial number not written! 100000000 is above 99999999."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bridge->written.clear();
        Run(c.job);
        EXPECT_EQ(sequence.GetLog().back(), c.message);
        EXPECT_FALSE(sequence.Succeeded());
        EXPECT_FALSE(sequence.SerialSent());
        EXPECT_EQ(bridge->written, Bytes{}) << "not even the wake-up character or Q";
    }
    // Texts of 48 characters in all fit.
    ProgrammingInputs fits = usb([](auto& in) {
        in.manufacturer = std::string(20, 'M');
        in.description = std::string(20, 'D');
    });
    EXPECT_EQ(ProgrammingSequence::CheckInputs(fits, true), "");
    EXPECT_EQ(ProgrammingSequence::CheckInputs(fits, false),
              prefix + "The reader is not connected through its USB bridge.");
}

// A file job reads its file whole before the loader is woken: a pipe, a FIFO, a device, a
// directory, a missing or an empty firmware image erase nothing and send nothing.
TEST_F(HostileLoaderTest, FilesThatAreNotWholeRegularFilesAreRefusedBeforeTheErase) {
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "firmware", 8), 8);
    const std::string pipePath = "/proc/self/fd/" + std::to_string(pipeFds[0]);
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {fifo, "not a regular file"},
        {pipePath, "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {dir.string(), "Is a directory"},
        {(dir / "missing.A07").string(), "No such file or directory"},
    };
    for (ProgrammingMode mode : {DownloadFirmware, SendFile, ProgramFile}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.path + " " + std::to_string(mode));
            bridge->written.clear();
            ProgrammingInputs in = Job(mode);
            in.filePath = c.path;
            Run(in);
            EXPECT_EQ(sequence.GetLog().back(), "Cannot open the file " + c.path + ": " + c.reason);
            EXPECT_EQ(bridge->written, Bytes{});
        }
    }
    close(pipeFds[0]);
    close(pipeFds[1]);

    bridge->written.clear();
    ProgrammingInputs empty = Job(DownloadFirmware);
    empty.filePath = File("empty.A07", {});
    Run(empty);
    EXPECT_EQ(sequence.GetLog().back(), "ERROR: The firmware file " + empty.filePath + " is empty!");
    EXPECT_EQ(bridge->written, Bytes{});
}

// A write that fails fails the job: a raw transfer has no answer that would show the loss.
TEST_F(HostileLoaderTest, ALineThatGoesAwayFailsTheJob) {
    const Bytes content(720, 0x5A);
    ProgrammingInputs raw = Job(SendFile);
    raw.filePath = File("raw.bin", content);
    sequence.SetInputs(raw);
    sequence.Begin();
    sequence.Step();  // the first piece goes out
    bridge->writeStatus = FT_IO_ERROR;
    for (int steps = 0; sequence.IsRunning() && steps < 1000; ++steps) {
        sequence.Step();
        clock.Advance(sequence.GetNextStepDelay());
    }
    EXPECT_FALSE(sequence.Succeeded());
    EXPECT_EQ(sequence.GetLog().back(),
              "ERROR: Could not send to the reader: " + LinkResultText(LR_D2XX_BASE + FT_IO_ERROR));
    EXPECT_EQ(bridge->written.size(), 64u);

    // The same for a job that talks to the loader.
    bridge->written.clear();
    Run(Job(SerialOnly));
    EXPECT_FALSE(sequence.Succeeded());
    EXPECT_EQ(sequence.GetLog().back(),
              "ERROR: Could not send to the reader: " + LinkResultText(LR_D2XX_BASE + FT_IO_ERROR));
}

}  // namespace
