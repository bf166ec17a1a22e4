#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "PseudoTerminal.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderPort.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A serial port on the slave side of a pseudo-terminal, opened and initialised; the test plays
// the reader on the master side.
class ComPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.IsValid());
        port.SetOutputWindow(&window, true, TraceModeHex);
        ASSERT_EQ(port.OpenPortByName(pty.SlaveName()), LR_OK);
        ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
    }

    LinkResult Read(uint32_t n, Bytes& bytes, const ReaderPort::ReadComplete& complete = {}) {
        ByteBuffer destination;
        uint32_t received = 0;
        const LinkResult result = port.Read(destination, n, received, complete);
        bytes.assign(destination.Bytes().begin(), destination.Bytes().end());
        EXPECT_EQ(received, bytes.size());
        return result;
    }

    PseudoTerminal pty;
    MemoryOutputWindow window;
    SerialPortList ports;
    ReaderPort port{nullptr, nullptr, &ports};
};

TEST_F(ComPort, WritesAndReadsBytesUnchangedAndTracesThem) {
    EXPECT_TRUE(port.IsOpen());
    EXPECT_FALSE(port.IsUsb());
    // Raw mode: no line-end translation, no echo, no signal characters.
    EXPECT_EQ(port.Write(ByteBuffer{0x02, 0x0A, 0x0D, 0x03, 0x11, 0x13}), LR_OK);
    EXPECT_EQ(pty.Receive(), (Bytes{0x02, 0x0A, 0x0D, 0x03, 0x11, 0x13}));
    pty.Send({0x10, 0x0D, 0x0A, 0x7F, 0x00});
    Bytes bytes;
    EXPECT_EQ(Read(5, bytes), LR_OK);
    EXPECT_EQ(bytes, (Bytes{0x10, 0x0D, 0x0A, 0x7F, 0x00}));
    EXPECT_EQ(window.Text(), ">> 02 0A 0D 03 11 13 \n<< 10 0D 0A 7F 00 \n");
}

TEST_F(ComPort, InitPortSetsTheLineSettings) {
    // A pseudo-terminal always runs 8 data bits without parity; the other settings show.
    struct Case {
        uint32_t baudRate;
        uint8_t dataBits, parity, stopBits;
        uint32_t handshake;
        speed_t speed;
        tcflag_t flags;  // of PARODD, CMSPAR, CSTOPB, CRTSCTS
    };
    const Case cases[] = {
        {9600, 8, 0, 0, 0, B9600, 0},
        {19200, 7, 2, 2, 1, B19200, CSTOPB | CRTSCTS},
        {115200, 5, 1, 1, 0, B115200, PARODD | CSTOPB},  // 1.5 stop bits become 2
        {4800, 6, 3, 0, 0, B4800, PARODD | CMSPAR},
        {57600, 8, 4, 0, 0, B57600, CMSPAR},
    };
    const tcflag_t mask = PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const Case& c : cases) {
        ASSERT_EQ(port.InitPort(c.baudRate, c.dataBits, c.parity, c.stopBits, c.handshake), LR_OK);
        const termios settings = pty.Settings();
        EXPECT_EQ(settings.c_cflag & mask, c.flags) << c.baudRate;
        EXPECT_EQ(cfgetospeed(&settings), c.speed) << c.baudRate;
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    }
    // What the line cannot do is refused, as the system refuses an invalid line setting.
    EXPECT_EQ(port.InitPort(9600, 4, 0, 0, 0), static_cast<LinkResult>(EINVAL));
    EXPECT_EQ(port.InitPort(9600, 8, 5, 0, 0), static_cast<LinkResult>(EINVAL));
    EXPECT_EQ(port.InitPort(12345, 8, 0, 0, 0), static_cast<LinkResult>(EINVAL));
    EXPECT_EQ(port.SetBaudRate(38400), LR_OK);
    EXPECT_EQ(port.GetBaudRate(), 38400u);
    const termios settings = pty.Settings();
    EXPECT_EQ(cfgetospeed(&settings), B38400);
}

TEST_F(ComPort, OpensByNumberInThePortList) {
    port.ClosePort();
    ports.AddExtraPort(pty.SlaveName(), "Simulated reader");
    const uint32_t number = ports.NumberOf(pty.SlaveName());
    ASSERT_NE(number, 0u);
    EXPECT_EQ(port.OpenPort(PortKindCom, number), LR_OK);
    EXPECT_EQ(port.GetPortName(), pty.SlaveName());
    EXPECT_EQ(port.GetPortNumber(), number);
    EXPECT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), LR_OK);
    EXPECT_EQ(pty.Receive(), Bytes{0x02});

    EXPECT_EQ(port.OpenPort(PortKindCom, number + 1), static_cast<LinkResult>(ENOENT));
    EXPECT_EQ(port.OpenPort(PortKindCom, 0), static_cast<LinkResult>(ENOENT));
}

TEST_F(ComPort, AnOpenPortIsRefusedToOthersAsBusy) {
    EXPECT_EQ(port.OpenPortByName(pty.SlaveName()), LR_OK);  // its own holder may open it again
    ReaderPort other(nullptr, nullptr, &ports);
    EXPECT_EQ(other.OpenPortByName(pty.SlaveName()), static_cast<LinkResult>(EBUSY));
    EXPECT_EQ(other.GetPortName(), pty.SlaveName());  // for the message that names the port
    EXPECT_EQ(port.ClosePort(), LR_OK);
    EXPECT_EQ(other.OpenPortByName(pty.SlaveName()), LR_OK);
}

TEST_F(ComPort, OpenErrorsAreTheSystemCodes) {
    ReaderPort other(nullptr, nullptr, &ports);
    EXPECT_EQ(other.OpenPortByName("/dev/tagbench-no-such-port"), static_cast<LinkResult>(ENOENT));
    EXPECT_EQ(other.GetPortName(), "/dev/tagbench-no-such-port");
    EXPECT_EQ(other.OpenPortByName("/dev/null"), static_cast<LinkResult>(ENOTTY));
    EXPECT_EQ(other.InitPort(9600, 8, 0, 0, 0), static_cast<LinkResult>(EBADF));
    EXPECT_FALSE(other.IsOpen());
    // Closing a port that is not open changes nothing but the open flag.
    EXPECT_EQ(other.ClosePort(), LR_OK);
}

TEST_F(ComPort, PollingReturnsWhatIsQueuedOrNothing) {
    ASSERT_EQ(port.SetReadMode(ReadModePolling), LR_OK);
    Bytes bytes;
    EXPECT_EQ(Read(10, bytes), LR_OK);
    EXPECT_TRUE(bytes.empty());
    pty.Send({0x10, 0x02});
    ASSERT_EQ(pty.Receive(0), Bytes{});
    // Wait until both bytes are queued: a polling read takes what is there.
    for (int i = 0; i < 100 && bytes.size() < 2; ++i) {
        Bytes more;
        EXPECT_EQ(Read(10, more), LR_OK);
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
    EXPECT_EQ(bytes, (Bytes{0x10, 0x02}));
}

TEST_F(ComPort, ANormalReadWithNothingArrivingReturnsNoBytesAndNoTrace) {
    ASSERT_EQ(port.SetReadMode(ReadModeNormal), LR_OK);
    Bytes bytes;
    EXPECT_EQ(Read(4, bytes), LR_OK);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(window.Text(), "");
}

TEST_F(ComPort, ReadWithCompleteEndsAtTheEndMarkAndLeavesTheRest) {
    pty.Send({0x02, 0x03, 0x04});
    Bytes bytes;
    EXPECT_EQ(Read(100, bytes, [](std::span<const uint8_t> b) { return b.back() == 0x03; }), LR_OK);
    EXPECT_EQ(bytes, (Bytes{0x02, 0x03}));
    EXPECT_EQ(Read(100, bytes), LR_OK);
    EXPECT_EQ(bytes, Bytes{0x04});
    EXPECT_EQ(window.Text(), "<< 02 03 \n<< 04 \n");
}

TEST_F(ComPort, AFarSideThatGoesAwayGivesAnErrorNotAHang) {
    pty.CloseMaster();
    for (uint32_t mode : {ReadModeNormal, ReadModePolling}) {
        port.SetReadMode(mode);
        Bytes bytes;
        EXPECT_EQ(Read(10, bytes), static_cast<LinkResult>(EIO)) << mode;
        EXPECT_TRUE(bytes.empty());
    }
    EXPECT_NE(port.Write(ByteBuffer{0x02}), LR_OK);
    EXPECT_EQ(window.Text(), "");
    EXPECT_EQ(port.ClosePort(), LR_OK);
}

TEST_F(ComPort, AHungUpLineIsFoundWithoutReadingAndStaysLostUntilClosed) {
    // A live line: the look takes nothing the reader sent.
    pty.Send({0x41, 0x42});
    EXPECT_EQ(port.CheckLine(), LR_OK);
    Bytes bytes;
    EXPECT_EQ(Read(2, bytes), LR_OK);
    EXPECT_EQ(bytes, (Bytes{0x41, 0x42}));

    pty.CloseMaster();
    EXPECT_EQ(port.LineFault(), static_cast<LinkResult>(EIO));
    EXPECT_EQ(port.GetLineLost(), LR_OK) << "a look changes nothing";
    EXPECT_EQ(port.CheckLine(), static_cast<LinkResult>(EIO));
    EXPECT_EQ(port.GetLineLost(), static_cast<LinkResult>(EIO));
    // Every transfer now gives the same error, whatever it would have met.
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), static_cast<LinkResult>(EIO));
    EXPECT_EQ(Read(1, bytes), static_cast<LinkResult>(EIO));
    EXPECT_EQ(port.SetReadMode(ReadModePolling), static_cast<LinkResult>(EIO));

    // Closed, the port is no longer lost, and a closed port is not lost again.
    EXPECT_EQ(port.ClosePort(), LR_OK);
    EXPECT_EQ(port.GetLineLost(), LR_OK);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), static_cast<LinkResult>(EBADF));
    EXPECT_EQ(port.CheckLine(), LR_OK);
    EXPECT_EQ(port.GetLineLost(), LR_OK);
    EXPECT_EQ(window.Text(), "<< 41 42 \n");
}

TEST_F(ComPort, AFailedTransferOnAGoneLineMarksItLost) {
    pty.CloseMaster();
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), static_cast<LinkResult>(EIO));
    EXPECT_EQ(port.GetLineLost(), static_cast<LinkResult>(EIO));
    // Opening again starts a fresh line.
    PseudoTerminal other;
    ASSERT_EQ(port.OpenPortByName(other.SlaveName()), LR_OK);
    EXPECT_EQ(port.GetLineLost(), LR_OK);
}

TEST(SerialPortListTest, ExtraPortsFollowTheSystemPorts) {
    SerialPortList list;
    list.Refresh();
    const size_t system = list.Entries().size();
    list.AddExtraPort("/dev/pts/90", "Simulated reader");
    list.AddExtraPort("/dev/pts/91", "Second");
    list.AddExtraPort("/dev/pts/90", "Renamed");
    ASSERT_EQ(list.Entries().size(), system + 2);
    EXPECT_EQ(list.Entries()[system].description, "Renamed");
    EXPECT_EQ(list.NameOf(static_cast<uint32_t>(system + 2)), "/dev/pts/91");
    EXPECT_EQ(list.NumberOf("/dev/pts/91"), system + 2);
    list.RemoveExtraPort("/dev/pts/90");
    EXPECT_EQ(list.NumberOf("/dev/pts/90"), 0u);
    EXPECT_EQ(list.NameOf(static_cast<uint32_t>(system + 2)), "");
    list.Refresh();  // the extra ports stay
    EXPECT_EQ(list.NumberOf("/dev/pts/91"), system + 1);
    EXPECT_EQ(list.NameOf(0), "");
}

TEST(SerialPortListTest, StableNamesAreListedAndOpenAsTheirDevice) {
    PseudoTerminal line;
    ASSERT_TRUE(line.IsValid());
    char folderTemplate[] = "/tmp/tagbench-by-id-XXXXXX";
    ASSERT_NE(mkdtemp(folderTemplate), nullptr);
    const std::filesystem::path folder = folderTemplate;
    std::filesystem::create_symlink(line.SlaveName(), folder / "usb-Tagbench_Reader_A9XK2L-if00-port0");
    std::filesystem::create_symlink("/dev/tagbench-gone", folder / "usb-Unplugged-if00-port0");

    SerialPortList list;
    list.Refresh(folder.string());
    const std::string stable = (folder / "usb-Tagbench_Reader_A9XK2L-if00-port0").string();
    const std::vector<SerialPortList::Entry> entries = list.Entries();
    ASSERT_FALSE(entries.empty());
    // A pseudo-terminal is no system port: its stable name comes last, described by its device.
    EXPECT_EQ(entries.back().name, stable);
    EXPECT_EQ(entries.back().description, line.SlaveName());
    EXPECT_EQ(list.NumberOf((folder / "usb-Unplugged-if00-port0").string()), 0u);

    ReaderPort port(nullptr, nullptr, &list);
    EXPECT_EQ(port.OpenPort(PortKindCom, list.NumberOf(stable)), LR_OK);
    EXPECT_EQ(port.GetPortName(), stable);
    port.ClosePort();
    std::filesystem::remove_all(folder);
}

}  // namespace
