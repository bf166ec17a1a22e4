#include <gtest/gtest.h>

#include <vector>

#include "core/link/PseudoTerminal.h"
#include "link/ByteBuffer.h"
#include "link/ReaderPort.h"
#include "terminal/RawTerminal.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The terminal on a real serial line: the test is the reader on the master side.
class RawTerminalTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_line.IsValid());
        ASSERT_EQ(m_port.OpenPortByName(m_line.SlaveName()), LR_OK);
        ASSERT_EQ(m_port.InitPort(9600, 8, 0, 0, 0), LR_OK);
        ASSERT_EQ(m_terminal.Begin(), LR_OK);
    }

    PseudoTerminal m_line;
    ReaderPort m_port{nullptr, nullptr};
    RawTerminal m_terminal{m_port};
};

TEST_F(RawTerminalTest, TypedBytesGoOutFirstAndWholeInBufferSizedSteps) {
    Bytes typed(ByteBuffer::kCapacity + 10);
    for (size_t i = 0; i < typed.size(); ++i) {
        typed[i] = static_cast<uint8_t>(i * 7);
    }
    m_line.Send({'x'});  // waits: typed bytes come first
    m_terminal.Type(typed);
    const StepOutcome first = m_terminal.Advance();
    EXPECT_EQ(first.dwNextDelayMs, 0u) << "more typed bytes wait";
    EXPECT_TRUE(m_terminal.HasTyped());
    const StepOutcome second = m_terminal.Advance();
    EXPECT_EQ(second.dwNextDelayMs, RawTerminal::kPollPeriodMs);
    EXPECT_FALSE(m_terminal.HasTyped());
    Bytes sent;
    while (sent.size() < typed.size()) {
        const Bytes more = m_line.Receive(1000);
        if (more.empty()) {
            break;
        }
        sent.insert(sent.end(), more.begin(), more.end());
    }
    EXPECT_EQ(sent, typed);
    EXPECT_TRUE(m_terminal.TakeReceived().empty());
}

TEST_F(RawTerminalTest, EachPollThatBringsBytesIsAChunkToShowAndAnEmptyOneIsNot) {
    const StepOutcome quiet = m_terminal.Advance();
    EXPECT_FALSE(quiet.bWorthShowing);
    EXPECT_EQ(quiet.dwNextDelayMs, RawTerminal::kPollPeriodMs);

    m_line.Send({'O', 'K', 0x00, 0x1B});
    StepOutcome got{false, 0, false};
    for (int i = 0; i < 100 && !got.bWorthShowing; ++i) {
        got = m_terminal.Advance();
    }
    EXPECT_TRUE(got.bWorthShowing);
    m_line.Send({'!'});
    for (int i = 0; i < 100 && !m_terminal.Advance().bWorthShowing; ++i) {
    }
    Bytes received;
    const std::vector<ByteBuffer> chunks = m_terminal.TakeReceived();
    for (const ByteBuffer& chunk : chunks) {
        received.insert(received.end(), chunk.GetData(), chunk.GetData() + chunk.GetCount());
    }
    EXPECT_GE(chunks.size(), 2u);
    EXPECT_EQ(received, (Bytes{'O', 'K', 0x00, 0x1B, '!'}));
    EXPECT_TRUE(m_terminal.TakeReceived().empty());
    EXPECT_TRUE(m_terminal.RequestStop());
}

}  // namespace
