// What each reader command puts in its request and makes of the reader's answer, against a
// scripted reader that answers with a chosen status and data.
#include <functional>

#include "core/link/ScriptedLinkTest.h"

namespace {

class ReaderCommandsTest : public ScriptedLinkTest {
protected:
    // The reader answers the next request with status and data.
    void Answer(uint8_t status, Bytes data) {
        Bytes telegram = {link.GetSequenceNumber(), status, static_cast<uint8_t>(data.size())};
        telegram.insert(telegram.end(), data.begin(), data.end());
        answers = {ScriptedBridge::Telegram(telegram)};
    }
    std::string LastLine() const {
        const auto lines = window.Lines();
        return lines.size() >= 2 ? lines[lines.size() - 2] : "";
    }
};

TEST_F(ReaderCommandsTest, EachCommandSendsItsParametersAndShowsItsOutcome) {
    uint32_t u32 = 0xDEADBEEF;
    uint8_t u8 = 0xEE;
    ByteBuffer data;
    const ByteBuffer valueBlock{0x64, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA};
    const struct {
        const char* what;
        std::function<LinkResult()> call;
        uint8_t status;
        Bytes answer;
        Bytes request;  // command code, then the parameter bytes
        std::string line;
        LinkResult result;
        std::function<void()> check;
    } cases[] = {
        {"request, one-byte answer",
         [&] { return link.Request(1, u32); },
         0,
         {0x04},
         {0x41, 0x01},
         "<OK>",
         0,
         [&] { EXPECT_EQ(u32, 0x0004u); }},
        {"request, no card",
         [&] { return link.Request(0, u32); },
         1,
         {},
         {0x41, 0x00},
         "<No card in operating area>",
         0x200000C9,
         nullptr},
        {"reset, high byte first",
         [&] { return link.Reset(0x1234); },
         0,
         {},
         {0x4E, 0x12, 0x34},
         "<OK>",
         0,
         nullptr},
        {"anticollision",
         [&] { return link.Anticollision(u32); },
         0,
         {0x78, 0x56, 0x34, 0x12},
         {0x42, 0, 0, 0, 0, 0},
         "<OK>",
         0,
         [&] { EXPECT_EQ(u32, 0x12345678u); }},
        {"anticollision, short answer keeps the serial",
         [&] { return link.Anticollision(u32); },
         0,
         {0x01},
         {0x42, 0, 0, 0, 0, 0},
         "<OK>",
         0,
         [&] { EXPECT_EQ(u32, 0x12345678u); }},
        {"select",
         [&] { return link.Select(0x1A2B3C4D, u8); },
         0,
         {0x08},
         {0x43, 0x4D, 0x3C, 0x2B, 0x1A},
         "<OK>",
         0,
         [&] { EXPECT_EQ(u8, 0x08); }},
        {"load key",
         [&] {
             return link.LoadKey(0x06, 15, ByteBuffer{0, 0, 0, 0, 0, 0}, ByteBuffer{1, 2, 3, 4, 5, 6});
         },
         0,
         {},
         {0x4C, 0x06, 0x0F, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6},
         "<OK>",
         0,
         nullptr},
        {"authenticate, no card",
         [&] { return link.Authenticate(0x04, 2, 7); },
         1,
         {},
         {0x56, 0x04, 0x02, 0x07},
         "<No card in operating area>",
         LR_NO_AUTHENTICATION,
         nullptr},
        {"authenticate, not authenticated",
         [&] { return link.Authenticate(0, 0, 7); },
         10,
         {},
         {0x56, 0, 0, 7},
         "<Card is not authenticated>",
         0x200000D2,
         nullptr},
        {"read block",
         [&] { return link.ReadBlock(16, data); },
         0,
         {0x10, 0x10, 0x03},
         {0x46, 0x10},
         "<OK>",
         0,
         [&] {
             EXPECT_EQ(data, (ByteBuffer{0x10, 0x10, 0x03}));
         }},
        {"write block",
         [&] {
             return link.WriteBlock(4, ByteBuffer{0xAA, 0x10});
         },
         15,
         {},
         {0x47, 0x04, 0xAA, 0x10},
         "<Any problem while executing the write function>",
         0x200000D7,
         nullptr},
        {"halt", [&] { return link.Halt(); }, 0, {}, {0x45}, "<OK>", 0, nullptr},
        {"increment",
         [&] { return link.Increment(5, 0x01020304); },
         0,
         {},
         {0x48, 5, 4, 3, 2, 1},
         "<OK>",
         0,
         nullptr},
        {"decrement",
         [&] { return link.Decrement(5, 1); },
         3,
         {},
         {0x49, 5, 1, 0, 0, 0},
         "<Value overflow>",
         0x200000CB,
         nullptr},
        {"decrement transfer",
         [&] { return link.DecrementTransfer(5, 2); },
         0,
         {},
         {0x57, 5, 2, 0, 0, 0},
         "<OK>",
         0,
         nullptr},
        {"restore", [&] { return link.Restore(6); }, 0, {}, {0x4A, 6}, "<OK>", 0, nullptr},
        {"transfer",
         [&] { return link.Transfer(6); },
         14,
         {},
         {0x4B, 6},
         "<Any problem while executing the transfer function>",
         0x200000D6,
         nullptr},
        {"set port, red LED only",
         [&] { return link.SetPort(0x10); },
         0,
         {},
         {0x54, 0x10},
         "<OK>",
         0,
         nullptr},
        {"info", [&] { return link.GetInfo(data); }, 0, {0x56, 0x31, 0x00}, {0x4F}, "<V1>", 0, nullptr},
        {"info, empty answer", [&] { return link.GetInfo(data); }, 0, {}, {0x4F}, "<>", 0, nullptr},
        {"wait for card",
         [&] { return link.WaitForCard(); },
         0,
         {},
         {0x40},
         "<OK, Waiting for card...>",
         0,
         nullptr},
        {"status without a text", [&] { return link.Halt(); }, 7, {}, {0x45}, "", 0x200000CF, nullptr},
        {"read value block",
         [&] { return link.ReadValueBlock(4, data); },
         0,
         Bytes(valueBlock.Bytes().begin(), valueBlock.Bytes().end()),
         {0x46, 4},
         "<OK; Value = 0x00000064; Address = 0x05>",
         0,
         nullptr},
        {"read value block, zero block",
         [&] { return link.ReadValueBlock(4, data); },
         0,
         Bytes(16, 0),
         {0x46, 4},
         "<Block does not appear to be a valid value block>",
         0,
         nullptr},
        {"read value block, short answer",
         [&] { return link.ReadValueBlock(4, data); },
         0,
         {0x64, 0, 0, 0},
         {0x46, 4},
         "<Block does not appear to be a valid value block>",
         0,
         nullptr},
        {"read value block, read error",
         [&] { return link.ReadValueBlock(4, data); },
         18,
         {},
         {0x46, 4},
         "<Any problem while executing the read function>",
         0x200000DA,
         nullptr},
        {"make value block",
         [&] { return link.MakeValueBlock(4, 5, 100); },
         0,
         {},
         [&] {
             Bytes request = {0x47, 4};
             request.insert(request.end(), valueBlock.Bytes().begin(), valueBlock.Bytes().end());
             return request;
         }(),
         "<OK>",
         0,
         nullptr},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        Answer(test.status, test.answer);
        EXPECT_EQ(test.call(), test.result);
        ASSERT_GE(lastRequest.size(), 4u);
        EXPECT_EQ(Bytes(lastRequest.begin() + 1, lastRequest.begin() + 2), Bytes{test.request[0]});
        EXPECT_EQ(lastRequest[2], test.request.size() - 1) << "the length byte";
        EXPECT_EQ(Bytes(lastRequest.begin() + 3, lastRequest.end() - 1),
                  Bytes(test.request.begin() + 1, test.request.end()));
        EXPECT_EQ(LastLine(), test.line);
        EXPECT_EQ(window.Pieces().back().format, kStatusFormat);
        if (test.check) {
            test.check();
        }
    }
}

TEST_F(ReaderCommandsTest, StartupSendsALoneStxAndOnlyTracesTheReply) {
    const uint32_t start = clock.GetTickCount();
    EXPECT_EQ(link.Startup(), LR_OK);
    EXPECT_EQ(bridge->written, Bytes{STX});
    EXPECT_EQ(window.Lines(), (std::vector<std::string>{">> 02 ", "<< 10 ", ""}));
    EXPECT_GE(clock.GetTickCount() - start, 2000u);
}

}  // namespace
