#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include "StringTable.h"
#include "app/CAboutDialog.h"
#include "app/CAllControlsSheet.h"
#include "app/CReaderTestApp.h"
#include "common/CPropertyPage.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "link/Clock.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"

namespace {

QStringList TabTitles(const CAllControlsSheet& sheet) {
    QStringList titles;
    for (int i = 0; i < sheet.GetTabControl()->count(); ++i) {
        titles << sheet.GetTabControl()->tabText(i);
    }
    return titles;
}

std::unique_ptr<CAllControlsSheet> SheetFor(std::vector<const char*> tokens) {
    tokens.insert(tokens.begin(), "tagbench");
    CRunModeCommandLineInfo info;
    info.ParseCommandLine(static_cast<int>(tokens.size()), tokens.data());
    return CReaderTestApp().CreateSheet(info);
}

}  // namespace

TEST(MainSheet, TabsFollowTheRunModeWithSettingsFirstAndActive) {
    struct Case {
        std::vector<const char*> tokens;
        QStringList tabs;
        bool hitag2;
    };
    const Case cases[] = {
        {{}, {"Settings", "Mifare\u00ae commands"}, false},
        {{"hitag2"}, {"Settings", "Mifare\u00ae commands"}, true},
        {{"Develop"}, {"Settings", "Mifare\u00ae commands", "Monitor", "Conformance"}, false},
        {{"/DEVELOP"}, {"Settings", "Mifare\u00ae commands", "Monitor", "Conformance"}, false},
        {{"dev"}, {"Settings", "Mifare\u00ae commands"}, false},
        {{"production"}, {"Settings", "Mifare\u00ae commands", "Production"}, false},
        {{"develop", "production", "hitag2"},
         {"Settings", "Mifare\u00ae commands", "Monitor", "Conformance", "Production"},
         true},
    };
    for (const Case& c : cases) {
        const auto sheet = SheetFor(c.tokens);
        SCOPED_TRACE(c.tokens.empty() ? "(none)" : c.tokens.front());
        EXPECT_EQ(TabTitles(*sheet), c.tabs);
        EXPECT_EQ(sheet->GetTabControl()->currentWidget(), &sheet->GetConnectionDialog());
        EXPECT_EQ(sheet->m_bHitag2, c.hitag2);
        EXPECT_EQ(sheet->GetCommandsDlg().m_parameters.bHitag2, c.hitag2);
    }
}

TEST(MainSheet, ButtonRowHoldsAboutAndExitOnlyAndTheCaptionComesFromTheVersionBlock) {
    CAllControlsSheet sheet(QStringLiteral("Tagbench"));
    sheet.AddPages();
    EXPECT_EQ(sheet.windowTitle(), QStringLiteral("Tagbench 1.27.0"));
    EXPECT_TRUE(sheet.findChildren<QDialogButtonBox*>().isEmpty());
    QStringList rowButtons;
    for (QPushButton* button : sheet.findChildren<QPushButton*>()) {
        if (!sheet.GetTabControl()->isAncestorOf(button)) {
            rowButtons << button->text();
        }
    }
    EXPECT_EQ(rowButtons, QStringList({"A&bout...", "E&xit"}));
    EXPECT_NE(FindControl(&sheet, CAllControlsSheet::IDC_ABOUT), nullptr);
    EXPECT_TRUE(sheet.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(sheet.GetMinimizeAction()->text(), QStringLiteral("Mi&nimize"));

    // The product name sits in the free part of the row, left of the buttons.
    sheet.show();
    const QRect name = sheet.ProductNameRect();
    EXPECT_GT(name.width(), 100);
    EXPECT_LT(name.right(), FindControl(&sheet, CAllControlsSheet::IDC_ABOUT)->geometry().left());
}

TEST(MainSheet, AboutOpensTheAboutBoxAndExitClosesTheSheet) {
    CAllControlsSheet sheet(QStringLiteral("Tagbench"));
    sheet.AddPages();
    sheet.show();
    QString shown;
    QTimer::singleShot(0, [&shown] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            shown = modal->windowTitle();
            EXPECT_NE(qobject_cast<CAboutDialog*>(modal), nullptr);
            modal->close();
        }
    });
    QTest::mouseClick(FindControl(&sheet, CAllControlsSheet::IDC_ABOUT), Qt::LeftButton);
    EXPECT_EQ(shown, QStringLiteral("About Tagbench"));
    EXPECT_TRUE(sheet.isVisible());

    for (QPushButton* button : sheet.findChildren<QPushButton*>()) {
        if (button->text() == QStringLiteral("E&xit")) {
            QTest::mouseClick(button, Qt::LeftButton);
        }
    }
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
}

TEST(MainSheet, PagesTakeTheLargerFontExceptTheOutputWindows) {
    CAllControlsSheet sheet(QStringLiteral("Tagbench"));
    sheet.AddPages();
    const qreal dialogSize = QApplication::font().pointSizeF();
    EXPECT_DOUBLE_EQ(sheet.GetSheetFont().pointSizeF(), dialogSize * 1.1);

    QWidget page;
    auto* check = new QCheckBox(QStringLiteral("option"), &page);
    auto* output = new QPlainTextEdit(&page);
    auto* terminal = new QPlainTextEdit(&page);
    KeepOwnFont(output);
    KeepOwnFont(terminal);
    sheet.AddPage(&page, QStringLiteral("Extra"));

    EXPECT_DOUBLE_EQ(check->font().pointSizeF(), dialogSize * 1.1);
    EXPECT_DOUBLE_EQ(output->font().pointSizeF(), dialogSize);
    EXPECT_DOUBLE_EQ(terminal->font().pointSizeF(), dialogSize);
    EXPECT_DOUBLE_EQ(FindControl(&sheet, CConnectionDialog::IDC_CONNECT)->font().pointSizeF(),
                     dialogSize * 1.1);
}

TEST(MainSheet, SettingsControlsShowTheStringOfTheirIdAsTooltipAndTheSpinButtonNone) {
    CAllControlsSheet sheet(QStringLiteral("Tagbench"));
    sheet.AddPages();
    EXPECT_EQ(FindControl(&sheet, CConnectionDialog::IDC_USB)->toolTip(),
              QStringLiteral("Select to connect to the reader via the USB bus. (USB reader only.)"));
    EXPECT_EQ(FindControl(&sheet, CConnectionDialog::IDC_CONNECT)->toolTip(),
              QStringLiteral("Click here to connect or disconnect the Mifare\u00ae reader."));
    QWidget* spin = FindControl(&sheet, CConnectionDialog::IDC_MAX_ATTEMPTS_SPIN);
    ASSERT_NE(spin, nullptr);
    EXPECT_TRUE(spin->toolTip().isEmpty());
    for (QWidget* part : spin->findChildren<QWidget*>()) {
        EXPECT_TRUE(part->toolTip().isEmpty());
    }
}

TEST(MainSheet, APageWithAnInvalidFieldCannotBeLeft) {
    CAllControlsSheet sheet(QStringLiteral("Tagbench"));
    sheet.AddPages();
    QWidget other;
    sheet.AddPage(&other, QStringLiteral("Other"));
    QStringList messages;
    struct HookReset {
        ~HookReset() { SetMessageHook({}); }
    } reset;
    SetMessageHook([&messages](const QString& text, MessageIcon) {
        messages << text;
        return QMessageBox::Ok;
    });
    auto* attempts = qobject_cast<QLineEdit*>(FindControl(&sheet, CConnectionDialog::IDC_MAX_ATTEMPTS));
    attempts->clear();
    sheet.GetTabControl()->setCurrentIndex(1);
    EXPECT_EQ(sheet.GetTabControl()->currentIndex(), 0);
    EXPECT_EQ(messages, QStringList({"Please enter a positive integer."}));

    attempts->setText(QStringLiteral("25"));
    sheet.GetTabControl()->setCurrentIndex(1);
    EXPECT_EQ(sheet.GetTabControl()->currentIndex(), 1);
    EXPECT_EQ(sheet.GetConnectionDialog().m_nMaxAttempts, 25u);
}

TEST(MainSheet, StaysOnThePageWhoseExchangeRuns) {
    FakeClock clock;
    auto reader = std::make_shared<SimReader>(clock);
    CAllControlsSheet sheet(QStringLiteral("Tagbench"), nullptr, 0,
                            std::make_shared<SimD2xxProvider>(reader, clock));
    sheet.m_bUsbAvailable = true;
    sheet.AddPages();
    qobject_cast<QRadioButton*>(FindControl(&sheet, CConnectionDialog::IDC_USB))->click();
    qobject_cast<QPushButton*>(FindControl(&sheet, CConnectionDialog::IDC_CONNECT))->click();
    sheet.GetSession().WaitForIdle();
    QTabWidget* tabs = sheet.GetTabControl();
    tabs->setCurrentIndex(1);
    sheet.GetSession().WaitForIdle();

    // A click on another tab while the command runs is kept for when its answer is in.
    qobject_cast<QPushButton*>(FindControl(&sheet, CMifareCommandsDlg::IDC_INFO))->click();
    EXPECT_TRUE(tabs->tabBar()->isEnabled());
    tabs->setCurrentIndex(0);  // as a click or Ctrl+Tab asks
    EXPECT_EQ(tabs->currentIndex(), 1);
    sheet.GetSession().WaitForIdle();
    QCoreApplication::processEvents();
    EXPECT_EQ(tabs->currentIndex(), 0);
    tabs->setCurrentIndex(1);
    EXPECT_EQ(tabs->currentIndex(), 1);
}

namespace {

// A page that has something to lose when the program closes.
class HoldingPage : public CPropertyPage {
public:
    using CPropertyPage::CPropertyPage;
    QString CloseWarning() const override { return warning; }
    QString warning;
};

}  // namespace

TEST(MainSheet, EscapeKeepsTheProgramAndClosingAsksWhenAPageWouldLoseSomething) {
    CAllControlsSheet sheet(QStringLiteral("Tagbench"));
    sheet.AddPages();
    HoldingPage page(sheet.GetSession());
    sheet.AddPage(&page, QStringLiteral("Holding"));
    sheet.show();
    QStringList asked;
    QMessageBox::StandardButton answer = QMessageBox::No;
    const MessageHook previous = SetMessageHook([&](const QString& text, MessageIcon) {
        asked << text;
        return answer;
    });

    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_TRUE(sheet.isVisible());

    page.warning = QStringLiteral("3 serial numbers are not in the production record.");
    sheet.close();  // the caption's close button
    EXPECT_TRUE(sheet.isVisible());
    ASSERT_EQ(asked.size(), 1);
    EXPECT_EQ(asked[0], QStringLiteral("3 serial numbers are not in the production record.\n\n"
                                       "Exit Tagbench anyway?"));
    answer = QMessageBox::Yes;
    sheet.reject();  // Exit
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(asked.size(), 2);
    SetMessageHook(previous);
    sheet.GetTabControl()->removeTab(sheet.GetTabControl()->indexOf(&page));
}
