// The programming jobs against the simulated reader: over the simulated USB bridge on a fake
// clock (exact bytes, no sleeping), and once over a pseudo-terminal.
#include "programming/ProgrammingSequence.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "link/MemoryOutputWindow.h"
#include "link/ReaderPort.h"
#include "programming/Crc16.h"
#include "programming/LoaderProtocol.h"
#include "sim/SimD2xxProvider.h"
#include "sim/Simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

std::string Hex(const Bytes& bytes) {
    std::string text;
    char part[4];
    for (uint8_t b : bytes) {
        std::snprintf(part, sizeof part, "%02X ", b);
        text += part;
    }
    return text;
}

std::string Hex(const std::string& text) {
    return Hex(Bytes(text.begin(), text.end()));
}

Bytes Pattern(size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return bytes;
}

class ProgrammingSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
        port.SetOutputWindow(&window, false, TraceModeHex);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string File(const std::string& name, const Bytes& content) {
        std::filesystem::create_directories(dir);
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), content.size());
        return path;
    }
    ProgrammingInputs Usb(ProgrammingMode mode) {
        ProgrammingInputs in;
        in.mode = mode;
        in.mifareSerial = 12345;
        in.description = "Desk reader";
        in.manufacturer = "QV Cardterminal";
        in.manufacturerId = "QV";
        in.productId = "fb1a";
        in.usbSerial = 42;
        in.maxPower = 100;
        in.pnp = 1;
        in.selfPowered = 0;
        in.remoteWakeup = 1;
        return in;
    }
    ProgrammingInputs WithFile(ProgrammingMode mode, const std::string& path) {
        ProgrammingInputs in;
        in.mode = mode;
        in.filePath = path;
        return in;
    }
    // Runs the job as the dialog's timer would, until it ends; returns the fake time it took.
    uint32_t Run(const ProgrammingInputs& in, bool begin = true) {
        const uint32_t start = clock.GetTickCount();
        sequence.SetInputs(in);
        if (begin) {
            sequence.Begin();
        }
        for (int steps = 0; sequence.IsRunning() && steps < 100000; ++steps) {
            sequence.Step();
            clock.Advance(sequence.GetNextStepDelay());
        }
        return clock.GetTickCount() - start;
    }
    // The trace lines of what the PC wrote, without the ">> ".
    Lines Sent() const {
        Lines sent;
        for (const std::string& line : window.Lines()) {
            if (line.starts_with(">> ")) {
                sent.push_back(line.substr(3));
            }
        }
        return sent;
    }

    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tagbench-programming-" + std::to_string(::getpid()));
    FakeClock clock{1000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    MemoryOutputWindow window{1000000};
    ReaderPort port{nullptr, std::make_shared<SimD2xxProvider>(reader, clock)};
    ProgrammingSequence sequence{port, clock};
};

TEST_F(ProgrammingSequenceTest, SerialAndUsbSettingsOverUsbStoresBothAndClosesWithOk) {
    Run(Usb(SerialAndUsbSettings));
    // The serial number is read back twice: a line fault that spoils a byte both ways passes one.
    EXPECT_EQ(Sent(), (Lines{"7E ", Hex(std::string("SSERIAL=0x00012345", 19)),
                             Hex(std::string("GSERIAL", 8)), Hex(std::string("GSERIAL", 8)), "51 "}));
    EXPECT_EQ(sequence.GetLog(),
              (Lines{"Please (re)connect the reader...", "Writing serial number: 0x00012345...",
                     "Verifying serial number...", "Serial number written successful!",
                     "Writing USB settings...", "USB settings written successful!"}));
    EXPECT_EQ(sequence.GetResult(), ProgrammingSequence::ResultOk);
    EXPECT_EQ(sequence.GetCaption(), "Programming 0x00012345");
    const SimEeprom e = reader->GetEeprom();
    EXPECT_EQ(e.productId, 0xFB1A);
    EXPECT_EQ(e.manufacturer, "QV Cardterminal");
    EXPECT_EQ(e.serialNumber, "QV000042");
    EXPECT_EQ(e.maxPower, 100);
    EXPECT_EQ(e.selfPowered, 0);
    EXPECT_EQ(e.usbVersion, 0x0110);
    EXPECT_EQ(e.rev4, 0);
    EXPECT_FALSE(reader->InLoader());
}

TEST_F(ProgrammingSequenceTest, SecondSerialNumberIsRefusedAndNextRunsTheJobAgain) {
    ProgrammingInputs in = Usb(SerialOnly);
    in.mifareSerial = 0;
    Run(in);
    EXPECT_EQ(Sent()[1], Hex(std::string("SSERIAL=0x00000000", 19)));
    EXPECT_EQ(reader->GetSerialText(), "0x00000000");

    // A reader that has a serial number keeps it and still answers 4: the read-back tells.
    window.ClearAll();
    in.mifareSerial = 12345;
    sequence.SetInputs(in);
    sequence.Begin();
    while (sequence.GetState() != ProgrammingState::Failed) {
        sequence.Step();
    }
    EXPECT_EQ(sequence.GetLog().back(), "ERROR: Reader already has a serial number!");
    EXPECT_EQ(Sent().back(), Hex(std::string("GSERIAL", 8)));
    sequence.Step();  // Failed leaves the loader
    EXPECT_EQ(Sent().back(), "51 ");
    EXPECT_FALSE(sequence.IsRunning());
    EXPECT_EQ(sequence.GetResult(), ProgrammingSequence::ResultNone) << "the dialog stays open";
    EXPECT_TRUE(sequence.IsNextEnabled());
    EXPECT_EQ(sequence.GetCancelText(), "&Close");

    reader->SetSerialText("");  // the next reader is new
    sequence.Next();
    EXPECT_EQ(sequence.GetLog(), Lines{"Please (re)connect the reader..."});
    EXPECT_FALSE(sequence.IsNextEnabled());
    EXPECT_EQ(sequence.GetCancelText(), "&Cancel");
    Run(in, false);
    EXPECT_EQ(sequence.GetResult(), ProgrammingSequence::ResultOk);
    EXPECT_EQ(reader->GetSerialText(), "0x00012345");
}

TEST_F(ProgrammingSequenceTest, BlockFileIsProgrammedBlockByBlockWithItsChecksum) {
    for (size_t blocks : {1u, 2u}) {
        SCOPED_TRACE(blocks);
        window.ClearAll();
        const Bytes content = Pattern(72 * blocks);
        const uint32_t took = Run(WithFile(ProgramFile, File("image.btl", content)));
        const uint16_t crc = Crc16::Finish(Crc16::ShiftIn(Crc16::kShiftInInit, content));
        Lines expected{"79 ", "05 00 ", "03 00 "};
        for (size_t i = 0; i < blocks; ++i) {
            expected.push_back("01 48 ");
            expected.push_back(Hex(Bytes(content.begin() + 72 * i, content.begin() + 72 * (i + 1))));
        }
        expected.push_back(Hex(Bytes{0x04, 0x02, uint8_t(crc >> 8), uint8_t(crc)}));
        expected.push_back("07 00 ");
        EXPECT_EQ(Sent(), expected);
        EXPECT_EQ(sequence.GetLog(),
                  (Lines{"Please (re)connect the reader...", "Get Version: TBLOAD 1.0", "Reset CRC: OK",
                         "Programming file: image.btl", "File is successfully programmed!", "Verify CRC: OK",
                         "Reboot: OK"}));
        EXPECT_EQ(reader->GetFlashBlocks().size(), blocks);
        EXPECT_EQ(sequence.GetResult(), ProgrammingSequence::ResultNone) << "block jobs wait for Close";
        EXPECT_TRUE(sequence.Succeeded());
        EXPECT_EQ(sequence.GetProgressPosition(), content.size());
        // Each block goes out as its ACK comes in, not on a later tick.
        EXPECT_LT(took, 100u);
    }
    window.ClearAll();
    Run(WithFile(VerifyFile, File("image.btl", Pattern(144))));
    EXPECT_EQ(Sent()[3], "02 48 ");
    EXPECT_EQ(sequence.GetLog()[4], "File is successfully verified!");
    EXPECT_TRUE(sequence.Succeeded());
}

TEST_F(ProgrammingSequenceTest, PacedRunKeepsOneStepPerTimerPeriod) {
    sequence.SetPaced(true);
    const uint32_t took = Run(WithFile(ProgramFile, File("image.btl", Pattern(144))));
    EXPECT_TRUE(sequence.Succeeded());
    EXPECT_GE(took, 5 * 200u + 4 * 10u);
}

TEST_F(ProgrammingSequenceTest, WakeUpCharacterFollowsLinkAndDestination) {
    EXPECT_EQ(LoaderProtocol::WakeUpChar(false, true, 1), '~');
    EXPECT_EQ(LoaderProtocol::WakeUpChar(true, true, 0), 'y');
    EXPECT_EQ(LoaderProtocol::WakeUpChar(true, true, 1), 'b');
    EXPECT_EQ(LoaderProtocol::WakeUpChar(true, false, 0), 'x');
    EXPECT_EQ(LoaderProtocol::WakeUpChar(true, false, 1), 'a');
    // A silent reader is woken once per 200 ms, for as long as the user waits.
    SimFaults faults;
    faults.silent = true;
    reader->SetFaults(faults);
    sequence.SetDestination(1);
    sequence.SetInputs(WithFile(ProgramFile, File("image.btl", Pattern(72))));
    sequence.Begin();
    for (int i = 0; i < 50; ++i) {
        sequence.Step();
        clock.Advance(sequence.GetNextStepDelay());
    }
    EXPECT_EQ(Sent(), Lines(50, "62 "));
    EXPECT_EQ(clock.GetTickCount(), 1000u + 50 * 200);
    EXPECT_EQ(sequence.GetState(), ProgrammingState::WaitPrompt);
    EXPECT_TRUE(sequence.Cancel());
    EXPECT_EQ(sequence.GetResult(), ProgrammingSequence::ResultCancel);
}

TEST_F(ProgrammingSequenceTest, RawFileGoesOutInPiecesOfSixtyFourOnePerTick) {
    const Bytes content = Pattern(100);
    Run(WithFile(SendFile, File("raw.bin", content)));
    EXPECT_EQ(Sent(), (Lines{Hex(Bytes(content.begin(), content.begin() + 64)),
                             Hex(Bytes(content.begin() + 64, content.end())), "51 "}));
    EXPECT_EQ(sequence.GetLog(), (Lines{"Downloading: raw.bin", "File sent successful!"}));
    EXPECT_EQ(sequence.GetResult(), ProgrammingSequence::ResultOk);
}

TEST_F(ProgrammingSequenceTest, FirmwareIsDownloadedAfterBothBanksAreErased) {
    const Bytes image = Pattern(130);
    Run(WithFile(DownloadFirmware, File("reader.A07", image)));
    EXPECT_EQ(Sent(), (Lines{"7E ", "40 ", "23 ", "44 ", Hex(Bytes(image.begin(), image.begin() + 64)),
                             Hex(Bytes(image.begin() + 64, image.begin() + 128)),
                             Hex(Bytes(image.begin() + 128, image.end()))}));
    EXPECT_EQ(sequence.GetLog(),
              (Lines{"Please (re)connect the reader...", "Erasing flash bank 2...", "Erasing flash bank 3...",
                     "Starting download...", "Firmware downloaded successful!"}));
    EXPECT_TRUE(sequence.IsNextEnabled());
    clock.Advance(SimLoader::kQuietMs);
    reader->Tick();
    EXPECT_EQ(reader->GetFirmwareImage(), image);
}

TEST_F(ProgrammingSequenceTest, VersionAnswerOverTwoTicksShowsAZeroByteAsZero) {
    SimLoader::Settings settings;
    settings.version = std::string("V1\0", 3) + "7";
    settings.versionSplit = 2;
    settings.versionGapMs = 300;
    reader->SetLoaderSettings(settings);
    Run(WithFile(VerifyFile, File("image.btl", Pattern(72))));
    EXPECT_EQ(sequence.GetLog()[1], "Get Version: V107");
}

TEST_F(ProgrammingSequenceTest, BlockFileOfWrongLengthIsRefusedBeforeAnythingIsSent) {
    for (size_t length : {0u, 71u, 100u}) {
        SCOPED_TRACE(length);
        Run(WithFile(ProgramFile, File("bad.btl", Pattern(length))));
        EXPECT_EQ(sequence.GetLog().back(), "ERROR: The block file has " + std::to_string(length) +
                                                " bytes, not a whole number of 72-byte blocks!");
        EXPECT_FALSE(sequence.Succeeded());
        EXPECT_EQ(Sent(), Lines{});
    }
    Run(WithFile(SendFile, dir / "missing.bin"));
    EXPECT_EQ(sequence.GetLog().back(),
              "Cannot open the file " + (dir / "missing.bin").string() + ": No such file or directory");
    EXPECT_EQ(Sent(), Lines{}) << "not even Q";
}

// Each failure message, by the fault that shows it; a silent reader fails once the wait's polls
// (limit × period) have passed.
TEST_F(ProgrammingSequenceTest, EachFailureShowsItsMessage) {
    struct Case {
        ProgrammingMode mode;
        std::set<uint8_t> refused;
        std::set<uint8_t> silent;
        bool wrongCrc;
        std::string message;
        uint32_t limitMs;  // a silent wait gives up after more than this
    };
    const std::vector<Case> cases = {
        {SerialOnly, {}, {'S'}, false, "ERROR: Serial number not written!", 10 * 200},
        {DownloadFirmware, {'@'}, {}, false, "ERROR: Could not erase flash bank 2!", 0},
        {DownloadFirmware, {}, {'#'}, false, "ERROR: Could not erase flash bank 3!", 50 * 200},
        {DownloadFirmware, {}, {'D'}, false, "ERROR: Could not download file!", 10 * 200},
        {ProgramFile, {}, {0x05}, false, "Get Version error: Timeout", 5 * 200},
        {ProgramFile, {0x03}, {}, false, "Reset CRC error: No ACK", 0},
        {ProgramFile, {}, {0x03}, false, "Reset CRC error: timeout", 5 * 200},
        {ProgramFile, {0x01}, {}, false, "An error occured while programming!", 0},
        {ProgramFile, {}, {0x01}, false, "An error occured while programming!", 50 * 10},
        {VerifyFile, {0x02}, {}, false, "An error occured while verifying!", 0},
        {ProgramFile, {}, {}, true, "Verify CRC error: no ACK", 0},
        {ProgramFile, {}, {0x04}, false, "Verify CRC error: timeout", 50 * 200},
        {ProgramFile, {0x07}, {}, false, "Reboot error: no ACK", 0},
        {ProgramFile, {}, {0x07}, false, "Reboot error: timeout", 50 * 200},
    };
    const std::string file = File("image.btl", Pattern(72));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        SimFaults faults;
        faults.refusedLoaderCommands = c.refused;
        faults.silentLoaderCommands = c.silent;
        faults.wrongLoaderCrc = c.wrongCrc;
        reader->SetFaults(faults);
        reader->SetSerialText("");
        ProgrammingInputs in = c.mode == SerialOnly ? Usb(SerialOnly) : WithFile(c.mode, file);
        sequence.SetInputs(in);
        sequence.Begin();
        uint32_t waitStart = 0;
        uint32_t failedAt = 0;
        sequence.SetLogListener([&](const std::string& line) {
            if (line == c.message) {
                failedAt = clock.GetTickCount();
            }
        });
        while (sequence.IsRunning()) {
            const size_t before = Sent().size();
            const uint32_t stepStart = clock.GetTickCount();
            sequence.Step();
            if (Sent().size() != before && failedAt == 0) {
                waitStart = stepStart;  // the last command went out in this step
            }
            clock.Advance(sequence.GetNextStepDelay());
        }
        const Lines& log = sequence.GetLog();
        ASSERT_GE(log.size(), 1u);
        EXPECT_EQ(std::count(log.begin(), log.end(), c.message), 1);
        EXPECT_FALSE(sequence.Succeeded());
        EXPECT_TRUE(sequence.IsNextEnabled());
        const uint32_t waited = failedAt - waitStart;
        if (c.limitMs != 0) {
            EXPECT_GT(waited, c.limitMs);
            EXPECT_LE(waited, c.limitMs + 400);
        }
        // Leave the loader for the next case: modes 5 and 6 do not send Q after a failure.
        reader->Receive(std::vector<uint8_t>{'Q'}, SimD2xxProvider::kSource);
        port.Purge();
    }
}

// The EEPROM is out of reach over a serial line: the job is refused before the serial number is
// stored, so that the reader does not keep a number of a job that could not succeed.
TEST(ProgrammingSequenceCom, SerialAndUsbSettingsOverASerialLineIsRefusedBeforeTheSerialNumber) {
    std::string error;
    auto simulator = Simulator::Start(error);
    ASSERT_NE(simulator, nullptr) << error;
    ReaderPort port(nullptr, nullptr);
    ASSERT_EQ(port.OpenPortByName(simulator->PortName()), LR_OK);
    ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
    ProgrammingSequence sequence(port, Clock::System());
    ProgrammingInputs in;
    in.mode = SerialAndUsbSettings;
    in.mifareSerial = 7;
    in.manufacturerId = "QV";
    in.productId = "6001";
    sequence.SetInputs(in);
    sequence.Begin();
    while (sequence.IsRunning()) {
        sequence.Step();
        std::this_thread::sleep_for(std::chrono::milliseconds(sequence.GetNextStepDelay()));
    }
    EXPECT_EQ(
        sequence.GetLog(),
        (Lines{"Please (re)connect the reader...",
               "ERROR: USB settings not written! The reader is not connected through its USB bridge."}));
    EXPECT_EQ(simulator->Reader().GetSerialText(), "");
    EXPECT_FALSE(sequence.SerialSent());
    port.ClosePort();
}

}  // namespace
