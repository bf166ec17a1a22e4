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
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "gui/pages/commands/MessageRecorder.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "production/CLedgerDialog.h"
#include "production/CProductionDialog.h"
#include "production/Ledger.h"
#include "production/ProductionRecord.h"
#include "programming/CProgrammingDialog.h"
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
        // The user's own settings stay untouched: the page remembers its ledger choice here.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((m_dir / "settings").string()));
        WriteProfiles(m_ledger);
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

    // The profile file names the line's ledger.
    void WriteProfiles(const fs::path& ledger) {
        std::ofstream(m_dir / "profiles.ini") << "[Terminal]\n"
                                                 "[Desk USB]\nIsUSBDevice=1\nProductID=FB1A\n"
                                                 "[Too strong]\nIsUSBDevice=1\nMaxPower=501\n"
                                                 "[Ledger]\nLocation="
                                              << ledger.string() << "\nStation=bench 1\n";
    }
    // The same ledger as another station of the line sees it.
    std::unique_ptr<Ledger> OtherStation() {
        std::string error;
        std::unique_ptr<Ledger> ledger =
            Ledger::Open(m_ledger.string(), LedgerStation::ThisProcess("bench 2"), error);
        EXPECT_NE(ledger, nullptr) << error;
        return ledger;
    }
    // Another station gives out a MIFARE serial number at kThen, and ends its run so.
    void GiveOut(uint32_t number, bool stored) {
        LedgerRequest request{"Terminal", "SerialOnly", true, false, number, true, 99999999, "", ""};
        LedgerRun run;
        std::string message;
        const std::unique_ptr<Ledger> ledger = OtherStation();
        ASSERT_EQ(ledger->ReserveRun(request, kThen, run, message), Ledger::Reserve::Reserved) << message;
        ASSERT_TRUE(
            ledger->FinishRun(run.nId, stored, false, true, stored ? "" : "ERROR: No answer", kThen, message))
            << message;
    }
    // The table's rows as shown, without the time.
    std::vector<QStringList> Runs() {
        auto* table = Control<QTableWidget>(P::IDC_LEDGER_RUNS);
        std::vector<QStringList> rows;
        for (int row = 0; row < table->rowCount(); ++row) {
            QStringList cells;
            for (int column : {P::ColStation, P::ColProfile, P::ColJob, P::ColMifare, P::ColUsb,
                               P::ColOutcome, P::ColMessage}) {
                cells << table->item(row, column)->text();
            }
            rows.push_back(cells);
        }
        return rows;
    }
    QString Label(uint32_t id) { return Control<QLabel>(id)->text(); }
    std::string Messages() { return m_messages.Texts().join(QLatin1Char('|')).toStdString(); }
    // Answers the next modal dialog from inside its event loop.
    static void OnNextDialog(std::function<void(QDialog&)> answer) {
        QTimer::singleShot(0, [answer] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                answer(*dialog);
            }
        });
    }
    template <typename T>
    static T* In(QDialog& dialog, uint32_t id) {
        return qobject_cast<T*>(FindControl(&dialog, id));
    }
    // Presses button 2 of the progress dialog once its log holds text (the timer goes with it).
    static void PressCancelWhenLogged(const QString& text) {
        auto* watcher = new QTimer;
        QObject::connect(watcher, &QTimer::timeout, [watcher, text] {
            auto* dialog = qobject_cast<CProgrammingDialog*>(QApplication::activeModalWidget());
            if (dialog != nullptr && dialog->GetLog()->toPlainText().contains(text)) {
                watcher->stop();
                watcher->deleteLater();
                In<QPushButton>(*dialog, CProgrammingDialog::IDC_CLOSE)->click();
            }
        });
        watcher->start(0);
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
    fs::path m_ledger = m_dir / "ledger.sqlite";
    static constexpr std::time_t kThen = 1714572202;
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
const QString kUnknown7 = QStringLiteral(
    "1 run with unknown outcome: number 00000007. Check those readers; release a number that no reader kept "
    "with \u201cRelease...\u201d.");

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

    // The ledger keeps the run; the page shows it and the number the next reader gets.
    EXPECT_EQ(Label(P::IDC_LEDGER_LOCATION).toStdString(), "file " + m_ledger.string() + ", station bench 1");
    EXPECT_EQ(Runs(), (std::vector<QStringList>{{"bench 1", "Desk USB", "SerialAndUsbSettings", "00000041",
                                                 "QV000041", "stored", ""}}));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                    .match(Control<QTableWidget>(P::IDC_LEDGER_RUNS)->item(0, P::ColTime)->text())
                    .hasMatch());
    EXPECT_EQ(Label(P::IDC_LEDGER_NEXT), "Next number: 000042");
    std::vector<LedgerRun> runs;
    std::string error;
    ASSERT_TRUE(OtherStation()->ListRuns({}, runs, error)) << error;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].usbSerial, 41u);
    EXPECT_EQ(runs[0].mifareSerial, 41u);
    EXPECT_EQ(runs[0].outcome, LedgerOutcome::Stored);
}

TEST_F(ProductionPageTest, TheLedgerRefusesATypedNumberItHoldsAndSkipsItWhenCounting) {
    GiveOut(7, true);
    GiveOut(9, false);
    m_reader->StartSeries("");
    Connect();
    SetText(P::IDC_MIFARE_SERIAL, "7");
    Press(P::IDC_PROGRAM);
    const QString used = QString::fromStdString("Serial number 00000007 was given out on " +
                                                ProductionRecord::FormatTime(kThen) +
                                                " at station bench 2 (profile Terminal, run 1, stored).");
    EXPECT_EQ(m_messages.Texts(), QStringList{used});
    EXPECT_TRUE(m_jobs.empty());
    EXPECT_TRUE(m_reader->GetSeriesReaders().empty());
    EXPECT_FALSE(fs::exists(m_record));
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000007");
    EXPECT_EQ(Label(P::IDC_LEDGER_NEXT), "Next number: 00000008 (00000007 is used)");

    // Counted up from a typed 8, the next reader gets 10: 9 is in a reader that may keep it.
    SetText(P::IDC_MIFARE_SERIAL, "8");
    Press(P::IDC_PROGRAM);
    Press(P::IDC_PROGRAM);
    const std::vector<SimSeriesReader> readers = m_reader->GetSeriesReaders();
    ASSERT_EQ(readers.size(), 2u);
    EXPECT_EQ(readers[0].serialText, "0x00000008");
    EXPECT_EQ(readers[1].serialText, "0x00000010");
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000011");
    EXPECT_EQ(RecordLines(m_record),
              (Lines{kHeader, "Terminal,SerialOnly,00000008,,OK,,", "Terminal,SerialOnly,00000010,,OK,,"}));
    EXPECT_EQ(m_messages.Texts(), QStringList{used});
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

    // Settings that a serial reader does not have show none programmed; the user's choice comes
    // back with a USB profile.
    auto* settings = Control<QCheckBox>(P::IDC_PROGRAM_SETTINGS);
    for (bool chosen : {true, false}) {
        ChooseProfile(1);
        settings->setChecked(chosen);
        ChooseProfile(0);
        EXPECT_FALSE(settings->isChecked());
        ChooseProfile(1);
        EXPECT_EQ(settings->isChecked(), chosen);
    }

    // Read-only fields are drawn on the window's colour, an editable one on the field colour.
    const auto base = [this](uint32_t id) { return Control<QLineEdit>(id)->palette().color(QPalette::Base); };
    const QColor window = m_page.palette().color(QPalette::Window);
    EXPECT_EQ(base(P::IDC_VENDOR_ID), window);
    EXPECT_EQ(base(P::IDC_MIFARE_SERIAL), window) << "a USB profile's MIFARE number follows the USB one";
    EXPECT_NE(base(P::IDC_USB_SERIAL), window);
    ChooseProfile(0);
    EXPECT_NE(base(P::IDC_MIFARE_SERIAL), window);
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
    // One window for the whole series: the next reader's job follows in the dialog of the last.
    std::vector<QWidget*> dialogs;
    QString seriesLine;
    // The third reader has a number already: its dialog waits for "&Close", which ends the series.
    m_beforeJob = [&](size_t job) {
        dialogs.push_back(QApplication::activeModalWidget());
        if (job != 3) {
            return;
        }
        m_reader->StartSeries("0x00000001");
        auto* closer = new QTimer;
        QObject::connect(closer, &QTimer::timeout, [closer, &seriesLine] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            auto* close = dialog != nullptr ? qobject_cast<QPushButton*>(FindControl(dialog, 2)) : nullptr;
            if (close != nullptr && close->isEnabled() && close->text() == "&Close") {
                seriesLine = In<QLabel>(*dialog, CProgrammingDialog::IDC_NOTE)->text();
                closer->deleteLater();
                closer->stop();
                close->click();
            }
        });
        closer->start(0);
    };
    Press(P::IDC_PROGRAM_RANGE);
    EXPECT_EQ(m_jobs.size(), 3u);
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_EQ(dialogs[0], nullptr) << "the series opens its dialog with its first reader";
    EXPECT_NE(dialogs[1], nullptr);
    EXPECT_EQ(dialogs[2], dialogs[1]);
    EXPECT_TRUE(seriesLine.startsWith("Reader 3 of this series; Cancel or Close ends it.\nLast run ("))
        << seriesLine.toStdString();
    EXPECT_TRUE(seriesLine.endsWith("): Terminal, SerialOnly, 00000006: OK")) << seriesLine.toStdString();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the series' end closes its dialog";
    EXPECT_EQ(RecordLines(m_record),
              (Lines{kHeader, "Terminal,SerialOnly,00000005,,OK,,", "Terminal,SerialOnly,00000006,,OK,,",
                     "Terminal,SerialOnly,00000007,,failed,ERROR: Reader already has a serial number!,"}));
    // 7 went out to the third reader, which may keep it: the next reader gets 8, and 7 waits for
    // someone to look at that reader.
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000008");
    EXPECT_EQ(Runs()[0], (QStringList{"bench 1", "Terminal", "SerialOnly", "00000007", "", "unknown",
                                      "ERROR: Reader already has a serial number!"}));
    EXPECT_EQ(Label(P::IDC_LEDGER_OPEN_RUNS), kUnknown7);
    EXPECT_FALSE(Control<QPushButton>(P::IDC_PROGRAM_RANGE)->isChecked());
    // The series checked "&Auto increase serial number" and disabled it; its end enables it.
    EXPECT_TRUE(Control<QCheckBox>(P::IDC_AUTO_INCREASE)->isChecked());
    EXPECT_TRUE(Enabled(P::IDC_AUTO_INCREASE));
}

TEST_F(ProductionPageTest, ACancelAfterTheNumberWentOutLeavesItUnknownAndCountsOn) {
    Connect();
    SetText(P::IDC_MIFARE_SERIAL, "132");
    SimFaults faults;
    faults.silentLoaderCommands = {'S'};  // the number goes in; the confirmation never comes
    m_reader->SetFaults(faults);
    PressCancelWhenLogged("Writing serial number: 0x00000132...");
    Press(P::IDC_PROGRAM);
    const std::string message = "Cancelled after the number went out; not confirmed: the reader may keep it.";
    EXPECT_EQ(RecordLines(m_record),
              (Lines{kHeader, "Terminal,SerialOnly,00000132,,unknown," + message + ","}));
    EXPECT_EQ(Runs()[0], (QStringList{"bench 1", "Terminal", "SerialOnly", "00000132", "", "unknown",
                                      QString::fromStdString(message)}));
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000133") << "the next reader does not get 132 again";
    EXPECT_TRUE(
        Label(P::IDC_LAST_RUN)
            .endsWith(QString::fromStdString("): Terminal, SerialOnly, 00000132: unknown: " + message)))
        << Label(P::IDC_LAST_RUN).toStdString();

    // Cancelled while it waited for the reader, a run touched none: its number is free.
    SimFaults silent;
    silent.silent = true;
    m_reader->SetFaults(silent);
    PressCancelWhenLogged("Please (re)connect the reader...");
    Press(P::IDC_PROGRAM);
    EXPECT_EQ(Text(P::IDC_MIFARE_SERIAL), "00000133");
    EXPECT_EQ(RecordLines(m_record).size(), 2u);
    EXPECT_TRUE(Label(P::IDC_LAST_RUN)
                    .endsWith("): Terminal, SerialOnly, 00000133: cancelled before the reader answered"))
        << Label(P::IDC_LAST_RUN).toStdString();
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
    EXPECT_EQ(m_page.CloseWarning(), QString());
    Press(P::IDC_PROGRAM);
    // Closing the program now asks first: the run is in neither place.
    EXPECT_EQ(m_page.CloseWarning(),
              "1 programming run(s) of this session could not be written to the production record or the "
              "ledger.");
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
    // The ledger keeps downloads too; one whose dialog never reported reached no reader.
    EXPECT_EQ(Runs(), (std::vector<QStringList>{{"bench 1", "Terminal", "DownloadFirmware", "", "",
                                                 "cancelled", "Cancelled before the reader answered."}}));
}

TEST_F(ProductionPageTest, AnUnknownRunIsShownUntilItsNumberIsReleasedWithAReason) {
    GiveOut(7, false);
    Connect();
    EXPECT_EQ(Label(P::IDC_LEDGER_OPEN_RUNS), kUnknown7);
    EXPECT_EQ(Label(P::IDC_LEDGER_NEXT), "Next number: 00000000");
    OnNextDialog([](QDialog& dialog) {
        EXPECT_EQ(In<QComboBox>(dialog, CReleaseDialog::IDC_NUMBER)->currentText(), "00000007");
        In<QPushButton>(dialog, 1)->click();  // without a reason: refused, the dialog stays
        In<QLineEdit>(dialog, CReleaseDialog::IDC_REASON)->setText("reader 7 went to scrap");
        In<QPushButton>(dialog, 1)->click();
    });
    Press(P::IDC_LEDGER_RELEASE);
    EXPECT_EQ(
        Messages(),
        "Please give the reason: the ledger keeps it with the release.|"
        "Serial number 00000007 of run 1 (station bench 2, unknown) is free again: reader 7 went to scrap");
    EXPECT_TRUE(Control<QLabel>(P::IDC_LEDGER_OPEN_RUNS)->isHidden());
    EXPECT_FALSE(Enabled(P::IDC_LEDGER_RELEASE));
    EXPECT_EQ(Runs(),
              (std::vector<QStringList>{{"bench 2", "Terminal", "SerialOnly", "00000007", "", "released",
                                         "Released by bench 1: reader 7 went to scrap"}}));
    // Free again: typed, it programs.
    SetText(P::IDC_MIFARE_SERIAL, "7");
    Press(P::IDC_PROGRAM);
    EXPECT_EQ(m_reader->GetSerialText(), "0x00000007");
}

TEST_F(ProductionPageTest, ALedgerThatCannotBeOpenedStopsProgrammingUntilNoLedgerIsChosen) {
    const fs::path folder = m_dir / "folder.sqlite";
    const fs::path corrupt = m_dir / "corrupt.sqlite";
    fs::create_directories(folder);
    std::ofstream(corrupt) << std::string(4096, 'x');
    struct Case {
        fs::path ledger;
        std::string error;
    };
    const Case cases[] = {
        {folder, "Could not open the production ledger " + folder.string() + ": it is a folder."},
        {corrupt, "Could not open the production ledger " + corrupt.string() + ": file is not a database."},
    };
    Connect();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ledger);
        WriteProfiles(c.ledger);
        Activate();
        EXPECT_EQ(Label(P::IDC_LEDGER_LOCATION).toStdString(), c.error);
        EXPECT_EQ(
            Label(P::IDC_STATUS),
            "Programming waits for the production ledger: choose another with \u201cLedger...\u201d, or "
            "\u201cNo ledger\u201d.");
        EXPECT_FALSE(Control<QLabel>(P::IDC_STATUS)->isHidden());
        EXPECT_FALSE(Enabled(P::IDC_PROGRAM));
        EXPECT_FALSE(Enabled(P::IDC_PROGRAM_RANGE));
        EXPECT_FALSE(Enabled(P::IDC_LEDGER_EXPORT));
        EXPECT_TRUE(Enabled(P::IDC_DOWNLOAD_FIRMWARE)) << "a firmware image takes no number";
    }

    // "No ledger" is this user's choice: remembered in the user's settings, never in the profile file.
    OnNextDialog([](QDialog& dialog) {
        In<QRadioButton>(dialog, CLedgerDialog::IDC_NONE)->click();
        In<QPushButton>(dialog, 1)->click();
    });
    Press(P::IDC_LEDGER_CHOOSE);
    const QString noLedger = QStringLiteral("No ledger: numbers are not checked against other runs.");
    EXPECT_EQ(Label(P::IDC_STATUS), noLedger);
    EXPECT_EQ(Label(P::IDC_LEDGER_LOCATION), "none");
    EXPECT_TRUE(Enabled(P::IDC_PROGRAM));
    EXPECT_TRUE(Enabled(P::IDC_PROGRAM_RANGE));
    CProductionDialog another(m_session);
    another.SetProfilePath((m_dir / "profiles.ini").string());
    another.OnInitDialog();
    another.OnSetActive();
    m_session.WaitForIdle();
    EXPECT_EQ(qobject_cast<QLabel*>(FindControl(&another, P::IDC_STATUS))->text(), noLedger);
    EXPECT_EQ(m_page.CloseWarning(), QString());
    Press(P::IDC_PROGRAM);
    EXPECT_EQ(m_reader->GetSerialText(), "0x00000000");
    EXPECT_TRUE(Runs().empty());
    EXPECT_EQ(m_page.CloseWarning(),
              "With no production ledger, the serial numbers counted on the Production "
              "page start again after a restart.");
    EXPECT_TRUE(m_messages.Texts().isEmpty()) << m_messages.Texts().join('|').toStdString();
}

TEST_F(ProductionPageTest, ExportWritesEveryRunOfTheLedgerOrSaysWhyNot) {
    m_reader->StartSeries("");
    Connect();
    SetText(P::IDC_MIFARE_SERIAL, "3");
    Press(P::IDC_PROGRAM);
    Press(P::IDC_PROGRAM);
    const fs::path exported = m_dir / "ledger";  // saved as ledger.csv, the filter's extension
    const fs::path blocked = m_dir / "profiles.ini" / "ledger.csv";  // below a file
    QString answer;
    const auto previous = SetSaveFileHook([&answer](const SaveFileRequest&) { return answer; });
    for (const fs::path& path : {blocked, exported}) {
        answer = QString::fromStdString(path.string());
        Press(P::IDC_LEDGER_EXPORT);
    }
    SetSaveFileHook(previous);
    EXPECT_FALSE(fs::exists(exported));
    EXPECT_EQ(RecordLines(m_dir / "ledger.csv"),
              (Lines{"profile,job,mifare_serial,usb_serial,result,message,file,station,outcome",
                     "Terminal,SerialOnly,00000003,,OK,,,bench 1,stored",
                     "Terminal,SerialOnly,00000004,,OK,,,bench 1,stored"}));
    EXPECT_EQ(Messages(), "Could not save " + blocked.string() + ": Not a directory.");
}

}  // namespace
