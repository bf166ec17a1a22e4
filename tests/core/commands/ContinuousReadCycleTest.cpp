// The continuous read cycle against the simulated reader behind its in-process USB bridge, on the
// fake clock: the log records each kind of cycle writes, the automatic stop, the switch-off.
#include "commands/ContinuousReadCycle.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "commands/CStatisticsLog.h"
#include "commands/PcBeep.h"
#include "core/link/ScriptedBridge.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"

namespace {

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

class ContReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        reader->EnterCard(SimCard{0x12345678});
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
        port.SetReadMode(ReadModeNormal);
        logPath = ::testing::TempDir() + "contread_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(logPath.c_str());
    }
    void StartLogging(const ContReadOptions& options) {
        std::string error;
        ASSERT_TRUE(log.Open(logPath, error)) << error;
        cycle.Start(options, &log);
        reader->ClearRequests();
    }
    // Steps until cycles have ended or the mode stops, letting the fake clock run through each
    // delay the cycle asks for. Returns the reports of the steps that ran.
    std::vector<ContReadReport> RunCycles(int cycles) {
        std::vector<ContReadReport> reports;
        for (int ended = 0; ended < cycles && cycle.IsRunning();) {
            const ContReadReport report = cycle.Step();
            clock.Advance(report.dwNextDelayMs);
            if (report.nStep >= 0) {
                reports.push_back(report);
            }
            ended += report.bCycleEnded ? 1 : 0;
        }
        return reports;
    }
    void Silence() {
        SimFaults faults;
        faults.silent = true;
        reader->SetFaults(faults);
    }
    Lines LogLines() const {
        std::ifstream in(logPath);
        Lines lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line.substr(line.find(';') + 1));  // without the cycle time
        }
        return lines;
    }
    std::vector<uint8_t> Commands() {
        std::vector<uint8_t> codes;
        for (const SimRequest& request : reader->Requests()) {
            codes.push_back(request.command);
        }
        return codes;
    }

    FakeClock clock{5000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    MemoryOutputWindow window{1000};
    ReaderPort port{&window, std::make_shared<SimD2xxProvider>(reader, clock)};
    ReaderLink link{clock};
    ContinuousReadCycle cycle{link, clock};
    CStatisticsLog log;
    std::string logPath;
};

TEST_F(ContReadTest, CardStayingGivesOneCompletedRecordPerCycleAndReadsItAsTheOptionsSay) {
    ContReadOptions options;
    options.nBlock = 5;
    options.nKeyNumber = 3;
    StartLogging(options);
    RunCycles(3);
    EXPECT_EQ(LogLines(), (Lines{"7;00000000", "7;00000000", "7;00000000"}));
    const Bytes oneCycle = {kCmdReset,        kCmdRequest,   kCmdAnticollision, kCmdSelect,
                            kCmdAuthenticate, kCmdReadBlock, kCmdSetPort};
    const Bytes commands = Commands();
    ASSERT_EQ(commands.size(), 3 * oneCycle.size());
    EXPECT_EQ(Bytes(commands.begin(), commands.begin() + 7), oneCycle) << "no signal: only the switch-off";
    EXPECT_EQ(reader->Requests()[4].params, (Bytes{0, 3, 5})) << "key A, key number, block";
    EXPECT_EQ(reader->Requests()[6].params, Bytes{0});
    EXPECT_EQ(cycle.GetCardSerial(), 0x12345678u);
}

TEST_F(ContReadTest, KeyBAuthenticatesWithModeFourWhateverTheKeySet) {
    ContReadOptions options;
    options.bKeyB = true;
    options.nKeyNumber = 2;
    options.nBlock = 8;
    cycle.Start(options);
    reader->ClearRequests();
    RunCycles(1);
    ASSERT_GE(reader->Requests().size(), 5u);
    EXPECT_EQ(reader->Requests()[4].command, kCmdAuthenticate);
    EXPECT_EQ(reader->Requests()[4].params, (Bytes{4, 2, 8}));
}

TEST_F(ContReadTest, NoCardGivesOneRequestRecordPerCycleAndNoFailureCount) {
    reader->LeaveCard(0x12345678);
    StartLogging({});
    RunCycles(3);
    EXPECT_EQ(LogLines(), (Lines{"1;200000C9", "1;200000C9", "1;200000C9"}));
    EXPECT_EQ(cycle.GetFailures(), 0u);
    EXPECT_TRUE(cycle.IsRunning());
    const ContReadFigures figures = cycle.Statistics().Figures(clock.GetTickCount());
    EXPECT_EQ(figures.nCycles, 3u);
    EXPECT_EQ(figures.failuresByStep[ContReadRequest], 3u);
    EXPECT_EQ(figures.strLastFailure, "the reader answered with status 1 <No card in operating area>");
}

TEST_F(ContReadTest, NoReaderStopsByItselfAfterElevenFailedResetsWithTenAttempts) {
    ContReadOptions options;
    options.nMaxAttempts = 10;
    StartLogging(options);
    Silence();
    const std::vector<ContReadReport> reports = RunCycles(100);
    EXPECT_EQ(LogLines(), Lines(11, "0;2000003D"));
    ASSERT_EQ(reports.size(), 11u);
    EXPECT_TRUE(reports.back().bStopped);
    EXPECT_FALSE(cycle.IsRunning());
    EXPECT_FALSE(log.IsOpen()) << "the log closes with the mode";
    EXPECT_EQ(cycle.GetFailures(), 0u);
}

TEST_F(ContReadTest, NoReaderWithUnlimitedAttemptsRunsOn) {
    ContReadOptions options;
    options.nMaxAttempts = 0;
    cycle.Start(options);
    Silence();
    RunCycles(30);
    EXPECT_TRUE(cycle.IsRunning());
    EXPECT_EQ(cycle.GetFailures(), 30u);
}

TEST_F(ContReadTest, SignalStaysOnForItsMinimumThenTheSwitchOffFollows) {
    ContReadOptions options;
    options.bGreenLedFlash = true;
    options.bReaderBeep = true;
    cycle.Start(options);
    for (int step = ContReadReset; step <= ContReadRead; ++step) {
        ASSERT_EQ(cycle.Step().result, LR_OK);
    }
    reader->ClearRequests();
    const ContReadReport signal = cycle.Step();
    EXPECT_EQ(signal.nHighlight, ContReadSignal);
    EXPECT_EQ(signal.dwNextDelayMs, ContinuousReadCycle::kSignalMinMs);
    EXPECT_EQ(reader->Requests().back().params, Bytes{0x03}) << "green LED and buzzer";
    EXPECT_TRUE(reader->GetPortState().greenLed);

    clock.Advance(ContinuousReadCycle::kSignalMinMs - 10);
    const ContReadReport early = cycle.Step();
    EXPECT_EQ(early.nStep, -1);
    EXPECT_EQ(early.dwNextDelayMs, 10u);
    EXPECT_TRUE(reader->GetPortState().greenLed);

    clock.Advance(10);
    EXPECT_EQ(cycle.Step().nStep, ContReadSwitchOff);
    EXPECT_FALSE(reader->GetPortState().greenLed);
    EXPECT_FALSE(reader->GetPortState().buzzer);
}

TEST_F(ContReadTest, StopSwitchesTheReaderOffInAnyStep) {
    for (const bool signal : {false, true}) {
        ContReadOptions options;
        options.bRedLedFlash = signal;
        cycle.Start(options);
        const int steps = signal ? 7 : 2;  // signal on, or in the middle of a cycle
        for (int i = 0; i < steps; ++i) {
            cycle.Step();
        }
        EXPECT_EQ(reader->GetPortState().redLed, signal);
        reader->ClearRequests();
        cycle.Stop();
        ASSERT_EQ(reader->Requests().size(), 1u);
        EXPECT_EQ(reader->Requests()[0].command, kCmdSetPort);
        EXPECT_EQ(reader->Requests()[0].params, Bytes{0});
        EXPECT_FALSE(reader->GetPortState().redLed);
    }
}

// Closing: a reader that answered gets its switch-off; one that did not answer the last command
// is not sent one, which would hold the close up for the link's full time-out.
TEST_F(ContReadTest, StopForCloseSwitchesOffOnlyAReaderThatStillAnswers) {
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "answering");
        reader->SetFaults(SimFaults{});
        ContReadOptions options;
        options.nMaxAttempts = 0;
        cycle.Start(options);
        if (silent) {
            Silence();
        }
        ASSERT_EQ(cycle.Advance().bEnded, false);
        EXPECT_EQ(cycle.LastReport().result, silent ? LR_NO_ANSWER : LR_OK);
        reader->ClearRequests();
        const uint32_t before = clock.GetTickCount();
        cycle.StopForClose();
        EXPECT_FALSE(cycle.IsRunning());
        if (silent) {
            EXPECT_EQ(clock.GetTickCount(), before) << "no exchange was tried";
        } else {
            EXPECT_EQ(Commands(), std::vector<uint8_t>{kCmdSetPort});
        }
    }
}

TEST_F(ContReadTest, FailedSwitchOffRunsAgainWhileTheAttemptsAllowThenLogsAndStartsOver) {
    ContReadOptions options;
    options.nMaxAttempts = 2;
    StartLogging(options);
    for (int step = ContReadReset; step <= ContReadSignal; ++step) {
        cycle.Step();
    }
    Silence();
    EXPECT_EQ(cycle.Step().nStep, ContReadSwitchOff);
    EXPECT_EQ(cycle.Step().nStep, ContReadSwitchOff);
    EXPECT_EQ(cycle.GetStep(), ContReadSwitchOff) << "two failures are within the two attempts";
    const ContReadReport third = cycle.Step();
    EXPECT_TRUE(third.bCycleEnded);
    EXPECT_EQ(cycle.GetStep(), ContReadReset);
    EXPECT_EQ(cycle.GetFailures(), 3u) << "kept for the resets that follow";
    EXPECT_EQ(LogLines(), Lines{"7;2000003D"});
}

TEST_F(ContReadTest, RecordThatCannotBeWrittenIsReportedByItsStepAndTheModeGoesOn) {
    std::string error;
    ASSERT_TRUE(log.Open("/dev/full", error)) << error;
    cycle.Start({}, &log);
    const std::vector<ContReadReport> reports = RunCycles(2);
    int errors = 0;
    for (const ContReadReport& report : reports) {
        if (!report.strLogError.empty()) {
            ++errors;
            EXPECT_TRUE(report.bCycleEnded);
            EXPECT_EQ(report.strLogError, "Cannot write to /dev/full: No space left on device");
        }
    }
    EXPECT_EQ(errors, 2);
    EXPECT_TRUE(cycle.IsRunning());
}

TEST_F(ContReadTest, CycleTimeIsMeasuredFromTheStartToTheStartOfEachCycle) {
    StartLogging({});
    clock.Advance(40);
    RunCycles(1);
    clock.Advance(1000);
    RunCycles(1);
    std::ifstream in(logPath);
    int first = 0, second = 0;
    char separator = 0;
    std::string rest;
    in >> first >> separator >> rest >> second;
    EXPECT_EQ(first, 40);
    EXPECT_GE(second, 1040);
    EXPECT_LT(second, 1100);
}

TEST_F(ContReadTest, SilentPcBeepIsToldOnceAndTheCycleRunsOn) {
    PcBeep beep("tagbench_no_such_sound_device");
    ContReadOptions options;
    options.bPcBeep = true;
    cycle.Start(options, nullptr, &beep);
    int notices = 0;
    for (const ContReadReport& report : RunCycles(3)) {
        if (!report.strNotice.empty()) {
            ++notices;
            EXPECT_EQ(report.strNotice.rfind("No sound device (", 0), 0u) << report.strNotice;
        }
    }
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(cycle.Statistics().Figures(clock.GetTickCount()).nCompleted, 3u);
}

}  // namespace

// A line that is gone is not a reader's failure: with no attempt limit the mode would otherwise
// write records at full speed for ever.
TEST(ContReadLine, ALostLineStopsTheModeWithItsResult) {
    FakeClock clock{1000};
    auto bridge = std::make_shared<ScriptedBridge>(clock);
    ReaderPort port(nullptr, bridge);
    ReaderLink link(clock);
    ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
    ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
    ContReadOptions options;
    options.nMaxAttempts = 0;
    ContinuousReadCycle cycle(link, clock);
    cycle.Start(options);
    bridge->writeStatus = FT_IO_ERROR;  // unplugged
    const ContReadReport report = cycle.Step();
    EXPECT_TRUE(report.bStopped);
    EXPECT_TRUE(report.bLineLost);
    EXPECT_EQ(report.result, LR_D2XX_BASE + FT_IO_ERROR);
    EXPECT_FALSE(cycle.IsRunning());
    EXPECT_EQ(cycle.Statistics().Figures(clock.GetTickCount()).nCycles, 1u);
}
