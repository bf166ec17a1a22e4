// The simulated reader's panel against a simulated reader on the fake clock, driving the pages as
// a user of the simulate run mode does.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "gui/common/RunUntil.h"
#include "gui/pages/commands/MessageRecorder.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "pages/commands/CMifareCommandsDlg.h"
#include "production/CProductionDialog.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "simulator/CSimulatorPanel.h"

namespace {

using Panel = CSimulatorPanel;

class SimulatorPanelTest : public testing::Test {
protected:
    void TearDown() override { m_session.Shutdown(); }
    void Connect() {
        ASSERT_EQ(m_port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(m_link.Connect(&m_port, 115200), LR_OK);
    }
    template <typename T = QWidget>
    T* In(QWidget* root, uint32_t id) {
        return qobject_cast<T*>(FindControl(root, id));
    }
    template <typename T = QWidget>
    T* Control(uint32_t id) {
        return In<T>(&m_panel, id);
    }
    void EnterCard(const QString& uid) {
        Control<QLineEdit>(Panel::IDC_UID)->setText(uid);
        Control<QPushButton>(Panel::IDC_ENTER_CARD)->click();
    }
    QStringList Listed(uint32_t id) {
        QStringList texts;
        auto* list = Control<QListWidget>(id);
        for (int i = 0; i < list->count(); ++i) {
            texts << list->item(i)->text();
        }
        return texts;
    }
    // Lets timers, queued calls and the worker run until done holds, for at most limitMs.
    template <typename Done>
    bool RunUntil(Done done, int limitMs = 10000) {
        return ::RunUntil(m_session, done, limitMs);
    }

    FakeClock m_clock{1000};
    std::shared_ptr<SimReader> m_reader = std::make_shared<SimReader>(m_clock);
    ReaderPort m_port{nullptr, std::make_shared<SimD2xxProvider>(m_reader, m_clock)};
    ReaderLink m_link{m_clock};
    CReaderSession m_session{m_port, m_link};
    MessageRecorder m_messages;
    Panel m_panel{*m_reader, nullptr};
};

TEST_F(SimulatorPanelTest, ACardEnteredFromThePanelEndsWaitCard) {
    CMifareCommandsDlg page(m_session);
    page.OnInitDialog();
    Connect();
    page.OnSetActive();
    m_session.WaitForIdle();
    auto* waitCard = In<QPushButton>(&page, CMifareCommandsDlg::IDC_WAIT_CARD);
    waitCard->click();
    ASSERT_TRUE(RunUntil([&] { return m_reader->IsWaitingForCard(); }));

    EnterCard(QStringLiteral("11223344"));
    EXPECT_EQ(m_panel.StatusText().toStdString(), "Card 11223344 entered the field.");
    ASSERT_TRUE(RunUntil([&] { return !waitCard->isChecked() && !m_session.IsBusy(); }));
    EXPECT_EQ(In<QLabel>(&page, CMifareCommandsDlg::IDC_LEGEND)->text().toStdString(),
              "Card 11223344 entered.");
    EXPECT_EQ(page.m_parameters.dwCardSerial, 0x11223344u);
    EXPECT_EQ(Listed(Panel::IDC_CARD_LIST), QStringList{"11223344"});

    // Taken off again: the selected card leaves, and Remove waits for the next selection.
    auto* remove = Control<QPushButton>(Panel::IDC_REMOVE_CARD);
    EXPECT_FALSE(remove->isEnabled());
    Control<QListWidget>(Panel::IDC_CARD_LIST)->item(0)->setSelected(true);
    remove->click();
    EXPECT_EQ(m_panel.StatusText().toStdString(), "Card 11223344 left the field.");
    EXPECT_TRUE(m_reader->CardsInField().empty());
    EXPECT_TRUE(Listed(Panel::IDC_CARD_LIST).isEmpty());
    EXPECT_FALSE(remove->isEnabled());
    page.OnClose();
}

TEST_F(SimulatorPanelTest, AUidIsEightHexDigitsOfACardNotInTheFieldYet) {
    const std::string refusal = "Type the card's UID as 8 hexadecimal digits, such as 11223344.";
    struct Case {
        const char* typed;
        std::string status;
    };
    const Case cases[] = {
        {" a1b2c3d4 ", "Card A1B2C3D4 entered the field."},
        {"A1B2C3D4", "Card A1B2C3D4 is in the field already."},
        {"", refusal},
        {"1122334", refusal},
        {"112233445", refusal},
        {"1122334G", refusal},
        {"0x112233", refusal},
        {"11 22 33 44", refusal},
        {"１１２２３３４４", refusal},  // digits, but not hexadecimal ones
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        EnterCard(QString::fromUtf8(c.typed));
        EXPECT_EQ(m_panel.StatusText().toStdString(), c.status);
    }
    EXPECT_EQ(m_reader->CardsInField(), std::vector<uint32_t>{0xA1B2C3D4});
    EXPECT_EQ(Listed(Panel::IDC_CARD_LIST), QStringList{"A1B2C3D4"});
}

// Programs as an operator does, the production page's own progress dialog included.
TEST_F(SimulatorPanelTest, WithTheSeriesOnEachProgramMeetsAFreshReader) {
    QTemporaryDir dir;
    std::ofstream(dir.filePath("profiles.ini").toStdString())
        << "[Terminal]\n[Ledger]\nLocation=" << dir.filePath("ledger.sqlite").toStdString() << "\n";
    CProductionDialog page(m_session);
    page.SetProfilePath(dir.filePath("profiles.ini").toStdString());
    page.SetRecordPath(dir.filePath("record.csv").toStdString());
    page.OnInitDialog();
    Connect();
    page.OnSetActive();
    m_session.WaitForIdle();
    // A job that fails waits for "Close": the test fails instead of hanging.
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            ADD_FAILURE() << "a dialog stayed open: " << dialog->windowTitle().toStdString();
            dialog->done(QDialog::Rejected);
        }
    });
    watchdog.start(20000);
    const auto program = [&] {
        In<QPushButton>(&page, CProductionDialog::IDC_PROGRAM)->click();
        m_session.WaitForIdle();
    };
    In<QLineEdit>(&page, CProductionDialog::IDC_MIFARE_SERIAL)->setText("5");
    EXPECT_EQ(Control<QLabel>(Panel::IDC_READER)->text().toStdString(),
              "Plugged in: a reader with no serial number yet.");

    auto* series = Control<QCheckBox>(Panel::IDC_SERIES);
    EXPECT_FALSE(series->isChecked());
    series->click();
    program();
    program();
    EXPECT_EQ(In<QLineEdit>(&page, CProductionDialog::IDC_MIFARE_SERIAL)->text(), "00000007");
    ASSERT_TRUE(RunUntil([&] { return Listed(Panel::IDC_SERIES_READERS).size() == 2; }));
    EXPECT_EQ(Listed(Panel::IDC_SERIES_READERS),
              (QStringList{"1. 0x00000005, USB serial TB000001", "2. 0x00000006, USB serial TB000001"}));
    EXPECT_EQ(Control<QLabel>(Panel::IDC_READER)->text().toStdString(),
              "Plugged in: the last job's reader, serial number 0x00000006; a fresh one comes at the next "
              "job.");

    // Off, the reader stays: by hand, a fresh one takes the next number.
    series->click();
    EXPECT_EQ(Control<QLabel>(Panel::IDC_READER)->text().toStdString(),
              "Plugged in: a reader with serial number 0x00000006.");
    Control<QPushButton>(Panel::IDC_FRESH_READER)->click();
    EXPECT_EQ(m_panel.StatusText().toStdString(), "A fresh reader is plugged in.");
    program();
    EXPECT_EQ(m_reader->GetSerialText(), "0x00000007");
    EXPECT_EQ(m_reader->GetSeriesReaders().size(), 2u);
    EXPECT_TRUE(m_messages.Texts().isEmpty()) << m_messages.Texts().join('|').toStdString();
    page.OnClose();
}

}  // namespace
