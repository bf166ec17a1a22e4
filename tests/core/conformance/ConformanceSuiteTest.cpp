// The conformance suite against the simulated reader on the fake clock: a conformant reader passes
// every check, and each fault that breaks one rule fails exactly the check of that rule.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "conformance/ConformanceSuite.h"
#include "link/ReaderLink.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "stepping/BlockingStepDriver.h"

namespace {

class ConformanceSuiteTest : public ::testing::Test {
protected:
    // Connects over the simulated bridge (the probe picks the procedure) and runs the suite.
    void Run(SimLinkMode mode, const SimFaults& faults = {}, ConformanceOptions options = {}) {
        reader->SetLinkMode(mode);
        reader->EnterCard(SimCard(0x12345678));
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&port, 115200), LR_OK);
        reader->SetFaults(faults);
        suite = std::make_unique<ConformanceSuite>(port, clock, link.GetLinkMode(), options);
        BlockingStepDriver driver(nullptr, [this](uint32_t ms) { clock.Advance(ms); });
        driver.Run(*suite);
    }
    // The ids of the checks with this verdict.
    std::vector<std::string> With(ConformanceResult::Verdict verdict) const {
        std::vector<std::string> ids;
        for (size_t i = 0; i < suite->Results().size(); ++i) {
            if (suite->Results()[i].verdict == verdict) {
                ids.push_back(suite->Selected()[i].id);
            }
        }
        return ids;
    }
    std::string Explain() const {
        std::string text;
        for (size_t i = 0; i < suite->Results().size(); ++i) {
            const ConformanceResult& r = suite->Results()[i];
            text += suite->Selected()[i].id + ": " + VerdictName(r.verdict) + " " + r.expected + " / " +
                    r.seen + " / " + r.reason + "\n" +
                    (r.verdict == ConformanceResult::Failed ? r.transcript : "");
        }
        return text;
    }

    FakeClock clock{5000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    std::shared_ptr<SimD2xxProvider> bridge = std::make_shared<SimD2xxProvider>(reader, clock);
    ReaderPort port{nullptr, bridge};
    ReaderLink link{clock};
    std::unique_ptr<ConformanceSuite> suite;
};

TEST_F(ConformanceSuiteTest, ConformantReaderPassesEveryCheckThatAppliesIn3964R) {
    Run(SimLink3964R);
    EXPECT_TRUE(suite->IsDone());
    EXPECT_EQ(With(ConformanceResult::Failed), std::vector<std::string>{}) << Explain();
    EXPECT_EQ(With(ConformanceResult::Skipped), (std::vector<std::string>{"framed.frame", "commands.write"}))
        << Explain();
    EXPECT_TRUE(suite->AllPassed());
    EXPECT_EQ(suite->GetInfoText(), SimReader::kInfoText);
}

TEST_F(ConformanceSuiteTest, ReaderThatGivesWayToThePcPassesToo) {
    reader->SetStrict(false);
    Run(SimLink3964R);
    EXPECT_EQ(With(ConformanceResult::Failed), std::vector<std::string>{}) << Explain();
}

TEST_F(ConformanceSuiteTest, ConformantReaderPassesEveryCheckThatAppliesFramed) {
    Run(SimLinkFramed);
    EXPECT_TRUE(suite->IsFramed());
    EXPECT_EQ(With(ConformanceResult::Failed), std::vector<std::string>{}) << Explain();
    EXPECT_EQ(With(ConformanceResult::Skipped),
              (std::vector<std::string>{"handshake.stx-ack", "handshake.telegram-ack", "framing.sequence",
                                        "repetition.no-ack", "commands.write", "recovery.collision"}))
        << Explain();
}

TEST_F(ConformanceSuiteTest, WriteCheckWritesAndRestoresTheNamedBlock) {
    ConformanceOptions options;
    options.writeBlock = 5;
    const SimCard::Block before = reader->GetCard(0x12345678).value_or(SimCard(0)).GetBlock(5);
    Run(SimLink3964R, {}, options);
    EXPECT_EQ(With(ConformanceResult::Failed), std::vector<std::string>{}) << Explain();
    EXPECT_EQ(With(ConformanceResult::Skipped), std::vector<std::string>{"framed.frame"}) << Explain();
    EXPECT_EQ(reader->GetCard(0x12345678)->GetBlock(5), before);
}

TEST_F(ConformanceSuiteTest, LineThatGoesAwayEndsTheRunWithTheRestNotRun) {
    reader->EnterCard(SimCard(0x12345678));
    ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
    ASSERT_EQ(link.Connect(&port, 115200), LR_OK);
    suite = std::make_unique<ConformanceSuite>(port, clock, link.GetLinkMode(), ConformanceOptions{});
    BlockingStepDriver driver(nullptr, [this](uint32_t ms) { clock.Advance(ms); });
    // The bridge is unplugged during the third check.
    driver.Run(*suite, {}, [this] {
        if (suite->Results().size() == 2) {
            bridge->FailCall("FT_Read", FT_DEVICE_NOT_FOUND, SimD2xxProvider::kForever);
        }
    });
    ASSERT_TRUE(suite->IsDone());
    EXPECT_EQ(With(ConformanceResult::Failed), std::vector<std::string>{"framing.request-dle"}) << Explain();
    EXPECT_EQ(suite->Results()[2].seen.rfind("the port failed to read: ", 0), 0u) << Explain();
    for (size_t i = 3; i < suite->Results().size(); ++i) {
        EXPECT_EQ(suite->Results()[i].reason.rfind("not run: the port failed to read", 0), 0u) << Explain();
    }
    EXPECT_FALSE(suite->AllPassed());
}

// A reader that breaks one rule fails the check of that rule and no other.
struct FaultCase {
    const char* name;
    SimLinkMode mode;
    std::function<void(SimFaults&)> fault;
    const char* failing;
};

class ConformanceFaultTest : public ConformanceSuiteTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ConformanceFaultTest, FailsExactlyTheCheckOfTheBrokenRule) {
    SimFaults faults;
    GetParam().fault(faults);
    ConformanceOptions options;
    options.writeBlock = 5;
    Run(GetParam().mode, faults, options);
    EXPECT_EQ(With(ConformanceResult::Failed), std::vector<std::string>{GetParam().failing}) << Explain();
    EXPECT_FALSE(suite->AllPassed());
}

constexpr uint32_t kAlways = UINT32_MAX;
const SimLinkMode k3964R = SimLink3964R;
const SimLinkMode kFramed = SimLinkFramed;

INSTANTIATE_TEST_SUITE_P(
    Faults, ConformanceFaultTest,
    ::testing::Values(
        FaultCase{"LateStxAck", k3964R, [](SimFaults& f) { f.lateStxAckMs = 1500; }, "handshake.stx-ack"},
        FaultCase{"LateTelegramAck", k3964R, [](SimFaults& f) { f.lateTelegramAckMs = 2500; },
                  "handshake.telegram-ack"},
        FaultCase{"KeepsRequestDle", k3964R, [](SimFaults& f) { f.keepRequestDle = true; },
                  "framing.request-dle"},
        FaultCase{"KeepsRequestDleFramed", kFramed, [](SimFaults& f) { f.keepRequestDle = true; },
                  "framing.request-dle"},
        FaultCase{"NoAnswerDoubling", k3964R, [](SimFaults& f) { f.noAnswerDoubling = true; },
                  "framing.answer-dle"},
        FaultCase{"NoAnswerDoublingFramed", kFramed, [](SimFaults& f) { f.noAnswerDoubling = true; },
                  "framing.answer-dle"},
        FaultCase{"WrongBcc", k3964R, [](SimFaults& f) { f.wrongBccCount = kAlways; }, "framing.answer-bcc"},
        FaultCase{"WrongBccFramed", kFramed, [](SimFaults& f) { f.wrongBccCount = kAlways; },
                  "framing.answer-bcc"},
        FaultCase{"WrongSequence", k3964R, [](SimFaults& f) { f.wrongSequenceCount = kAlways; },
                  "framing.sequence"},
        FaultCase{"WrongLength", k3964R, [](SimFaults& f) { f.wrongLength = true; }, "framing.length"},
        FaultCase{"WrongLengthFramed", kFramed, [](SimFaults& f) { f.wrongLength = true; }, "framing.length"},
        FaultCase{"NoRepeatAfterNak", k3964R, [](SimFaults& f) { f.noRepeatAfterNak = true; },
                  "repetition.nak"},
        FaultCase{"NoRepeatAfterNakFramed", kFramed, [](SimFaults& f) { f.noRepeatAfterNak = true; },
                  "repetition.nak"},
        FaultCase{"EndlessRepeat", k3964R, [](SimFaults& f) { f.endlessRepeat = true; }, "repetition.no-ack"},
        FaultCase{"AcceptsBadBcc", k3964R, [](SimFaults& f) { f.acceptBadBcc = true; }, "repetition.bad-bcc"},
        FaultCase{"AcceptsBadBccFramed", kFramed, [](SimFaults& f) { f.acceptBadBcc = true; },
                  "repetition.bad-bcc"},
        FaultCase{"SlowCharacters", k3964R, [](SimFaults& f) { f.charGapMs = 150; }, "timing.char-gap"},
        FaultCase{"SlowCharactersFramed", kFramed, [](SimFaults& f) { f.charGapMs = 150; },
                  "timing.char-gap"},
        FaultCase{"LateAnswer", k3964R, [](SimFaults& f) { f.answerDelayMs = 2500; }, "timing.answer"},
        FaultCase{"LateAnswerFramed", kFramed, [](SimFaults& f) { f.answerDelayMs = 500; }, "timing.answer"},
        FaultCase{"NoFramedStart", kFramed, [](SimFaults& f) { f.noFramedStart = true; }, "framed.frame"},
        FaultCase{"ShortAnticollision", k3964R, [](SimFaults& f) { f.shortAnticollision = true; },
                  "commands.lengths"},
        FaultCase{"HangsWithoutCard", k3964R, [](SimFaults& f) { f.hangWithoutCard = true; },
                  "commands.no-card"},
        FaultCase{"HangsWithoutCardFramed", kFramed, [](SimFaults& f) { f.hangWithoutCard = true; },
                  "commands.no-card"},
        FaultCase{"InfoWithControls", k3964R, [](SimFaults& f) { f.infoControls = true; }, "commands.info"},
        FaultCase{"IgnoresWrites", k3964R, [](SimFaults& f) { f.ignoreWrite = true; }, "commands.write"},
        FaultCase{"LocksAfterCollision", k3964R, [](SimFaults& f) { f.lockAfterCollisionMs = 10000; },
                  "recovery.collision"},
        FaultCase{"LocksAfterBrokenRequest", k3964R, [](SimFaults& f) { f.lockAfterBrokenMs = 10000; },
                  "recovery.broken"},
        FaultCase{"LocksAfterBrokenRequestFramed", kFramed, [](SimFaults& f) { f.lockAfterBrokenMs = 10000; },
                  "recovery.broken"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
