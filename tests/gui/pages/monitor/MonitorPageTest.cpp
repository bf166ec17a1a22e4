// The monitor page as a terminal (over a pseudo-terminal that plays the reader) and the
// programming jobs it starts (against the simulated reader on the fake clock).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "core/link/PseudoTerminal.h"
#include "gui/pages/commands/MessageRecorder.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "pages/monitor/CMonitorDialog.h"
#include "pages/monitor/CMonitorRichEdit.h"
#include "programming/CProgrammingDialog.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "widgets/FileDialog.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Answers the file dialogs of the page with a fixed path, and remembers the filters they offered.
class FileNames {
public:
    explicit FileNames(QString path) : m_path(std::move(path)) {
        m_previousSave = SetSaveFileHook([this](const SaveFileRequest& request) {
            filters.push_back(QStringLiteral("save: ") + request.strFilter);
            titles.push_back(request.strTitle);
            return m_path;
        });
        m_previousOpen = SetOpenFileHook([this](const QString& filter) {
            filters.push_back(QStringLiteral("open: ") + filter);
            return m_path;
        });
    }
    ~FileNames() {
        SetSaveFileHook(m_previousSave);
        SetOpenFileHook(m_previousOpen);
    }
    std::vector<QString> filters;
    std::vector<QString> titles;

private:
    QString m_path;
    SaveFileHook m_previousSave;
    OpenFileHook m_previousOpen;
};

QPushButton* Button(QWidget* root, uint32_t id) {
    return qobject_cast<QPushButton*>(FindControl(root, id));
}

// The page over a pseudo-terminal: the test is the reader on the master side.
class MonitorTerminalTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_line.IsValid());
        m_page.OnInitDialog();
        ASSERT_EQ(m_port.OpenPortByName(m_line.SlaveName()), LR_OK);
        ASSERT_EQ(m_port.InitPort(9600, 8, 0, 0, 0), LR_OK);
        m_page.OnSetActive();
        m_session.WaitForIdle();
    }
    void TearDown() override {
        m_page.OnKillActive();
        m_session.Shutdown();
    }

    void Type(Qt::Key key, const QString& text, int count = 1) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text, count > 1, static_cast<ushort>(count));
        QApplication::sendEvent(m_page.GetTerminal(), &press);
    }
    QString Terminal() const { return m_page.GetTerminal()->toPlainText(); }

    PseudoTerminal m_line;
    ReaderPort m_port{nullptr, nullptr};
    ReaderLink m_link;
    CReaderSession m_session{m_port, m_link};
    CMonitorDialog m_page{m_session};
};

TEST_F(MonitorTerminalTest, TypedCharactersGoOutByteForByteAndAreNotEchoed) {
    EXPECT_EQ(m_page.GetStatus(), QString::fromStdString(m_line.SlaveName() + " connected at 9600 baud."));
    Type(Qt::Key_A, QStringLiteral("A"));
    Type(Qt::Key_A, QStringLiteral("a"), 3);  // a held key: once per repeat
    Type(Qt::Key_Return, QStringLiteral("\r"));
    Type(Qt::Key_Backspace, QStringLiteral("\b"));
    Type(Qt::Key_C, QStringLiteral("\x03"));  // Ctrl+C is a byte for the reader, not a copy
    Type(Qt::Key_Left, QString());            // no character: nothing to send
    Bytes sent;
    for (int i = 0; i < 20 && sent.size() < 7; ++i) {
        m_session.WaitForIdle();
        const Bytes more = m_line.Receive(100);
        sent.insert(sent.end(), more.begin(), more.end());
    }
    EXPECT_EQ(sent, (Bytes{0x41, 0x61, 0x61, 0x61, 0x0D, 0x08, 0x03}));
    QTest::qWait(3 * CMonitorDialog::kPollPeriodMs);
    m_session.WaitForIdle();
    EXPECT_EQ(Terminal(), QString());
}

TEST_F(MonitorTerminalTest, ReceivedBytesShowAsTextAndAsHexChunks) {
    m_page.GetHexToggle()->setChecked(true);
    m_line.Send({'O', 'K', 0x0A, 0x0D, 0x00, 'x', 0x08, 'y'});
    QTRY_COMPARE_WITH_TIMEOUT(Terminal(), QStringLiteral("OK\n0xy"), 2000);
    m_session.WaitForIdle();  // the trace reaches the terminal before the read's result reaches the page
    EXPECT_FALSE(m_page.GetHexView()->isHidden());
    // One line per chunk read; a pseudo-terminal may hand the bytes over in more than one.
    EXPECT_EQ(m_page.GetHexView()->toPlainText().remove('\n'), QStringLiteral("4F 4B 0A 0D 00 78 08 79 "));
    const qsizetype before = m_page.GetHexView()->toPlainText().split('\n').size();

    // With timestamps, a chunk that begins a line carries the time it came; Clear empties both.
    m_page.GetTimestampToggle()->setChecked(true);
    m_line.Send({'\n', 'A', 'B'});
    QTRY_VERIFY_WITH_TIMEOUT(Terminal().contains(QStringLiteral("AB")), 2000);
    m_session.WaitForIdle();
    const QRegularExpression stamped(QStringLiteral("^OK\\n0xy\\n\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d AB$"));
    EXPECT_TRUE(stamped.match(Terminal()).hasMatch()) << Terminal().toStdString();
    // The chunks read since carry stamps.
    const QStringList chunks = m_page.GetHexView()->toPlainText().split('\n');
    const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "));
    QString later;
    for (qsizetype i = before; i < chunks.size(); ++i) {
        EXPECT_TRUE(stamp.match(chunks[i]).hasMatch()) << chunks[i].toStdString();
        later += QString(chunks[i]).remove(stamp);
    }
    EXPECT_EQ(later, QStringLiteral("0A 41 42 "));
    Button(&m_page, CMonitorDialog::IDC_CLEAR)->click();
    EXPECT_EQ(Terminal(), QString());
    EXPECT_EQ(m_page.GetHexView()->toPlainText(), QString());
}

TEST_F(MonitorTerminalTest, ALineThatGoesAwayEndsThePollingAndSaysWhy) {
    QSignalSpy lost(&m_session, &CReaderSession::LineLost);
    m_line.CloseMaster();
    ASSERT_TRUE(lost.wait(5000));
    m_session.WaitForIdle();
    const QString text =
        QString::fromStdString("Connection to " + m_line.SlaveName() + " lost: Input/output error");
    EXPECT_EQ(m_page.GetStatus(), text + ".");
    EXPECT_FALSE(m_page.GetTerminal()->isEnabled());
    EXPECT_EQ(Terminal(), "<" + text + ">\n");
    // No poll runs on: nothing more is traced or reported.
    QTest::qWait(3 * CMonitorDialog::kPollPeriodMs);
    m_session.WaitForIdle();
    EXPECT_EQ(lost.size(), 1);
    EXPECT_FALSE(m_session.IsBusy());
    EXPECT_EQ(Terminal(), "<" + text + ">\n");
}

TEST_F(MonitorTerminalTest, SaveWritesWhatIsShownAndReportsAFileItCannotWrite) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tagbench-monitor-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto saved = [&dir](const char* name) {
        std::ifstream file(dir / name);
        return QString::fromStdString(std::string(std::istreambuf_iterator<char>(file), {}));
    };
    // The text alone; a line the reader left open still ends the file.
    m_line.Send({'h', 'e', 'l', 'l', 'o', '\n', 'o', 'k'});
    QTRY_COMPARE_WITH_TIMEOUT(Terminal(), QStringLiteral("hello\nok"), 2000);
    {
        FileNames names(QString::fromStdString((dir / "saved.txt").string()));
        m_page.GetSaveButton()->click();
        EXPECT_EQ(saved("saved.txt"), QStringLiteral("hello\nok\n"));
        EXPECT_EQ(names.filters,
                  (std::vector<QString>{QStringLiteral("save: Text files (*.txt);;All files (*)")}));
        EXPECT_EQ(names.titles, (std::vector<QString>{QStringLiteral("Save the monitor's output")}));
    }
    // With the hex view and timestamps on: both views, stamped as shown, under a name that gets the
    // filter's extension. A control character is saved as its picture, never as itself.
    Button(&m_page, CMonitorDialog::IDC_CLEAR)->click();
    m_page.GetHexToggle()->setChecked(true);
    m_page.GetTimestampToggle()->setChecked(true);
    m_line.Send({'h', 'i', 0x1B, '[', '2', 'J', '\n'});
    QTRY_VERIFY_WITH_TIMEOUT(Terminal().endsWith(QStringLiteral("[2J\n")), 2000);
    m_session.WaitForIdle();
    {
        FileNames names(QString::fromStdString((dir / "both").string()));
        m_page.GetSaveButton()->click();
    }
    const QString both = saved("both.txt");
    const QString stamp = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ");
    const QRegularExpression layout(QStringLiteral("^Received text:\\n%1hi\u241B\\[2J\\n\\nReceived bytes "
                                                   "\\(hexadecimal\\):\\n((%1[0-9A-F ]+\\n)+)$")
                                        .arg(stamp));
    const QRegularExpressionMatch match = layout.match(both);
    ASSERT_TRUE(match.hasMatch()) << both.toStdString();
    EXPECT_EQ(match.captured(1).remove(QRegularExpression(stamp)).remove('\n'),
              QStringLiteral("68 69 1B 5B 32 4A 0A "));
    {
        FileNames names(QString::fromStdString((dir / "missing" / "saved.txt").string()));
        MessageRecorder messages;
        m_page.GetSaveButton()->click();
        ASSERT_EQ(messages.Texts().size(), 1u);
        EXPECT_TRUE(messages.Texts()[0].startsWith(QStringLiteral("Could not save ")))
            << messages.Texts()[0].toStdString();
    }
    std::filesystem::remove_all(dir);
}

TEST(MonitorPageClosedTest, NotConnectedDisablesTheTerminalAndFileButtonsButNotClear) {
    ReaderPort port{nullptr, nullptr};
    ReaderLink link;
    CReaderSession session{port, link};
    CMonitorDialog page{session};
    page.OnInitDialog();
    page.OnSetActive();
    session.WaitForIdle();
    EXPECT_EQ(page.GetStatus(), QStringLiteral("Not connected. Go to 'settings' tab to connect."));
    EXPECT_FALSE(page.GetTerminal()->isEnabled());
    for (uint32_t id : {CMonitorDialog::IDC_PROGRAM, CMonitorDialog::IDC_VERIFY}) {
        EXPECT_FALSE(Button(&page, id)->isEnabled()) << id;
    }
    EXPECT_TRUE(Button(&page, CMonitorDialog::IDC_CLEAR)->isEnabled());
    EXPECT_FALSE(page.IsPolling());
    // Alt+B and Alt+X belong to the sheet's About and Exit, on every page.
    for (const QAbstractButton* button : page.findChildren<QAbstractButton*>()) {
        const QString text = button->text().toLower();
        EXPECT_FALSE(text.contains("&b") || text.contains("&x")) << button->text().toStdString();
    }
}

// Jobs from the page against the simulated reader over the simulated USB bridge, on the fake clock.
class MonitorJobTest : public testing::Test {
protected:
    void SetUp() override {
        m_page.OnInitDialog();
        ASSERT_EQ(m_port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(m_link.Connect(&m_port, 115200), LR_OK);
        m_page.OnSetActive();
        m_session.WaitForIdle();
        ASSERT_TRUE(m_page.IsPolling());
        m_dwPollingTimeout = m_d2xx->GetReadTimeout();
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        m_page.OnKillActive();
        m_session.Shutdown();
        std::filesystem::remove_all(m_dir);
    }

    QString File(const std::string& name, const Bytes& content) {
        const std::string path = (m_dir / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), content.size());
        return QString::fromStdString(path);
    }

    // Clicks the page's button; act is called with the programming dialog, between its steps, until
    // it returns true. Returns the dialog's log as it ended; m_nResult is its result.
    QStringList RunJob(uint32_t button, std::function<bool(CProgrammingDialog*)> act) {
        QStringList log;
        m_nResult = -1;
        QTimer watch;
        CProgrammingDialog* seen = nullptr;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<CProgrammingDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr) {
                return;
            }
            if (dialog != seen) {
                seen = dialog;
                QObject::connect(dialog, &QDialog::finished, [&log, this, dialog](int result) {
                    log = dialog->GetLog()->toPlainText().split('\n');
                    m_nResult = result;
                });
            }
            if (m_session.IsBusy()) {
                return;  // a step is changing what the dialog shows
            }
            if (act(dialog)) {
                watch.stop();
            }
        });
        watch.start(0);
        // A dialog that never ends would hang the run: end it, and fail.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<CProgrammingDialog*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << "the job did not end";
                dialog->done(QDialog::Rejected);
            }
        });
        guard.start(20000);
        Button(&m_page, button)->click();
        return log;
    }
    static bool Ended(CProgrammingDialog* dialog) {
        return Button(dialog, CProgrammingDialog::IDC_CLOSE)->text() == QStringLiteral("&Close");
    }
    static bool CloseWhenEnded(CProgrammingDialog* dialog) {
        if (!Ended(dialog)) {
            return false;
        }
        Button(dialog, CProgrammingDialog::IDC_CLOSE)->click();
        return true;
    }

    std::filesystem::path m_dir =
        std::filesystem::temp_directory_path() / ("tagbench-monitor-jobs-" + std::to_string(::getpid()));
    FakeClock m_clock{1000};
    std::shared_ptr<SimReader> m_reader = std::make_shared<SimReader>(m_clock);
    std::shared_ptr<SimD2xxProvider> m_d2xx = std::make_shared<SimD2xxProvider>(m_reader, m_clock);
    ReaderPort m_port{nullptr, m_d2xx};
    ReaderLink m_link{m_clock};
    CReaderSession m_session{m_port, m_link};
    CMonitorDialog m_page{m_session};
    uint32_t m_dwPollingTimeout = 0;
    int m_nResult = -1;
};

TEST_F(MonitorJobTest, ProgramRunsTheBlockFileToItsEndAndPollingResumes) {
    Bytes image(144);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 5 + 3);
    }
    FileNames names(File("image.btl", image));
    QString caption;
    bool destinationShown = false;
    const QStringList log = RunJob(CMonitorDialog::IDC_PROGRAM, [&](CProgrammingDialog* dialog) {
        caption = dialog->windowTitle();
        destinationShown = !FindControl(dialog, CProgrammingDialog::IDC_DESTINATION_GROUP)->isHidden();
        return CloseWhenEnded(dialog);
    });
    EXPECT_EQ(names.filters, (std::vector<QString>{QStringLiteral("open: *.btl (*.btl);;All files (*)")}));
    EXPECT_EQ(log, (QStringList{"Please (re)connect the reader...", "Get Version: TBLOAD 1.0",
                                "Reset CRC: OK", "Programming file: image.btl",
                                "File is successfully programmed!", "Verify CRC: OK", "Reboot: OK"}));
    EXPECT_EQ(caption, QStringLiteral("Programming file: image.btl"));
    EXPECT_TRUE(destinationShown);
    const auto blocks = m_reader->GetFlashBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(std::equal(blocks[1].begin(), blocks[1].end(), image.begin() + 72));
    // The loader's answers, read by the job and not by the page's polls, show in both views.
    EXPECT_TRUE(m_page.GetTerminal()->toPlainText().contains(QStringLiteral("TBLOAD 1.0")))
        << m_page.GetTerminal()->toPlainText().toStdString();
    EXPECT_TRUE(m_page.GetHexView()->toPlainText().remove('\n').contains(
        QStringLiteral("54 42 4C 4F 41 44 20 31 2E 30 ")))
        << m_page.GetHexView()->toPlainText().toStdString();
    // What went out (the image's first bytes) stays out of them.
    EXPECT_FALSE(m_page.GetHexView()->toPlainText().remove('\n').contains(QStringLiteral("03 08 0D 12 17 ")));
    // The page polls again, in the read mode it set before the job.
    m_session.WaitForIdle();
    EXPECT_TRUE(m_page.IsPolling());
    EXPECT_EQ(m_d2xx->GetReadTimeout(), m_dwPollingTimeout);
}

TEST_F(MonitorJobTest, SendFileOffersAllFilesAndClosesByItself) {
    const Bytes raw(100, 0x5A);
    FileNames names(File("raw.bin", raw));
    // Nothing is clicked: the dialog closes itself once the file is out.
    const QStringList log = RunJob(CMonitorDialog::IDC_SEND_FILE, [](CProgrammingDialog*) { return false; });
    EXPECT_EQ(names.filters, (std::vector<QString>{QStringLiteral("open: All files (*)")}));
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.back(), QStringLiteral("File sent successful!"));
    EXPECT_EQ(m_nResult, QDialog::Accepted);
    m_session.WaitForIdle();
    EXPECT_TRUE(m_page.IsPolling());
}

TEST_F(MonitorJobTest, CancelEndsAJobWaitingForTheLoaderAndNextRunsItAgainAfterAFailure) {
    // A reader that never answers keeps the job waking it; Cancel ends it.
    SimFaults faults;
    faults.silent = true;
    m_reader->SetFaults(faults);
    FileNames names(File("image.btl", Bytes(72, 0x11)));
    uint32_t started = 0;
    QStringList log = RunJob(CMonitorDialog::IDC_VERIFY, [&](CProgrammingDialog* dialog) {
        if (started == 0) {
            started = m_clock.GetTickCount();
        }
        if (m_clock.GetTickCount() - started < 2000) {
            return false;
        }
        Button(dialog, CProgrammingDialog::IDC_CLOSE)->click();
        return true;
    });
    EXPECT_EQ(log, (QStringList{"Please (re)connect the reader..."}));
    EXPECT_EQ(m_nResult, QDialog::Rejected);
    m_session.WaitForIdle();
    EXPECT_TRUE(m_page.IsPolling());

    // A file the loader refuses fails; "&Next" starts over with an empty log.
    m_reader->SetFaults({});
    faults = {};
    faults.refusedLoaderCommands = {0x02};
    m_reader->SetFaults(faults);
    int runs = 0;
    log = RunJob(CMonitorDialog::IDC_VERIFY, [&](CProgrammingDialog* dialog) {
        if (!Ended(dialog)) {
            return false;
        }
        if (++runs == 1) {
            Button(dialog, CProgrammingDialog::IDC_NEXT)->click();
            return false;
        }
        return CloseWhenEnded(dialog);
    });
    EXPECT_EQ(runs, 2);
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.count(QStringLiteral("Please (re)connect the reader...")), 1);
    EXPECT_EQ(log.back(), QStringLiteral("An error occured while verifying!"));
}

}  // namespace
