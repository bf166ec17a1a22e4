#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "app/CAllControlsSheet.h"
#include "common/CReaderSession.h"
#include "common/CSpinButton.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "core/link/PseudoTerminal.h"
#include "link/LinkResult.h"
#include "pages/commands/CMifareCommandsDlg.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"
#include "widgets/COutputWindowWidget.h"

namespace {

// A sheet with the settings page, its port list holding the given extra ports.
class SettingsPage : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& name : m_extraPorts) {
            SerialPortList::Shared().RemoveExtraPort(name);
        }
        SetMessageHook({});
    }

    void Build(std::shared_ptr<D2xxProvider> d2xx, bool usbAvailable, const std::string& preferred = {}) {
        m_pSheet =
            std::make_unique<CAllControlsSheet>(QStringLiteral("Tagbench"), nullptr, 0, std::move(d2xx));
        m_pSheet->m_bUsbAvailable = usbAvailable;
        m_pSheet->GetConnectionDialog().SetPreferredPort(preferred);
        m_pSheet->AddPages();
    }
    void AddPort(const std::string& name, const std::string& description = {}) {
        SerialPortList::Shared().AddExtraPort(name, description);
        m_extraPorts.push_back(name);
    }

    template <typename T>
    T* Control(uint32_t id) {
        return qobject_cast<T*>(FindControl(m_pSheet.get(), id));
    }
    CConnectionDialog& Page() { return m_pSheet->GetConnectionDialog(); }
    QPushButton* ConnectButton() { return Control<QPushButton>(CConnectionDialog::IDC_CONNECT); }
    // Presses Connect / Disconnect and waits until the worker has done it.
    void ClickConnect() {
        QTest::mouseClick(ConnectButton(), Qt::LeftButton);
        m_pSheet->GetSession().WaitForIdle();
    }
    QComboBox* PortList() { return Control<QComboBox>(CConnectionDialog::IDC_PORT_LIST); }
    void SelectPort(const std::string& name) {
        PortList()->setCurrentIndex(PortList()->findData(QString::fromStdString(name)));
    }
    // Enabled states of USB radio, COM radio, port list, baud label, baud list.
    std::vector<bool> ConnectionControlsEnabled() {
        std::vector<bool> enabled;
        for (uint32_t id :
             {CConnectionDialog::IDC_USB, CConnectionDialog::IDC_COM, CConnectionDialog::IDC_PORT_LIST,
              CConnectionDialog::IDC_BAUD_LABEL, CConnectionDialog::IDC_BAUD_LIST}) {
            enabled.push_back(FindControl(m_pSheet.get(), id)->isEnabled());
        }
        return enabled;
    }

    std::unique_ptr<CAllControlsSheet> m_pSheet;
    std::vector<std::string> m_extraPorts;
};

}  // namespace

TEST_F(SettingsPage, FreshStartChoosesComThe9600BaudAndTenAttempts) {
    AddPort("/dev/tagbench-test-a");
    Build(nullptr, false);
    QStringList baud;
    auto* baudList = Control<QComboBox>(CConnectionDialog::IDC_BAUD_LIST);
    for (int i = 0; i < baudList->count(); ++i) {
        baud << baudList->itemText(i);
    }
    EXPECT_EQ(baud, QStringList({"1200", "2400", "4800", "9600", "19200", "38400", "115200"}));
    EXPECT_EQ(baudList->currentText(), QStringLiteral("9600"));
    EXPECT_TRUE(Control<QRadioButton>(CConnectionDialog::IDC_COM)->isChecked());
    EXPECT_EQ(PortList()->currentIndex(), 0);
    EXPECT_EQ(Control<QLineEdit>(CConnectionDialog::IDC_MAX_ATTEMPTS)->text(), QStringLiteral("10"));
    EXPECT_EQ(Page().m_nMaxAttempts, 10u);
    for (uint32_t id : {CConnectionDialog::IDC_INFINITE, CConnectionDialog::IDC_LOG_TO_FILE,
                        CConnectionDialog::IDC_PC_BEEP, CConnectionDialog::IDC_READER_BEEP,
                        CConnectionDialog::IDC_RED_LED, CConnectionDialog::IDC_GREEN_LED}) {
        EXPECT_FALSE(Control<QCheckBox>(id)->isChecked()) << id;
    }
    EXPECT_EQ(ConnectButton()->text(), QStringLiteral("Co&nnect"));
    EXPECT_FALSE(ConnectButton()->isChecked());
    // Without a D2XX provider only COM ports are offered.
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>({false, true, true, true, true}));
}

TEST_F(SettingsPage, ChoosingUsbDisablesThePortListButNotTheBaudRate) {
    Build(nullptr, true);
    QTest::mouseClick(Control<QRadioButton>(CConnectionDialog::IDC_USB), Qt::LeftButton);
    EXPECT_EQ(Page().m_nConnection, 0);
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>({true, true, false, true, true}));
    QTest::mouseClick(Control<QRadioButton>(CConnectionDialog::IDC_COM), Qt::LeftButton);
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>({true, true, true, true, true}));
}

TEST_F(SettingsPage, TheListSelectsThePreferredPort) {
    AddPort("/dev/tagbench-test-a");
    AddPort("/dev/tagbench-test-b", "Simulated reader");
    Build(nullptr, false, "/dev/tagbench-test-b");
    EXPECT_EQ(PortList()->currentText(), QStringLiteral("/dev/tagbench-test-b (Simulated reader)"));
}

TEST_F(SettingsPage, InfiniteAndTheAttemptsField) {
    Build(nullptr, false);
    auto* attempts = Control<QLineEdit>(CConnectionDialog::IDC_MAX_ATTEMPTS);
    auto* infinite = Control<QCheckBox>(CConnectionDialog::IDC_INFINITE);
    auto* spin = Control<CSpinButton>(CConnectionDialog::IDC_MAX_ATTEMPTS_SPIN);

    QTest::mouseClick(infinite, Qt::LeftButton);
    EXPECT_EQ(Page().m_nMaxAttempts, 0u);
    EXPECT_EQ(attempts->text(), QStringLiteral("0"));
    EXPECT_FALSE(attempts->isEnabled());
    EXPECT_FALSE(spin->isEnabled());

    QTest::mouseClick(infinite, Qt::LeftButton);
    EXPECT_EQ(Page().m_nMaxAttempts, 10u);
    EXPECT_TRUE(attempts->isEnabled());
    attempts->setText(QStringLiteral("77"));
    QTest::mouseClick(infinite, Qt::LeftButton);
    QTest::mouseClick(infinite, Qt::LeftButton);
    EXPECT_EQ(attempts->text(), QStringLiteral("10"));

    // Typed by hand, 0 passes as "no limit", as Infinite does; the spin steps within 1 .. 32767.
    attempts->setText(QStringLiteral("0"));
    EXPECT_TRUE(Page().OnKillActive());
    EXPECT_EQ(Page().m_nMaxAttempts, 0u);
    spin->Step(1);
    EXPECT_EQ(attempts->text(), QStringLiteral("1"));
    spin->Step(-1);
    EXPECT_EQ(attempts->text(), QStringLiteral("1"));
    attempts->setText(QStringLiteral("40000"));
    spin->Step(1);
    EXPECT_EQ(attempts->text(), QStringLiteral("32767"));
    QTest::keyClick(attempts, Qt::Key_Down);
    EXPECT_EQ(attempts->text(), QStringLiteral("32766"));
}

TEST_F(SettingsPage, AnEmptyAttemptsFieldIsRefusedButTheOptionsBeforeItAreTaken) {
    Build(nullptr, false);
    QStringList messages;
    SetMessageHook([&messages](const QString& text, MessageIcon) {
        messages << text;
        return QMessageBox::Ok;
    });
    Control<QLineEdit>(CConnectionDialog::IDC_MAX_ATTEMPTS)->clear();
    Control<QCheckBox>(CConnectionDialog::IDC_PC_BEEP)->setChecked(true);
    EXPECT_FALSE(Page().OnKillActive());
    EXPECT_EQ(messages, QStringList({"Please enter a positive integer."}));
    EXPECT_TRUE(Page().m_bPcBeep);
    EXPECT_EQ(Page().m_nMaxAttempts, 10u);

    // Beyond 32 bits is no unsigned number either.
    Control<QLineEdit>(CConnectionDialog::IDC_MAX_ATTEMPTS)->setText(QStringLiteral("4294967296"));
    EXPECT_FALSE(Page().OnKillActive());
}

TEST_F(SettingsPage, APortThatCannotBeOpenedSpringsBackAndSaysWhy) {
    PseudoTerminal held;
    ASSERT_TRUE(held.IsValid());
    ReaderPort other;
    ASSERT_EQ(other.OpenPortByName(held.SlaveName()), LR_OK);
    AddPort("/dev/tagbench-no-such-port");
    AddPort(held.SlaveName());
    Build(nullptr, false);

    struct Case {
        std::string port;
        QString status;
    };
    const Case cases[] = {
        {"/dev/tagbench-no-such-port",
         "Could not open /dev/tagbench-no-such-port: No such file or directory."},
        {held.SlaveName(),
         QString::fromStdString("Could not open " + held.SlaveName() + ": Device or resource busy.")},
    };
    for (const Case& c : cases) {
        SelectPort(c.port);
        ClickConnect();
        EXPECT_FALSE(m_pSheet->GetReaderPort().IsOpen());
        EXPECT_FALSE(ConnectButton()->isChecked());
        EXPECT_EQ(ConnectButton()->text(), QStringLiteral("Co&nnect"));
        EXPECT_EQ(Page().StatusText(), c.status);
        EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>({false, true, true, true, true}));
    }
}

// A USB bridge the user may not open (no udev rule yet) names the fix, as a serial port does.
TEST_F(SettingsPage, AUsbBridgeRefusedForPermissionSaysHowToGetAccess) {
    FakeClock clock;
    auto d2xx = std::make_shared<SimD2xxProvider>(std::make_shared<SimReader>(clock), clock);
    d2xx->FailCall("FT_Open", FT_DEVICE_NOT_OPENED);
    Build(d2xx, true);
    QTest::mouseClick(Control<QRadioButton>(CConnectionDialog::IDC_USB), Qt::LeftButton);
    ClickConnect();
    EXPECT_FALSE(m_pSheet->GetReaderPort().IsOpen());
    const QString hint = QString::fromStdString(LinkResultHint(LR_D2XX_BASE + FT_DEVICE_NOT_OPENED));
    ASSERT_FALSE(hint.isEmpty());
    EXPECT_TRUE(Page().StatusText().endsWith(hint)) << Page().StatusText().toStdString();
}

TEST_F(SettingsPage, ConnectAndDisconnectOverASerialPort) {
    PseudoTerminal line;
    ASSERT_TRUE(line.IsValid());
    AddPort(line.SlaveName());
    Build(nullptr, true);
    SelectPort(line.SlaveName());
    Control<QComboBox>(CConnectionDialog::IDC_BAUD_LIST)->setCurrentText(QStringLiteral("19200"));

    ClickConnect();
    ASSERT_TRUE(m_pSheet->GetReaderPort().IsOpen());
    EXPECT_EQ(m_pSheet->GetReaderPort().GetPortName(), line.SlaveName());
    EXPECT_EQ(m_pSheet->GetReaderPort().GetBaudRate(), 19200u);
    EXPECT_TRUE(ConnectButton()->isChecked());
    EXPECT_EQ(ConnectButton()->text(), QStringLiteral("Disco&nnect"));
    EXPECT_EQ(Page().StatusText(),
              QString::fromStdString("Connected to " + line.SlaveName() + " at 19200 baud."));
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>(5, false));

    ClickConnect();
    EXPECT_FALSE(m_pSheet->GetReaderPort().IsOpen());
    EXPECT_EQ(ConnectButton()->text(), QStringLiteral("Co&nnect"));
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>(5, true));
}

TEST_F(SettingsPage, AConnectionLostMeanwhileShowsAsDisconnectedOnActivation) {
    PseudoTerminal line;
    AddPort(line.SlaveName());
    Build(nullptr, false);
    SelectPort(line.SlaveName());
    ClickConnect();
    ASSERT_TRUE(m_pSheet->GetReaderPort().IsOpen());

    m_pSheet->GetReaderPort().ClosePort();
    Page().OnSetActive();
    EXPECT_FALSE(ConnectButton()->isChecked());
    EXPECT_EQ(ConnectButton()->text(), QStringLiteral("Co&nnect"));
    EXPECT_TRUE(Page().StatusText().isEmpty());
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>({false, true, true, true, true}));
}

// The simulated reader ends while the commands page is connected to it: the next command meets a
// line whose far side is gone.
TEST_F(SettingsPage, ALineLostInAnExchangeIsTracedClosedAndShownAsNotConnected) {
    std::string error;
    std::unique_ptr<Simulator> simulator = Simulator::Start(error);
    ASSERT_NE(simulator, nullptr) << error;
    const std::string name = simulator->PortName();
    AddPort(name);
    Build(nullptr, false);
    SelectPort(name);
    ClickConnect();
    ASSERT_TRUE(m_pSheet->GetReaderPort().IsOpen());
    CMifareCommandsDlg& commands = m_pSheet->GetCommandsDlg();
    m_pSheet->GetTabControl()->setCurrentWidget(&commands);
    m_pSheet->GetSession().WaitForIdle();
    auto* request = qobject_cast<QPushButton*>(FindControl(&commands, CMifareCommandsDlg::IDC_REQUEST));
    auto* clear = qobject_cast<QPushButton*>(FindControl(&commands, CMifareCommandsDlg::IDC_CLEAR));
    ASSERT_TRUE(request->isEnabled());
    QTest::mouseClick(clear, Qt::LeftButton);
    QSignalSpy lost(&m_pSheet->GetSession(), &CReaderSession::LineLost);
    QSignalSpy busy(&m_pSheet->GetSession(), &CReaderSession::BusyChanged);

    simulator.reset();
    QTest::mouseClick(request, Qt::LeftButton);
    m_pSheet->GetSession().WaitForIdle();

    const QString text = QString::fromStdString("Connection to " + name + " lost: Input/output error");
    EXPECT_EQ(commands.GetOutputWindow()->toPlainText(), "<" + text + ">\n");
    ASSERT_EQ(lost.size(), 1);
    EXPECT_EQ(lost[0][0].toString(), text);
    EXPECT_FALSE(m_pSheet->GetReaderPort().IsOpen());
    EXPECT_FALSE(m_pSheet->GetSession().Port().bOpen);
    // The commands page is as without a connection, re-derived when the exchange delivered.
    ASSERT_FALSE(busy.isEmpty());
    EXPECT_FALSE(busy.last()[0].toBool());
    EXPECT_FALSE(request->isEnabled());

    m_pSheet->GetTabControl()->setCurrentWidget(&Page());
    EXPECT_EQ(Page().StatusText(), text + ".");
    EXPECT_FALSE(ConnectButton()->isChecked());
    EXPECT_EQ(ConnectButton()->text(), QStringLiteral("Co&nnect"));
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>({false, true, true, true, true}));
}

TEST_F(SettingsPage, ALineThatHangsUpWhileIdleShowsAsNotConnectedWithoutAPress) {
    PseudoTerminal line;
    AddPort(line.SlaveName());
    Build(nullptr, false);
    m_pSheet->GetSession().SetLineCheckPeriod(std::chrono::milliseconds(10));
    SelectPort(line.SlaveName());
    ClickConnect();
    ASSERT_TRUE(m_pSheet->GetReaderPort().IsOpen());
    QSignalSpy lost(&m_pSheet->GetSession(), &CReaderSession::LineLost);

    line.CloseMaster();
    ASSERT_TRUE(lost.wait(5000));
    m_pSheet->GetSession().WaitForIdle();
    const QString text =
        QString::fromStdString("Connection to " + line.SlaveName() + " lost: Input/output error");
    EXPECT_EQ(lost[0][0].toString(), text);
    EXPECT_FALSE(m_pSheet->GetReaderPort().IsOpen());
    EXPECT_EQ(Page().StatusText(), text + ".");
    EXPECT_FALSE(ConnectButton()->isChecked());
    EXPECT_EQ(ConnectButton()->text(), QStringLiteral("Co&nnect"));
    EXPECT_EQ(ConnectionControlsEnabled(), std::vector<bool>({false, true, true, true, true}));
    // Polls that go on (a terminal's, in the background) meet a closed port: nothing more to say.
    QObject poller;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_pSheet->GetSession().PostWhenIdle(
            &poller,
            [](ReaderPort& port, ReaderLink&) {
                ByteBuffer into;
                uint32_t received = 0;
                return port.Read(into, 64, received);
            },
            {}, true));
    }
    m_pSheet->GetSession().WaitForIdle();
    EXPECT_EQ(lost.size(), 1);
}

TEST_F(SettingsPage, EnterInTheAttemptsFieldDoesNotPressTheButtonFocusedBefore) {
    PseudoTerminal line;
    AddPort(line.SlaveName());
    Build(nullptr, false);
    SelectPort(line.SlaveName());
    m_pSheet->show();
    QApplication::setActiveWindow(m_pSheet.get());
    ConnectButton()->setFocus();
    QWidget* attempts = FindControl(m_pSheet.get(), CConnectionDialog::IDC_MAX_ATTEMPTS);
    attempts->setFocus();
    QTest::keyClick(attempts, Qt::Key_Return);
    EXPECT_FALSE(m_pSheet->GetReaderPort().IsOpen());
    EXPECT_TRUE(m_pSheet->isVisible());
}

TEST_F(SettingsPage, ATypedPathIsOpenedAsASerialPort) {
    // A name of the reader's line that no port list knows, as tagbench-sim --link makes one.
    std::string error;
    const std::unique_ptr<Simulator> simulator = Simulator::Start(error);
    ASSERT_NE(simulator, nullptr) << error;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("reader"));
    ASSERT_TRUE(QFile::link(QString::fromStdString(simulator->PortName()), link));
    Build(nullptr, false);
    ASSERT_TRUE(PortList()->isEditable());
    PortList()->setEditText(link);

    ClickConnect();
    EXPECT_TRUE(m_pSheet->GetReaderPort().IsOpen());
    EXPECT_EQ(Page().StatusText(), QStringLiteral("Connected to %1 at 9600 baud.").arg(link));
    ByteBuffer answer;
    EXPECT_EQ(m_pSheet->GetReaderLink().GetInfo(answer), LR_OK);
    ClickConnect();
    // What was typed stays, and stays out of the list.
    EXPECT_EQ(PortList()->currentText(), link);
    EXPECT_EQ(PortList()->findText(link), -1);
}

TEST_F(SettingsPage, ARefusedTabChangeKeepsTheSettingsPageInFrontWithTheFocus) {
    Build(nullptr, false);
    m_pSheet->show();
    QApplication::setActiveWindow(m_pSheet.get());
    QTabWidget* tabs = m_pSheet->GetTabControl();
    QWidget* shownUnderMessage = nullptr;
    SetMessageHook([&](const QString&, MessageIcon) {
        shownUnderMessage = tabs->currentWidget();
        return QMessageBox::Ok;
    });
    auto* attempts = Control<QLineEdit>(CConnectionDialog::IDC_MAX_ATTEMPTS);
    attempts->clear();
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());

    EXPECT_EQ(shownUnderMessage, &Page());
    EXPECT_EQ(tabs->currentWidget(), &Page());
    EXPECT_EQ(tabs->tabBar()->currentIndex(), 0);
    EXPECT_EQ(QApplication::focusWidget(), attempts);

    attempts->setText(QStringLiteral("5"));
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
    EXPECT_EQ(tabs->currentWidget(), &m_pSheet->GetCommandsDlg());
    EXPECT_EQ(m_pSheet->GetCommandsDlg().m_nMaxAttempts, 5u);
}
