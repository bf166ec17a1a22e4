// The production page against the simulated reader over the simulated USB bridge, on the fake
// clock: the progress dialog steps the loader through the worker and closes itself on success.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "gui/pages/commands/MessageRecorder.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "production/CProductionDialog.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "widgets/FileDialog.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using P = CProductionDialog;

class ProductionPageTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_dir);
        std::ofstream(m_dir / "profiles.ini") << "[Terminal]\n"
                                                 "[Desk USB]\nIsUSBDevice=1\nProductID=FB1A\n"
                                                 "[Too strong]\nIsUSBDevice=1\nMaxPower=501\n";
        m_page.SetProfilePath((m_dir / "profiles.ini").string());
        m_page.SetRecordPath(m_record.string());
        m_page.OnInitDialog();
        // Counts the jobs that reach the progress dialog.
        m_page.SetProgrammingRunner(
            [this, real = m_page.SetProgrammingRunner({})](const ProgrammingInputs& in, const auto& ended) {
                m_jobs.push_back(in);
                if (m_beforeJob) {
                    m_beforeJob(m_jobs.size());
                }
                return real(in, ended);
            });
        // A dialog that never ends fails the test instead of hanging it.
        m_watchdog.setInterval(20000);
        QObject::connect(&m_watchdog, &QTimer::timeout, [] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << "a dialog stayed open: " << dialog->windowTitle().toStdString();
                dialog->done(QDialog::Rejected);
            }
        });
        m_watchdog.start();
    }
    void TearDown() override {
        m_session.Shutdown();
        fs::remove_all(m_dir);
    }

    // Connects at baud and shows the page.
    void Connect(uint32_t baud = 115200) {
        ASSERT_EQ(m_port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(m_link.Connect(&m_port, baud), LR_OK);
        Activate();
    }
    void Activate() {
        m_page.OnSetActive();
        m_session.WaitForIdle();
    }
    void Leave() {
        m_page.OnKillActive();
        m_session.WaitForIdle();
    }
    void ChooseProfile(int index) {
        Control<QComboBox>(P::IDC_PROFILE)->setCurrentIndex(index);
        emit Control<QComboBox>(P::IDC_PROFILE)->activated(index);
    }
    void Press(uint32_t id) {
        Control<QPushButton>(id)->click();
        m_session.WaitForIdle();
    }
    template <typename T>
    T* Control(uint32_t id) {
        return qobject_cast<T*>(FindControl(&m_page, id));
    }
    QString Text(uint32_t id) { return Control<QLineEdit>(id)->text(); }
    void SetText(uint32_t id, const char* text) {
        Control<QLineEdit>(id)->setText(QString::fromLatin1(text));
    }
    bool Enabled(uint32_t id) { return FindControl(&m_page, id)->isEnabled(); }
    // The record's lines without their time.
    Lines RecordLines(const fs::path& path) {
        std::ifstream in(path);
        Lines lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line.substr(line.find(',') + 1));
        }
        return lines;
    }

    fs::path m_dir = fs::temp_directory_path() / ("tagbench-production-page-" + std::to_string(::getpid()));
    fs::path m_record = m_dir / "record.csv";
    FakeClock m_clock{1000};
    std::shared_ptr<SimReader> m_reader = std::make_shared<SimReader>(m_clock);
    ReaderPort m_port{nullptr, std::make_shared<SimD2xxProvider>(m_reader, m_clock)};
    ReaderLink m_link{m_clock};
    CReaderSession m_session{m_port, m_link};
    CProductionDialog m_page{m_session};
    MessageRecorder m_messages;
    std::vector<ProgrammingInputs> m_jobs;
    std::function<void(size_t job)> m_beforeJob;
    QTimer m_watchdog;
};

const char* kHeader = "profile,job,mifare_serial,usb_serial,result,message,file";

TEST_F(ProductionPageTest, AUsbProfileProgramsOneReaderCountsUpAndRecordsIt) {
    Connect();
    ChooseProfile(1);
    EXPECT_EQ(Text(P::IDC_VENDOR_ID), "0403");
    EXPECT_EQ(Text(P::IDC_PRODUCT_ID), "FB1A");
    EXPECT_EQ(Text(P::IDC_MANUFACTURER), "QV Cardterminal");
    EXPECT_EQ(Text(P::IDC_MAX_POWER), "40");
    EXPECT_TRUE(Control<QLineEdit>(P::IDC_MIFARE_SERIAL)->isReadOnly());
    EXPECT_FALSE(Enabled(P::IDC_MIFARE_SERIAL_SPIN));
    // The flags show the profile; a click does not change them.
    Control<QCheckBox>(P::IDC_SELF_POWERED)->click();
    EXPECT_TRUE(Control<QCheckBox>(P::IDC_SELF_POWERED)->isChecked());

    // The MIFARE serial number follows the USB serial number as it is typed.
    SetText(P::IDC_USB_SERIAL, "41");
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "41");
    Press(P::IDC_PROGRAM);

    ASSERT_EQ(m_jobs.size(), 1u);
    EXPECT_EQ(m_jobs[0].mode, SerialAndUsbSettings);
    EXPECT_EQ(m_reader->GetSerialText(), "0x00000041");
    const SimEeprom eeprom = m_reader->GetEeprom();
    EXPECT_EQ(eeprom.serialNumber, "QV000041");
    EXPECT_EQ(eeprom.productId, 0xFB1A);
    EXPECT_EQ(Text(P::IDC_USB_SERIAL), "000042");
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000042");
    EXPECT_EQ(RecordLines(m_record),
              (Lines{kHeader, "Desk USB,SerialAndUsbSettings,00000041,QV000041,OK,,"}));
    EXPECT_TRUE(m_messages.Texts().isEmpty()) << m_messages.Texts().join('|').toStdString();
}

TEST_F(ProductionPageTest, EnabledStatesFollowTheProfileAndThePort) {
    struct Case {
        bool open;
        int profile;
        // status shown, USB group, read USB, program settings, program serial, program, MIFARE editable
        std::vector<bool> states;
    };
    const Case cases[] = {
        {false, 0, {true, false, false, false, false, false, true}},
        {false, 1, {true, true, false, true, false, false, false}},
        {true, 0, {false, false, false, false, true, true, true}},
        {true, 1, {false, true, true, true, true, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.open << " " << c.profile);
        if (c.open && !m_port.IsOpen()) {
            Connect();
        } else {
            Activate();
        }
        ChooseProfile(c.profile);
        const std::vector<bool> states{
            !Control<QLabel>(P::IDC_STATUS)->isHidden(),
            Enabled(P::IDC_VENDOR_ID),
            Enabled(P::IDC_READ_USB_SETTINGS),
            Enabled(P::IDC_PROGRAM_SETTINGS),
            Enabled(P::IDC_PROGRAM_SERIAL),
            Enabled(P::IDC_PROGRAM) && Enabled(P::IDC_PROGRAM_RANGE) && Enabled(P::IDC_DOWNLOAD_FIRMWARE),
            !Control<QLineEdit>(P::IDC_MIFARE_SERIAL)->isReadOnly()};
        EXPECT_EQ(states, c.states);
    }
    // A serial profile empties the USB fields; the USB profile fills them again.
    EXPECT_EQ(Text(P::IDC_PRODUCT_ID), "FB1A");
    ChooseProfile(0);
    EXPECT_EQ(Text(P::IDC_PRODUCT_ID), "");
    EXPECT_EQ(Text(P::IDC_MAX_POWER), "0");
}

TEST_F(ProductionPageTest, ASerialSeriesKeepsItsNumberAcrossTabChanges) {
    m_reader->StartSeries("");
    Connect();
    SetText(P::IDC_MIFARE_SERIAL, "7");
    Press(P::IDC_PROGRAM);
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000008");
    Leave();
    Activate();
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000008");
    ChooseProfile(0);  // the same profile again
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000008");
    Press(P::IDC_PROGRAM);
    const std::vector<SimSeriesReader> readers = m_reader->GetSeriesReaders();
    ASSERT_EQ(readers.size(), 2u);
    EXPECT_EQ(readers[0].serialText, "0x00000007");
    EXPECT_EQ(readers[1].serialText, "0x00000008");
    EXPECT_EQ(RecordLines(m_record),
              (Lines{kHeader, "Terminal,SerialOnly,00000007,,OK,,", "Terminal,SerialOnly,00000008,,OK,,"}));
}

TEST_F(ProductionPageTest, ARangeRunsUntilAReaderDoesNotEndWithOk) {
    m_reader->StartSeries("");
    Connect();
    SetText(P::IDC_MIFARE_SERIAL, "5");
    Control<QCheckBox>(P::IDC_AUTO_INCREASE)->setChecked(false);
    // The third reader has a number already: its dialog waits for "&Close", which ends the series.
    m_beforeJob = [this](size_t job) {
        if (job != 3) {
            return;
        }
        m_reader->StartSeries("0x00000001");
        auto* closer = new QTimer;
        QObject::connect(closer, &QTimer::timeout, [closer] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            auto* close = dialog != nullptr ? qobject_cast<QPushButton*>(FindControl(dialog, 2)) : nullptr;
            if (close != nullptr && close->isEnabled() && close->text() == "&Close") {
                closer->deleteLater();
                closer->stop();
                close->click();
            }
        });
        closer->start(0);
    };
    Press(P::IDC_PROGRAM_RANGE);
    EXPECT_EQ(m_jobs.size(), 3u);
    EXPECT_EQ(RecordLines(m_record),
              (Lines{kHeader, "Terminal,SerialOnly,00000005,,OK,,", "Terminal,SerialOnly,00000006,,OK,,",
                     "Terminal,SerialOnly,00000007,,failed,ERROR: Reader already has a serial number!,"}));
    // 7 went out to the third reader, which may keep it: the next reader gets 8.
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000008");
    EXPECT_FALSE(Control<QPushButton>(P::IDC_PROGRAM_RANGE)->isChecked());
    // The series checked "&Auto increase serial number" and disabled it; its end enables it.
    EXPECT_TRUE(Control<QCheckBox>(P::IDC_AUTO_INCREASE)->isChecked());
    EXPECT_TRUE(Enabled(P::IDC_AUTO_INCREASE));
}

TEST_F(ProductionPageTest, AFieldOutsideItsLimitProgramsNothing) {
    struct Case {
        int profile;
        const char* usbSerial;  // typed, the field not left
        uint32_t button;
        QString message;
        uint32_t focus;
    };
    const Case cases[] = {
        {2, "1", P::IDC_PROGRAM, "Please enter a number from 0 to 500.", P::IDC_MAX_POWER},
        {1, "1234567", P::IDC_PROGRAM, "Please enter a number from 0 to 999999.", P::IDC_USB_SERIAL},
        {2, "1", P::IDC_PROGRAM_RANGE, "Please enter a number from 0 to 500.", P::IDC_MAX_POWER},
    };
    Connect();
    m_page.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_page));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        ChooseProfile(c.profile);
        SetText(P::IDC_USB_SERIAL, c.usbSerial);
        m_messages.Clear();
        Press(c.button);
        EXPECT_EQ(m_messages.Texts(), QStringList{c.message});
        EXPECT_EQ(ControlId(QApplication::focusWidget()), c.focus);
        // A series ends at once instead of repeating the message.
        EXPECT_FALSE(Control<QPushButton>(P::IDC_PROGRAM_RANGE)->isChecked());
        EXPECT_TRUE(Enabled(P::IDC_AUTO_INCREASE));
    }
    EXPECT_TRUE(m_jobs.empty());
    EXPECT_EQ(m_reader->GetSerialText(), "");
    EXPECT_FALSE(fs::exists(m_record));
}

TEST_F(ProductionPageTest, ThePortRunsAt9600WhileThePageIsShown) {
    for (uint32_t baud : {115200u, 9600u}) {
        SCOPED_TRACE(baud);
        if (!m_port.IsOpen()) {
            Connect(baud);
        } else {
            ASSERT_EQ(m_port.SetBaudRate(baud), LR_OK);
            Activate();
        }
        EXPECT_EQ(m_port.GetBaudRate(), 9600u);
        Leave();
        EXPECT_EQ(m_port.GetBaudRate(), baud);
    }
}

TEST_F(ProductionPageTest, APageDestroyedWhileItsPortSwitchRunsWaitsForIt) {
    Connect(115200);
    Leave();
    // The switch to 9600 baud runs on the worker with the page's form; the page goes at once.
    auto page = std::make_unique<CProductionDialog>(m_session);
    page->SetProfilePath((m_dir / "profiles.ini").string());
    page->OnSetActive();
    page.reset();
    EXPECT_FALSE(m_session.IsBusy());
    EXPECT_EQ(m_port.GetBaudRate(), 9600u);
}

TEST_F(ProductionPageTest, ReadUsbSettingsShowsTheSummaryOfTheReadersBridge) {
    Connect();
    ChooseProfile(1);
    Press(P::IDC_READ_USB_SETTINGS);
    ASSERT_EQ(m_messages.Texts().size(), 1);
    EXPECT_TRUE(
        m_messages.Texts()[0].startsWith("Vendor ID:\t0x0403\nProduct ID:\t0x6001\n"
                                         "Manufacturer:\tTagbench\nManufacturer ID:\tTB\n"
                                         "Description:\tSimulated MIFARE reader\n"
                                         "Serial number:\tTB000001\n"))
        << m_messages.Texts()[0].toStdString();
    EXPECT_EQ(m_messages.Icons()[0], MessageIcon::Information);
    // The summary only shows: the page keeps the profile's values.
    EXPECT_EQ(Text(P::IDC_PRODUCT_ID), "FB1A");
}

TEST_F(ProductionPageTest, TheRecordIsShownCanBeMovedAndAFailedWriteIsReported) {
    Connect();
    EXPECT_EQ(Control<QLabel>(P::IDC_RECORD_PATH)->text().toStdString(), m_record.string());
    const fs::path moved = m_dir / "line 2" / "record.csv";
    const fs::path blocked = m_dir / "profiles.ini" / "record.csv";  // below a file
    QString answer;
    const auto previous = SetSaveFileHook([&answer](const SaveFileRequest& request) {
        EXPECT_FALSE(request.bConfirmOverwrite) << "the record is appended to";
        return answer;
    });
    for (const fs::path& path : {blocked, moved}) {
        answer = QString::fromStdString(path.string());
        Press(P::IDC_RECORD_CHOOSE);
    }
    SetSaveFileHook(previous);
    EXPECT_EQ(m_messages.Texts(),
              QStringList{QString::fromStdString("Could not write the production record " + blocked.string() +
                                                 ": Not a directory.")});
    EXPECT_EQ(Control<QLabel>(P::IDC_RECORD_PATH)->text().toStdString(), moved.string());
    EXPECT_EQ(RecordLines(moved), Lines{kHeader});

    // A run whose line cannot be written says so; the reader it programmed still counts.
    m_page.SetRecordPath(blocked.string());
    m_messages.Clear();
    SetText(P::IDC_MIFARE_SERIAL, "3");
    Press(P::IDC_PROGRAM);
    EXPECT_EQ(m_reader->GetSerialText(), "0x00000003");
    EXPECT_EQ(m_messages.Texts(),
              QStringList{QString::fromStdString("Could not write the production record " + blocked.string() +
                                                 ": Not a directory.")});
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000004");
}

TEST_F(ProductionPageTest, DownloadFirmwareRunsOnlyWithAChosenFile) {
    Connect();
    const fs::path image = m_dir / "reader.A07";
    std::ofstream(image) << "image";
    for (const QString& answer : {QString(), QString::fromStdString(image.string())}) {
        const auto previous = SetOpenFileHook([&answer](const QString& filter) {
            EXPECT_EQ(filter, "Firmware files (*.A07);;All files (*.*)");
            return answer;
        });
        m_page.SetProgrammingRunner([this](const ProgrammingInputs& in, const auto&) {
            m_jobs.push_back(in);
            return false;
        });
        Press(P::IDC_DOWNLOAD_FIRMWARE);
        SetOpenFileHook(previous);
    }
    ASSERT_EQ(m_jobs.size(), 1u);
    EXPECT_EQ(m_jobs[0].mode, DownloadFirmware);
    EXPECT_EQ(m_jobs[0].filePath, image.string());
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000000") << "no serial number changes";
}

}  // namespace
