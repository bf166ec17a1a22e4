// The libftdi1 adapter through the real libftdi1, against the emulated FT232R that the stand-in
// libusb plays (CTest loads it with LD_LIBRARY_PATH).
#include <ftdi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "EmuTest.h"
#include "link/FtdiD2xx.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimReader.h"

namespace {

using Steady = std::chrono::steady_clock;

class FtdiEmu : public EmuTest {
protected:
    void SetUp() override {
        EmuTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        port.SetOutputWindow(&window, false, TraceModeHex);
    }

    // The hex trace of what the port wrote and read, for failure messages.
    std::string Trace() const {
        std::string text;
        for (const std::string& line : window.Lines()) {
            text += line + "\n";
        }
        return text;
    }

    // The port on the first bridge, initialised as the program does for a reader.
    void OpenPort(uint32_t baudRate = 9600) {
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(port.InitPort(baudRate, 8, 0, 0, 0), LR_OK);
    }

    void WaitUntilSent() {
        const auto end = Steady::now() + std::chrono::seconds(1);
        while (emu->PendingTransmit() > 0 && Steady::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Reads until n bytes came or a second passed.
    std::vector<uint8_t> ReadAll(uint32_t n) {
        ByteBuffer got;
        const auto end = Steady::now() + std::chrono::seconds(1);
        while (got.GetCount() < n && Steady::now() < end) {
            uint32_t received = 0;
            EXPECT_EQ(port.Read(got, n - got.GetCount(), received), LR_OK);
        }
        return {got.Bytes().begin(), got.Bytes().end()};
    }

    std::shared_ptr<FtdiD2xx> ftdi = std::make_shared<FtdiD2xx>();
    MemoryOutputWindow window{200};
    ReaderPort port{&window, ftdi};
};

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return bytes;
}

TEST_F(FtdiEmu, OpensTheOneBridge_OnlyOnceAndOnlyWhilePresent) {
    FT_HANDLE first = nullptr;
    FT_HANDLE other = nullptr;
    ASSERT_EQ(ftdi->Open(0, &first), FT_OK);
    EXPECT_EQ(emu->Settings().latencyTimer, FtdiD2xx::kLatencyTimerMs);
    EXPECT_EQ(ftdi->Open(1, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(ftdi->Open(0, &other), FT_DEVICE_NOT_OPENED) << "the first handle has claimed it";
    EXPECT_EQ(ftdi->Close(first), FT_OK);
    ASSERT_EQ(ftdi->Open(0, &other), FT_OK);
    EXPECT_EQ(ftdi->Close(other), FT_OK);

    emu->Unplug(false);
    EXPECT_EQ(ftdi->Open(0, &other), FT_DEVICE_NOT_FOUND);
    emu->Plug();
    EXPECT_EQ(ftdi->Open(0, &other), FT_OK);
}

TEST_F(FtdiEmu, OpensByTheSerialNumberTheBridgeEnumeratesWith) {
    char serial[] = "A5000001";  // the emulated bridge's factory EEPROM
    char otherSerial[] = "A5000002";
    char prefix[] = "A500000";
    FT_HANDLE first = nullptr;
    FT_HANDLE other = nullptr;
    EXPECT_EQ(ftdi->OpenEx(otherSerial, FT_OPEN_BY_SERIAL_NUMBER, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(ftdi->OpenEx(prefix, FT_OPEN_BY_SERIAL_NUMBER, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(ftdi->OpenEx(nullptr, FT_OPEN_BY_SERIAL_NUMBER, &other), FT_INVALID_PARAMETER);
    EXPECT_EQ(ftdi->OpenEx(serial, 2, &other), FT_NOT_SUPPORTED);  // by description
    ASSERT_EQ(ftdi->OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &first), FT_OK);
    EXPECT_EQ(emu->Settings().latencyTimer, FtdiD2xx::kLatencyTimerMs);
    EXPECT_EQ(ftdi->OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &other), FT_DEVICE_NOT_OPENED)
        << "the first handle has claimed it";
    EXPECT_EQ(ftdi->Close(first), FT_OK);

    // Through the port: a USB glitch re-opens the same bridge by its serial number.
    ReaderLink link;
    ASSERT_EQ(port.OpenUsbBySerial(serial), LR_OK);
    EXPECT_EQ(port.GetPortName(), "USB A5000001");
    ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
    port.SetReadMode(ReadModeNormal);
    uint32_t value = 0;
    ASSERT_EQ(link.Request(0, value), LR_OK);
    const uint32_t opens = emu->Settings().opens;
    WaitUntilSent();
    emu->Unplug(true);
    EXPECT_EQ(link.Request(0, value), LR_OK) << Trace();
    EXPECT_GT(emu->Settings().opens, opens);
    port.ClosePort();

    emu->Unplug(false);
    EXPECT_EQ(ftdi->OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &other), FT_DEVICE_NOT_FOUND);
}

TEST_F(FtdiEmu, InitPortSendsTheDivisorAndLineSettings) {
    struct Case {
        uint32_t baudRate;
        uint16_t divisorValue, divisorIndex;
    };
    // 3 MHz / 26 and 3 MHz / 312.5 (the half in the divisor's top bits).
    const Case cases[] = {{115200, 0x001A, 0}, {9600, 0x4138, 0}};
    ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
    for (const Case& c : cases) {
        ASSERT_EQ(port.InitPort(c.baudRate, 8, 0, 0, 0), LR_OK);
        const UsbEmuSettings s = emu->Settings();
        EXPECT_EQ(s.divisorValue, c.divisorValue) << c.baudRate;
        EXPECT_EQ(s.divisorIndex, c.divisorIndex) << c.baudRate;
        EXPECT_NEAR(s.baudRate, c.baudRate, c.baudRate / 100) << "the chip's rate for that divisor";
        EXPECT_EQ(s.lineProperties, 8);  // 8 data bits, no parity, 1 stop bit
        EXPECT_EQ(s.flowControl, 0);
        EXPECT_TRUE(s.dtr && s.rts);
        EXPECT_EQ(s.eventChar, 0);
        EXPECT_EQ(s.errorChar, 0);
    }
    ASSERT_EQ(port.InitPort(19200, 7, 2, 2, 0), LR_OK);
    EXPECT_EQ(emu->Settings().lineProperties, 7 | 2 << 8 | 2 << 11);  // even parity, 2 stop bits
}

TEST_F(FtdiEmu, ABurstOfPacketsArrivesWholeAndInOrderInBothReadModes) {
    emu->SetLoopback(true);
    OpenPort(115200);
    const std::vector<uint8_t> sent = Pattern(300);  // several packets, each with its status bytes
    for (const uint32_t mode : {ReadModeNormal, ReadModePolling}) {
        port.SetReadMode(mode);
        ASSERT_EQ(port.Write(ByteBuffer(sent)), LR_OK);
        EXPECT_EQ(ReadAll(300), sent) << mode;
        EXPECT_EQ(emu->PendingReceive(), 0u) << mode;
    }
}

TEST_F(FtdiEmu, AWriteLongerThanTheBridgesBufferIsNotCutOffAtALowRate) {
    emu->SetLoopback(true);
    OpenPort(9600);
    // The bridge takes 256 bytes at once; the rest waits for the line, longer than the 100 ms
    // write time-out.
    const std::vector<uint8_t> sent = Pattern(400);
    ASSERT_EQ(port.Write(ByteBuffer(sent)), LR_OK);
    EXPECT_EQ(ReadAll(400), sent);
}

TEST_F(FtdiEmu, ReadWithNothingComingEndsAtItsTimeout) {
    OpenPort();
    struct Case {
        uint32_t mode;
        std::chrono::milliseconds atLeast;
    };
    for (const Case c : {Case{ReadModeNormal, std::chrono::milliseconds(100)},
                         Case{ReadModePolling, std::chrono::milliseconds(1)}}) {
        port.SetReadMode(c.mode);
        ByteBuffer got;
        uint32_t received = 99;
        const auto start = Steady::now();
        EXPECT_EQ(port.Read(got, 8, received), LR_OK);
        const auto took = Steady::now() - start;
        EXPECT_EQ(received, 0u);
        EXPECT_GE(took, c.atLeast) << c.mode;
        EXPECT_LT(took, std::chrono::seconds(1)) << c.mode;
    }
}

TEST_F(FtdiEmu, PurgeDropsWhatWasReceived_WhatIsStillBeingSentGoesOut) {
    emu->SetLoopback(true);
    OpenPort(9600);  // about 1 ms a byte
    const std::vector<uint8_t> sent = Pattern(40);
    ASSERT_EQ(port.Write(ByteBuffer(sent)), LR_OK);
    const auto end = Steady::now() + std::chrono::seconds(1);
    while (emu->PendingReceive() < 5 && Steady::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(port.Purge(), LR_OK);
    EXPECT_EQ(emu->Settings().receivePurges, 1u);
    EXPECT_EQ(emu->Settings().transmitPurges, 0u);

    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the rest is through by now
    ByteBuffer rest;
    uint32_t received = 0;
    ASSERT_EQ(port.Read(rest, 40, received), LR_OK);
    const std::vector<uint8_t> got(rest.Bytes().begin(), rest.Bytes().end());
    ASSERT_GT(got.size(), 0u);
    ASSERT_LE(got.size(), 35u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.end() - static_cast<std::ptrdiff_t>(got.size())))
        << "the tail of what was written, in order";
}

TEST_F(FtdiEmu, EventAndErrorCharactersReachTheBridge_AndSurviveEepromProgramming) {
    OpenPort();
    ASSERT_EQ(port.SetEventChars(0x03, 0x15), LR_OK);
    EXPECT_EQ(emu->Settings().eventChar, 0x103);
    EXPECT_EQ(emu->Settings().errorChar, 0x115);

    ASSERT_EQ(port.ReadEeprom(), LR_OK);
    ASSERT_EQ(port.ProgramEeprom(), LR_OK);
    // Programming resets the bridge and raises its latency timer: the adapter puts all back.
    const UsbEmuSettings s = emu->Settings();
    EXPECT_EQ(s.eventChar, 0x103);
    EXPECT_EQ(s.errorChar, 0x115);
    EXPECT_EQ(s.latencyTimer, FtdiD2xx::kLatencyTimerMs);
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_TRUE(s.dtr && s.rts);
}

TEST_F(FtdiEmu, CommandExchangeInBothLinkProcedures) {
    for (const SimLinkMode mode : {SimLink3964R, SimLinkFramed}) {
        emu->Reset();
        emu->Reader().SetLinkMode(mode);
        window.ClearAll();
        ReaderPort fresh{&window, ftdi};
        fresh.SetOutputWindow(&window, false, TraceModeHex);
        ReaderLink link;
        ASSERT_EQ(fresh.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&fresh, 9600), LR_OK) << mode;
        fresh.SetReadMode(ReadModeNormal);  // as the commands page and the command line do
        uint32_t value = 0;
        uint8_t selected = 0;
        EXPECT_EQ(link.Request(0, value), LR_OK) << mode << "\n" << Trace();
        EXPECT_EQ(link.Anticollision(value), LR_OK) << mode;
        EXPECT_EQ(value, 0x12345678u) << mode;
        EXPECT_EQ(link.Select(value, selected), LR_OK) << mode;

        std::vector<uint8_t> commands;
        for (const SimRequest& request : emu->Reader().Requests()) {
            commands.push_back(request.command);
            EXPECT_FALSE(request.repeated) << mode;
        }
        ASSERT_GE(commands.size(), 3u) << mode;
        EXPECT_EQ(std::vector<uint8_t>(commands.end() - 3, commands.end()),
                  (std::vector<uint8_t>{0x41, 0x42, 0x43}))
            << mode;
    }
}

TEST_F(FtdiEmu, ReopensAfterAUsbFault) {
    ReaderLink link;
    ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
    ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
    port.SetReadMode(ReadModeNormal);
    uint32_t value = 0;
    ASSERT_EQ(link.Request(0, value), LR_OK);
    const uint32_t opens = emu->Settings().opens;
    WaitUntilSent();  // the final acknowledgement reaches the reader before the fault

    emu->Unplug(true);  // a glitch: the bridge is back at once, the old handle is dead
    EXPECT_EQ(link.Request(0, value), LR_OK) << Trace();
    EXPECT_EQ(emu->Settings().opens, opens + 1);
    WaitUntilSent();

    emu->Unplug(false);  // gone: the command fails instead of hanging
    EXPECT_NE(link.Request(0, value), LR_OK);
    emu->Plug();
    EXPECT_EQ(link.Request(0, value), LR_OK);
}

// libftdi1's asynchronous form (submitted transfers completed by event handling) against the
// same bridge, looped back.
TEST_F(FtdiEmu, SubmittedTransfersComplete) {
    emu->SetLoopback(true);
    ftdi_context* context = ftdi_new();
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(ftdi_usb_open(context, UsbEmu::kVendorId, UsbEmu::kProductId), 0);
    ASSERT_EQ(ftdi_set_baudrate(context, 115200), 0);
    unsigned char out[100];
    for (unsigned i = 0; i < sizeof out; ++i) {
        out[i] = static_cast<unsigned char>(i * 7);
    }
    ftdi_transfer_control* write = ftdi_write_data_submit(context, out, sizeof out);
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(ftdi_transfer_data_done(write), static_cast<int>(sizeof out));
    unsigned char in[100] = {};
    ftdi_transfer_control* read = ftdi_read_data_submit(context, in, sizeof in);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(ftdi_transfer_data_done(read), static_cast<int>(sizeof in));
    EXPECT_EQ(std::memcmp(in, out, sizeof in), 0);
    ftdi_usb_close(context);
    ftdi_free(context);
}

}  // namespace
