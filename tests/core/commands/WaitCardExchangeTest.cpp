// Wait-for-card: against the simulated reader for the whole exchange and the stop, and against a
// scripted reader for the reports a well-behaved reader never sends.
#include "commands/WaitCardExchange.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/link/ScriptedLinkTest.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"

namespace {

using Lines = std::vector<std::string>;

// Steps until the exchange ends or max steps ran, letting the fake clock run through each delay.
int RunSteps(WaitCardExchange& exchange, FakeClock& clock, int max = 1000) {
    int steps = 0;
    while (exchange.IsRunning() && steps < max) {
        clock.Advance(exchange.Step().dwNextDelayMs);
        ++steps;
    }
    return steps;
}

class WaitCardSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetOutputWindow(&window, false, TraceModeHex);
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
        port.SetReadMode(ReadModeNormal);
        window.ClearAll();
    }

    FakeClock clock{5000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    MemoryOutputWindow window{1000};
    ReaderPort port{&window, std::make_shared<SimD2xxProvider>(reader, clock)};
    ReaderLink link{clock};
    WaitCardExchange exchange{link, clock};
};

TEST_F(WaitCardSimTest, CardEnteringIsReportedAcknowledgedAndTakenWithoutAReset) {
    reader->ScheduleEnter(3000, SimCard{0x1A2B3C4D});
    exchange.Start();
    RunSteps(exchange, clock, 100);  // polls stay few
    ASSERT_FALSE(exchange.IsRunning());
    EXPECT_TRUE(exchange.IsCardAccepted());
    EXPECT_EQ(exchange.GetCardSerial(), 0x1A2B3C4Du);
    // The reader's report, the PC's DLE for its STX and for the telegram, and the status line.
    const Lines lines = window.Lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(Lines(lines.end() - 6, lines.end()),
              (Lines{"<< 02 ", ">> 10 ", "<< 00 00 04 4D 3C 2B 1A 44 10 03 ", ">> 10 ", "<OK>", ""}));
    EXPECT_FALSE(reader->IsWaitingForCard());
    exchange.Stop();
    ASSERT_EQ(reader->Requests().size(), 1u) << "an exchange that ended by itself sends no Reset";
    EXPECT_EQ(reader->Requests()[0].command, kCmdWaitForCard);
}

TEST_F(WaitCardSimTest, StoppingWhileTheReaderWaitsSendsReset) {
    exchange.Start();
    for (int i = 0; i < 5; ++i) {
        clock.Advance(exchange.Step().dwNextDelayMs);
    }
    EXPECT_EQ(exchange.GetStep(), WaitCardAwaitStx);
    EXPECT_TRUE(reader->IsWaitingForCard());
    exchange.Stop();
    EXPECT_FALSE(exchange.IsRunning());
    ASSERT_EQ(reader->Requests().size(), 2u);
    EXPECT_EQ(reader->Requests()[1].command, kCmdReset);
    EXPECT_FALSE(reader->IsWaitingForCard());
}

TEST_F(WaitCardSimTest, ASilentReaderEndsTheRunWithNoAnswer) {
    SimFaults faults;
    faults.silent = true;
    reader->SetFaults(faults);
    exchange.Start();
    RunSteps(exchange, clock);
    EXPECT_FALSE(exchange.IsRunning());
    EXPECT_FALSE(exchange.IsCardAccepted());
    EXPECT_EQ(exchange.GetResult(), LR_NO_ANSWER);
}

class WaitCardScriptedTest : public ScriptedLinkTest {
protected:
    // Arms the reader, which then opens a report with STX (after a stray byte) and sends report
    // once the PC acknowledges that STX.
    void Arm(const Bytes& report) {
        bridge->onWrite = [this](std::span<const uint8_t> w) { React(Bytes(w.begin(), w.end())); };
        answers = {ScriptedBridge::Telegram({link.GetSequenceNumber(), 0, 0})};
        exchange.SetCardSerial(0xCAFE0000);
        exchange.Start();
        exchange.Step();
        ASSERT_EQ(exchange.GetStep(), WaitCardAwaitStx);
        bridge->written.clear();
        bridge->onWrite = [this, report](std::span<const uint8_t> w) {
            if (Bytes(w.begin(), w.end()) == Bytes{DLE} && bridge->written.size() == 1) {
                bridge->Send(report);
            }
        };
        bridge->Send({0x55, STX});
    }
    void RunReport(const Bytes& report) {
        Arm(report);
        RunSteps(exchange, clock);
        ASSERT_FALSE(exchange.IsRunning());
    }

    WaitCardExchange exchange{link, clock};
};
TEST_F(WaitCardScriptedTest, ReportIsAcceptedOnlyWhenStatusLengthAndCheckPass) {
    const struct {
        const char* what;
        Bytes report;  // on the wire
        uint8_t answer;
        const char* line;
        uint32_t serial;
    } cases[] = {
        {"good", ScriptedBridge::Telegram({7, 0, 4, 0x44, 0x33, 0x22, 0x11}), DLE, "<OK>", 0x11223344},
        {"a 0x10 in the serial, sent doubled", ScriptedBridge::Telegram({7, 0, 4, 0x10, 0x33, 0x22, 0x11}),
         DLE, "<OK>", 0x11223310},
        {"the check byte 0x10, sent doubled before DLE ETX",
         ScriptedBridge::Telegram({7, 0, 4, 0x10, 0x07, 0x04, 0x00}), DLE, "<OK>", 0x00040710},
        {"length 5", ScriptedBridge::Telegram({7, 0, 5, 0x44, 0x33, 0x22, 0x11, 0x99}), NAK, "<OK>",
         0xCAFE0000},
        {"wrong check byte", ScriptedBridge::Telegram({7, 0, 4, 0x44, 0x33, 0x22, 0x11}, true), NAK, "<OK>",
         0xCAFE0000},
        {"status 1", ScriptedBridge::Telegram({7, 1, 4, 0x44, 0x33, 0x22, 0x11}), NAK,
         "<No card in operating area>", 0xCAFE0000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        window.ClearAll();
        RunReport(c.report);
        ASSERT_FALSE(bridge->written.empty());
        EXPECT_EQ(bridge->written.back(), c.answer);
        EXPECT_EQ(bridge->written.size(), 2u) << "DLE for the STX, then DLE or NAK";
        const Lines lines = window.Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.line);
        EXPECT_EQ(exchange.GetCardSerial(), c.serial) << "a refused report leaves the serial as it was";
        EXPECT_EQ(exchange.IsCardAccepted(), c.answer == DLE);
        EXPECT_EQ(exchange.GetResult(), LR_OK) << "the line did not fail";
    }
}

TEST_F(WaitCardScriptedTest, ReportFallingSilentEndsOnlyWhenAReadFailsHalfASecondLater) {
    Arm({7, 0, 4});
    RunSteps(exchange, clock, 200);
    EXPECT_EQ(exchange.GetStep(), WaitCardCollect) << "a quiet line without a failing read waits on";
    EXPECT_TRUE(exchange.IsRunning());

    bridge->Send({0x44});
    exchange.Step();
    bridge->readStatus = FT_IO_ERROR;
    clock.Advance(WaitCardExchange::kQuietLimitMs - 1);
    exchange.Step();
    EXPECT_EQ(exchange.GetStep(), WaitCardCollect);
    clock.Advance(1);
    exchange.Step();
    RunSteps(exchange, clock);
    EXPECT_FALSE(exchange.IsRunning());
    EXPECT_EQ(bridge->written, Bytes{DLE}) << "neither acknowledged nor refused";
    EXPECT_EQ(exchange.GetCardSerial(), 0xCAFE0000u);
    EXPECT_EQ(exchange.GetResult(), LR_D2XX_BASE + FT_IO_ERROR);
}

}  // namespace
