#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "sim/SimReader.h"
#include "sim/SimReaderFixture.h"

namespace {

class SimReaderTest : public SimReaderFixture {};

TEST_F(SimReaderTest, RequestExchangeByteForByte) {
    reader.EnterCard(SimCard(0x12345678));
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send({0x05, 0x41, 0x01, 0x00, 0x45, DLE, ETX}), (Bytes{DLE, STX}));
    // sequence echoed, status 0, length 2, card type 0x0004 low byte first, BCC
    EXPECT_EQ(Send({DLE}), (Bytes{0x05, 0x00, 0x02, 0x04, 0x00, 0x03, DLE, ETX}));
    EXPECT_EQ(Send({DLE}), Bytes{});
    const auto requests = reader.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 0x41);
    EXPECT_EQ(requests[0].params, Bytes{0});
    EXPECT_EQ(requests[0].sequence, 5);
}

TEST_F(SimReaderTest, DleIsDoubledBothWays) {
    // A parameter of 0x10 arrives doubled and is taken once.
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send({0x00, 0x46, 0x01, DLE, DLE, 0x57, DLE, ETX}), (Bytes{DLE, STX}));
    Send({DLE});
    Send({DLE});
    ASSERT_EQ(reader.Requests().size(), 1u);
    EXPECT_EQ(reader.Requests()[0].params, Bytes{0x10});

    // UID bytes 34 10 10 12 and, with sequence 0x32, a BCC of 0x10: all sent doubled.
    reader.EnterCard(SimCard(0x12101034));
    ASSERT_EQ(Command(0x41, {0}).status, 0);
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(Frame({0x32, 0x42, 5, 0, 0, 0, 0, 0})), (Bytes{DLE, STX}));
    EXPECT_EQ(Send({DLE}), (Bytes{0x32, 0x00, 0x04, 0x34, DLE, DLE, DLE, DLE, 0x12, DLE, DLE, DLE, ETX}));
}

TEST_F(SimReaderTest, BadBlockCheckFromThePcIsRefusedWithNak) {
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send({0x00, 0x4F, 0x00, 0x4E, DLE, ETX}), Bytes{NAK});
    EXPECT_TRUE(reader.Requests().empty());
    // The PC starts over with STX.
    EXPECT_EQ(Command(0x4F).status, 0);
}

TEST_F(SimReaderTest, AnswerIsRepeatedOnNakAFewTimes) {
    SimFaults faults;
    faults.wrongBccCount = 1;
    reader.SetFaults(faults);
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(Frame({0x07, 0x54, 0x01, 0x10})), (Bytes{DLE, STX}));
    const Bytes good{0x07, 0x00, 0x00, 0x07, DLE, ETX};
    Bytes bad = good;
    bad[3] ^= 0xFF;
    EXPECT_EQ(Send({DLE}), bad);
    // After a NAK the reader starts its answer again with its own STX.
    for (uint32_t i = 0; i < SimReader::kMaxRepeats; ++i) {
        EXPECT_EQ(Send({NAK}), Bytes{STX});
        EXPECT_EQ(Send({DLE}), good);
    }
    EXPECT_EQ(Send({NAK}), Bytes{});  // it gives up
    EXPECT_EQ(Command(0x4F).status, 0);
}

TEST_F(SimReaderTest, WrongSequenceFaultKeepsTheBlockCheckRight) {
    SimFaults faults;
    faults.wrongSequenceCount = 1;
    reader.SetFaults(faults);
    const Bytes answer = Exchange(0x20, 0x54, {0});
    EXPECT_EQ(answer, (Bytes{0x21, 0x00, 0x00, 0x21}));
    EXPECT_EQ(Exchange(0x21, 0x54, {0}), (Bytes{0x21, 0x00, 0x00, 0x21}));
}

TEST_F(SimReaderTest, StrictReaderInsistsOnItsAcknowledgement) {
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(Frame({0x07, 0x54, 0x01, 0x00})), (Bytes{DLE, STX}));
    // The PC sends instead of acknowledging the reader's STX: a collision, and the reader keeps its turn.
    EXPECT_EQ(Send({STX}), Bytes{STX});
    const Bytes answer = Send({DLE});
    EXPECT_EQ(Unframe(answer), (Bytes{0x07, 0x00, 0x00, 0x07}));
    // The PC's STX in place of the acknowledgement of the telegram: the answer goes out again.
    EXPECT_EQ(Send({STX}), Bytes{STX});
    EXPECT_EQ(Send({DLE}), answer);
    EXPECT_EQ(Send({DLE}), Bytes{});
    EXPECT_EQ(Send({STX}), Bytes{DLE}) << "acknowledged at last, the reader takes the next request";

    // Without any acknowledgement the answer is repeated after each wait, then dropped.
    Send(Frame({0x08, 0x54, 0x01, 0x00}));
    Send({DLE});
    for (uint32_t i = 0; i < SimReader::kMaxRepeats; ++i) {
        clock.Advance(SimReader::kAckTimeoutMs);
        EXPECT_EQ(Take(), Bytes{STX});
    }
    clock.Advance(SimReader::kAckTimeoutMs);
    EXPECT_EQ(Send({STX}), Bytes{DLE});
}

TEST_F(SimReaderTest, RequestSentAgainAfterALostAcknowledgementRunsOnce) {
    reader.SetStrict(false);
    SimCard card(0x12345678);
    card.SetBlock(5, SimCard::ValueBlock(100, 5));
    reader.EnterCard(card);
    SelectAndAuthenticate(0x12345678, 5);

    const Bytes increment = Frame({0x40, 0x48, 5, 5, 20, 0, 0, 0});
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(increment), (Bytes{DLE, STX}));
    // The PC did not see the DLE: it waits out its time and starts again with STX, which the
    // reader (now wanting to send) takes as a collision and gives way to.
    clock.Advance(1000);
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(increment), (Bytes{DLE, STX}));
    EXPECT_EQ(Unframe(Send({DLE})), (Bytes{0x40, 0x00, 0x00, 0x40}));
    Send({DLE});
    EXPECT_TRUE(reader.Requests().back().repeated);

    sequence = 0x41;
    EXPECT_EQ(Command(0x4B, {5}).status, 0);
    const auto read = Command(0x46, {5});
    const auto expected = SimCard::ValueBlock(120, 5);
    EXPECT_EQ(read.data, Bytes(expected.begin(), expected.end()));
}

TEST_F(SimReaderTest, LenientReaderGivesWayToThePcAndReportsAfterwards) {
    reader.SetStrict(false);
    reader.EnterCard(SimCard(0x12345678));
    Exchange(9, 0x40, {});
    EXPECT_EQ(lastAfterAck, Bytes{STX});  // the card is already there: the report starts at once
    EXPECT_EQ(Send({STX}), Bytes{DLE});   // both want to send; the PC has priority
    EXPECT_EQ(Send(Frame({10, 0x4F, 0})), (Bytes{DLE, STX}));
    Send({DLE});
    EXPECT_EQ(Send({DLE}), Bytes{STX});  // exchange done: the report again
    EXPECT_EQ(Send({DLE}), Frame({9, 0x00, 0x04, 0x78, 0x56, 0x34, 0x12}));
}

TEST_F(SimReaderTest, WaitForCardReportsACardThatEntersLater) {
    ASSERT_EQ(Command(0x40).status, 0);
    EXPECT_TRUE(lastAfterAck.empty());
    reader.ScheduleEnter(300, SimCard(0x12345678));
    EXPECT_EQ(reader.MsToNextEvent(), 300u);
    clock.Advance(299);
    EXPECT_EQ(Take(), Bytes{});
    clock.Advance(1);
    EXPECT_EQ(Take(), Bytes{STX});
    // sequence of the WaitForCard request, status 0, length 4, UID least significant first, BCC
    EXPECT_EQ(Send({DLE}), (Bytes{0x00, 0x00, 0x04, 0x78, 0x56, 0x34, 0x12, 0x0C, DLE, ETX}));
    EXPECT_EQ(Send({DLE}), Bytes{});
    EXPECT_FALSE(reader.IsWaitingForCard());
    // The reported card is ready: the PC may select it at once.
    EXPECT_EQ(Command(0x43, {0x78, 0x56, 0x34, 0x12}).status, 0);
}

TEST_F(SimReaderTest, ResetEndsTheWaitForACard) {
    ASSERT_EQ(Command(0x40).status, 0);
    ASSERT_EQ(Command(0x4E, {0, 0}).status, 0);
    reader.EnterCard(SimCard(0x12345678));
    EXPECT_EQ(Take(), Bytes{});
    EXPECT_FALSE(reader.IsWaitingForCard());
}

TEST_F(SimReaderTest, DleFramedProcedure) {
    reader.SetLinkMode(SimLinkFramed);
    EXPECT_EQ(Send({STX}), Bytes{});  // what the PC's probe sees from such a reader
    Bytes request{DLE, STX};
    const Bytes body = Frame({0x54, 0x01, 0x00});
    request.insert(request.end(), body.begin(), body.end());
    EXPECT_EQ(Send(request), (Bytes{DLE, STX, 0x00, 0x00, 0x00, DLE, ETX}));
    EXPECT_EQ(Send({NAK}), (Bytes{DLE, STX, 0x00, 0x00, 0x00, DLE, ETX}));
    ASSERT_EQ(reader.Requests().size(), 1u);
    EXPECT_EQ(reader.Requests()[0].command, 0x54);
}

TEST_F(SimReaderTest, ValueBlockRoundTrip) {
    SimCard card(0x12345678);
    card.SetBlock(5, SimCard::ValueBlock(100, 5));
    card.SetBlock(6, SimCard::ValueBlock(INT32_MAX, 6));
    reader.EnterCard(card);
    SelectAndAuthenticate(0x12345678, 5);
    auto valueOf = [&](uint8_t block) {
        const auto data = Command(0x46, {block}).data;
        SimCard::Block b{};
        std::memcpy(b.data(), data.data(), std::min<size_t>(data.size(), 16));
        return SimCard::ParseValueBlock(b);
    };

    EXPECT_EQ(Command(0x48, {5, 20, 0, 0, 0}).status, 0);
    EXPECT_EQ(Command(0x4B, {5}).status, 0);
    EXPECT_EQ(valueOf(5), std::make_pair(120, uint8_t{5}));
    EXPECT_EQ(Command(0x57, {5, 30, 0, 0, 0}).status, 0);
    EXPECT_EQ(valueOf(5), std::make_pair(90, uint8_t{5}));
    EXPECT_EQ(Command(0x49, {5, 100, 0, 0, 0}).status, 0);
    EXPECT_EQ(Command(0x4B, {5}).status, 0);
    EXPECT_EQ(valueOf(5), std::make_pair(-10, uint8_t{5}));
    EXPECT_EQ(Command(0x4A, {5}).status, 0);  // restore, then transfer to another block
    EXPECT_EQ(Command(0x4B, {4}).status, 0);
    EXPECT_EQ(valueOf(4), std::make_pair(-10, uint8_t{5}));

    struct Case {
        uint8_t command;
        Bytes params;
        uint8_t status;
    } cases[] = {
        {0x48, {7, 1, 0, 0, 0}, 20},  // the trailer is no value block
        {0x48, {6, 1, 0, 0, 0}, 3},   // past the largest value
        {0x4B, {5}, 14},              // a transfer with nothing before it
        {0x48, {9, 1, 0, 0, 0}, 10},  // another sector
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Command(c.command, c.params).status, c.status) << int(c.command) << " " << int(c.params[0]);
    }
    // The image the PC builds for value 100 at address 5.
    const auto image = SimCard::ValueBlock(100, 5);
    EXPECT_EQ(Bytes(image.begin(), image.end()),
              (Bytes{0x64, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA}));
}

TEST_F(SimReaderTest, AuthenticationWithRightAndWrongKeys) {
    SimCard card(0x12345678);
    const SimCard::Key secret{1, 2, 3, 4, 5, 6};
    card.SetSectorKeys(2, secret, secret);
    card.SetBlock(8, {0xAB});
    reader.EnterCard(card);
    EXPECT_EQ(Command(0x46, {8}).status, 1);  // nothing selected

    // Slot 1 of key set 0 gets the secret key (the second six-byte group).
    EXPECT_EQ(Command(0x4C, {0x00, 1, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6}).status, 0);
    EXPECT_EQ(reader.GetKey(0, false, 1), secret);

    ASSERT_EQ(Command(0x41, {0}).status, 0);
    ASSERT_EQ(Command(0x43, {0x78, 0x56, 0x34, 0x12}).status, 0);
    EXPECT_EQ(Command(0x46, {8}).status, 10);          // selected, not authenticated
    EXPECT_EQ(Command(0x56, {0x00, 0, 8}).status, 4);  // transport key in slot 0: wrong
    EXPECT_EQ(Command(0x46, {8}).status, 1);           // the card stopped answering
    ASSERT_EQ(Command(0x41, {0}).status, 0);
    ASSERT_EQ(Command(0x43, {0x78, 0x56, 0x34, 0x12}).status, 0);
    EXPECT_EQ(Command(0x56, {0x00, 1, 8}).status, 0);
    EXPECT_EQ(Command(0x46, {8}).data[0], 0xAB);
    EXPECT_EQ(Command(0x46, {4}).status, 10);  // another sector
    // Key B is readable in the shipping configuration and so cannot authenticate.
    EXPECT_EQ(Command(0x56, {0x04, 1, 8}).status, 4);
}

TEST_F(SimReaderTest, TrailerReadHidesKeyAAndBlockZeroIsReadOnly) {
    reader.EnterCard(SimCard(0x12345678));
    SelectAndAuthenticate(0x12345678, 3);
    const auto trailer = Command(0x46, {3}).data;
    EXPECT_EQ(trailer, (Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    Bytes write{0};
    write.resize(17, 0x11);
    EXPECT_EQ(Command(0x47, write).status, 15);
    EXPECT_EQ(Command(0x46, {0}).data,
              (Bytes{0x78, 0x56, 0x34, 0x12, 0x08, 0x08, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SimReaderTest, PortInfoAndUnknownCommands) {
    EXPECT_EQ(Command(0x54, {0x10}).status, 0);
    SimPortState port = reader.GetPortState();
    EXPECT_TRUE(port.redLed);
    EXPECT_FALSE(port.greenLed || port.buzzer);
    Command(0x54, {0x07});
    port = reader.GetPortState();
    EXPECT_TRUE(port.greenLed && port.buzzer && !port.redLed);
    EXPECT_EQ(port.beeps, 1u);

    const auto info = Command(0x4F);
    Bytes text(SimReader::kInfoText, SimReader::kInfoText + std::strlen(SimReader::kInfoText));
    text.push_back(0);
    EXPECT_EQ(info.data, text);

    EXPECT_EQ(Command(0x44).status, SimReader::kStatusBadCommand);
    EXPECT_EQ(Command(0x46, {1, 2}).status, SimReader::kStatusBadCommand);
}

TEST_F(SimReaderTest, TimeOutsOnTheReadersSide) {
    // A telegram that stops short is refused after the character delay.
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send({0x00, 0x4F}), Bytes{});
    clock.Advance(SimReader::kCharTimeoutMs);
    EXPECT_EQ(Take(), Bytes{NAK});
    // A lone STX (the PC's probe) is acknowledged and ends without a NAK.
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    clock.Advance(SimReader::kCharTimeoutMs);
    EXPECT_EQ(Take(), Bytes{});
    // The PC's next STX soon after its probe's: a second DLE once nothing follows it.
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send({STX}), Bytes{});
    clock.Advance(SimReader::kStxRestartMs);
    EXPECT_EQ(Take(), Bytes{DLE});
    EXPECT_EQ(Send(Frame({0x02, 0x4F, 0})), (Bytes{DLE, STX}));  // sequence number 2 is no STX
    Send({DLE});
    Send({DLE});
    clock.Advance(SimReader::kCharTimeoutMs);
    EXPECT_EQ(Take(), Bytes{});
    // An answer whose STX the PC ignores is offered again after the acknowledgement delay.
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(Frame({0x01, 0x4F, 0})), (Bytes{DLE, STX}));
    EXPECT_EQ(reader.MsToNextEvent(), SimReader::kAckTimeoutMs);
    clock.Advance(SimReader::kAckTimeoutMs);
    EXPECT_EQ(Take(), Bytes{STX});
}

TEST_F(SimReaderTest, DelayedBytesComeLateInBothDirectionsAndInOrder) {
    SimFaults faults;
    faults.delayFraction = 1;
    faults.delayMs = 1;
    reader.SetFaults(faults);
    EXPECT_EQ(Send({STX}), Bytes{});
    EXPECT_EQ(reader.MsToNextEvent(), 1u);
    clock.Advance(1);
    EXPECT_EQ(Take(), Bytes{});  // the reader took the STX; its DLE is late too
    clock.Advance(1);
    EXPECT_EQ(Take(), Bytes{DLE});
    EXPECT_EQ(Send(Frame({0, 0x4F, 0})), Bytes{});
    clock.Advance(1);
    EXPECT_EQ(Take(), Bytes{});
    clock.Advance(1);
    EXPECT_EQ(Take(), (Bytes{DLE, STX}));
}

TEST_F(SimReaderTest, FaultsOnTheLine) {
    SimFaults faults;
    faults.dropNthOut = 3;
    faults.corruptNthIn = 1;
    reader.SetFaults(faults);
    EXPECT_EQ(Send({STX}), Bytes{});  // arrives corrupted and means nothing
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(Frame({0, 0x4F, 0})), Bytes{DLE});  // the STX of the answer is lost

    faults = {};
    faults.silent = true;
    reader.SetFaults(faults);
    EXPECT_EQ(Send({STX}), Bytes{});

    faults = {};
    faults.answerDelayMs = 500;
    reader.SetFaults(faults);
    for (uint32_t i = 0; i <= SimReader::kMaxRepeats; ++i) {  // let the earlier answer give up
        clock.Advance(SimReader::kAckTimeoutMs);
        Take();
    }
    EXPECT_EQ(Send({STX}), Bytes{DLE});
    EXPECT_EQ(Send(Frame({1, 0x4F, 0})), Bytes{DLE});
    clock.Advance(499);
    EXPECT_EQ(Take(), Bytes{});
    clock.Advance(1);
    EXPECT_EQ(Take(), Bytes{STX});
}

}  // namespace
