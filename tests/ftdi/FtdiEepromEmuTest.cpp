// The USB EEPROM record's round trip through the libftdi1 adapter and the real libftdi1, into the
// emulated FT232R's EEPROM bytes and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "EmuTest.h"
#include "link/FtdiD2xx.h"
#include "link/FtdiEepromImage.h"
#include "link/ReaderPort.h"

namespace {

class FtdiEepromEmu : public EmuTest {
protected:
    void SetUp() override {
        EmuTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(port.InitPort(9600, 8, 0, 0, 0), LR_OK);
    }

    static std::string Utf16(const UsbEmu::Eeprom& eeprom, size_t pointerAt) {
        std::string text;
        const size_t offset = eeprom[pointerAt] & 0x7F;
        for (size_t i = 2; i + 1 < eeprom[pointerAt + 1]; i += 2) {
            text.push_back(static_cast<char>(eeprom[(offset + i) % UsbEmu::kEepromSize]));
        }
        return text;
    }

    // The image with its checksum made valid again, as a tool that wrote it would.
    static UsbEmu::Eeprom WithChecksum(UsbEmu::Eeprom eeprom) {
        const uint16_t checksum = UsbEmu::EepromChecksum(eeprom);
        eeprom[UsbEmu::kEepromSize - 2] = static_cast<uint8_t>(checksum);
        eeprom[UsbEmu::kEepromSize - 1] = static_cast<uint8_t>(checksum >> 8);
        return eeprom;
    }

    ReaderPort port{nullptr, std::make_shared<FtdiD2xx>()};
    UsbEepromRecord& record = port.GetEepromRecord();
};

TEST_F(FtdiEepromEmu, ReadsTheFactorySettings) {
    ASSERT_EQ(port.ReadEeprom(), LR_OK);
    EXPECT_EQ(record.GetVendorId(), "0403");
    EXPECT_EQ(record.GetProductId(), "6001");
    EXPECT_EQ(record.GetManufacturer(), "FTDI");
    EXPECT_EQ(record.GetDescription(), "FT232R USB UART");
    EXPECT_EQ(record.GetSerialNumberText(), "A5000001");
    EXPECT_EQ(record.GetManufacturerId(), "A5");
    EXPECT_EQ(record.GetMaxPower(), 90);
    EXPECT_EQ(record.GetSelfPowered(), 0);
    EXPECT_EQ(record.GetRemoteWakeup(), 1);
    EXPECT_EQ(record.GetSerNumEnable(), 1);
    EXPECT_EQ(record.GetRev4(), 1);
}

TEST_F(FtdiEepromEmu, ProgramsEveryFieldAndReadsItBack) {
    ASSERT_EQ(port.ReadEeprom(), LR_OK);  // as the programming sequence does first
    ASSERT_TRUE(record.SetVendorId(0x0403));
    ASSERT_TRUE(record.SetProductId(0xFB1A));
    ASSERT_TRUE(record.SetManufacturer("Tagbench Ltd"));
    ASSERT_TRUE(record.SetManufacturerId("QV"));
    ASSERT_TRUE(record.SetDescription("MIFARE reader"));
    ASSERT_TRUE(record.SetSerialNumber(1234));
    ASSERT_TRUE(record.SetMaxPower(250));
    ASSERT_TRUE(record.SetPnP(0));
    ASSERT_TRUE(record.SetSelfPowered(1));
    ASSERT_TRUE(record.SetRemoteWakeup(0));
    record.SetRev4(1);
    record.SetIsoIn(1);
    record.SetIsoOut(1);
    record.SetPullDownEnable(1);
    record.SetSerNumEnable(1);
    record.SetUsbVersionEnable(1);
    ASSERT_TRUE(record.SetUsbVersion(0x0110));
    ASSERT_EQ(port.ProgramEeprom(), LR_OK);

    // The bytes the bridge keeps: checksum valid, identity and texts where the chip looks.
    const UsbEmu::Eeprom bytes = emu->GetEeprom();
    EXPECT_EQ(bytes[0x7E] | bytes[0x7F] << 8, UsbEmu::EepromChecksum(bytes));
    EXPECT_EQ(bytes[0x02] | bytes[0x03] << 8, 0x0403);
    EXPECT_EQ(bytes[0x04] | bytes[0x05] << 8, 0xFB1A);
    EXPECT_EQ(bytes[0x09], 125) << "max. power in 2 mA units";
    EXPECT_EQ(Utf16(bytes, 0x0E), "Tagbench Ltd");
    EXPECT_EQ(Utf16(bytes, 0x10), "MIFARE reader");
    EXPECT_EQ(Utf16(bytes, 0x12), "QV001234");

    ReaderPort other{nullptr, std::make_shared<FtdiD2xx>()};
    ASSERT_EQ(port.ClosePort(), LR_OK);
    ASSERT_EQ(other.OpenPort(PortKindUsb, 0), LR_OK);
    ASSERT_EQ(other.InitPort(9600, 8, 0, 0, 0), LR_OK);
    ASSERT_EQ(other.ReadEeprom(), LR_OK);
    const UsbEepromRecord& back = other.GetEepromRecord();
    EXPECT_EQ(back.GetVendorId(), "0403");
    EXPECT_EQ(back.GetProductId(), "FB1A");
    EXPECT_EQ(back.GetManufacturer(), "Tagbench Ltd");
    EXPECT_EQ(back.GetManufacturerId(), "QV");
    EXPECT_EQ(back.GetDescription(), "MIFARE reader");
    EXPECT_EQ(back.GetSerialNumber(), 1234u);
    EXPECT_EQ(back.GetMaxPower(), 250);
    EXPECT_EQ(back.GetPnP(), 1) << "libftdi1 reads back no Plug 'n Play flag of an FT232R";
    EXPECT_EQ(back.GetSelfPowered(), 1);
    EXPECT_EQ(back.GetRemoteWakeup(), 0);
    EXPECT_EQ(back.GetRev4(), 1);
    EXPECT_EQ(back.GetIsoIn(), 1);
    EXPECT_EQ(back.GetIsoOut(), 1);
    EXPECT_EQ(back.GetPullDownEnable(), 1);
    EXPECT_EQ(back.GetSerNumEnable(), 1);
    EXPECT_EQ(back.GetUsbVersionEnable(), 0)
        << "an FT232R has no USB version switch: its version is always used";
    EXPECT_EQ(back.GetUsbVersion(), 0x0110);

    // Plugged in again, the bridge enumerates with the new identity, which the adapter still takes.
    ASSERT_EQ(other.ClosePort(), LR_OK);
    emu->Unplug(true);
    EXPECT_EQ(other.OpenPort(PortKindUsb, 0), LR_OK);
}

TEST_F(FtdiEepromEmu, TextsTooLongForTheChipAreRefusedWithNothingWritten) {
    // The record takes 40 characters each; the FT232R has room for 48 in all.
    const UsbEmu::Eeprom before = emu->GetEeprom();
    ASSERT_TRUE(record.SetManufacturer(std::string(40, 'M')));
    ASSERT_TRUE(record.SetDescription(std::string(40, 'D')));
    EXPECT_EQ(port.ProgramEeprom(), LR_D2XX_BASE + FT_INVALID_PARAMETER);
    EXPECT_EQ(emu->Settings().eepromWordWrites, 0u);
    EXPECT_EQ(emu->GetEeprom(), before);
}

TEST_F(FtdiEepromEmu, BlankOrCorruptedEeprom) {
    UsbEmu::Eeprom blank;
    blank.fill(0xFF);
    emu->SetEeprom(blank);
    EXPECT_EQ(port.ReadEeprom(), LR_D2XX_BASE + FT_EEPROM_NOT_PROGRAMMED);
    // Programming a blank bridge starts from libftdi1's defaults for the chip.
    ASSERT_TRUE(record.SetManufacturerId("QV"));
    ASSERT_TRUE(record.SetSerialNumber(7));
    ASSERT_TRUE(record.SetDescription("Reader"));
    ASSERT_EQ(port.ProgramEeprom(), LR_OK);
    const UsbEmu::Eeprom written = emu->GetEeprom();
    EXPECT_EQ(written[0x7E] | written[0x7F] << 8, UsbEmu::EepromChecksum(written));
    ASSERT_EQ(port.ReadEeprom(), LR_OK);
    EXPECT_EQ(record.GetSerialNumberText(), "QV000007");

    UsbEmu::Eeprom corrupted = written;
    corrupted[0x09] ^= 0x01;
    emu->SetEeprom(corrupted);
    EXPECT_EQ(port.ReadEeprom(), LR_D2XX_BASE + FT_EEPROM_READ_FAILED);
}

// Checksum-valid images whose string descriptors libftdi1 would follow outside the EEPROM: refused
// before anything is decoded. The factory image puts its strings at 0x18 (manufacturer, 10 bytes),
// 0x22 (product, 32) and 0x42 (serial number, 18).
TEST_F(FtdiEepromEmu, StringDescriptorsOutsideTheImageAreRefusedAsCorrupt) {
    using Change = std::function<void(UsbEmu::Eeprom&)>;
    const struct {
        const char* what;
        Change change;
        bool corrupt;
    } cases[] = {
        {"the factory image", [](UsbEmu::Eeprom&) {}, false},
        {"every offset and length 0xFE",
         [](UsbEmu::Eeprom& e) { std::fill(e.begin() + 0x0E, e.begin() + 0x14, 0xFE); }, true},
        {"the serial number moved to end right before the checksum",
         [](UsbEmu::Eeprom& e) {
             std::copy_n(e.begin() + 0x42, 18, e.begin() + 0x6C);
             e[0x12] = 0x80 | 0x6C;
         },
         false},
        {"the serial number moved to run into the checksum",
         [](UsbEmu::Eeprom& e) {
             std::copy_n(e.begin() + 0x42, 18, e.begin() + 0x6E);
             e[0x12] = 0x80 | 0x6E;
         },
         true},
        {"no serial number (length 0)", [](UsbEmu::Eeprom& e) { e[0x13] = 0; }, false},
        {"an odd length", [](UsbEmu::Eeprom& e) { e[0x11] = e[0x22] = 31; }, true},
        {"a descriptor of another type", [](UsbEmu::Eeprom& e) { e[0x23] = 0x04; }, true},
        {"a length that differs from the descriptor's own", [](UsbEmu::Eeprom& e) { e[0x0F] = 8; }, true},
        {"a descriptor inside the pointer pairs", [](UsbEmu::Eeprom& e) { e[0x0E] = 0x80 | 0x0E; }, true},
    };
    const UsbEmu::Eeprom factory = emu->GetEeprom();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UsbEmu::Eeprom image = factory;
        c.change(image);
        emu->SetEeprom(WithChecksum(image));
        const LinkResult result = port.ReadEeprom();
        if (c.corrupt) {
            EXPECT_EQ(result, LR_D2XX_BASE + kFtEepromCorrupt);
            EXPECT_EQ(LinkResultText(result), "the bridge's EEPROM content is corrupt");
        } else {
            EXPECT_EQ(result, LR_OK);
            EXPECT_EQ(record.GetDescription(), "FT232R USB UART");
        }
    }
}

// Programming keeps the settings of a sound image that the record does not carry (here the CBUS pin
// functions at 0x14), and starts a corrupt one over from the chip's defaults.
TEST_F(FtdiEepromEmu, ProgrammingACorruptImageStartsFromTheDefaults) {
    const UsbEmu::Eeprom factory = emu->GetEeprom();
    for (const bool corrupt : {false, true}) {
        SCOPED_TRACE(corrupt ? "corrupt" : "sound");
        UsbEmu::Eeprom image = factory;
        image[0x14] = 0x77;
        if (corrupt) {
            image[0x11] = 0xFE;
        }
        emu->SetEeprom(WithChecksum(image));
        EXPECT_EQ(port.ReadEeprom(), corrupt ? LR_D2XX_BASE + kFtEepromCorrupt : LR_OK);
        ASSERT_TRUE(record.SetManufacturerId("QV"));
        ASSERT_TRUE(record.SetSerialNumber(9));
        ASSERT_TRUE(record.SetDescription("Reader"));
        ASSERT_EQ(port.ProgramEeprom(), LR_OK);
        const UsbEmu::Eeprom written = emu->GetEeprom();
        EXPECT_EQ(written[0x14] == 0x77, !corrupt);
        ASSERT_EQ(port.ReadEeprom(), LR_OK);
        EXPECT_EQ(record.GetDescription(), "Reader");
        EXPECT_EQ(record.GetSerialNumberText(), "QV000009");
    }
}

}  // namespace
