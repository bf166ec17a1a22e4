#include "production/UsbEepromRecord.h"

#include <gtest/gtest.h>

#include <functional>

#include "link/ReaderPort.h"
#include "sim/SimD2xxProvider.h"

namespace {

TEST(UsbEepromRecord, DefaultsAreThoseOfANewPort) {
    UsbEepromRecord record;
    EXPECT_EQ(record.GetVendorId(), "0403");
    EXPECT_EQ(record.GetProductId(), "6001");
    EXPECT_EQ(record.GetManufacturer(), "");
    EXPECT_EQ(record.GetSerialNumber(), 0u);
    EXPECT_EQ(record.GetMaxPower(), 40);
    EXPECT_EQ(record.GetPnP() + record.GetSelfPowered() + record.GetRemoteWakeup(), 3);
    EXPECT_EQ(record.GetUsbVersion(), 0);
}

TEST(UsbEepromRecord, SettersAcceptTheirLimitsAndRefuseBeyondThem) {
    struct Case {
        const char* what;
        std::function<bool(UsbEepromRecord&)> set;
        bool accepted;
    };
    const std::string forty(40, 'M');
    const std::vector<Case> cases = {
        {"vendor 0403", [](auto& r) { return r.SetVendorId(0x0403); }, true},
        {"vendor 0404", [](auto& r) { return r.SetVendorId(0x0404); }, false},
        {"product fb1f", [](auto& r) { return r.SetProductId(std::string("fb1f")); }, true},
        {"product FB18", [](auto& r) { return r.SetProductId(std::string("FB18")); }, true},
        {"product FB17", [](auto& r) { return r.SetProductId(std::string("FB17")); }, false},
        {"product FB20", [](auto& r) { return r.SetProductId(std::string("FB20")); }, false},
        {"product 601", [](auto& r) { return r.SetProductId(std::string("601")); }, false},
        {"product 60x1", [](auto& r) { return r.SetProductId(std::string("60x1")); }, false},
        {"manufacturer 40", [&](auto& r) { return r.SetManufacturer(forty); }, true},
        {"manufacturer 41", [&](auto& r) { return r.SetManufacturer(forty + "M"); }, false},
        {"description 41", [&](auto& r) { return r.SetDescription(forty + "D"); }, false},
        {"manufacturer ID 2", [](auto& r) { return r.SetManufacturerId("QV"); }, true},
        {"manufacturer ID 3", [](auto& r) { return r.SetManufacturerId("QVX"); }, false},
        {"manufacturer ID 1", [](auto& r) { return r.SetManufacturerId("Q"); }, false},
        {"serial 999999", [](auto& r) { return r.SetSerialNumber(999999); }, true},
        {"serial 1000000", [](auto& r) { return r.SetSerialNumber(1000000); }, false},
        {"power 500", [](auto& r) { return r.SetMaxPower(500); }, true},
        {"power 501", [](auto& r) { return r.SetMaxPower(501); }, false},
        {"pnp 2", [](auto& r) { return r.SetPnP(2); }, false},
        {"self powered 2", [](auto& r) { return r.SetSelfPowered(2); }, false},
        {"wakeup 2", [](auto& r) { return r.SetRemoteWakeup(2); }, false},
        {"usb 0110", [](auto& r) { return r.SetUsbVersion(0x0110); }, true},
        {"usb 0200", [](auto& r) { return r.SetUsbVersion(0x0200); }, true},
        {"usb 0101", [](auto& r) { return r.SetUsbVersion(0x0101); }, false},
    };
    for (const Case& c : cases) {
        UsbEepromRecord record;
        record.SetManufacturer("before");
        record.SetDescription("before");
        const std::string summary = record.FormatSummary();
        EXPECT_EQ(c.set(record), c.accepted) << c.what;
        if (!c.accepted) {
            EXPECT_EQ(record.FormatSummary(), summary) << c.what << ": a refused value changes nothing";
        }
    }
}

TEST(UsbEepromRecord, SerialNumberTextFollowsTheManufacturerId) {
    UsbEepromRecord record;
    ASSERT_TRUE(record.SetSerialNumber(5));
    EXPECT_EQ(record.GetSerialNumberText(), "") << "no manufacturer ID yet";
    ASSERT_TRUE(record.SetManufacturerId("QV"));
    ASSERT_TRUE(record.SetSerialNumber(999999));
    EXPECT_EQ(record.GetSerialNumberText(), "QV999999");
    ASSERT_TRUE(record.SetSerialNumber(42));
    EXPECT_EQ(record.GetSerialNumberText(), "QV000042");
    EXPECT_EQ(record.GetSerialNumber(), 42u);
    EXPECT_NE(record.FormatSummary().find("Serial number:\tQV000042\n"), std::string::npos);
}

TEST(UsbEepromRecord, PortReadsAndProgramsOverUsbOnly) {
    FakeClock clock;
    auto reader = std::make_shared<SimReader>(clock);
    ReaderPort usb(nullptr, std::make_shared<SimD2xxProvider>(reader, clock));
    ASSERT_EQ(usb.OpenPort(PortKindUsb, 0), LR_OK);
    ASSERT_EQ(usb.ReadEeprom(), LR_OK);
    EXPECT_EQ(usb.GetEepromRecord().GetManufacturer(), reader->GetEeprom().manufacturer);
    EXPECT_EQ(usb.GetEepromRecord().GetSerialNumberText(), reader->GetEeprom().serialNumber);
    ASSERT_TRUE(usb.GetEepromRecord().SetDescription("Programmed"));
    ASSERT_EQ(usb.ProgramEeprom(), LR_OK);
    EXPECT_EQ(reader->GetEeprom().description, "Programmed");

    ReaderPort com(nullptr, std::make_shared<SimD2xxProvider>(reader, clock));
    EXPECT_EQ(com.ReadEeprom(), LR_NOT_USB);
    EXPECT_EQ(com.ProgramEeprom(), LR_NOT_USB);
    EXPECT_EQ(com.GetEepromRecord().GetManufacturer(), "") << "untouched";
}

}  // namespace
