#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include "app/CAllControlsSheet.h"
#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "gui/common/RunUntil.h"
#include "gui/pages/commands/DialogAnswerer.h"
#include "gui/pages/commands/MessageRecorder.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "pages/commands/CMifareCommandsDlg.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"
#include "widgets/CContReadStatisticsWidget.h"
#include "widgets/COutputWindowWidget.h"
#include "widgets/FileDialog.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kUid = 0x0A10B20C;

// The page against the simulated reader over the simulated USB bridge, on the fake clock.
class CommandsPageTest : public testing::Test {
protected:
    void SetUp() override {
        m_reader->EnterCard(Simulator::SampleCard(kUid));
        m_page.OnInitDialog();
    }

    void Connect() {
        ASSERT_EQ(m_port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(m_link.Connect(&m_port, 115200), LR_OK);
        m_page.OnSetActive();
        m_session.WaitForIdle();
        m_reader->ClearRequests();
        m_port.ClearOutput();
    }

    QPushButton* Button(uint32_t id) { return qobject_cast<QPushButton*>(FindControl(&m_page, id)); }
    QString Label() {
        return qobject_cast<QLabel*>(FindControl(&m_page, CMifareCommandsDlg::IDC_LEGEND))->text();
    }

    // Presses the button and waits for the answer; answer handles the dialog it opens, if any.
    void Press(uint32_t id, std::function<bool(QDialog*)> answer = {}) {
        if (answer) {
            AnswerNextDialog(std::move(answer));
        }
        Button(id)->click();
        m_session.WaitForIdle();
    }

    // The requests the reader took, as command code followed by parameters.
    std::vector<Bytes> Requests() {
        std::vector<Bytes> requests;
        for (const SimRequest& request : m_reader->Requests()) {
            Bytes bytes{request.command};
            bytes.insert(bytes.end(), request.params.begin(), request.params.end());
            requests.push_back(bytes);
        }
        return requests;
    }

    QString Output() { return m_page.GetOutputWindow()->toPlainText(); }

    FakeClock m_clock;
    std::shared_ptr<SimReader> m_reader = std::make_shared<SimReader>(m_clock);
    ReaderPort m_port{nullptr, std::make_shared<SimD2xxProvider>(m_reader, m_clock)};
    ReaderLink m_link{m_clock};
    CReaderSession m_session{m_port, m_link};
    CMifareCommandsDlg m_page{m_session};
    MessageRecorder m_messages;
};

void SetField(QDialog* dialog, uint32_t id, const QString& text) {
    QWidget* control = FindControl(dialog, id);
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        combo->setEditText(text);
    } else {
        qobject_cast<QLineEdit*>(control)->setText(text);
    }
}

QString Field(QDialog* dialog, uint32_t id) {
    QWidget* control = FindControl(dialog, id);
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        return combo->currentText();
    }
    return qobject_cast<QLineEdit*>(control)->text();
}

void Check(QDialog* dialog, uint32_t id, bool checked = true) {
    qobject_cast<QAbstractButton*>(FindControl(dialog, id))->setChecked(checked);
}

bool IsChecked(QDialog* dialog, uint32_t id) {
    return qobject_cast<QAbstractButton*>(FindControl(dialog, id))->isChecked();
}

struct ButtonCase {
    uint32_t id;
    std::function<bool(QDialog*)> answer;
    Bytes request;  // command code, then parameters
};

TEST_F(CommandsPageTest, EachButtonSendsItsCommandWithItsParameters) {
    Connect();
    const auto block = [](const char* number) {
        return [number](QDialog* d) {
            SetField(d, 1027, number);
            return true;
        };
    };
    const auto change = [](const char* number, const char* value) {
        return [number, value](QDialog* d) {
            SetField(d, 1027, number);
            SetField(d, 1029, value);
            return true;
        };
    };
    const ButtonCase cases[] = {
        {CMifareCommandsDlg::IDC_RESET, {}, {0x4E, 0x00, 0x00}},
        {CMifareCommandsDlg::IDC_REQUEST, {}, {0x41, 0x00}},
        {CMifareCommandsDlg::IDC_ANTICOLLISION, {}, {0x42, 0, 0, 0, 0, 0}},
        {CMifareCommandsDlg::IDC_SELECT, {}, {0x43, 0x0C, 0xB2, 0x10, 0x0A}},
        {CMifareCommandsDlg::IDC_LOAD_KEY,
         [](QDialog* d) {
             Check(d, 1022);
             SetField(d, 1023, "2");
             SetField(d, 1025, "5");
             SetField(d, 1079, "5e2f9a40c713");
             return true;
         },
         {0x4C, 0x06, 0x05, 0, 0, 0, 0, 0, 0, 0x5E, 0x2F, 0x9A, 0x40, 0xC7, 0x13}},
        {CMifareCommandsDlg::IDC_AUTHENTICATE,
         [](QDialog* d) {
             Check(d, 1021);
             SetField(d, 1023, "1");
             SetField(d, 1025, "3");
             SetField(d, 1027, "4");
             return true;
         },
         {0x56, 0x01, 0x03, 0x04}},
        {CMifareCommandsDlg::IDC_READ, block("2"), {0x46, 0x02}},
        {CMifareCommandsDlg::IDC_WRITE,
         [](QDialog* d) {
             SetField(d, 1027, "5");
             SetField(d, 1080, "00112233445566778899AABBCCDDEEFF");
             return true;
         },
         {0x47, 0x05, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD,
          0xEE, 0xFF}},
        {CMifareCommandsDlg::IDC_HALT, {}, {0x45}},
        {CMifareCommandsDlg::IDC_MAKE_VALUE_BLOCK,
         [](QDialog* d) {
             SetField(d, 1027, "4");
             SetField(d, 1029, "64");
             SetField(d, 1030, "05");
             return true;
         },
         {0x47, 0x04, 0x64, 0x00, 0x00, 0x00, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0x00, 0x00, 0x00, 0x05, 0xFA,
          0x05, 0xFA}},
        {CMifareCommandsDlg::IDC_READ_VALUE_BLOCK, block("4"), {0x46, 0x04}},
        {CMifareCommandsDlg::IDC_INCREMENT, change("4", "a"), {0x48, 0x04, 0x0A, 0x00, 0x00, 0x00}},
        {CMifareCommandsDlg::IDC_DECREMENT, change("4", "1F"), {0x49, 0x04, 0x1F, 0x00, 0x00, 0x00}},
        {CMifareCommandsDlg::IDC_DECREMENT_TRANSFER,
         change("4", "12345678"),
         {0x57, 0x04, 0x78, 0x56, 0x34, 0x12}},
        {CMifareCommandsDlg::IDC_RESTORE, block("6"), {0x4A, 0x06}},
        {CMifareCommandsDlg::IDC_TRANSFER, block("7"), {0x4B, 0x07}},
        {CMifareCommandsDlg::IDC_SET_PORT,
         [](QDialog* d) {
             Check(d, 1032);
             return true;
         },
         {0x54, 0x10}},
        {CMifareCommandsDlg::IDC_INFO, {}, {0x4F}},
    };
    for (const ButtonCase& c : cases) {
        SCOPED_TRACE(c.id);
        m_reader->ClearRequests();
        m_port.ClearOutput();
        Press(c.id, c.answer);
        EXPECT_EQ(Requests(), std::vector<Bytes>{c.request});
        // The exchange is traced and ends in the command's blue status line.
        const QStringList lines = Output().split('\n');
        ASSERT_GE(lines.size(), 3);
        EXPECT_TRUE(lines.front().startsWith(">> 02 ")) << Output().toStdString();
        EXPECT_TRUE(Output().contains("<< 10 "));
        const QString last = lines[lines.size() - 2];
        EXPECT_TRUE(last.startsWith("<") && !last.startsWith("<< ")) << Output().toStdString();
    }
}

TEST_F(CommandsPageTest, StartupSendsALoneStxAndWritesNoStatusLine) {
    Connect();
    Press(CMifareCommandsDlg::IDC_STARTUP);
    EXPECT_TRUE(Requests().empty());
    // The reader acknowledges, then gives up on the telegram that never comes: traffic lines only.
    const QString output = Output();
    EXPECT_TRUE(output.startsWith(">> 02 \n<< 10 \n")) << output.toStdString();
    for (const QString& line : output.split('\n', Qt::SkipEmptyParts)) {
        EXPECT_TRUE(line.startsWith(">> ") || line.startsWith("<< ")) << line.toStdString();
    }
}

TEST_F(CommandsPageTest, ShowsTheReadersAnswerInTheWindow) {
    Connect();
    Press(CMifareCommandsDlg::IDC_RESET);
    EXPECT_TRUE(Output().endsWith("\n<OK>\n")) << Output().toStdString();
    m_reader->LeaveCard(kUid);
    Press(CMifareCommandsDlg::IDC_REQUEST);
    EXPECT_TRUE(Output().endsWith("\n<No card in operating area>\n")) << Output().toStdString();
    Press(CMifareCommandsDlg::IDC_INFO);
    EXPECT_TRUE(Output().endsWith(QString("<") + SimReader::kInfoText + ">\n")) << Output().toStdString();
    Press(CMifareCommandsDlg::IDC_CLEAR);
    EXPECT_EQ(Output(), "");
}

// A command that gets no answer leaves the trace as quiet as the command has it; the label under the
// window says what happened, until the next command.
TEST_F(CommandsPageTest, ACommandWithoutAnAnswerSaysWhyUnderTheWindow) {
    Connect();
    const QString legend = Label();
    SimFaults faults;
    faults.silent = true;
    m_reader->SetFaults(faults);
    Press(CMifareCommandsDlg::IDC_REQUEST);
    EXPECT_EQ(Label(), "No answer from the reader.");
    const QStringList lines = Output().split('\n', Qt::SkipEmptyParts);
    EXPECT_FALSE(lines.isEmpty());
    for (const QString& line : lines) {
        EXPECT_EQ(line, ">> 02 ");  // what went out, and no status line
    }
    m_reader->SetFaults({});
    Press(CMifareCommandsDlg::IDC_RESET);
    EXPECT_EQ(Label(), legend);
    // A reader that answers says it all in the window.
    m_reader->LeaveCard(kUid);
    Press(CMifareCommandsDlg::IDC_REQUEST);
    EXPECT_EQ(Label(), legend);
}

TEST_F(CommandsPageTest, SelectSendsTheSerialNumberOfTheLastAnticollision) {
    Connect();
    Press(CMifareCommandsDlg::IDC_SELECT);
    Press(CMifareCommandsDlg::IDC_REQUEST);
    Press(CMifareCommandsDlg::IDC_ANTICOLLISION);
    Press(CMifareCommandsDlg::IDC_SELECT);
    const std::vector<Bytes> requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], (Bytes{0x43, 0, 0, 0, 0}));
    EXPECT_EQ(requests[3], (Bytes{0x43, 0x0C, 0xB2, 0x10, 0x0A}));
    EXPECT_EQ(m_page.m_parameters.dwCardSerial, kUid);
}

TEST_F(CommandsPageTest, WhileACommandRunsNoButtonTakesAPressAndTheWaitCursorShows) {
    Connect();
    Button(CMifareCommandsDlg::IDC_REQUEST)->click();
    EXPECT_EQ(m_page.cursor().shape(), Qt::WaitCursor);
    for (uint32_t id = CMifareCommandsDlg::IDC_STARTUP; id <= CMifareCommandsDlg::IDC_INFO; ++id) {
        EXPECT_FALSE(Button(id)->isEnabled()) << id;
    }
    EXPECT_FALSE(Button(CMifareCommandsDlg::IDC_CLEAR)->isEnabled());
    Button(CMifareCommandsDlg::IDC_INFO)->click();
    m_session.WaitForIdle();

    EXPECT_EQ(Requests(), std::vector<Bytes>{(Bytes{0x41, 0x00})});
    EXPECT_EQ(m_page.cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(Button(CMifareCommandsDlg::IDC_INFO)->isEnabled());
    EXPECT_TRUE(Output().endsWith("\n<OK>\n")) << Output().toStdString();
}

TEST_F(CommandsPageTest, RequestSendsMode1InTheHitag2RunMode) {
    m_page.m_parameters.bHitag2 = true;
    Connect();
    Press(CMifareCommandsDlg::IDC_REQUEST);
    EXPECT_EQ(Requests(), std::vector<Bytes>{(Bytes{0x41, 0x01})});
}

TEST_F(CommandsPageTest, DialogsOpenWithWhatWasEnteredLast) {
    Connect();
    Press(CMifareCommandsDlg::IDC_WRITE, [](QDialog* d) {
        SetField(d, 1027, "9");
        SetField(d, 1080, "9B74E0D51C38FF0780699B74E0D51C38");
        return true;
    });
    QString shown;
    Press(CMifareCommandsDlg::IDC_READ, [&](QDialog* d) {
        shown = Field(d, 1027);
        return false;
    });
    EXPECT_EQ(shown, "9");

    Press(CMifareCommandsDlg::IDC_AUTHENTICATE, [](QDialog* d) {
        Check(d, 1022);
        SetField(d, 1023, "2");
        SetField(d, 1025, "11");
        return true;
    });
    bool keyB = false;
    QString keySet, keyNumber, key;
    Press(CMifareCommandsDlg::IDC_LOAD_KEY, [&](QDialog* d) {
        keyB = IsChecked(d, 1022);
        keySet = Field(d, 1023);
        keyNumber = Field(d, 1025);
        key = Field(d, 1079);
        return false;
    });
    EXPECT_TRUE(keyB);
    EXPECT_EQ(keySet, "2");
    EXPECT_EQ(keyNumber, "11");
    EXPECT_EQ(key, "");
}

TEST_F(CommandsPageTest, AnEmptyChangeValueSendsTheLastValueOfAnyValueDialog) {
    Connect();
    Press(CMifareCommandsDlg::IDC_INCREMENT, [](QDialog*) { return true; });
    Press(CMifareCommandsDlg::IDC_MAKE_VALUE_BLOCK, [](QDialog* d) {
        SetField(d, 1027, "4");
        SetField(d, 1029, "1234");
        return true;
    });
    QString shownValue = "unset";
    Press(CMifareCommandsDlg::IDC_DECREMENT, [&](QDialog* d) {
        shownValue = Field(d, 1029);
        return true;
    });
    EXPECT_EQ(shownValue, "");  // never pre-filled
    const std::vector<Bytes> requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], (Bytes{0x48, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(requests[2], (Bytes{0x49, 0x04, 0x34, 0x12, 0, 0}));
}

TEST_F(CommandsPageTest, SetPortRemembersTheLedsAndBuzzerButNotTheBeep) {
    Connect();
    Press(CMifareCommandsDlg::IDC_SET_PORT, [](QDialog* d) {
        for (uint32_t id : {1031u, 1032u, 1033u, 1034u}) {
            Check(d, id);
        }
        return true;
    });
    EXPECT_EQ(Requests(), std::vector<Bytes>{(Bytes{0x54, 0x17})});
    std::vector<bool> shown;
    Press(CMifareCommandsDlg::IDC_SET_PORT, [&](QDialog* d) {
        for (uint32_t id : {1031u, 1032u, 1033u, 1034u}) {
            shown.push_back(IsChecked(d, id));
        }
        return false;
    });
    EXPECT_EQ(shown, (std::vector<bool>{true, true, true, false}));
}

TEST_F(CommandsPageTest, CancelSendsNothingAndChangesNoMember) {
    Connect();
    Press(CMifareCommandsDlg::IDC_LOAD_KEY, [](QDialog* d) {
        SetField(d, 1025, "9");
        SetField(d, 1079, "5E2F9A40C713");
        return false;
    });
    Press(CMifareCommandsDlg::IDC_WRITE, [](QDialog* d) {
        SetField(d, 1027, "9");
        return false;
    });
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(m_page.m_parameters.nKeyNumber, 0);
    EXPECT_EQ(m_page.m_parameters.strKey, "");
    EXPECT_EQ(m_page.m_parameters.nBlock, 0);
}

TEST_F(CommandsPageTest, ActivationLoadsTheDefaultKeyOutsideTheTraceOnlyWhenConnected) {
    m_page.OnSetActive();
    EXPECT_TRUE(Requests().empty());

    ASSERT_EQ(m_port.OpenPort(PortKindUsb, 0), LR_OK);
    ASSERT_EQ(m_link.Connect(&m_port, 115200), LR_OK);
    m_reader->ClearRequests();
    m_port.ClearOutput();
    m_page.OnSetActive();
    m_session.WaitForIdle();
    EXPECT_EQ(Requests(),
              std::vector<Bytes>{(Bytes{0x4C, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5})});
    EXPECT_EQ(Output(), "");
    EXPECT_TRUE(m_session.TracesInto(m_page.GetOutputWindow()));
    EXPECT_EQ(m_port.GetTraceMode(), TraceModeHex);
}

TEST_F(CommandsPageTest, ShowsItsFourStates) {
    struct State {
        const char* name;
        bool connected;
        bool contRead;
        bool waitCard;
        bool commands, clear, output, contReadButton, waitCardButton;
        QString label;
    };
    const QString running = "The output window is disabled during continuous read.";
    const QString waiting = "Waiting for a card to enter the reader's field. Press Wait card again to stop.";
    const State states[] = {
        {"port closed", false, false, false, false, false, false, false, false,
         "Not connected. Go to 'settings' tab to connect."},
        {"connected, idle", true, false, false, true, true, true, true, true,
         "Legend:        >> = from PC to reader        << = from reader to PC        <...> = status message"},
        {"continuous read", true, true, false, false, false, false, true, false, running},
        {"wait for card", true, false, true, false, true, true, false, true, waiting},
    };
    for (const State& s : states) {
        SCOPED_TRACE(s.name);
        if (s.connected && !m_port.IsOpen()) {
            Connect();
        }
        Button(CMifareCommandsDlg::IDC_CONT_READ)->setChecked(s.contRead);
        Button(CMifareCommandsDlg::IDC_WAIT_CARD)->setChecked(s.waitCard);
        m_page.UpdateControls();
        for (uint32_t id = CMifareCommandsDlg::IDC_STARTUP; id <= CMifareCommandsDlg::IDC_INFO; ++id) {
            EXPECT_EQ(Button(id)->isEnabled(), s.commands) << id;
        }
        EXPECT_EQ(Button(CMifareCommandsDlg::IDC_CLEAR)->isEnabled(), s.clear);
        EXPECT_EQ(m_page.GetOutputWindow()->isEnabled(), s.output);
        EXPECT_EQ(Button(CMifareCommandsDlg::IDC_CONT_READ)->isEnabled(), s.contReadButton);
        EXPECT_EQ(Button(CMifareCommandsDlg::IDC_WAIT_CARD)->isEnabled(), s.waitCardButton);
        EXPECT_EQ(qobject_cast<QLabel*>(FindControl(&m_page, CMifareCommandsDlg::IDC_LEGEND))->text(),
                  s.label);
    }
}

TEST_F(CommandsPageTest, LeavingIsRefusedWhileAModeRuns) {
    EXPECT_TRUE(m_page.OnKillActive());
    Button(CMifareCommandsDlg::IDC_CONT_READ)->setChecked(true);
    Button(CMifareCommandsDlg::IDC_WAIT_CARD)->setChecked(true);
    m_page.UpdateControls();
    EXPECT_FALSE(m_page.OnKillActive());
    Button(CMifareCommandsDlg::IDC_CONT_READ)->setChecked(false);
    m_page.UpdateControls();
    EXPECT_FALSE(m_page.OnKillActive());
    EXPECT_EQ(m_messages.Texts(), QStringList({"Cannot perform this action while in continuous read mode.",
                                               "Cannot perform this action while in wait for card mode."}));
}

TEST_F(CommandsPageTest, ButtonsCarryTheirCaptionsAndTooltips) {
    EXPECT_EQ(Button(CMifareCommandsDlg::IDC_REQUEST)->text(), "Re&quest");
    EXPECT_EQ(Button(CMifareCommandsDlg::IDC_DECREMENT_TRANSFER)->text(), "De&crement / Transfer...");
    EXPECT_EQ(Button(CMifareCommandsDlg::IDC_LOAD_KEY)->toolTip(),
              "Click to load a Mifare\u00ae key into the reader's RAM memory.");
    EXPECT_EQ(Button(CMifareCommandsDlg::IDC_CONT_READ)->toolTip(),
              "Click to start or stop the continuous read mode.");
    EXPECT_EQ(Button(CMifareCommandsDlg::IDC_WAIT_CARD)->toolTip(), "");
    // Alt+B and Alt+X belong to the sheet's About and Exit, on every page.
    for (const QAbstractButton* button : m_page.findChildren<QAbstractButton*>()) {
        const QString text = button->text().toLower();
        EXPECT_FALSE(text.contains("&b") || text.contains("&x")) << button->text().toStdString();
    }
}

// In the sheet: the page takes the settings page's continuous-read options each time it comes to
// the front; Infinite means no attempt limit.
TEST(CommandsPageInTheSheet, CopiesTheContinuousReadOptionsOnActivation) {
    CAllControlsSheet sheet(QStringLiteral("Tagbench"), nullptr, 0, nullptr);
    sheet.AddPages();
    CConnectionDialog& settings = sheet.GetConnectionDialog();
    CMifareCommandsDlg& page = sheet.GetCommandsDlg();
    for (uint32_t id : {CConnectionDialog::IDC_PC_BEEP, CConnectionDialog::IDC_GREEN_LED}) {
        qobject_cast<QAbstractButton*>(FindControl(&settings, id))->setChecked(true);
    }
    qobject_cast<QLineEdit*>(FindControl(&settings, CConnectionDialog::IDC_MAX_ATTEMPTS))->setText("25");
    sheet.GetTabControl()->setCurrentWidget(&page);
    EXPECT_EQ(page.m_bPcBeep, 1);
    EXPECT_EQ(page.m_bGreenLedFlash, 1);
    EXPECT_EQ(page.m_bReaderBeep, 0);
    EXPECT_EQ(page.m_nMaxAttempts, 25u);

    sheet.GetTabControl()->setCurrentWidget(&settings);
    qobject_cast<QAbstractButton*>(FindControl(&settings, CConnectionDialog::IDC_INFINITE))->setChecked(true);
    sheet.GetTabControl()->setCurrentWidget(&page);
    EXPECT_EQ(page.m_nMaxAttempts, 0u);
    EXPECT_TRUE(sheet.GetSession().TracesInto(page.GetOutputWindow()));
}

// The same page over a serial line: the simulated reader behind a pseudo-terminal, in real time.
TEST(CommandsPageOverCom, SendsCommandsAndShowsTheAnswers) {
    std::string error;
    const std::unique_ptr<Simulator> simulator = Simulator::Start(error);
    ASSERT_NE(simulator, nullptr) << error;
    ReaderPort port(nullptr, nullptr);
    ReaderLink link;
    ASSERT_EQ(port.OpenPortByName(simulator->PortName()), LR_OK);
    ASSERT_EQ(link.Connect(&port, 115200), LR_OK);
    CReaderSession session(port, link);
    CMifareCommandsDlg page(session);
    page.OnInitDialog();
    page.OnSetActive();
    session.WaitForIdle();
    simulator->Reader().ClearRequests();

    for (uint32_t id : {CMifareCommandsDlg::IDC_REQUEST, CMifareCommandsDlg::IDC_ANTICOLLISION,
                        CMifareCommandsDlg::IDC_SELECT}) {
        qobject_cast<QPushButton*>(FindControl(&page, id))->click();
        session.WaitForIdle();
    }
    const std::vector<SimRequest> requests = simulator->Reader().Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].command, 0x43);
    EXPECT_EQ(requests[2].params, (Bytes{0x78, 0x56, 0x34, 0x12}));
    const QString output = page.GetOutputWindow()->toPlainText();
    EXPECT_EQ(output.count("\n<OK>\n"), 3) << output.toStdString();
    port.ClosePort();
}

}  // namespace

namespace {

// Answers every save dialog with the paths given, one per dialog, then with Cancel.
class SaveFileAnswers {
public:
    explicit SaveFileAnswers(QStringList paths) : m_paths(std::move(paths)) {
        m_previous = SetSaveFileHook([this](const SaveFileRequest& request) {
            m_requests.append(request);
            return m_paths.isEmpty() ? QString() : m_paths.takeFirst();
        });
    }
    ~SaveFileAnswers() { SetSaveFileHook(m_previous); }
    SaveFileAnswers(const SaveFileAnswers&) = delete;
    SaveFileAnswers& operator=(const SaveFileAnswers&) = delete;

    const QList<SaveFileRequest>& Requests() const { return m_requests; }

private:
    SaveFileHook m_previous;
    QStringList m_paths;
    QList<SaveFileRequest> m_requests;
};

QStringList ReadLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The two modes driven from the page: each step on the worker, the next one from the page's timer.
class CommandsPageModeTest : public CommandsPageTest {
protected:
    // Lets the page's timers and the worker run until done holds, for at most limitMs.
    template <typename Done>
    bool RunUntil(Done done, int limitMs = 10000) {
        return ::RunUntil(m_session, done, limitMs);
    }
    // Lets them run a while in which nothing is expected to happen.
    void RunAWhile() {
        RunUntil([] { return false; }, 100);
    }

    QString LogPath() { return m_dir.filePath("cycle.log"); }
    QLabel* OutputCaption() {
        for (QLabel* label : m_page.findChildren<QLabel*>()) {
            if (label->text() == "Output (hexadecimal):") {
                return label;
            }
        }
        return nullptr;
    }

    QTemporaryDir m_dir;
};

// As a new user meets it: Connect, then Cont. read with nothing loaded but the page's default key,
// which opens block 0 of the sample card.
TEST_F(CommandsPageModeTest, ContinuousReadSucceedsOutOfTheBoxAndSwitchesOffAtTheStop) {
    Connect();
    m_page.m_bLogToFile = 1;
    SaveFileAnswers answers({LogPath()});
    {
        QFile old(LogPath());
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("1;1;200000C9\n");  // an earlier run's record stays
    }
    QPushButton* contRead = Button(CMifareCommandsDlg::IDC_CONT_READ);
    const QSize idle = m_page.minimumSizeHint();
    contRead->click();
    ASSERT_EQ(answers.Requests().size(), 1);
    EXPECT_FALSE(answers.Requests()[0].bConfirmOverwrite);
    EXPECT_TRUE(answers.Requests()[0].bRefuseReadOnly);
    EXPECT_EQ(qobject_cast<QLabel*>(FindControl(&m_page, CMifareCommandsDlg::IDC_LEGEND))->text(),
              "The output window is disabled during continuous read.");
    EXPECT_FALSE(Button(CMifareCommandsDlg::IDC_WAIT_CARD)->isEnabled());
    EXPECT_EQ(m_page.CloseWarning(), "Continuous read is running.");
    // The statistics take the output window's place, caption and all.
    QLabel* caption = OutputCaption();
    ASSERT_NE(caption, nullptr);
    EXPECT_FALSE(m_page.GetOutputWindow()->isVisibleTo(&m_page));
    EXPECT_FALSE(caption->isVisibleTo(&m_page));
    EXPECT_TRUE(m_page.GetStatisticsWidget()->isVisibleTo(&m_page));
    // They fit in the room the window had: it does not grow by itself.
    EXPECT_EQ(idle.expandedTo(m_page.minimumSizeHint()), idle) << m_page.minimumSizeHint().height();
    ASSERT_TRUE(RunUntil([&] { return ReadLines(LogPath()).size() >= 4; }));

    contRead->click();  // the stop
    ASSERT_TRUE(
        RunUntil([&] { return !m_session.IsBusy() && Button(CMifareCommandsDlg::IDC_RESET)->isEnabled(); }));
    const QStringList lines = ReadLines(LogPath());
    EXPECT_EQ(lines.front(), "1;1;200000C9");
    for (qsizetype i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].endsWith(";7;00000000")) << lines[i].toStdString();
    }
    // The whole cycle with the page's block and key, then the switch-off; nothing of it traced.
    const std::vector<Bytes> requests = Requests();
    ASSERT_GE(requests.size(), 7u);
    EXPECT_EQ(requests[0], (Bytes{0x4E, 0x00, 0x00}));
    EXPECT_EQ(requests[1], (Bytes{0x41, 0x00}));
    EXPECT_EQ(requests[4], (Bytes{0x56, 0x00, 0x00, 0x00}));
    EXPECT_EQ(requests[6], (Bytes{0x54, 0x00}));
    EXPECT_EQ(requests.back(), (Bytes{0x54, 0x00}));
    EXPECT_EQ(Output(), "");
    EXPECT_TRUE(m_session.TracesInto(m_page.GetOutputWindow()));
    EXPECT_FALSE(contRead->isChecked());
    for (uint32_t id = CMifareCommandsDlg::IDC_STARTUP; id <= CMifareCommandsDlg::IDC_INFO; ++id) {
        EXPECT_FALSE(Button(id)->isDown()) << id;
    }
    // The figures stay after the stop.
    const CContReadStatisticsWidget* statistics = m_page.GetStatisticsWidget();
    EXPECT_FALSE(statistics->isHidden());
    EXPECT_EQ(statistics->Figure("Continuous read:"), "stopped");
    EXPECT_TRUE(statistics->Figure("Cycles:").endsWith(QString("(%1 completed)").arg(lines.size() - 1)))
        << statistics->Figure("Cycles:").toStdString();
    EXPECT_EQ(statistics->Figure("Success rate:"), "100.0 %");
    EXPECT_EQ(statistics->Figure("Hint"), "");
    EXPECT_TRUE(m_page.GetOutputWindow()->isVisibleTo(&m_page));
    EXPECT_TRUE(caption->isVisibleTo(&m_page));
    EXPECT_EQ(idle.expandedTo(m_page.minimumSizeHint()), idle) << m_page.minimumSizeHint().width();
}

// When one step ends every cycle, the panel says why in the user's terms, under the last failure.
TEST_F(CommandsPageModeTest, TheStatisticsSayWhyEveryCycleFails) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QString lastFailure;
        QString hint;
    };
    const Case cases[] = {
        {"a key the card refuses",
         [this] {
             Press(CMifareCommandsDlg::IDC_LOAD_KEY, [](QDialog* d) {
                 SetField(d, 1079, "5E2F9A40C713");
                 return true;
             });
         },
         "Last failure at Authenticate: ",
         "The card did not accept key A 0 of key set 0 for block 0: load the card's key with \"Load "
         "key...\" (new cards use FFFFFFFFFFFF)."},
        {"an empty field", [this] { m_reader->LeaveCard(kUid); },
         "Last failure at Request: ", "No card answers in the field: put a card on the reader."},
    };
    Connect();
    const CContReadStatisticsWidget* statistics = m_page.GetStatisticsWidget();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        QPushButton* contRead = Button(CMifareCommandsDlg::IDC_CONT_READ);
        contRead->click();
        // The panel shows what it is given a few times a second.
        ASSERT_TRUE(RunUntil([&] { return !statistics->Figure("Hint").isEmpty(); }));
        EXPECT_EQ(statistics->Figure("Hint"), c.hint);
        EXPECT_TRUE(statistics->Figure("Last failure").startsWith(c.lastFailure))
            << statistics->Figure("Last failure").toStdString();
        contRead->click();
        ASSERT_TRUE(RunUntil([&] { return !m_session.IsBusy() && !m_page.m_bContRead; }));
        EXPECT_EQ(statistics->Figure("Hint"), c.hint);  // the stopped run still says why
    }
}

TEST_F(CommandsPageModeTest, WithoutACardEachCycleEndsAtRequestAndKeyBUsesMode4) {
    Connect();
    m_reader->LeaveCard(kUid);
    m_page.m_parameters.nKeyType = 1;
    m_page.m_parameters.nKeySet = 2;
    m_page.m_bLogToFile = 1;
    SaveFileAnswers answers({LogPath()});
    Button(CMifareCommandsDlg::IDC_CONT_READ)->click();
    ASSERT_TRUE(RunUntil([&] { return ReadLines(LogPath()).size() >= 3; }));
    m_reader->EnterCard(Simulator::SampleCard(kUid));
    ASSERT_TRUE(RunUntil([&] {
        for (const Bytes& request : Requests()) {
            if (request[0] == 0x56) {
                return true;
            }
        }
        return false;
    }));
    Button(CMifareCommandsDlg::IDC_CONT_READ)->click();
    ASSERT_TRUE(RunUntil([&] { return !m_session.IsBusy() && !m_page.m_bContRead; }));
    const QStringList lines = ReadLines(LogPath());
    EXPECT_EQ(lines[0], "0;1;200000C9");
    EXPECT_TRUE(lines[2].endsWith(";1;200000C9"));
    for (const Bytes& request : Requests()) {
        if (request[0] == 0x56) {
            EXPECT_EQ(request[1], 0x04);
        }
    }
    EXPECT_EQ(Requests().back(), (Bytes{0x54, 0x00}));
}

TEST_F(CommandsPageModeTest, AnUnansweredReaderStopsTheModeAfterTheLastAttempt) {
    Connect();
    SimFaults faults;
    faults.silent = true;
    m_reader->SetFaults(faults);
    m_page.m_nMaxAttempts = 2;
    m_page.m_bLogToFile = 1;
    SaveFileAnswers answers({LogPath()});
    Button(CMifareCommandsDlg::IDC_CONT_READ)->click();
    ASSERT_TRUE(RunUntil([&] { return !m_page.m_bContRead && !m_session.IsBusy(); }));
    const QStringList lines = ReadLines(LogPath());
    ASSERT_EQ(lines.size(), 3) << lines.join('|').toStdString();
    for (const QString& line : lines) {
        EXPECT_TRUE(line.contains(";0;")) << line.toStdString();
    }
    EXPECT_FALSE(Button(CMifareCommandsDlg::IDC_CONT_READ)->isChecked());
    EXPECT_TRUE(Button(CMifareCommandsDlg::IDC_CONT_READ)->isEnabled());
    EXPECT_TRUE(m_session.TracesInto(m_page.GetOutputWindow()));
}

TEST_F(CommandsPageModeTest, ClosingThePageInTheMiddleOfACycleSwitchesTheReaderOff) {
    Connect();
    auto page = std::make_unique<CMifareCommandsDlg>(m_session);
    page->OnInitDialog();
    page->m_bGreenLedFlash = 1;
    qobject_cast<QPushButton*>(FindControl(page.get(), CMifareCommandsDlg::IDC_CONT_READ))->click();
    // Each cycle leaves the green LED on until its switch-off; let more than one cycle run.
    ASSERT_TRUE(RunUntil([&] { return Requests().size() >= 12; }));
    page.reset();
    EXPECT_FALSE(m_session.IsBusy());
    EXPECT_EQ(Requests().back(), (Bytes{0x54, 0x00}));
    const size_t sent = Requests().size();
    RunAWhile();
    EXPECT_EQ(Requests().size(), sent);
}

TEST_F(CommandsPageModeTest, CancellingTheLogDialogLeavesThePageIdle) {
    Connect();
    m_page.m_bLogToFile = 1;
    SaveFileAnswers answers({});
    Button(CMifareCommandsDlg::IDC_CONT_READ)->click();
    RunAWhile();
    EXPECT_EQ(answers.Requests().size(), 1);
    EXPECT_FALSE(Button(CMifareCommandsDlg::IDC_CONT_READ)->isChecked());
    EXPECT_TRUE(Button(CMifareCommandsDlg::IDC_RESET)->isEnabled());
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(m_messages.Texts().isEmpty());
}

TEST_F(CommandsPageModeTest, AWriteErrorIsShownOncePerFailingRecordAndTheModeGoesOn) {
    Connect();
    m_reader->LeaveCard(kUid);
    m_page.m_bLogToFile = 1;
    SaveFileAnswers answers({"/dev/full"});
    Button(CMifareCommandsDlg::IDC_CONT_READ)->click();
    ASSERT_TRUE(RunUntil([&] { return m_messages.Texts().size() >= 3; }));
    Button(CMifareCommandsDlg::IDC_CONT_READ)->click();
    ASSERT_TRUE(RunUntil([&] { return !m_session.IsBusy() && !m_page.m_bContRead; }));
    const std::vector<Bytes> sent = Requests();
    const auto requests =
        std::count_if(sent.begin(), sent.end(), [](const Bytes& r) { return r[0] == 0x41; });
    EXPECT_EQ(m_messages.Texts().size(), requests);  // one box per failed cycle, one record each
    EXPECT_TRUE(m_messages.Texts()[0].contains("No space left on device"))
        << m_messages.Texts()[0].toStdString();
}

TEST_F(CommandsPageModeTest, WaitForCardTakesTheSerialOfTheCardThatEnters) {
    Connect();
    // An earlier continuous read leaves its figures beside the window.
    QPushButton* contRead = Button(CMifareCommandsDlg::IDC_CONT_READ);
    contRead->click();
    contRead->click();
    ASSERT_TRUE(RunUntil([&] { return !m_session.IsBusy() && contRead->isEnabled(); }));
    ASSERT_TRUE(m_page.GetStatisticsWidget()->isVisibleTo(&m_page));
    m_reader->ClearRequests();
    m_port.ClearOutput();
    m_reader->LeaveCard(kUid);
    QPushButton* waitCard = Button(CMifareCommandsDlg::IDC_WAIT_CARD);
    waitCard->click();
    ASSERT_TRUE(RunUntil([&] { return m_reader->IsWaitingForCard(); }));
    EXPECT_EQ(Label(), "Waiting for a card to enter the reader's field. Press Wait card again to stop.");
    EXPECT_EQ(m_page.CloseWarning(), "Wait card is running.");  // closing the program asks first
    EXPECT_FALSE(m_page.GetStatisticsWidget()->isVisibleTo(&m_page));
    EXPECT_TRUE(Button(CMifareCommandsDlg::IDC_CLEAR)->isEnabled());
    EXPECT_FALSE(Button(CMifareCommandsDlg::IDC_CONT_READ)->isEnabled());
    constexpr uint32_t kEntering = 0x7710C3A5;  // a DLE among its bytes
    m_reader->EnterCard(Simulator::SampleCard(kEntering));
    ASSERT_TRUE(RunUntil([&] { return !waitCard->isChecked() && !m_session.IsBusy(); }));
    EXPECT_EQ(m_page.m_parameters.dwCardSerial, kEntering);
    EXPECT_TRUE(Output().contains("<OK, Waiting for card...>")) << Output().toStdString();
    EXPECT_TRUE(Output().endsWith("\n<OK>\n")) << Output().toStdString();
    EXPECT_EQ(Requests().size(), 1u);  // ended by itself: no Reset
    EXPECT_EQ(Label(), "Card 7710C3A5 entered.");
    EXPECT_EQ(m_page.CloseWarning(), QString());
    Press(CMifareCommandsDlg::IDC_SELECT);
    EXPECT_EQ(Requests().back(), (Bytes{0x43, 0xA5, 0xC3, 0x10, 0x77}));
    EXPECT_TRUE(Label().startsWith("Legend:")) << Label().toStdString();

    // A reader that never takes the command: the mode ends without a card, and says why.
    SimFaults faults;
    faults.silent = true;
    m_reader->SetFaults(faults);
    waitCard->click();
    ASSERT_TRUE(RunUntil([&] { return !waitCard->isChecked() && !m_session.IsBusy(); }));
    EXPECT_EQ(Label(), "No answer from the reader.");
}

// Released, a mode still ends its step and its switch-off (seconds against a silent reader): until
// then it shows as stopping, and nothing can be pressed.
TEST_F(CommandsPageModeTest, AStoppedModeShowsStoppingUntilItHasEnded) {
    Connect();
    QPushButton* contRead = Button(CMifareCommandsDlg::IDC_CONT_READ);
    contRead->click();
    contRead->click();
    EXPECT_EQ(Label(), "Stopping continuous read...");
    EXPECT_FALSE(contRead->isEnabled());
    EXPECT_FALSE(Button(CMifareCommandsDlg::IDC_RESET)->isEnabled());
    ASSERT_TRUE(RunUntil([&] { return !m_session.IsBusy() && contRead->isEnabled(); }));
    EXPECT_EQ(m_page.GetStatisticsWidget()->Figure("Continuous read:"), "stopped");
    EXPECT_TRUE(Label().startsWith("Legend:")) << Label().toStdString();

    QPushButton* waitCard = Button(CMifareCommandsDlg::IDC_WAIT_CARD);
    waitCard->click();
    waitCard->click();
    EXPECT_EQ(Label(), "Stopping wait card...");
    ASSERT_TRUE(RunUntil([&] { return !m_session.IsBusy() && waitCard->isEnabled(); }));
    EXPECT_TRUE(Label().startsWith("Legend:")) << Label().toStdString();
}

TEST_F(CommandsPageModeTest, ReleasingWaitCardResetsTheWaitingReader) {
    Connect();
    QPushButton* waitCard = Button(CMifareCommandsDlg::IDC_WAIT_CARD);
    m_reader->LeaveCard(kUid);
    waitCard->click();
    ASSERT_TRUE(RunUntil([&] { return m_reader->IsWaitingForCard(); }));
    waitCard->click();
    ASSERT_TRUE(
        RunUntil([&] { return !m_session.IsBusy() && Button(CMifareCommandsDlg::IDC_RESET)->isEnabled(); }));
    EXPECT_EQ(Requests().back(), (Bytes{0x4E, 0x00, 0x00}));
    EXPECT_FALSE(m_reader->IsWaitingForCard());
    EXPECT_EQ(m_page.m_parameters.dwCardSerial, 0u);
}

TEST_F(CommandsPageModeTest, ClosingDuringWaitForCardResetsTheReaderOnTheWorker) {
    Connect();
    m_reader->LeaveCard(kUid);
    // The waiting reader gets its Reset, within that exchange's own time.
    Button(CMifareCommandsDlg::IDC_WAIT_CARD)->click();
    ASSERT_TRUE(RunUntil([&] { return m_reader->IsWaitingForCard(); }));
    const uint32_t closing = m_clock.GetTickCount();
    m_page.OnClose();
    EXPECT_FALSE(m_session.IsBusy());
    EXPECT_FALSE(m_reader->IsWaitingForCard());
    EXPECT_EQ(Requests().back(), (Bytes{0x4E, 0x00, 0x00}));
    EXPECT_LE(m_clock.GetTickCount() - closing, 4u * 2000u);
}

TEST_F(CommandsPageModeTest, ClosingDuringContinuousReadSwitchesOffAndShowsNoMoreBoxes) {
    Connect();
    m_reader->LeaveCard(kUid);
    // Every record fails: each would show a box; none appears once closing began.
    m_page.m_bLogToFile = 1;
    SaveFileAnswers answers({"/dev/full"});
    Button(CMifareCommandsDlg::IDC_CONT_READ)->click();
    ASSERT_TRUE(RunUntil([&] { return m_messages.Texts().size() >= 2; }));
    const size_t boxes = m_messages.Texts().size();
    m_page.OnClose();
    EXPECT_FALSE(m_session.IsBusy());
    EXPECT_EQ(Requests().back(), (Bytes{0x54, 0x00}));
    RunAWhile();
    EXPECT_EQ(m_messages.Texts().size(), boxes);
}

TEST_F(CommandsPageModeTest, TimestampedOutputIsSavedAsText) {
    Connect();
    m_page.GetOutputWindow()->SetTimestampClocks(m_clock, [] { return 14u * 3600000 + 3 * 60000 + 22123; });
    auto* timestamps = qobject_cast<QComboBox*>(FindControl(&m_page, CMifareCommandsDlg::IDC_TIMESTAMPS));
    timestamps->setCurrentIndex(2);
    Press(CMifareCommandsDlg::IDC_RESET);
    for (const QString& line : Output().split('\n', Qt::SkipEmptyParts)) {
        EXPECT_TRUE(line.startsWith("14:03:22.123 ")) << line.toStdString();
    }
    timestamps->setCurrentIndex(1);
    Press(CMifareCommandsDlg::IDC_RESET);
    EXPECT_TRUE(Output().contains("\n+0.000 >> 02 \n")) << Output().toStdString();

    const QString path = m_dir.filePath("trace.txt");
    SaveFileAnswers answers({path});
    Press(CMifareCommandsDlg::IDC_SAVE_OUTPUT);
    EXPECT_TRUE(answers.Requests()[0].bConfirmOverwrite);
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromLatin1(saved.readAll()), Output());
    EXPECT_TRUE(m_messages.Texts().isEmpty());
}

TEST_F(CommandsPageModeTest, SaveWarnsWhenOlderLinesWereCut) {
    Connect();
    for (int i = 0; i < 1100; ++i) {
        m_port.WriteStatusLine("<line " + std::to_string(i) + ">");
    }
    const QString path = m_dir.filePath("trace.txt");
    SaveFileAnswers answers({path, m_dir.filePath("no/such/dir.txt")});
    Press(CMifareCommandsDlg::IDC_SAVE_OUTPUT);
    ASSERT_EQ(m_messages.Texts().size(), 1);
    EXPECT_TRUE(m_messages.Texts()[0].contains("older lines have been cut"))
        << m_messages.Texts()[0].toStdString();
    const QStringList lines = ReadLines(path);
    EXPECT_LT(lines.size(), 1100);
    EXPECT_EQ(lines.back(), "<line 1099>");

    // A file that cannot be written says so; a cleared window no longer warns.
    Press(CMifareCommandsDlg::IDC_CLEAR);
    m_messages.Clear();
    Press(CMifareCommandsDlg::IDC_SAVE_OUTPUT);
    ASSERT_EQ(m_messages.Texts().size(), 1);
    EXPECT_TRUE(m_messages.Texts()[0].startsWith("Cannot save ")) << m_messages.Texts()[0].toStdString();
}

}  // namespace
