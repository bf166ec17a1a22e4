// The whole path as a user meets it: the simulated reader on a pseudo-terminal with its own
// thread, a serial port opened by name, real time.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "sim/Simulator.h"

namespace {

TEST(LinkPty, CommandsRunOverASerialPortToTheSimulatedReader) {
    std::string error;
    const auto simulator = Simulator::Start(error);
    ASSERT_NE(simulator, nullptr) << error;
    MemoryOutputWindow window(1000);
    ReaderPort port(&window, nullptr);
    port.SetOutputWindow(&window, false, TraceModeHex);
    ReaderLink link;
    ASSERT_EQ(port.OpenPortByName(simulator->PortName()), LR_OK);
    ASSERT_EQ(link.Connect(&port, 115200), LR_OK);
    EXPECT_EQ(link.GetLinkMode(), LinkMode3964R);

    uint32_t value = 0;
    uint8_t selected = 0;
    ByteBuffer data;
    EXPECT_EQ(link.Request(0, value), LR_OK);
    EXPECT_EQ(link.Anticollision(value), LR_OK);
    EXPECT_EQ(value, Simulator::kCardUid);
    EXPECT_EQ(link.Select(value, selected), LR_OK);
    EXPECT_EQ(
        link.LoadKey(0, 0, ByteBuffer{0, 0, 0, 0, 0, 0}, ByteBuffer{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
        LR_OK);
    EXPECT_EQ(link.Authenticate(0, 0, 1), LR_OK);
    EXPECT_EQ(link.ReadBlock(1, data), LR_OK);
    EXPECT_EQ(data.ToText(), "Tagbench sample.");
    EXPECT_EQ(link.Authenticate(0, 0, 4), LR_OK);
    EXPECT_EQ(link.ReadValueBlock(4, data), LR_OK);
    EXPECT_EQ(link.Halt(), LR_OK);
    EXPECT_EQ(link.GetSequenceNumber(), 9);

    const auto lines = window.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<OK>"), 8);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<OK; Value = 0x00000064; Address = 0x04>"), 1);
    EXPECT_EQ(port.ClosePort(), LR_OK);
}

}  // namespace
