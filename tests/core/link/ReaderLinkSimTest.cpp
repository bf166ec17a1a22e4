// The link's worked examples as exact bytes on the wire, against the simulated reader behind its
// in-process USB bridge, on the fake clock.
#include <gtest/gtest.h>

#include <memory>

#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"

namespace {

using Lines = std::vector<std::string>;

class LinkSimTest : public ::testing::Test {
protected:
    void Connect(SimLinkMode mode = SimLink3964R) {
        reader->SetLinkMode(mode);
        reader->EnterCard(card);
        port.SetOutputWindow(&window, false, TraceModeHex);
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
        port.SetReadMode(ReadModeNormal);
        window.ClearAll();
    }
    // The lines the PC wrote, in order.
    Lines Sent() const {
        Lines sent;
        for (const std::string& line : window.Lines()) {
            if (line.rfind(">> ", 0) == 0) {
                sent.push_back(line.substr(3));
            }
        }
        return sent;
    }
    // Selects the card and authenticates its sector of block with the shipping key.
    void SelectAndAuthenticate(uint8_t block) {
        uint32_t value = 0;
        uint8_t selected = 0;
        ASSERT_EQ(link.Request(0, value), LR_OK);
        ASSERT_EQ(link.Anticollision(value), LR_OK);
        ASSERT_EQ(link.Select(value, selected), LR_OK);
        ASSERT_EQ(
            link.LoadKey(0, 0, ByteBuffer{0, 0, 0, 0, 0, 0}, ByteBuffer{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
            LR_OK);
        ASSERT_EQ(link.Authenticate(0, 0, block), LR_OK);
        window.ClearAll();
    }

    FakeClock clock{5000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    SimCard card{0x12345678};
    MemoryOutputWindow window{1000};
    ReaderPort port{&window, std::make_shared<SimD2xxProvider>(reader, clock)};
    ReaderLink link{clock};
};

TEST_F(LinkSimTest, RequestWithSequenceFiveIsTheWholeExchangeOnTheWire) {
    Connect();
    link.SetSequenceNumber(5);
    uint32_t cardType = 0;
    EXPECT_EQ(link.Request(0, cardType), LR_OK);
    EXPECT_EQ(cardType, 0x0004u);
    // The reader's answer: sequence 05, status 00, length 02, card type 04 00, BCC 03.
    EXPECT_EQ(window.Lines(), (Lines{">> 02 ", "<< 10 ", ">> 05 41 01 00 45 10 03 ", "<< 10 ", "<< 02 ",
                                     ">> 10 ", "<< 05 00 02 04 00 03 10 03 ", ">> 10 ", "<OK>", ""}));
    EXPECT_EQ(link.GetSequenceNumber(), 6);
}

TEST_F(LinkSimTest, DleBytesAreDoubledInRequestsAndUndoubledInAnswers) {
    Connect();
    SelectAndAuthenticate(16);
    // Block data with DLE in it comes back as doubled bytes on the wire and single bytes in the answer.
    const ByteBuffer data{0x10, 0x10, 0x03, 0x02, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
    ASSERT_EQ(link.WriteBlock(16, data), LR_OK);
    link.SetSequenceNumber(0);
    window.ClearAll();
    ByteBuffer read;
    EXPECT_EQ(link.ReadBlock(16, read), LR_OK);
    EXPECT_EQ(Sent()[1], "00 46 01 10 10 57 10 03 ") << "parameter 0x10 doubled, BCC 0x57";
    EXPECT_EQ(read, data);
    EXPECT_NE(window.Text().find("<< 00 00 10 10 10 10 10 10 03 02 15 "), std::string::npos);

    // A BCC of 0x10 is doubled too: 50 ^ 41 ^ 01 ^ 00 = 10.
    link.SetSequenceNumber(0x50);
    window.ClearAll();
    uint32_t cardType = 0;
    link.Request(0, cardType);
    EXPECT_EQ(Sent()[1], "50 41 01 00 10 10 10 03 ");
    // Without parameters L is 0 and the BCC is sequence XOR command.
    link.SetSequenceNumber(0x22);
    window.ClearAll();
    link.Halt();
    EXPECT_EQ(Sent()[1], "22 45 00 67 10 03 ");
}

TEST_F(LinkSimTest, BadBccIsAnsweredWithNakAndTheReadersRepetitionAccepted) {
    Connect();
    SimFaults faults;
    faults.wrongBccCount = 1;
    reader->SetFaults(faults);
    uint32_t cardType = 0;
    EXPECT_EQ(link.Request(0, cardType), LR_OK);
    EXPECT_EQ(Sent(), (Lines{"02 ", "00 41 01 00 40 10 03 ", "10 ", "15 ", "10 ", "10 "}));
    EXPECT_EQ(reader->Requests().size(), 1u) << "the request went once";
}

TEST_F(LinkSimTest, FailuresCostNoRealTimeAndAdvanceTheSequence) {
    Connect();
    const struct {
        const char* what;
        SimFaults faults;
    } cases[] = {
        {"silent reader",
         [] {
             SimFaults f;
             f.silent = true;
             return f;
         }()},
        {"four bad block checks",
         [] {
             SimFaults f;
             f.wrongBccCount = 4;
             return f;
         }()},
        {"answer later than every time-out",
         [] {
             SimFaults f;
             f.answerDelayMs = 60000;
             return f;
         }()},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        reader->SetFaults(test.faults);
        const uint8_t sequence = link.GetSequenceNumber();
        ByteBuffer data;
        window.ClearAll();
        EXPECT_EQ(link.ReadBlock(1, data), LR_NO_ANSWER);
        EXPECT_EQ(window.Lines()[window.Lines().size() - 2], "<Serial communications error>");
        EXPECT_EQ(link.GetSequenceNumber(), static_cast<uint8_t>(sequence + 1));
        reader->SetFaults(SimFaults{});
        clock.Advance(10000);  // let the reader give up on the failed exchange
        port.Purge();
    }
}

TEST_F(LinkSimTest, ValueBlockMadeAndReadBack) {
    Connect();
    SelectAndAuthenticate(4);
    link.SetSequenceNumber(0);
    EXPECT_EQ(link.MakeValueBlock(4, 5, 100), LR_OK);
    EXPECT_EQ(Sent()[1], "00 47 11 04 64 00 00 00 9B FF FF FF 64 00 00 00 05 FA 05 FA 36 10 03 ");
    ByteBuffer data;
    EXPECT_EQ(link.ReadValueBlock(4, data), LR_OK);
    EXPECT_EQ(window.Lines()[window.Lines().size() - 2], "<OK; Value = 0x00000064; Address = 0x05>");
}

TEST_F(LinkSimTest, InfoShowsTheVersionWithoutItsTerminator) {
    Connect();
    ByteBuffer answer;
    EXPECT_EQ(link.GetInfo(answer), LR_OK);
    EXPECT_EQ(window.Lines()[window.Lines().size() - 2], std::string("<") + SimReader::kInfoText + ">");
}

TEST_F(LinkSimTest, DleFramedReaderIsFoundByTheProbeAndAnswersWithoutHandshake) {
    Connect(SimLinkFramed);
    EXPECT_EQ(link.GetLinkMode(), LinkModeDleFramed);
    link.SetSequenceNumber(9);
    EXPECT_EQ(link.SetPort(0), LR_OK);
    EXPECT_EQ(window.Lines(), (Lines{">> 10 02 54 01 00 55 10 03 ", "<< 10 02 00 00 00 10 03 ", "<OK>", ""}));
    EXPECT_EQ(link.GetSequenceNumber(), 9) << "the framed procedure has no sequence number";
}

}  // namespace
