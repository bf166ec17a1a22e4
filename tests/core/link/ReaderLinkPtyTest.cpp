// The whole path as a user meets it: the simulated reader on a pseudo-terminal with its own
// thread, a serial port opened by name, real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "sim/SimPtyEndpoint.h"
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
    // Sector 0 of the sample card opens with A0A1A2A3A4A5, sector 1 with the shipping key.
    EXPECT_EQ(
        link.LoadKey(0, 0, ByteBuffer{0, 0, 0, 0, 0, 0}, ByteBuffer{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}),
        LR_OK);
    EXPECT_EQ(
        link.LoadKey(0, 1, ByteBuffer{0, 0, 0, 0, 0, 0}, ByteBuffer{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
        LR_OK);
    EXPECT_EQ(link.Authenticate(0, 0, 1), LR_OK);
    EXPECT_EQ(link.ReadBlock(1, data), LR_OK);
    EXPECT_EQ(data.ToText(), "Tagbench sample.");
    EXPECT_EQ(link.Authenticate(0, 1, 4), LR_OK);
    EXPECT_EQ(link.ReadValueBlock(4, data), LR_OK);
    EXPECT_EQ(link.Halt(), LR_OK);
    EXPECT_EQ(link.GetSequenceNumber(), 10);

    const auto lines = window.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<OK>"), 9);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<OK; Value = 0x00000064; Address = 0x04>"), 1);
    EXPECT_EQ(port.ClosePort(), LR_OK);
}

// Commands back to back, as the command line and the read cycle send them, against a reader that
// insists on every acknowledgement and paces its answers like a real line: each exchange must
// succeed at its first attempt, so the acknowledgement that ends one exchange must survive the
// purge that starts the next.
class LinkPtyBackToBack : public ::testing::TestWithParam<uint32_t> {};

TEST_P(LinkPtyBackToBack, EveryAcknowledgementReachesAStrictReader) {
    auto reader = std::make_shared<SimReader>(Clock::System());
    ASSERT_TRUE(reader->IsStrict());
    reader->EnterCard(Simulator::SampleCard());
    std::string error;
    const auto pty = SimPtyEndpoint::Create(reader, GetParam(), error);
    ASSERT_NE(pty, nullptr) << error;
    MemoryOutputWindow window(4000);
    ReaderPort port(&window, nullptr);
    port.SetOutputWindow(&window, false, TraceModeHex);
    ReaderLink link;
    ASSERT_EQ(port.OpenPortByName(pty->PortName()), LR_OK);
    ASSERT_EQ(link.Connect(&port, GetParam()), LR_OK);

    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        uint32_t value = 0;
        uint8_t selected = 0;
        ASSERT_EQ(port.Purge(), LR_OK);
        ASSERT_EQ(link.Request(1, value), LR_OK) << "round " << round;
        ASSERT_EQ(port.Purge(), LR_OK);
        ASSERT_EQ(link.Anticollision(value), LR_OK) << "round " << round;
        ASSERT_EQ(port.Purge(), LR_OK);
        ASSERT_EQ(link.Select(value, selected), LR_OK) << "round " << round;
    }
    const auto lines = window.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ">> 02 "), 3 * kRounds) << "one STX per command";
    const auto requests = reader->Requests();
    EXPECT_EQ(requests.size(), 3u * kRounds);
    EXPECT_TRUE(
        std::none_of(requests.begin(), requests.end(), [](const SimRequest& r) { return r.repeated; }));
    // The last acknowledgement, too, arrives: the reader stops waiting for it.
    for (int i = 0; i < 200 && reader->MsToNextEvent(SimPtyEndpoint::kSource); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(reader->MsToNextEvent(SimPtyEndpoint::kSource).has_value());
    EXPECT_EQ(port.ClosePort(), LR_OK);
}

INSTANTIATE_TEST_SUITE_P(Baud, LinkPtyBackToBack, ::testing::Values(9600u, 115200u));

}  // namespace
