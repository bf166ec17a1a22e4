// The switches that make the simulated reader break one rule each, byte by byte on the fake clock:
// what goes out, when, and that the reader's other rules and its own timers still hold.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/SimReader.h"
#include "sim/SimReaderFixture.h"

namespace {

// The fixture's wire helpers, for the tables below.
struct Wire : SimReaderFixture {
    using SimReaderFixture::Bytes;
    using SimReaderFixture::DLE;
    using SimReaderFixture::ETX;
    using SimReaderFixture::Frame;
    using SimReaderFixture::NAK;
    using SimReaderFixture::STX;
};
using Bytes = Wire::Bytes;
constexpr uint8_t STX = Wire::STX, ETX = Wire::ETX, DLE = Wire::DLE, NAK = Wire::NAK;
constexpr uint32_t kAck = SimReader::kAckTimeoutMs;
constexpr uint32_t kChar = SimReader::kCharTimeoutMs;

Bytes Framed(const Bytes& telegram) {
    return Wire::Frame(telegram);
}
// SetPort 0 and its answer in 3964R...
Bytes Request(uint8_t sequence) {
    return Framed({sequence, 0x54, 0x01, 0x00});
}
Bytes Answer(uint8_t sequence) {
    return Framed({sequence, 0x00, 0x00});
}
// ... and in the DLE-framed procedure.
Bytes Opened(const Bytes& telegram) {
    Bytes wire{DLE, STX};
    const Bytes frame = Framed(telegram);
    wire.insert(wire.end(), frame.begin(), frame.end());
    return wire;
}
const Bytes kFramedRequest = Opened({0x54, 0x01, 0x00});
const Bytes kFramedAnswer = Opened({0x00, 0x00});

// After advanceMs the PC sends send; the reader's output must then be expect.
struct Step {
    uint32_t advanceMs;
    Bytes send;
    Bytes expect;
};
struct FaultScript {
    const char* name;
    SimLinkMode mode;
    std::function<void(SimFaults&)> fault;
    std::vector<Step> steps;
};

class SimConformanceFaultsTest : public SimReaderFixture,
                                 public ::testing::WithParamInterface<FaultScript> {};

TEST_P(SimConformanceFaultsTest, WireFollowsTheScript) {
    reader.SetLinkMode(GetParam().mode);
    SimFaults faults;
    GetParam().fault(faults);
    reader.SetFaults(faults);
    const std::vector<Step>& steps = GetParam().steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        clock.Advance(steps[i].advanceMs);
        EXPECT_EQ(Send(steps[i].send), steps[i].expect) << "step " << i;
    }
}

std::vector<Step> EndlessRepeats() {
    std::vector<Step> steps = {{0, {STX}, {DLE}}, {0, Request(7), {DLE, STX}}, {0, {DLE}, Answer(7)}};
    for (uint32_t i = 0; i < 3 * SimReader::kMaxRepeats; ++i) {
        steps.push_back({kAck, {}, {STX}});
    }
    steps.push_back({0, {DLE}, Answer(7)});
    return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimConformanceFaultsTest,
    ::testing::Values(
        // The character time-out counts from the late DLE, not from the STX.
        FaultScript{"LateStxAck",
                    SimLink3964R,
                    [](SimFaults& f) { f.lateStxAckMs = 500; },
                    {{0, {STX}, {}},
                     {499, {}, {}},
                     {1, {}, {DLE}},
                     {kChar - 1, Request(7), {DLE, STX}},
                     {0, {DLE}, Answer(7)}}},
        // The STX follows the late DLE, and the reader waits its full time from its STX.
        FaultScript{"LateTelegramAck",
                    SimLink3964R,
                    [](SimFaults& f) { f.lateTelegramAckMs = 2500; },
                    {{0, {STX}, {DLE}},
                     {0, Request(7), {}},
                     {2499, {}, {}},
                     {1, {}, {DLE, STX}},
                     {kAck - 1, {}, {}},
                     {1, {}, {STX}},
                     {0, {DLE}, Answer(7)}}},
        // A block check of 0x10 fails; a sequence number of 0x10 is still undoubled right.
        FaultScript{"KeepRequestDle",
                    SimLink3964R,
                    [](SimFaults& f) { f.keepRequestDle = true; },
                    {{0, {STX}, {DLE}},
                     {0, Framed({0x5F, 0x4F, 0x00}), {NAK}},
                     {0, {STX}, {DLE}},
                     {0, Request(0x10), {DLE, STX}},
                     {0, {DLE}, Answer(0x10)}}},
        FaultScript{"KeepRequestDleFramed",
                    SimLinkFramed,
                    [](SimFaults& f) { f.keepRequestDle = true; },
                    {{0, Opened({0x54, 0x01, 0x45}), {}}, {kAck, kFramedRequest, kFramedAnswer}}},
        // Sequence number and block check 0x10, each sent once: the end mark is ambiguous.
        FaultScript{"NoAnswerDoubling",
                    SimLink3964R,
                    [](SimFaults& f) { f.noAnswerDoubling = true; },
                    {{0, {STX}, {DLE}},
                     {0, Request(0x10), {DLE, STX}},
                     {0, {DLE}, {0x10, 0x00, 0x00, 0x10, DLE, ETX}},
                     {0, {DLE}, {}}}},
        FaultScript{"EndlessRepeat", SimLink3964R, [](SimFaults& f) { f.endlessRepeat = true; },
                    EndlessRepeats()},
        // A firmware repeats what it sent, the spoiled check too.
        FaultScript{"WrongBccRepeatedFramed",
                    SimLinkFramed,
                    [](SimFaults& f) { f.wrongBccCount = UINT32_MAX; },
                    {{0, kFramedRequest, {DLE, STX, 0x00, 0x00, 0xFF, DLE, ETX}},
                     {0, {NAK}, {DLE, STX, 0x00, 0x00, 0xFF, DLE, ETX}}}},
        // The acknowledgement time starts with the frame's last byte.
        FaultScript{"CharGap",
                    SimLink3964R,
                    [](SimFaults& f) { f.charGapMs = 100; },
                    {{0, {STX}, {DLE}},
                     {0, Request(7), {DLE, STX}},
                     {0, {DLE}, {0x07}},
                     {99, {}, {}},
                     {1, {}, {0x00}},
                     {100, {}, {0x00}},
                     {100, {}, {0x07}},
                     {100, {}, {DLE}},
                     {100, {}, {ETX}},
                     {kAck - 1, {}, {}},
                     {1, {}, {STX}}}},
        FaultScript{"CharGapFramed",
                    SimLinkFramed,
                    [](SimFaults& f) { f.charGapMs = 100; },
                    {{0, kFramedRequest, {DLE}},
                     {99, {}, {}},
                     {1, {}, {STX}},
                     {100, {}, {0x00}},
                     {100, {}, {0x00}},
                     {100, {}, {0x00}},
                     {100, {}, {DLE}},
                     {100, {}, {ETX}}}},
        // The request is taken, nothing follows, and the next STX is served at once.
        FaultScript{"HangWithoutCard",
                    SimLink3964R,
                    [](SimFaults& f) { f.hangWithoutCard = true; },
                    {{0, {STX}, {DLE}},
                     {0, Framed({0x07, 0x41, 0x01, 0x00}), {DLE}},
                     {0, {STX}, {DLE}},
                     {0, Request(8), {DLE, STX}},
                     {0, {DLE}, Answer(8)},
                     {0, {DLE}, {}}}},
        FaultScript{
            "HangWithoutCardFramed",
            SimLinkFramed,
            [](SimFaults& f) { f.hangWithoutCard = true; },
            {{0, Opened({0x41, 0x01, 0x00}), {}}, {kAck, {}, {}}, {0, kFramedRequest, kFramedAnswer}}},
        // The NAK as before; the STX during the lock is lost, the one after it served.
        FaultScript{"LockAfterBroken",
                    SimLink3964R,
                    [](SimFaults& f) { f.lockAfterBrokenMs = 1000; },
                    {{0, {STX}, {DLE}},
                     {0, {0x07, 0x54}, {}},
                     {kChar, {}, {NAK}},
                     {999, {STX}, {}},
                     {1, {}, {}},
                     {0, {STX}, {DLE}},
                     {0, Request(8), {DLE, STX}},
                     {0, {DLE}, Answer(8)}}},
        FaultScript{"LockAfterBrokenFramed",
                    SimLinkFramed,
                    [](SimFaults& f) { f.lockAfterBrokenMs = 1000; },
                    {{0, {DLE, STX, 0x54, 0x01}, {}},
                     {kChar, {}, {}},
                     {999, kFramedRequest, {}},
                     {1, {}, {}},
                     {0, kFramedRequest, kFramedAnswer}}},
        // In place of the strict reader's STX nothing; the answer is dropped for good.
        FaultScript{"LockAfterCollision",
                    SimLink3964R,
                    [](SimFaults& f) { f.lockAfterCollisionMs = 1000; },
                    {{0, {STX}, {DLE}},
                     {0, Request(7), {DLE, STX}},
                     {0, {STX}, {}},
                     {999, {STX}, {}},
                     {1, {}, {}},
                     {kAck, {STX}, {DLE}},
                     {0, Request(8), {DLE, STX}},
                     {0, {DLE}, Answer(8)}}}),
    [](const ::testing::TestParamInfo<FaultScript>& info) { return std::string(info.param.name); });

class SimCommandFaultsTest : public SimReaderFixture {};

TEST_F(SimCommandFaultsTest, CommandsMisbehaveAndTheirOtherRulesHold) {
    reader.EnterCard(SimCard(0x12345678));
    SimFaults faults;
    faults.shortAnticollision = true;
    faults.infoControls = true;
    faults.ignoreWrite = true;
    reader.SetFaults(faults);

    const Result info = Command(0x4F);
    const char text[] = "Tagbench simulated reader\r\nV1.0\a";  // with its terminating zero
    EXPECT_EQ(info.data, Bytes(text, text + sizeof text));

    ASSERT_EQ(Command(0x41, {0}).status, 0);
    const Result anticollision = Command(0x42, {0, 0, 0, 0, 0});
    EXPECT_EQ(anticollision.status, 0);
    EXPECT_EQ(anticollision.data, (Bytes{0x78, 0x56, 0x34}));
    ASSERT_EQ(Command(0x43, {0x78, 0x56, 0x34, 0x12}).status, 0);
    ASSERT_EQ(Command(0x56, {0, 0, 1}).status, 0);

    const SimCard::Block before = reader.GetCard(0x12345678)->GetBlock(1);
    Bytes write(17, 0xA5);
    write[0] = 1;
    EXPECT_EQ(Command(0x47, write).status, 0);
    EXPECT_EQ(reader.GetCard(0x12345678)->GetBlock(1), before);
    write[0] = 0;
    EXPECT_EQ(Command(0x47, write).status, 15) << "the manufacturer block stays refused";
}

}  // namespace
