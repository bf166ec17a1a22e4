#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "app/CReaderTestApp.h"
#include "common/ControlId.h"
#include "sim/Simulator.h"
#include "simulator/CSimulatorPanel.h"

namespace {

template <typename T>
T* Control(CAllControlsSheet& sheet, uint32_t id) {
    return qobject_cast<T*>(FindControl(&sheet, id));
}

}  // namespace

TEST(SimulateRunMode, ConnectsToTheSimulatedReaderOverComAndOverUsb) {
    const char* argv[] = {"tagbench", "--simulate"};
    CRunModeCommandLineInfo info;
    info.ParseCommandLine(2, argv);
    CReaderTestApp app;
    const auto sheet = app.CreateSheet(info);
    ASSERT_NE(app.GetSimulator(), nullptr);
    const std::string pty = app.GetSimulator()->PortName();
    EXPECT_EQ(
        Control<QComboBox>(*sheet, CConnectionDialog::IDC_PORT_LIST)->currentData().toString().toStdString(),
        pty);
    auto* usb = Control<QRadioButton>(*sheet, CConnectionDialog::IDC_USB);
    EXPECT_TRUE(usb->isEnabled());

    struct Case {
        QRadioButton* radio;
        std::string status;
        bool isUsb;
    };
    const Case cases[] = {
        {usb, "Connected to the USB reader at 9600 baud.", true},
        {Control<QRadioButton>(*sheet, CConnectionDialog::IDC_COM), "Connected to " + pty + " at 9600 baud.",
         false},
    };
    auto* connect = Control<QPushButton>(*sheet, CConnectionDialog::IDC_CONNECT);
    ReaderPort& port = sheet->GetReaderPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        QTest::mouseClick(c.radio, Qt::LeftButton);
        QTest::mouseClick(connect, Qt::LeftButton);
        sheet->GetSession().WaitForIdle();
        ASSERT_TRUE(port.IsOpen());
        EXPECT_EQ(port.IsUsb(), c.isUsb);
        EXPECT_EQ(sheet->GetConnectionDialog().StatusText().toStdString(), c.status);
        // The connection is the reader's: it answers a request for the card in its field.
        uint32_t cardType = 0;
        EXPECT_EQ(sheet->GetReaderLink().Request(0, cardType), LR_OK);

        QTest::mouseClick(connect, Qt::LeftButton);
        sheet->GetSession().WaitForIdle();
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(connect->text(), QStringLiteral("Co&nnect"));
    }
}

// The sheet runs modally: the panel, its tool window, still takes the user's clicks, which reach it
// through the window system as a real click does.
TEST(SimulateRunMode, ThePanelShowsWithTheModalSheetAndTakesClicks) {
    const char* argv[] = {"tagbench", "simulate"};
    CRunModeCommandLineInfo info;
    info.ParseCommandLine(2, argv);
    CReaderTestApp app;
    const auto sheet = app.CreateSheet(info);
    CSimulatorPanel* panel = app.GetSimulatorPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->windowTitle(), "Simulated reader");
    EXPECT_FALSE(panel->isVisible());

    bool checked = false;
    QTimer::singleShot(0, sheet.get(), [&] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return panel->isVisible(); }));
        qobject_cast<QLineEdit*>(FindControl(panel, CSimulatorPanel::IDC_UID))->setText("11223344");
        QWidget* enter = FindControl(panel, CSimulatorPanel::IDC_ENTER_CARD);
        QTest::mouseClick(panel->windowHandle(), Qt::LeftButton, {},
                          enter->mapTo(panel, enter->rect().center()));
        EXPECT_EQ(panel->StatusText(), "Card 11223344 entered the field.");
        const std::vector<uint32_t> cards = app.GetSimulator()->Reader().CardsInField();
        EXPECT_EQ(cards, (std::vector<uint32_t>{Simulator::kCardUid, 0x11223344}));
        checked = true;
        sheet->done(QDialog::Rejected);
    });
    sheet->exec();
    EXPECT_TRUE(checked);
}
