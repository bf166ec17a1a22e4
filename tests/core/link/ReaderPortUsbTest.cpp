#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PseudoTerminal.h"
#include "ScriptedD2xx.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderPort.h"

namespace {

using Calls = std::vector<std::string>;

const Calls kInitCalls = {
    "FT_SetBaudRate(9600)",
    "FT_SetDataCharacteristics(8,0,0)",
    "FT_SetFlowControl(0,0,0)",
    "FT_SetDtr()",
    "FT_SetRts()",
    "FT_SetChars(0,0,0,0)",
    "FT_SetTimeouts(100,100)",
};

Calls ReopenThen(const std::string& retry) {
    Calls calls = {"FT_Close()", "FT_Open(0)"};
    calls.insert(calls.end(), kInitCalls.begin(), kInitCalls.end());
    calls.push_back(retry);
    return calls;
}

// A USB port on the scripted bridge, opened and initialised, with a hexadecimal trace.
class UsbPort : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetOutputWindow(&window, true, TraceModeHex);
        ASSERT_EQ(port.OpenPort(PortKindUsb, 7), LR_OK);
        ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
        bridge->ClearCalls();
    }

    std::shared_ptr<ScriptedD2xx> bridge = std::make_shared<ScriptedD2xx>();
    MemoryOutputWindow window;
    SerialPortList ports;
    ReaderPort port{nullptr, bridge, &ports};
};

TEST_F(UsbPort, OpensTheFirstDeviceAndInitialisesTheBridge) {
    auto provider = std::make_shared<ScriptedD2xx>();
    ReaderPort other(nullptr, provider, &ports);
    EXPECT_EQ(other.OpenPort(PortKindUsb, 3), LR_OK);
    EXPECT_FALSE(other.IsOpen());
    EXPECT_EQ(other.InitPort(9600, 8, 0, 0, 1), LR_OK);
    Calls expected = {"FT_Open(0)"};
    expected.insert(expected.end(), kInitCalls.begin(), kInitCalls.end());
    EXPECT_EQ(provider->Calls(), expected);
    EXPECT_TRUE(other.IsOpen());
    EXPECT_TRUE(other.IsUsb());
    EXPECT_EQ(other.GetPortName(), "USB");
}

TEST_F(UsbPort, ABridgeOpenedBySerialNumberIsReopenedByItNeverByPosition) {
    auto provider = std::make_shared<ScriptedD2xx>();
    ReaderPort other(nullptr, provider, &ports);
    ASSERT_EQ(other.OpenUsbBySerial("QV000042"), LR_OK);
    ASSERT_EQ(other.InitPort(9600, 8, 0, 0, 0), LR_OK);
    EXPECT_EQ(other.GetPortName(), "USB QV000042");
    EXPECT_EQ(provider->Calls().front(), "FT_OpenEx(QV000042,1)");

    // A lost line: the write is retried on the same bridge, found by its serial number again.
    provider->ClearCalls();
    provider->Fail("FT_Write", FT_IO_ERROR);
    EXPECT_EQ(other.Write(ByteBuffer{0x02}), LR_OK);
    Calls expected = {"FT_Write(1)", "FT_Close()", "FT_OpenEx(QV000042,1)"};
    expected.insert(expected.end(), kInitCalls.begin(), kInitCalls.end());
    expected.push_back("FT_Write(1)");
    EXPECT_EQ(provider->Calls(), expected);
    EXPECT_EQ(provider->Handles().back(), provider->LastHandle());

    // Opened by position afterwards, the port forgets the serial number.
    EXPECT_EQ(other.OpenPort(PortKindUsb, 0), LR_OK);
    EXPECT_EQ(other.GetPortName(), "USB");
    provider->ClearCalls();
    EXPECT_EQ(other.ReOpenPort(), LR_OK);
    EXPECT_EQ(provider->CallsOf("FT_OpenEx"), Calls{});
    EXPECT_EQ(provider->CallsOf("FT_Open"), Calls{"FT_Open(0)"});
}

TEST_F(UsbPort, OpeningBySerialNumberFailsWithoutTouchingTheBridgeItHasNoNameFor) {
    auto provider = std::make_shared<ScriptedD2xx>();
    ReaderPort other(nullptr, provider, &ports);
    EXPECT_EQ(other.OpenUsbBySerial(""), LR_D2XX_BASE + FT_INVALID_PARAMETER);
    EXPECT_EQ(provider->Calls(), Calls{});
    provider->Fail("FT_OpenEx", FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(other.OpenUsbBySerial("QV000042"), LR_D2XX_BASE + FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(provider->Calls(), Calls{"FT_OpenEx(QV000042,1)"});
    provider->Remove("FT_OpenEx");
    EXPECT_EQ(other.OpenUsbBySerial("QV000042"), LR_D2XX_NO_FUNCTION);
}

TEST_F(UsbPort, InitPortMapsWordLengthStopBitsAndParity) {
    struct Case {
        uint8_t dataBits, parity, stopBits;
        const char* expected;
    };
    const Case cases[] = {
        {8, 0, 0, "FT_SetDataCharacteristics(8,0,0)"}, {7, 2, 2, "FT_SetDataCharacteristics(7,2,2)"},
        {5, 1, 1, "FT_SetDataCharacteristics(5,1,1)"}, {6, 3, 0, "FT_SetDataCharacteristics(6,0,3)"},
        {4, 4, 3, "FT_SetDataCharacteristics(8,0,4)"}, {9, 5, 3, "FT_SetDataCharacteristics(8,0,0)"},
    };
    for (const Case& c : cases) {
        bridge->ClearCalls();
        EXPECT_EQ(port.InitPort(19200, c.dataBits, c.parity, c.stopBits, 0), LR_OK);
        EXPECT_EQ(bridge->CallsOf("FT_SetDataCharacteristics"), Calls{c.expected})
            << int(c.dataBits) << " " << int(c.parity) << " " << int(c.stopBits);
    }
}

TEST_F(UsbPort, SetBaudRateKeepsTheFraming) {
    ASSERT_EQ(port.InitPort(9600, 7, 2, 2, 0), LR_OK);
    bridge->ClearCalls();
    EXPECT_EQ(port.SetBaudRate(115200), LR_OK);
    EXPECT_EQ(port.GetBaudRate(), 115200u);
    EXPECT_EQ(bridge->Calls()[0], "FT_SetBaudRate(115200)");
    EXPECT_EQ(bridge->Calls()[1], "FT_SetDataCharacteristics(7,2,2)");
}

TEST_F(UsbPort, OpeningAgainReleasesTheHeldDevice) {
    EXPECT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
    EXPECT_EQ(bridge->Calls(), (Calls{"FT_Close()", "FT_Open(0)"}));
    EXPECT_EQ(bridge->Handles()[0], reinterpret_cast<FT_HANDLE>(1));
}

TEST_F(UsbPort, InitPortStopsAtTheFirstFailingCall) {
    bridge->Fail("FT_SetFlowControl", FT_IO_ERROR);
    port.ClosePort();
    bridge->ClearCalls();
    EXPECT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_D2XX_BASE + FT_IO_ERROR);
    EXPECT_EQ(bridge->Calls().back(), "FT_SetFlowControl(0,0,0)");
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(UsbPort, AFailedWriteIsRetriedOnceAfterReopeningAndTracedOnce) {
    bridge->Fail("FT_Write", FT_IO_ERROR);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), LR_OK);
    Calls expected = {"FT_Write(1)"};
    const Calls reopen = ReopenThen("FT_Write(1)");
    expected.insert(expected.end(), reopen.begin(), reopen.end());
    EXPECT_EQ(bridge->Calls(), expected);
    EXPECT_EQ(bridge->Handles().back(), bridge->LastHandle());  // the retry uses the new handle
    EXPECT_EQ(bridge->Written(), std::vector<uint8_t>{0x02});
    EXPECT_EQ(window.Text(), ">> 02 \n");
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(UsbPort, AWriteThatFailsTwiceGivesTheStatusAndNoTrace) {
    bridge->Fail("FT_Write", FT_IO_ERROR, 2);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), LR_D2XX_BASE + FT_IO_ERROR);
    EXPECT_EQ(window.Text(), "");
}

TEST_F(UsbPort, ReadAppendsAndTracesTheWholeDestination) {
    ByteBuffer destination{0x02};
    uint32_t received = 99;
    bridge->QueueRead({0x30, 0x31});
    EXPECT_EQ(port.Read(destination, 10, received), LR_OK);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(destination, (ByteBuffer{0x02, 0x30, 0x31}));
    EXPECT_EQ(window.Text(), "<< 02 30 31 \n");

    // Nothing arrives: no trace line.
    EXPECT_EQ(port.Read(destination, 10, received), LR_OK);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(window.Text(), "<< 02 30 31 \n");
    EXPECT_EQ(bridge->CallsOf("FT_Read"), (Calls{"FT_Read(10)", "FT_Read(10)"}));
}

TEST_F(UsbPort, AFailedReadIsRetriedOnceAfterReopening) {
    ByteBuffer destination;
    uint32_t received = 0;
    bridge->QueueRead({0x10});
    bridge->Fail("FT_Read", FT_IO_ERROR);
    EXPECT_EQ(port.Read(destination, 1, received), LR_OK);
    EXPECT_EQ(received, 1u);
    Calls expected = {"FT_Read(1)"};
    const Calls reopen = ReopenThen("FT_Read(1)");
    expected.insert(expected.end(), reopen.begin(), reopen.end());
    EXPECT_EQ(bridge->Calls(), expected);

    bridge->QueueRead({0x11});
    bridge->Fail("FT_Read", FT_IO_ERROR, 2);
    EXPECT_EQ(port.Read(destination, 1, received), LR_D2XX_BASE + FT_IO_ERROR);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(destination, ByteBuffer{0x10});
}

TEST_F(UsbPort, ABridgeThatCannotBeReopenedIsLostUntilItIsBack) {
    const LinkResult gone = LR_D2XX_BASE + FT_IO_ERROR;
    bridge->Fail("FT_Write", FT_IO_ERROR, 2);
    bridge->Fail("FT_Open", FT_DEVICE_NOT_FOUND, 3);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), gone);
    EXPECT_EQ(bridge->Calls(), (Calls{"FT_Write(1)", "FT_Close()", "FT_Open(0)", "FT_Write(1)"}));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetLineLost(), gone);

    // The transfers that follow give the same error; each tries to re-open the bridge once and
    // transfers nothing while that fails.
    bridge->ClearCalls();
    ByteBuffer destination;
    uint32_t received = 0;
    EXPECT_EQ(port.Read(destination, 1, received), gone);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), gone);
    EXPECT_EQ(bridge->Calls(), (Calls{"FT_Close()", "FT_Open(0)", "FT_Close()", "FT_Open(0)"}));
    EXPECT_EQ(port.GetLineLost(), gone);

    // Plugged back in, the bridge works on and is no longer lost.
    bridge->ClearCalls();
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), LR_OK);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetLineLost(), LR_OK);

    // Closed by its user, it is not re-opened behind the user's back by a transfer.
    port.ClosePort();
    bridge->ClearCalls();
    bridge->Fail("FT_Read", FT_IO_ERROR);
    EXPECT_EQ(port.Read(destination, 1, received), LR_D2XX_BASE + FT_IO_ERROR);
    EXPECT_EQ(bridge->Calls(), Calls{"FT_Read(1)"});
    EXPECT_EQ(port.GetLineLost(), LR_OK);
    EXPECT_EQ(window.Text(), ">> 02 \n");  // only the write that went out
}

TEST_F(UsbPort, ReadWithCompleteTakesOneByteAtATimeAndStopsAtTheEndMark) {
    const ReaderPort::ReadComplete endsWithEtx = [](std::span<const uint8_t> bytes) {
        return !bytes.empty() && bytes.back() == 0x03;
    };
    ByteBuffer destination;
    uint32_t received = 0;
    bridge->QueueRead({0x10, 0x02, 0x03, 0x04});
    EXPECT_EQ(port.Read(destination, 10, received, endsWithEtx), LR_OK);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(bridge->CallsOf("FT_Read"), (Calls{"FT_Read(1)", "FT_Read(1)", "FT_Read(1)"}));
    EXPECT_EQ(window.Text(), "<< 10 02 03 \n");

    // Without the end mark the read ends at the first read that delivers nothing.
    bridge->ClearCalls();
    EXPECT_EQ(port.Read(destination, 10, received, endsWithEtx), LR_OK);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(bridge->CallsOf("FT_Read").size(), 2u);
    EXPECT_EQ(window.Text(), "<< 10 02 03 \n<< 10 02 03 04 \n");
}

TEST_F(UsbPort, ReadModesSetTheBridgeTimeoutsAndRetryOnceAfterAFault) {
    EXPECT_EQ(port.SetReadMode(ReadModePolling), LR_OK);
    EXPECT_EQ(bridge->Calls(), Calls{"FT_SetTimeouts(1,100)"});

    bridge->ClearCalls();
    bridge->Fail("FT_SetTimeouts", FT_IO_ERROR);
    EXPECT_EQ(port.SetReadMode(ReadModeNormal), LR_OK);
    Calls expected = {"FT_SetTimeouts(100,100)"};
    const Calls reopen = ReopenThen("FT_SetTimeouts(100,100)");
    expected.insert(expected.end(), reopen.begin(), reopen.end());
    EXPECT_EQ(bridge->Calls(), expected);

    // A second failure is not reported.
    bridge->Fail("FT_SetTimeouts", FT_IO_ERROR, 2);
    EXPECT_EQ(port.SetReadMode(ReadModePolling), LR_OK);
}

TEST_F(UsbPort, EventCharsPurgeAndClose) {
    EXPECT_EQ(port.SetEventChars(0x03, 0x15), LR_OK);
    EXPECT_EQ(port.Purge(), LR_OK);
    bridge->Fail("FT_Purge", FT_IO_ERROR);
    EXPECT_EQ(port.Purge(), LR_OK);  // a purge that fails is not reported
    EXPECT_EQ(port.ClosePort(), LR_OK);
    EXPECT_EQ(bridge->Calls(), (Calls{"FT_SetChars(3,1,21,1)", "FT_Purge(1)", "FT_Purge(1)", "FT_Close()"}))
        << "the receive side only: what we wrote still goes out";
    EXPECT_FALSE(port.IsOpen());

    // A second close does not hand the bridge the handle it already closed.
    port.ClosePort();
    EXPECT_EQ(bridge->Handles().back(), nullptr);
}

TEST_F(UsbPort, AnEmptyTableEntryGivesNoFunction) {
    struct Case {
        const char* function;
        std::function<LinkResult(ReaderPort&)> call;
    };
    const Case cases[] = {
        {"FT_Open", [](ReaderPort& p) { return p.OpenPort(PortKindUsb, 0); }},
        {"FT_SetBaudRate", [](ReaderPort& p) { return p.InitPort(9600, 8, 0, 0, 0); }},
        {"FT_SetTimeouts", [](ReaderPort& p) { return p.SetReadMode(ReadModePolling); }},
        {"FT_Write", [](ReaderPort& p) { return p.Write(ByteBuffer{0x02}); }},
        {"FT_Read",
         [](ReaderPort& p) {
             ByteBuffer destination;
             uint32_t received = 0;
             return p.Read(destination, 1, received);
         }},
        {"FT_Purge", [](ReaderPort& p) { return p.Purge(); }},
        {"FT_SetChars", [](ReaderPort& p) { return p.SetEventChars(0x03, 0x15); }},
        {"FT_Close", [](ReaderPort& p) { return p.ClosePort(); }},
    };
    for (const Case& c : cases) {
        auto provider = std::make_shared<ScriptedD2xx>();
        ReaderPort other(nullptr, provider, &ports);
        if (std::string(c.function) != "FT_Open") {
            ASSERT_EQ(other.OpenPort(PortKindUsb, 0), LR_OK);
        }
        provider->Remove(c.function);
        EXPECT_EQ(c.call(other), LR_D2XX_NO_FUNCTION) << c.function;
    }
}

TEST(UsbPortWithoutLibrary, EveryUsbOperationGivesNoD2xxWhileTheComKindWorks) {
    SerialPortList ports;
    ReaderPort port(nullptr, nullptr, &ports);
    ByteBuffer destination;
    uint32_t received = 0;
    EXPECT_FALSE(port.HasD2xx());
    EXPECT_EQ(port.OpenPort(PortKindUsb, 0), LR_NO_D2XX);
    EXPECT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_NO_D2XX);
    EXPECT_EQ(port.SetBaudRate(19200), LR_NO_D2XX);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), LR_NO_D2XX);
    EXPECT_EQ(port.Read(destination, 1, received), LR_NO_D2XX);
    EXPECT_EQ(port.Purge(), LR_NO_D2XX);
    EXPECT_EQ(port.SetReadMode(ReadModeNormal), LR_NO_D2XX);
    EXPECT_EQ(port.SetEventChars(0x03, 0x15), LR_NO_D2XX);
    EXPECT_EQ(port.ReOpenPort(), LR_NO_D2XX);
    EXPECT_EQ(port.ClosePort(), LR_NO_D2XX);
    EXPECT_FALSE(port.IsOpen());

    PseudoTerminal pty;
    ASSERT_TRUE(pty.IsValid());
    ASSERT_EQ(port.OpenPortByName(pty.SlaveName()), LR_OK);
    ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
    EXPECT_EQ(port.Write(ByteBuffer{0x02}), LR_OK);
    EXPECT_EQ(pty.Receive(), std::vector<uint8_t>{0x02});
    EXPECT_EQ(port.SetEventChars(0x03, 0x15), LR_OK);  // nothing to do on a serial line
    EXPECT_EQ(port.ClosePort(), LR_OK);
}

}  // namespace
