// The production page's rules without widgets, and a series of readers against the simulated
// reader over its USB bridge on a fake clock.
#include "production/ProductionForm.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "link/ReaderPort.h"
#include "production/DeviceProfiles.h"
#include "production/ProductionRecord.h"
#include "sim/SimD2xxProvider.h"

namespace {

namespace fs = std::filesystem;

class ProductionFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir);
        std::ofstream(dir / "MifareProduction.ini")
            << "[Desk USB]\nIsUSBDevice=1\nProductID=FB1A\nMaxPower=100\n"
               "[Terminal RS232]\n"
               "[Door USB]\nIsUSBDevice=1\nManufacturerID=DR\n";
        ASSERT_TRUE(profiles.Load((dir / "MifareProduction.ini").string()));
        form.Activate(profiles);
    }
    void TearDown() override { fs::remove_all(dir); }

    ProductionControls& c() { return form.Controls(); }
    // The operator types into the USB serial edit and leaves it.
    void TypeUsbSerial(const std::string& text) {
        form.EditUsbSerial(text);
        form.LeaveUsbSerial();
    }

    fs::path dir = fs::temp_directory_path() / ("tagbench-production-" + std::to_string(::getpid()));
    DeviceProfiles profiles;
    ProductionForm form;
};

TEST_F(ProductionFormTest, SerialNumbersAreNormalisedWhenTheirFieldIsLeft) {
    struct Case {
        const char* typed;
        const char* usb;
        const char* mifare;
    };
    for (const Case& k : {Case{"42", "000042", "00000042"}, Case{"1234567", "234567", "00234567"},
                          Case{"", "000000", "00000000"}, Case{"999999", "999999", "00999999"}}) {
        TypeUsbSerial(k.typed);
        EXPECT_EQ(c().strUsbSerial, k.usb) << k.typed;
        EXPECT_EQ(c().strMifareSerial, k.mifare) << k.typed;
    }
    form.ChooseProfile(profiles, 1);  // a serial reader: its own MIFARE serial number
    c().strMifareSerial = "123456789";
    form.LeaveMifareSerial();
    EXPECT_EQ(c().strMifareSerial, "23456789");
    c().strMifareSerial = "7";
    form.LeaveMifareSerial();
    EXPECT_EQ(c().strMifareSerial, "00000007");
}

TEST_F(ProductionFormTest, ProfilesFillTheUsbFieldsAndTheFirstIsSelectedOnEachActivation) {
    EXPECT_EQ(c().profiles, (std::vector<std::string>{"Desk USB", "Terminal RS232", "Door USB"}));
    EXPECT_EQ(c().nProfile, 0);
    EXPECT_EQ(c().strProductId, "FB1A");
    EXPECT_EQ(c().strManufacturer, "QV Cardterminal");
    EXPECT_EQ(c().strMaxPower, "100");
    ProductionEnabled enabled = form.GetEnabled(true);
    EXPECT_TRUE(enabled.bUsbSettings && enabled.bReadUsbSettings && enabled.bProgramSettings);
    EXPECT_FALSE(enabled.bMifareSerialEditable);
    EXPECT_FALSE(form.GetEnabled(false).bReadUsbSettings) << "only while the port is open";
    EXPECT_TRUE(form.GetEnabled(false).bStatusVisible);

    form.ChooseProfile(profiles, 1);
    EXPECT_EQ(
        c().strVendorId + c().strProductId + c().strManufacturer + c().strManufacturerId + c().strDescription,
        "");
    EXPECT_EQ(c().strMaxPower, "0");
    EXPECT_FALSE(c().bPnP || c().bSelfPowered || c().bRemoteWakeup);
    enabled = form.GetEnabled(true);
    EXPECT_FALSE(enabled.bUsbSettings || enabled.bReadUsbSettings || enabled.bProgramSettings);
    EXPECT_TRUE(enabled.bMifareSerialEditable);

    form.ChooseProfile(profiles, 2);
    EXPECT_EQ(c().strManufacturerId, "DR");
    EXPECT_EQ(c().strProductId, "6001");
    form.Activate(profiles);
    EXPECT_EQ(c().nProfile, 0);
    EXPECT_EQ(c().strManufacturerId, "QV");
}

TEST_F(ProductionFormTest, TheJobFollowsTheProfileAndTheTwoCheckboxes) {
    struct Case {
        bool usb, settings, serial;
        bool fits;
        ProgrammingMode mode;
    };
    const Case cases[] = {
        {true, true, true, true, SerialAndUsbSettings}, {true, true, false, true, UsbSettingsOnly},
        {true, false, true, true, SerialOnly},          {false, true, true, true, SerialOnly},
        {false, false, true, true, SerialOnly},         {true, false, false, false, SerialOnly},
        {false, true, false, false, SerialOnly},        {false, false, false, false, SerialOnly},
    };
    for (const Case& k : cases) {
        ProgrammingMode mode = SerialOnly;
        EXPECT_EQ(ProductionForm::ChooseJob(k.usb, k.settings, k.serial, mode), k.fits)
            << k.usb << k.settings << k.serial;
        if (k.fits) {
            EXPECT_EQ(mode, k.mode) << k.usb << k.settings << k.serial;
        }
    }
    // A profile's settings make the inputs of the progress dialog.
    TypeUsbSerial("41");
    const ProductionForm::ProgramRequest request = form.BeginProgram();
    ASSERT_EQ(request.start, ProductionForm::Start::Ready);
    EXPECT_EQ(request.inputs.mode, SerialAndUsbSettings);
    EXPECT_EQ(request.inputs.usbSerial, 41u);
    EXPECT_EQ(request.inputs.mifareSerial, 41u);
    EXPECT_EQ(request.inputs.productId, "FB1A");
    EXPECT_EQ(request.inputs.maxPower, 100);
    EXPECT_EQ(request.inputs.manufacturerId, "QV");
}

TEST_F(ProductionFormTest, ASuccessfulRunCountsTheProfilesSerialNumberUpAndStopsAtTheTop) {
    TypeUsbSerial("999997");
    for (const char* expected : {"999998", "999999"}) {
        ASSERT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready);
        form.EndProgram(true);
        EXPECT_EQ(c().strUsbSerial, expected);
        EXPECT_EQ(c().strMifareSerial, std::string("00") + expected);
    }
    ASSERT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready);
    form.EndProgram(false);
    EXPECT_EQ(c().strUsbSerial, "999999") << "a failed run does not count";

    // Counting past the top would start again at 0 and repeat numbers that are in readers.
    ASSERT_TRUE(form.ToggleRange(true));
    ASSERT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready);
    form.EndProgram(true);
    EXPECT_EQ(c().strUsbSerial, "999999");
    EXPECT_FALSE(c().bProgramRange) << "the series ends at the top";
    const ProductionForm::ProgramRequest usedUp = form.BeginProgram();
    EXPECT_EQ(usedUp.start, ProductionForm::Start::OutOfRange);
    EXPECT_EQ(usedUp.message,
              "USB serial number 999999 was the last one and has been used. Type the next "
              "reader's number.");
    EXPECT_EQ(usedUp.nControl, ProductionForm::IdUsbSerial);
    TypeUsbSerial("999999");
    form.SetNumberTyped(true);
    EXPECT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready) << "a typed number is the user's call";

    form.ChooseProfile(profiles, 1);
    c().strMifareSerial = "99999998";
    ASSERT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready);
    form.EndProgram(true);
    EXPECT_EQ(c().strMifareSerial, "99999999");
    EXPECT_EQ(c().strUsbSerial, "999999") << "a serial reader counts its MIFARE serial number";
    c().bAutoIncrease = false;
    ASSERT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready);
    form.EndProgram(true);
    EXPECT_EQ(c().strMifareSerial, "99999999");
    c().bAutoIncrease = true;
    ASSERT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready);
    form.EndProgram(false, true);
    EXPECT_EQ(form.BeginProgram().message,
              "Serial number 99999999 was the last one and has been used. Type the next reader's number.")
        << "a number that went out is used up even when its job failed";
}

// A value outside its limit programs nothing: the reader never gets a value the operator did not
// enter. A running series ends at once instead of repeating the message.
TEST_F(ProductionFormTest, AValueOutsideItsLimitShowsItsMessageAndProgramsNothing) {
    struct Case {
        std::string ProductionControls::*field;
        const char* value;
        const char* message;
        int control;
    };
    const Case cases[] = {
        {&ProductionControls::strMaxPower, "501", "Please enter a number from 0 to 500.",
         ProductionForm::IdMaxPower},
        {&ProductionControls::strManufacturer, "Manufacturer with a name of 41 characters",
         "Please enter no more than 40 characters.", ProductionForm::IdManufacturer},
        {&ProductionControls::strManufacturerId, "QVX", "Please enter no more than 2 characters.",
         ProductionForm::IdManufacturerId},
        {&ProductionControls::strUsbSerial, "1000000", "Please enter a number from 0 to 999999.",
         ProductionForm::IdUsbSerial},
        {&ProductionControls::strMifareSerial, "4x", "Please enter a positive integer.",
         ProductionForm::IdMifareSerial},
    };
    for (const Case& k : cases) {
        form.Activate(profiles);
        TypeUsbSerial("5");
        ASSERT_TRUE(form.ToggleRange(true));
        c().*k.field = k.value;
        const ProductionForm::ProgramRequest request = form.BeginProgram();
        EXPECT_EQ(request.start, ProductionForm::Start::OutOfRange) << k.value;
        EXPECT_EQ(request.message, k.message);
        EXPECT_EQ(request.nControl, k.control);
        EXPECT_FALSE(c().bProgramRange) << k.value;
        EXPECT_TRUE(form.GetEnabled(true).bAutoIncrease);
    }
}

// Activating the page again or choosing the same serial profile keeps the number a series of
// serial readers has counted up to; another profile starts again from the USB serial number.
TEST_F(ProductionFormTest, ASerialProfileKeepsItsCountedNumberUntilAnotherProfileIsChosen) {
    TypeUsbSerial("000010");
    form.ChooseProfile(profiles, 1);
    EXPECT_EQ(c().strMifareSerial, "00000010");
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(form.BeginProgram().start, ProductionForm::Start::Ready);
        form.EndProgram(true);
    }
    EXPECT_EQ(c().strMifareSerial, "00000013");
    form.ChooseProfile(profiles, 1);
    EXPECT_EQ(c().strMifareSerial, "00000013");

    std::ofstream(dir / "MifareProduction.ini") << "[Terminal RS232]\n[Desk USB]\nIsUSBDevice=1\n";
    ASSERT_TRUE(profiles.Load((dir / "MifareProduction.ini").string()));
    form.Activate(profiles);
    EXPECT_EQ(c().strMifareSerial, "00000013");

    form.ChooseProfile(profiles, 1);
    EXPECT_EQ(c().strMifareSerial, "00000010") << "a USB reader's follows its USB serial number";
    form.ChooseProfile(profiles, 0);
    EXPECT_EQ(c().strMifareSerial, "00000010");
}

TEST_F(ProductionFormTest, ProgramRangeStartsOnlyWhenAJobFits) {
    form.ChooseProfile(profiles, 1);
    c().bProgramSerial = false;
    EXPECT_FALSE(form.ToggleRange(true));
    EXPECT_TRUE(c().bProgramRange) << "the toggle keeps its state";
    EXPECT_FALSE(form.ToggleRange(false));
    EXPECT_FALSE(c().bProgramRange);

    c().bProgramSerial = true;
    c().bAutoIncrease = false;
    EXPECT_TRUE(form.ToggleRange(true));
    EXPECT_TRUE(c().bAutoIncrease);
    EXPECT_FALSE(form.GetEnabled(true).bAutoIncrease);
    EXPECT_FALSE(form.ToggleRange(false));
    EXPECT_TRUE(form.GetEnabled(true).bAutoIncrease);
}

class ProductionSimTest : public ProductionFormTest {
protected:
    void SetUp() override {
        ProductionFormTest::SetUp();
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(port.InitPort(19200, 8, 0, 0, 0), LR_OK);
    }
    // Runs the progress dialog's job as its timer would; cancels once cancelAfterMs have passed.
    bool Run(ProgrammingSequence& sequence, const ProgrammingInputs& inputs,
             uint32_t cancelAfterMs = UINT32_MAX) {
        sequence.SetInputs(inputs);
        sequence.Begin();
        const uint32_t start = clock.GetTickCount();
        while (sequence.IsRunning()) {
            if (clock.GetTickCount() - start >= cancelAfterMs) {
                sequence.Cancel();
                break;
            }
            sequence.Step();
            clock.Advance(sequence.GetNextStepDelay());
        }
        return sequence.GetResult() == ProgrammingSequence::ResultOk;
    }

    FakeClock clock{1000};
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    std::shared_ptr<SimD2xxProvider> bridge = std::make_shared<SimD2xxProvider>(reader, clock);
    ReaderPort port{nullptr, bridge};
};

TEST_F(ProductionSimTest, TheSeriesProgramsThreeReadersWithCountingNumbersUntilCancel) {
    ProductionRecord record((dir / "record.csv").string());
    reader->StartSeries("");
    TypeUsbSerial("42");
    ASSERT_TRUE(form.ToggleRange(true));
    int dialogs = 0;
    while (c().bProgramRange) {
        const ProductionForm::ProgramRequest request = form.BeginProgram();
        ASSERT_EQ(request.start, ProductionForm::Start::Ready);
        ProgrammingSequence sequence(port, clock);
        if (++dialogs == 4) {
            SimFaults faults;
            faults.silent = true;  // nobody plugs in a fourth reader
            reader->SetFaults(faults);
        }
        const bool ok = Run(sequence, request.inputs, dialogs == 4 ? 2000 : UINT32_MAX);
        if (ProductionRecord::ShouldRecord(sequence)) {
            ASSERT_TRUE(record.Append(ProductionRecord::MakeEntry(form.GetProfileName(), sequence, 0)));
        }
        form.EndProgram(ok);
    }
    EXPECT_EQ(dialogs, 4);
    const std::vector<SimSeriesReader> readers = reader->GetSeriesReaders();
    ASSERT_EQ(readers.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(readers[i].serialText, "0x0000004" + std::to_string(2 + i));
        EXPECT_EQ(readers[i].eeprom.serialNumber, "QV00004" + std::to_string(2 + i));
        EXPECT_EQ(readers[i].eeprom.productId, 0xFB1A);
    }
    EXPECT_EQ(c().strUsbSerial, "000045") << "the next reader's number";
    EXPECT_TRUE(form.GetEnabled(true).bAutoIncrease);

    std::ifstream in(dir / "record.csv");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.substr(line.find(',')));  // without the time
    }
    EXPECT_EQ(lines, (std::vector<std::string>{",profile,job,mifare_serial,usb_serial,result,message,file",
                                               ",Desk USB,SerialAndUsbSettings,00000042,QV000042,OK,,",
                                               ",Desk USB,SerialAndUsbSettings,00000043,QV000043,OK,,",
                                               ",Desk USB,SerialAndUsbSettings,00000044,QV000044,OK,,"}))
        << "the cancelled wait for a fourth reader touched none";
}

TEST_F(ProductionSimTest, AReaderWithASerialNumberIsRefusedAndRecordedAsFailed) {
    reader->StartSeries("0x00000007");
    form.ChooseProfile(profiles, 1);
    c().strMifareSerial = "00000100";
    const ProductionForm::ProgramRequest request = form.BeginProgram();
    ProgrammingSequence sequence(port, clock);
    form.EndProgram(Run(sequence, request.inputs));
    EXPECT_EQ(c().strMifareSerial, "00000100");
    ASSERT_TRUE(ProductionRecord::ShouldRecord(sequence));
    const ProductionRecord::Entry entry = ProductionRecord::MakeEntry("Terminal RS232", sequence, 0);
    EXPECT_EQ(ProductionRecord::FormatLine(entry).substr(entry.strTime.size()),
              ",Terminal RS232,SerialOnly,00000100,,failed,ERROR: Reader already has a serial number!,");
}

TEST_F(ProductionSimTest, ThePageRunsThePortAt9600BaudAndPutsTheOldRateBack) {
    form.EnterPort(port);
    EXPECT_EQ(bridge->GetBaudRate(), 9600u);
    form.LeavePort(port);
    EXPECT_EQ(bridge->GetBaudRate(), 19200u);
}

TEST_F(ProductionSimTest, ReadUsbSettingsSummarisesTheBridgeOrSaysItCouldNot) {
    std::string text;
    ASSERT_TRUE(ProductionForm::ReadUsbSettings(port, text));
    EXPECT_TRUE(text.starts_with("Vendor ID:\t0x0403\nProduct ID:\t0x6001\nManufacturer:\tTagbench\n"))
        << text;
    bridge->FailCall("FT_EE_Read", 4);
    EXPECT_FALSE(ProductionForm::ReadUsbSettings(port, text));
    EXPECT_EQ(text, "Could not read USB settings.");
}

}  // namespace
