// The link's failure paths against a scripted reader on the fake clock: every time-out runs out
// without real time passing.
#include "core/link/ScriptedLinkTest.h"

namespace {

class LinkFailureTest : public ScriptedLinkTest {};

TEST_F(LinkFailureTest, SilentReaderFailsAfterFourAttemptsWithTheSerialErrorStatus) {
    ackStx = false;
    link.SetSequenceNumber(7);
    const uint32_t start = clock.GetTickCount();
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x41, ByteBuffer{0}, status, answer), LR_NO_ANSWER);
    EXPECT_EQ(status, kStatusSerialError);
    EXPECT_EQ(bridge->written, (Bytes{STX, STX, STX, STX}));
    // Four waits of 1000 ms, each overrunning by at most one read time-out.
    EXPECT_GE(clock.GetTickCount() - start, 4000u);
    EXPECT_LT(clock.GetTickCount() - start, 4400u);
    EXPECT_EQ(link.GetSequenceNumber(), 8) << "the sequence number advances on failure too";
}

TEST_F(LinkFailureTest, QuietCommandsWriteNoLineOnLinkFailureAndReportingOnesDo) {
    ackStx = false;
    uint32_t cardType = 0;
    EXPECT_EQ(link.Request(0, cardType), LR_NO_ANSWER);
    EXPECT_EQ(window.Text().find('<' + std::string("Serial")), std::string::npos);
    ByteBuffer data;
    window.ClearAll();
    EXPECT_EQ(link.ReadBlock(4, data), LR_NO_ANSWER);
    EXPECT_EQ(window.Lines().back(), "");
    EXPECT_EQ(window.Lines()[window.Lines().size() - 2], "<Serial communications error>");
    EXPECT_EQ(window.Pieces().back().format, kStatusFormat);
    // GetInfo answers with the result of the status the link set.
    EXPECT_EQ(link.GetInfo(data), 0x200000DDu);
}

TEST_F(LinkFailureTest, ReaderThatStopsMidTelegramGivesNoAnswer) {
    answers = {{0x00, 0x00, 0x02}};  // sequence, status, length ... and then nothing
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x46, ByteBuffer{4}, status, answer), LR_NO_ANSWER);
    EXPECT_EQ(status, kStatusSerialError);
    EXPECT_EQ(telegramsReceived, 1) << "the request is not sent again";
    ByteBuffer data;
    window.ClearAll();
    answers = {{0x01, 0x00}};
    EXPECT_EQ(link.ReadBlock(4, data), LR_NO_ANSWER);
    EXPECT_NE(window.Text().find("<Serial communications error>\n"), std::string::npos);
}

TEST_F(LinkFailureTest, FourBadBccsAreEachAnsweredWithNakAndFail) {
    const Bytes bad = ScriptedBridge::Telegram({0x00, 0x00, 0x00}, true);
    answers = {bad, bad, bad, bad};
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x45, ByteBuffer{}, status, answer), LR_NO_ANSWER);
    EXPECT_EQ(status, kStatusSerialError);
    EXPECT_EQ(Count(NAK), 4);
    EXPECT_EQ(telegramsReceived, 1);
    EXPECT_EQ(link.GetSequenceNumber(), 1);
}

TEST_F(LinkFailureTest, AfterANakThePcWaitsForTheReadersRepetition) {
    answers = {ScriptedBridge::Telegram({0x00, 0x00, 0x02, 0x04, 0x00}, true),
               ScriptedBridge::Telegram({0x00, 0x00, 0x02, 0x04, 0x00})};
    uint8_t status = 0xAA;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x41, ByteBuffer{0}, status, answer), LR_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(answer, (ByteBuffer{0x04, 0x00}));
    EXPECT_EQ(telegramsReceived, 1);
    EXPECT_EQ(Count(NAK), 1);
}

TEST_F(LinkFailureTest, WrongSequenceNumberIsRefusedLikeABadBcc) {
    link.SetSequenceNumber(3);
    answers = {ScriptedBridge::Telegram({0x02, 0x00, 0x00}), ScriptedBridge::Telegram({0x03, 0x01, 0x00})};
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x41, ByteBuffer{0}, status, answer), LR_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Count(NAK), 1);
}

TEST_F(LinkFailureTest, StxCollisionWaitsOutTheAcknowledgementThenStartsAgain) {
    stxReplies = {{STX}};  // the reader wants to send too
    answers = {ScriptedBridge::Telegram({0x00, 0x00, 0x00})};
    const uint32_t start = clock.GetTickCount();
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x45, ByteBuffer{}, status, answer), LR_OK);
    // No DLE for the reader's STX: STX, a second STX after the 1000 ms wait, then the telegram.
    const Bytes request = {0x00, 0x45, 0x00, 0x45, DLE, ETX};
    Bytes expected = {STX, STX};
    expected.insert(expected.end(), request.begin(), request.end());
    expected.insert(expected.end(), {DLE, DLE});
    EXPECT_EQ(bridge->written, expected);
    EXPECT_GE(clock.GetTickCount() - start, 1000u);
}

TEST_F(LinkFailureTest, MalformedAnswersNeverPassAsSuccess) {
    const struct {
        const char* what;
        Bytes wire;
    } cases[] = {
        // Too short to hold a status, yet its block check is right.
        {"lone sequence byte", ScriptedBridge::Telegram({})},
        {"sequence and status only", {0x00, 0x00, DLE, ETX}},
        // A data byte 00 lost on the line: the block check still holds, the length byte does not.
        {"shorter than its length byte", ScriptedBridge::Telegram({0x00, 0x00, 0x03, 0x41, 0x42})},
        // Without an end mark the telegram outgrows its buffer instead of holding the link forever.
        {"no end mark", Bytes(1100, 0x55)},
    };
    for (const auto& test : cases) {
        link.SetSequenceNumber(0);
        answers = {test.wire, test.wire, test.wire, test.wire};
        uint8_t status = 0;
        ByteBuffer answer;
        EXPECT_EQ(link.Transact(0x45, ByteBuffer{}, status, answer), LR_NO_ANSWER) << test.what;
        EXPECT_EQ(status, kStatusSerialError) << test.what;
    }
}

TEST_F(LinkFailureTest, AnOversizeAnswerIsRefusedLikeABadBlockCheck) {
    // 1,022 data bytes with a right block check: two bytes more than the buffer holds, and the end
    // mark arrives in the read that overflows. What fits would pass the check on its own.
    Bytes telegram{0x00, 0x00, 0x00};
    telegram.insert(telegram.end(), 1020, 0x55);
    telegram.insert(telegram.end(), {0x00, 0x66});
    const Bytes wire = ScriptedBridge::Telegram(telegram);
    answers = {wire, wire, wire, wire};
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x46, ByteBuffer{4}, status, answer), LR_NO_ANSWER);
    EXPECT_EQ(status, kStatusSerialError);
    EXPECT_EQ(Count(NAK), 4);
}

TEST_F(LinkFailureTest, EndlessReadersAreBoundedInTimeAndTracedOnce) {
    const struct {
        const char* what;
        bool afterAnswerStx;  // the stream starts once the PC has acknowledged the reader's STX
        uint8_t byte;
        uint32_t chunk, ms;
        uint32_t maxMs;
    } cases[] = {
        // DLE pairs are stored bytes, never an end mark: each receive phase ends after the time the
        // longest telegram needs at 9600 baud (2,052 bytes, 2,138 ms) plus the character delay; the
        // next attempts end at the first byte, which is no STX.
        {"DLE every 20 ms in the answer", true, DLE, 1, 20, 2358 + 4 * 100},
        // Zeros in place of every acknowledgement: four waits of 1000 ms.
        {"zeros flooding the line", false, 0x00, 64, 10, 4 * (1000 + 100)},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        bridge->streaming = !test.afterAnswerStx;
        ackStx = test.afterAnswerStx;
        bridge->streamByte = test.byte;
        bridge->streamChunk = test.chunk;
        bridge->streamMs = test.ms;
        bridge->delivered = 0;
        answers = {Bytes{}};
        bridge->onWrite = [&](std::span<const uint8_t> w) {
            React(Bytes(w.begin(), w.end()));
            if (test.afterAnswerStx && w.size() == 1 && w[0] == DLE) {
                bridge->streaming = true;
            }
        };
        window.ClearAll();
        const uint32_t start = clock.GetTickCount();
        uint8_t status = 0;
        ByteBuffer answer;
        EXPECT_EQ(link.Transact(0x46, ByteBuffer{4}, status, answer), LR_NO_ANSWER);
        EXPECT_LE(clock.GetTickCount() - start, test.maxMs);
        // Every byte the reader sent appears once in the trace, never again with the ones before it.
        uint64_t traced = 0;
        for (const std::string& line : window.Lines()) {
            if (line.rfind("<< ", 0) == 0) {
                traced += (line.size() - 3) / 3;
            }
        }
        EXPECT_EQ(traced, bridge->delivered);
        bridge->streaming = false;
        port.Purge();
    }
}

TEST_F(LinkFailureTest, PortErrorsPassThroughExceptInsideAcknowledgementWaits) {
    bridge->readStatus = FT_IO_ERROR;
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x45, ByteBuffer{}, status, answer), LR_NO_ANSWER);
    EXPECT_EQ(status, kStatusSerialError);

    // Once the reader has opened its answer, a read error is the port's own code.
    bridge->readStatus = FT_OK;
    port.Purge();  // the acknowledgements nobody could read
    answers = {ScriptedBridge::Telegram({0x01, 0x00, 0x00})};
    bridge->onWrite = [this](std::span<const uint8_t> w) {
        React(Bytes(w.begin(), w.end()));
        if (w.size() == 1 && w[0] == DLE) {
            bridge->readStatus = FT_IO_ERROR;
        }
    };
    EXPECT_EQ(link.Transact(0x45, ByteBuffer{}, status, answer), LR_D2XX_BASE + FT_IO_ERROR);
}

TEST_F(LinkFailureTest, ABridgeLostInsideAnAcknowledgementWaitGivesItsErrorNotNoAnswer) {
    // The bridge goes away just after the STX left; re-opening it fails.
    bridge->onWrite = [this](std::span<const uint8_t>) {
        bridge->readStatus = FT_IO_ERROR;
        bridge->openStatus = FT_DEVICE_NOT_FOUND;
    };
    uint8_t status = 0;
    ByteBuffer answer;
    EXPECT_EQ(link.Transact(0x45, ByteBuffer{}, status, answer), LR_D2XX_BASE + FT_IO_ERROR);
    EXPECT_EQ(status, kStatusSerialError);
    EXPECT_EQ(bridge->written, Bytes{STX}) << "the attempts after the loss leave the bridge alone";
    EXPECT_EQ(window.Text(), ">> 02 \n");
}

}  // namespace

namespace {

TEST(ReaderLinkUnconnected, CommandsFailInsteadOfTouchingAMissingPort) {
    ReaderLink link;
    uint32_t cardType = 0;
    ByteBuffer data;
    EXPECT_EQ(link.Request(0, cardType), LR_NO_ANSWER);
    EXPECT_EQ(link.ReadBlock(1, data), LR_NO_ANSWER);
    EXPECT_EQ(link.GetInfo(data), 0x200000DDu);
    EXPECT_EQ(link.Startup(), LR_OK);
}

}  // namespace
