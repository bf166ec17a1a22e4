#include <gtest/gtest.h>

#include <string>

#include "programming/Crc16.h"
#include "sim/SimReaderFixture.h"

namespace {

class SimLoaderTest : public SimReaderFixture {
protected:
    static constexpr uint8_t ACK = 0x06;

    // A loader that answers at once, unless a test gives it time.
    void SetUp() override {
        SimLoader::Settings settings;
        settings.eraseMs = 0;
        settings.blockMs = 0;
        reader.SetLoaderSettings(settings);
        ASSERT_EQ(Send({'~'}), Bytes{'>'});
    }
    Bytes SendText(const std::string& text) {
        Bytes bytes(text.begin(), text.end());
        bytes.push_back(0);
        return Send(bytes);
    }
    static Bytes Block(uint8_t fill) { return Bytes(72, fill); }
    Bytes Binary(uint8_t code, const Bytes& data) {
        Bytes answer = Send({code, static_cast<uint8_t>(data.size())});
        const Bytes rest = Send(data);
        answer.insert(answer.end(), rest.begin(), rest.end());
        return answer;
    }
    Bytes CheckCrc(uint16_t crc) { return Binary(0x04, {uint8_t(crc >> 8), uint8_t(crc)}); }
};

TEST_F(SimLoaderTest, SerialNumberIsWrittenOnceAndReadBack) {
    EXPECT_TRUE(reader.InLoader());
    EXPECT_EQ(SendText("SSERIAL=0x00012345"), Bytes{'4'});
    EXPECT_EQ(reader.GetSerialText(), "0x00012345");
    // One leading character, then the stored text.
    EXPECT_EQ(SendText("GSERIAL"), (Bytes{'=', '0', 'x', '0', '0', '0', '1', '2', '3', '4', '5'}));
    // A second serial number is accepted in words only: the first stays.
    EXPECT_EQ(SendText("SSERIAL=0x00000007"), Bytes{'4'});
    EXPECT_EQ(reader.GetSerialText(), "0x00012345");
    EXPECT_EQ(Send({'Q'}), Bytes{});
    EXPECT_FALSE(reader.InLoader());
}

TEST_F(SimLoaderTest, EraseTakesItsTimeAndAnswersOrRefuses) {
    SimLoader::Settings settings = reader.GetLoaderSettings();
    settings.eraseMs = 400;
    reader.SetLoaderSettings(settings);
    EXPECT_EQ(Send({'@'}), Bytes{});
    clock.Advance(399);
    EXPECT_EQ(Take(), Bytes{});
    clock.Advance(1);
    EXPECT_EQ(Take(), Bytes{'2'});
    settings.eraseMs = 0;
    reader.SetLoaderSettings(settings);
    EXPECT_EQ(Send({'#'}), Bytes{'2'});
    EXPECT_EQ(reader.GetEraseCount(2), 1u);
    SimFaults faults;
    faults.refusedLoaderCommands = {'#', 'S'};
    reader.SetFaults(faults);
    EXPECT_EQ(Send({'#'}), Bytes{'3'});
    EXPECT_EQ(reader.GetEraseCount(3), 1u);
    EXPECT_EQ(SendText("SSERIAL=0x00000001"), Bytes{NAK});
}

TEST_F(SimLoaderTest, TwoBlockProgramWithRightAndWrongCrc) {
    Send({0x05, 0x00});  // version
    EXPECT_EQ(Binary(0x03, {}), Bytes{ACK});
    EXPECT_EQ(Binary(0x01, Block(0x11)), Bytes{ACK});
    EXPECT_EQ(Binary(0x01, Block(0x10)), Bytes{ACK});
    const Bytes both = [] {
        Bytes b = Block(0x11);
        const Bytes second = Block(0x10);
        b.insert(b.end(), second.begin(), second.end());
        return b;
    }();
    const uint16_t crc = Crc16::Finish(Crc16::ShiftIn(Crc16::kShiftInInit, both));
    EXPECT_EQ(CheckCrc(crc ^ 1), Bytes{NAK});
    EXPECT_EQ(CheckCrc(crc), Bytes{ACK});
    ASSERT_EQ(reader.GetFlashBlocks().size(), 2u);
    EXPECT_EQ(reader.GetFlashBlocks()[1][0], 0x10);

    // Verify compares with what was programmed, and runs the same checksum.
    EXPECT_EQ(Binary(0x03, {}), Bytes{ACK});
    EXPECT_EQ(Binary(0x02, Block(0x11)), Bytes{ACK});
    EXPECT_EQ(Binary(0x02, Block(0x12)), Bytes{NAK});
    EXPECT_EQ(Binary(0x07, {}), Bytes{ACK});  // reboot leaves the loader
    EXPECT_FALSE(reader.InLoader());
}

TEST_F(SimLoaderTest, VersionAndMalformedBinaryCommands) {
    const std::string version = SimLoader::kVersion;
    Bytes expected(version.begin(), version.end());
    expected.push_back(ACK);
    EXPECT_EQ(Send({0x05, 0x00}), expected);
    EXPECT_EQ(Binary(0x01, Bytes(10, 0)), Bytes{NAK});  // a program block must be 72 bytes
    // A command that stops short is dropped after a quiet line.
    Send({0x01, 0x48, 1, 2, 3});
    clock.Advance(SimLoader::kQuietMs);
    EXPECT_EQ(Take(), Bytes{NAK});
    EXPECT_EQ(Send({'@'}), Bytes{'2'});
}

TEST_F(SimLoaderTest, FirmwareImageNeedsErasedBanksAndEndsWhenTheLineGoesQuiet) {
    EXPECT_EQ(Send({'D'}), Bytes{NAK});
    EXPECT_EQ(Send({'@'}), Bytes{'2'});
    EXPECT_EQ(Send({'D'}), Bytes{NAK}) << "bank 3 still holds the old image";
    EXPECT_EQ(Send({'#'}), Bytes{'2'});
    EXPECT_EQ(Send({'D'}), Bytes{'5'});
    Send(Bytes(64, 0xA5));
    clock.Advance(10);
    Send(Bytes(36, 0x5A));
    clock.Advance(SimLoader::kQuietMs - 1);
    EXPECT_TRUE(reader.InLoader());
    clock.Advance(1);
    reader.Tick();
    EXPECT_FALSE(reader.InLoader());
    EXPECT_EQ(reader.GetFirmwareImage().size(), 100u);
    EXPECT_EQ(reader.GetFirmwareImage()[64], 0x5A);
}

TEST_F(SimLoaderTest, VersionTextWithZeroByteComesInTwoPartsAfterAGap) {
    SimLoader::Settings settings = reader.GetLoaderSettings();
    settings.version = std::string("V1\0", 3) + "2";
    settings.versionSplit = 2;
    settings.versionGapMs = 300;
    reader.SetLoaderSettings(settings);
    EXPECT_EQ(Send({0x05, 0x00}), (Bytes{'V', '1'}));
    clock.Advance(300);
    EXPECT_EQ(Take(), (Bytes{0, '2', ACK}));
}

TEST_F(SimLoaderTest, SilentCommandsAndAWrongChecksumFault) {
    SimFaults faults;
    faults.silentLoaderCommands = {'@', 0x03, 'S'};
    faults.wrongLoaderCrc = true;
    reader.SetFaults(faults);
    EXPECT_EQ(Send({'@'}), Bytes{});
    EXPECT_EQ(Binary(0x03, {}), Bytes{});
    EXPECT_EQ(SendText("SSERIAL=0x00000001"), Bytes{});
    clock.Advance(SimLoader::kQuietMs);
    EXPECT_EQ(Take(), Bytes{});
    EXPECT_EQ(Binary(0x01, Block(0x11)), Bytes{ACK});
    const uint16_t crc = Crc16::Finish(Crc16::ShiftIn(Crc16::kShiftInInit, Block(0x11)));
    EXPECT_EQ(CheckCrc(crc), Bytes{NAK});
}

}  // namespace

namespace {

// A series: each reader that leaves its loader is unplugged; the next wake-up is a fresh reader
// with the series' serial number (none, or one stored already) and the bridge's first settings.
TEST_F(SimLoaderTest, ASeriesAnswersTheNextWakeUpAsAFreshReader) {
    reader.SetSerialText("0x00000099");
    reader.StartSeries("");
    EXPECT_EQ(reader.GetSerialText(), "") << "the reader present now is the first of the series";
    EXPECT_EQ(SendText("SSERIAL=0x00000001"), Bytes{'4'});
    SimEeprom programmed = reader.GetEeprom();
    programmed.serialNumber = "QV000001";
    reader.SetEeprom(programmed);
    EXPECT_EQ(Send({'~'}), Bytes{'>'}) << "awake still: the same reader";
    EXPECT_EQ(Send({'Q'}), Bytes{});
    EXPECT_EQ(Send({'~'}), Bytes{'>'});
    EXPECT_EQ(reader.GetSerialText(), "");
    EXPECT_EQ(reader.GetEeprom().serialNumber, SimEeprom{}.serialNumber);
    EXPECT_EQ(SendText("SSERIAL=0x00000002"), Bytes{'4'});
    EXPECT_EQ(Send({'Q'}), Bytes{});
    const std::vector<SimSeriesReader> readers = reader.GetSeriesReaders();
    ASSERT_EQ(readers.size(), 2u);
    EXPECT_EQ(readers[0].serialText, "0x00000001");
    EXPECT_EQ(readers[0].eeprom.serialNumber, "QV000001");
    EXPECT_EQ(readers[1].serialText, "0x00000002");

    reader.StartSeries("0x00000007");
    EXPECT_EQ(Send({'~'}), Bytes{'>'});
    EXPECT_EQ(SendText("SSERIAL=0x00000003"), Bytes{'4'});
    EXPECT_EQ(reader.GetSerialText(), "0x00000007") << "a reader with a number keeps it";
}

// Switched on and off by hand, as the window's simulated-reader panel does: the reader present
// keeps its number either way, and a fresh one is plugged in only between jobs.
TEST_F(SimLoaderTest, ASeriesSwitchedByHandKeepsThePresentReader) {
    EXPECT_EQ(SendText("SSERIAL=0x00000001"), Bytes{'4'});
    EXPECT_FALSE(reader.PlugInFreshReader()) << "not in the middle of a job";
    EXPECT_EQ(Send({'Q'}), Bytes{});
    reader.SetSeries(true);
    EXPECT_TRUE(reader.IsSeries());
    EXPECT_EQ(reader.GetSerialText(), "0x00000001");
    EXPECT_EQ(Send({'~'}), Bytes{'>'});
    EXPECT_EQ(SendText("SSERIAL=0x00000002"), Bytes{'4'});
    EXPECT_EQ(reader.GetSerialText(), "0x00000001") << "the same reader, which keeps its number";
    EXPECT_EQ(Send({'Q'}), Bytes{});
    EXPECT_TRUE(reader.IsReaderDone());

    // Off again before the next wake-up: the reader that left its loader stays.
    reader.SetSeries(false);
    EXPECT_FALSE(reader.IsReaderDone());
    EXPECT_EQ(Send({'~'}), Bytes{'>'});
    EXPECT_EQ(reader.GetSerialText(), "0x00000001");
    EXPECT_EQ(Send({'Q'}), Bytes{});
    EXPECT_TRUE(reader.PlugInFreshReader());
    EXPECT_EQ(reader.GetSerialText(), "");
    EXPECT_EQ(Send({'~'}), Bytes{'>'});
    EXPECT_EQ(SendText("SSERIAL=0x00000003"), Bytes{'4'});
    EXPECT_EQ(reader.GetSerialText(), "0x00000003");
    const std::vector<SimSeriesReader> readers = reader.GetSeriesReaders();
    ASSERT_EQ(readers.size(), 1u);
    EXPECT_EQ(readers[0].serialText, "0x00000001");
}

}  // namespace
