#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t STX = 0x02, ETX = 0x03, DLE = 0x10;

// Reads until the bytes end with DLE ETX (or, with want, until that many arrived); a few reads at
// most, each bounded by the port's time-outs.
Bytes ReadAnswer(ReaderPort& port, size_t want = 0) {
    Bytes bytes;
    for (int attempt = 0; attempt < 20; ++attempt) {
        ByteBuffer buffer;
        uint32_t received = 0;
        const auto done = [&](std::span<const uint8_t> b) {
            const size_t total = bytes.size() + b.size();
            if (want != 0) {
                return total >= want;
            }
            return b.size() >= 2 && b[b.size() - 2] == DLE && b.back() == ETX;
        };
        EXPECT_EQ(port.Read(buffer, 64, received, done), LR_OK);
        bytes.insert(bytes.end(), buffer.Bytes().begin(), buffer.Bytes().end());
        if ((want != 0 && bytes.size() >= want) ||
            (want == 0 && bytes.size() >= 2 && bytes[bytes.size() - 2] == DLE && bytes.back() == ETX)) {
            break;
        }
    }
    return bytes;
}

// Request (mode 0) with sequence 0 through a port, as raw bytes; returns the answer's wire bytes.
Bytes RequestExchange(ReaderPort& port) {
    EXPECT_EQ(port.Write(ByteBuffer{STX}), LR_OK);
    EXPECT_EQ(ReadAnswer(port, 1), Bytes{DLE});
    EXPECT_EQ(port.Write(ByteBuffer{0x00, 0x41, 0x01, 0x00, 0x40, DLE, ETX}), LR_OK);
    EXPECT_EQ(ReadAnswer(port, 2), (Bytes{DLE, STX}));
    EXPECT_EQ(port.Write(ByteBuffer{DLE}), LR_OK);
    const Bytes answer = ReadAnswer(port);
    EXPECT_EQ(port.Write(ByteBuffer{DLE}), LR_OK);
    return answer;
}

const Bytes kRequestAnswer{0x00, 0x00, 0x02, 0x04, 0x00, 0x06, DLE, ETX};

class SimUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        reader->EnterCard(Simulator::SampleCard());
        ASSERT_EQ(port.OpenPort(PortKindUsb, 1), LR_OK);
        ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
    }

    FakeClock clock{5000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    std::shared_ptr<SimD2xxProvider> usb = std::make_shared<SimD2xxProvider>(reader, clock);
    SerialPortList ports;
    ReaderPort port{nullptr, usb, &ports};
};

TEST_F(SimUsbTest, ReaderPortReachesTheReaderThroughTheBridge) {
    EXPECT_EQ(usb->GetBaudRate(), 9600u);
    EXPECT_EQ(RequestExchange(port), kRequestAnswer);
    EXPECT_EQ(clock.GetTickCount(), 5000u);  // every answer was there at once
    ASSERT_EQ(reader->Requests().size(), 1u);
    EXPECT_EQ(reader->Requests()[0].command, 0x41);
}

TEST_F(SimUsbTest, AReadThatFindsNothingMovesTheFakeClockToTheNextEvent) {
    ByteBuffer buffer;
    uint32_t received = 0;
    EXPECT_EQ(port.Read(buffer, 1, received), LR_OK);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(clock.GetTickCount(), 5100u);  // the whole read time-out

    // A card due in 250 ms: reads end early at that moment, with the report's STX.
    reader->SetLinkMode(SimLink3964R);
    EXPECT_EQ(port.Write(ByteBuffer{STX}), LR_OK);
    EXPECT_EQ(ReadAnswer(port, 1), Bytes{DLE});
    EXPECT_EQ(port.Write(ByteBuffer{0x00, 0x40, 0x00, 0x40, DLE, ETX}), LR_OK);
    EXPECT_EQ(ReadAnswer(port, 2), (Bytes{DLE, STX}));
    EXPECT_EQ(port.Write(ByteBuffer{DLE}), LR_OK);
    EXPECT_EQ(ReadAnswer(port), (Bytes{0x00, 0x00, 0x00, 0x00, DLE, ETX}));
    reader->LeaveCard(Simulator::kCardUid);
    EXPECT_EQ(port.Write(ByteBuffer{DLE}), LR_OK);
    reader->ScheduleEnter(250, SimCard(0x0A0B0C0D));
    const uint32_t start = clock.GetTickCount();
    EXPECT_EQ(ReadAnswer(port, 1), Bytes{STX});
    EXPECT_EQ(clock.GetTickCount() - start, 250u);
}

TEST_F(SimUsbTest, InjectedD2xxFailures) {
    // Once: the port re-opens the bridge and its second try goes through.
    usb->FailCall("FT_Write", FT_IO_ERROR, 1);
    EXPECT_EQ(port.Write(ByteBuffer{STX}), LR_OK);
    EXPECT_EQ(ReadAnswer(port, 1), Bytes{DLE});
    usb->FailCall("FT_Write", FT_IO_ERROR, 2);
    EXPECT_EQ(port.Write(ByteBuffer{STX}), LR_D2XX_BASE + FT_IO_ERROR);
    usb->FailCall("FT_Open", FT_DEVICE_NOT_FOUND, SimD2xxProvider::kForever);
    ReaderPort other{nullptr, usb, &ports};
    EXPECT_EQ(other.OpenPort(PortKindUsb, 1), LR_D2XX_BASE + FT_DEVICE_NOT_FOUND);
    usb->FailCall("FT_Open", FT_OK, 0);
    EXPECT_EQ(usb->Table().FT_GetQueueStatus(nullptr, nullptr), FT_NOT_SUPPORTED);
}

TEST_F(SimUsbTest, OpensByTheSerialNumberTheBridgesEepromHoldsNow) {
    port.ClosePort();
    SimEeprom eeprom = reader->GetEeprom();
    eeprom.serialNumber = "QV000042";
    reader->SetEeprom(eeprom);
    struct Case {
        const char* serial;
        LinkResult expected;
    };
    // A driver opens the bridge the serial number names or none: never the only one there is.
    const Case cases[] = {
        {"QV000042", LR_OK},
        {"QV000043", LR_D2XX_BASE + FT_DEVICE_NOT_FOUND},
        {"QV00004", LR_D2XX_BASE + FT_DEVICE_NOT_FOUND},
        {"QV0000420", LR_D2XX_BASE + FT_DEVICE_NOT_FOUND},
        {"TB000001", LR_D2XX_BASE + FT_DEVICE_NOT_FOUND},  // the serial number before programming
    };
    for (const Case& c : cases) {
        ReaderPort other{nullptr, usb, &ports};
        EXPECT_EQ(other.OpenUsbBySerial(c.serial), c.expected) << c.serial;
        EXPECT_EQ(usb->IsOpen(), c.expected == LR_OK) << c.serial;
        other.ClosePort();
    }

    ReaderPort other{nullptr, usb, &ports};
    ASSERT_EQ(other.OpenUsbBySerial("QV000042"), LR_OK);
    ASSERT_EQ(other.InitPort(9600, 8, 0, 0, 0), LR_OK);
    EXPECT_EQ(RequestExchange(other), kRequestAnswer);
    // Held by one port, the bridge is busy for another.
    ReaderPort third{nullptr, usb, &ports};
    EXPECT_EQ(third.OpenUsbBySerial("QV000042"), LR_D2XX_BASE + FT_DEVICE_NOT_OPENED);
    other.ClosePort();

    // A bridge whose EEPROM hides its serial number cannot be found by it.
    eeprom.serNumEnable = 0;
    reader->SetEeprom(eeprom);
    EXPECT_EQ(other.OpenUsbBySerial("QV000042"), LR_D2XX_BASE + FT_DEVICE_NOT_FOUND);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(usb->Table().FT_OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_INVALID_PARAMETER);
    EXPECT_EQ(usb->Table().FT_OpenEx(const_cast<char*>("Simulated MIFARE reader"), 2, &handle),
              FT_NOT_SUPPORTED);
}

TEST_F(SimUsbTest, AfterALostLineAPortOpenedBySerialNumberReturnsToThatBridgeOnly) {
    // Lost lines on a port opened by position and on one opened by serial number, with the same
    // bridge still there or another one (another serial number) plugged in its place.
    struct Case {
        const char* openedBy;  // empty: the first bridge
        const char* bridgeNow;
        LinkResult expected;
    };
    const Case cases[] = {
        {"TB000001", "TB000001", LR_OK},
        {"TB000001", "TB000002", LR_D2XX_BASE + FT_INVALID_HANDLE},
        {"", "TB000002", LR_OK},
    };
    port.ClosePort();
    for (const Case& c : cases) {
        SimEeprom eeprom;
        eeprom.serialNumber = "TB000001";
        reader->SetEeprom(eeprom);
        ReaderPort other{nullptr, usb, &ports};
        ASSERT_EQ(*c.openedBy != '\0' ? other.OpenUsbBySerial(c.openedBy) : other.OpenPort(PortKindUsb, 0),
                  LR_OK);
        ASSERT_EQ(other.InitPort(9600, 8, 0, 0, 0), LR_OK);
        eeprom.serialNumber = c.bridgeNow;
        reader->SetEeprom(eeprom);
        usb->FailCall("FT_Write", FT_IO_ERROR, 1);
        EXPECT_EQ(other.Write(ByteBuffer{STX}), c.expected) << c.openedBy << " -> " << c.bridgeNow;
        EXPECT_EQ(other.GetPortName(), *c.openedBy != '\0' ? "USB " + std::string(c.openedBy) : "USB");
        if (c.expected == LR_OK) {
            EXPECT_EQ(ReadAnswer(other, 1), Bytes{DLE});
            EXPECT_EQ(other.Write(ByteBuffer{0x00, 0x41, 0x01, 0x00, 0x40, DLE, ETX}), LR_OK);
            EXPECT_EQ(ReadAnswer(other, 2), (Bytes{DLE, STX}));
            EXPECT_EQ(other.Write(ByteBuffer{DLE}), LR_OK);
            EXPECT_EQ(ReadAnswer(other), kRequestAnswer);
            EXPECT_EQ(other.Write(ByteBuffer{DLE}), LR_OK);
        } else {
            EXPECT_FALSE(usb->IsOpen()) << "no other bridge was opened in its place";
        }
        other.ClosePort();
    }
}

TEST_F(SimUsbTest, EepromRecordIsReadAndProgrammed) {
    char manufacturer[kEeManufacturerSize], id[kEeManufacturerIdSize], description[kEeDescriptionSize],
        serial[kEeSerialNumberSize];
    FT_PROGRAM_DATA data{};
    data.Manufacturer = manufacturer;
    data.ManufacturerId = id;
    data.Description = description;
    data.SerialNumber = serial;
    FT_HANDLE handle = nullptr;
    port.ClosePort();
    ASSERT_EQ(usb->Table().FT_Open(0, &handle), FT_OK);
    ASSERT_EQ(usb->Table().FT_EE_Read(handle, &data), FT_OK);
    EXPECT_EQ(data.VendorId, 0x0403);
    EXPECT_EQ(data.ProductId, 0x6001);
    EXPECT_STREQ(data.ManufacturerId, "TB");

    data.ProductId = 0xFB18;
    std::strcpy(serial, "QV001234");
    std::strcpy(description, "Line 3 reader");
    ASSERT_EQ(usb->Table().FT_EE_Program(handle, &data), FT_OK);
    const SimEeprom stored = reader->GetEeprom();
    EXPECT_EQ(stored.productId, 0xFB18);
    EXPECT_EQ(stored.serialNumber, "QV001234");
    EXPECT_EQ(stored.description, "Line 3 reader");
    EXPECT_EQ(usb->Table().FT_EE_Read(nullptr, &data), FT_INVALID_HANDLE);
}

TEST(SimulatorTest, BothWaysReachOneReaderAndThePortJoinsTheList) {
    std::string error;
    auto sim = Simulator::Start(error);
    ASSERT_TRUE(sim) << error;
    const std::string name = sim->PortName();
    const uint32_t number = SerialPortList::Shared().NumberOf(name);
    ASSERT_NE(number, 0u);
    EXPECT_EQ(SerialPortList::Shared().Entries()[number - 1].description, "Simulated reader");

    // The bridge first: its writes reach the reader before they return, so the pseudo-terminal's
    // exchange cannot overlap the end of it.
    ReaderPort usb{nullptr, sim->UsbProvider()};
    ASSERT_EQ(usb.OpenPort(PortKindUsb, 1), LR_OK);
    ASSERT_EQ(usb.InitPort(9600, 8, 0, 0, 0), LR_OK);
    EXPECT_EQ(RequestExchange(usb), kRequestAnswer);

    ReaderPort com;
    ASSERT_EQ(com.OpenPort(PortKindCom, number), LR_OK);
    ASSERT_EQ(com.InitPort(9600, 8, 0, 0, 0), LR_OK);
    EXPECT_EQ(RequestExchange(com), kRequestAnswer);
    com.ClosePort();
    EXPECT_EQ(sim->Reader().Requests().size(), 2u);

    sim.reset();
    EXPECT_EQ(SerialPortList::Shared().NumberOf(name), 0u);
}

TEST(TagbenchSimTest, StartsPrintsItsPortAnswersAndEndsOnSigint) {
    const char* dir = std::getenv("TAGBENCH_BIN_DIR");
    ASSERT_NE(dir, nullptr);
    const std::string binary = std::string(dir) + "/src/sim/tagbench-sim";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("--card"),
                    const_cast<char*>("12345678"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);

    std::string line;
    pollfd fd{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&fd, 1, 2000) > 0) {
        char chunk[256];
        const ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        line.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    const std::string name = line.substr(0, line.find('\n'));
    EXPECT_EQ(name.rfind("/dev/pts/", 0), 0u) << line;

    {
        SerialPortList ports;
        ReaderPort port{nullptr, nullptr, &ports};
        EXPECT_EQ(port.OpenPortByName(name), LR_OK);
        EXPECT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
        EXPECT_EQ(RequestExchange(port), kRequestAnswer);
    }

    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

namespace {

// The program's own link over the simulated bridge: its probe finds the procedure the reader is
// set to, and the first command right after the probe goes through at its first attempt.
TEST_F(SimUsbTest, ReaderLinkProbesAndTalksWithoutDetours) {
    ReaderLink link(clock);
    ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
    EXPECT_EQ(link.GetLinkMode(), 0u);
    port.SetReadMode(ReadModeNormal);
    const uint32_t start = clock.GetTickCount();
    uint32_t cardType = 0;
    EXPECT_EQ(link.Request(0, cardType), LR_OK);
    EXPECT_EQ(cardType, SimCard::kCardType);
    EXPECT_LT(clock.GetTickCount() - start, 1000u) << "a repeated attempt";
    EXPECT_EQ(reader->Requests().size(), 1u);

    reader->SetLinkMode(SimLinkFramed);
    ReaderLink framed(clock);
    ASSERT_EQ(framed.Connect(&port, 9600), LR_OK);
    EXPECT_EQ(framed.GetLinkMode(), 1u);
    port.SetReadMode(ReadModeNormal);
    cardType = 0;
    EXPECT_EQ(framed.Request(0, cardType), LR_OK);
    EXPECT_EQ(cardType, SimCard::kCardType);
}

}  // namespace
