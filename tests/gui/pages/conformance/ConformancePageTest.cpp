// The conformance page against the simulated reader over the simulated USB bridge, on the fake
// clock: runs, faults, the user's stop, the report, and the tab that only develop mode has.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/CReaderTestApp.h"
#include "common/CReaderSession.h"
#include "gui/pages/commands/MessageRecorder.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "pages/conformance/CConformanceDialog.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "widgets/FileDialog.h"

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

class ConformancePageTest : public testing::Test {
protected:
    void SetUp() override {
        m_reader->EnterCard(SimCard(0x12345678));
        m_page.OnInitDialog();
        ASSERT_EQ(m_port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(m_link.Connect(&m_port, 115200), LR_OK);
        m_page.OnSetActive();
    }
    void TearDown() override {
        m_page.OnClose();
        m_session.Shutdown();
        std::filesystem::remove_all(m_dir);
    }

    // Presses Run and lets the steps go until the page shows the run's end.
    void Run() {
        ASSERT_TRUE(m_page.GetRunButton()->isEnabled());
        m_page.GetRunButton()->click();
        for (int i = 0; i < 20000 && m_page.IsRunning(); ++i) {
            QTest::qWait(1);
        }
        ASSERT_FALSE(m_page.IsRunning());
    }
    QTreeWidgetItem* Row(const char* id) const {
        const auto found = m_page.GetTable()->findItems(QString::fromLatin1(id), Qt::MatchExactly,
                                                        CConformanceDialog::ColumnCheck);
        return found.size() == 1 ? found[0] : nullptr;
    }
    QString Result(const char* id) const { return Row(id)->text(CConformanceDialog::ColumnResult); }
    // The results column, row by row.
    QStringList Results() const {
        QStringList results;
        for (int row = 0; row < m_page.GetTable()->topLevelItemCount(); ++row) {
            results << m_page.GetTable()->topLevelItem(row)->text(CConformanceDialog::ColumnResult);
        }
        return results;
    }
    QString Details(const char* id) {
        m_page.GetTable()->setCurrentItem(Row(id));
        return m_page.GetDetails();
    }

    FakeClock m_clock{1000};
    std::shared_ptr<SimReader> m_reader = std::make_shared<SimReader>(m_clock);
    ReaderPort m_port{nullptr, std::make_shared<SimD2xxProvider>(m_reader, m_clock)};
    ReaderLink m_link{m_clock};
    CReaderSession m_session{m_port, m_link};
    CConformanceDialog m_page{m_session};
    MessageRecorder m_messages;
    std::filesystem::path m_dir =
        std::filesystem::temp_directory_path() / ("tagbench-conformance-" + std::to_string(::getpid()));
};

TEST_F(ConformancePageTest, ConformantReaderPassesEveryCheckThatApplies) {
    const size_t count = ConformanceSuite::Checks().size();
    ASSERT_EQ(m_page.GetTable()->topLevelItemCount(), static_cast<int>(count));
    EXPECT_EQ(Results(), QStringList(static_cast<qsizetype>(count), QString()));
    EXPECT_FALSE(m_page.GetStopButton()->isEnabled());
    EXPECT_FALSE(m_page.GetSaveButton()->isEnabled());

    Run();
    EXPECT_TRUE(m_messages.Texts().isEmpty()) << m_messages.Texts().join('\n').toStdString();
    QStringList expected(static_cast<qsizetype>(count), QStringLiteral("passed"));
    // Without the write option nothing is written, and a 3964R reader has no DLE-framed answers.
    for (const char* skipped : {"framed.frame", "commands.write"}) {
        expected[m_page.GetTable()->indexOfTopLevelItem(Row(skipped))] = QStringLiteral("skipped");
    }
    EXPECT_EQ(Results(), expected);
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^%1 passed, 0 failed, 2 skipped in \\d+\\.\\d s$").arg(count - 2))
            .match(m_page.GetStatus())
            .hasMatch())
        << m_page.GetStatus().toStdString();
    EXPECT_EQ(m_page.GetProgress()->value(), static_cast<int>(count));
    EXPECT_EQ(m_page.GetProgress()->maximum(), static_cast<int>(count));
    EXPECT_TRUE(m_page.GetRunButton()->isEnabled());
    EXPECT_FALSE(m_page.GetStopButton()->isEnabled());
    EXPECT_TRUE(m_page.GetSaveButton()->isEnabled());

    EXPECT_TRUE(
        Row("handshake.stx-ack")->text(CConformanceDialog::ColumnFigures).contains("stx_ack_max_ms "));
    const QString passed = Details("handshake.stx-ack");
    EXPECT_TRUE(passed.startsWith(QStringLiteral("Sends: STX ")) &&
                passed.endsWith(QStringLiteral("\nTranscript of handshake.stx-ack:")))
        << passed.toStdString();
    EXPECT_TRUE(passed.contains(QStringLiteral("\nResult: passed (")));
    EXPECT_TRUE(passed.contains(QStringLiteral("\nFigures: exchanges 20, ")));  // the repeat count
    EXPECT_FALSE(passed.contains(QStringLiteral("\nSeen:")));
    // Exchanges begin with the PC's lone STX.
    const QString transcript = m_page.GetTranscript()->toPlainText();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\+\\d+ ms PC +02$"), QRegularExpression::MultilineOption)
                    .match(transcript)
                    .hasMatch())
        << transcript.toStdString();
    const QString skipped = Details("commands.write");
    EXPECT_TRUE(skipped.contains(QStringLiteral("\nResult: skipped (")));
    EXPECT_TRUE(skipped.contains(QStringLiteral("\nReason: writes a card block")));
}

TEST_F(ConformancePageTest, ReaderThatBreaksARuleFailsThatCheckWithItsDetails) {
    SimFaults faults;
    faults.wrongSequenceCount = UINT32_MAX;
    m_reader->SetFaults(faults);
    m_page.SelectChecks({"handshake.stx-ack", "framing.sequence"});
    Run();
    QStringList results = Results();
    EXPECT_EQ(results.count(QString()), results.size() - 2);  // the checks not ticked did not run
    EXPECT_EQ(Result("handshake.stx-ack"), QStringLiteral("passed"));
    EXPECT_EQ(Result("framing.sequence"), QStringLiteral("failed"));
    EXPECT_TRUE(m_page.GetStatus().startsWith(QStringLiteral("1 passed, 1 failed, 0 skipped in ")))
        << m_page.GetStatus().toStdString();
    EXPECT_EQ(m_page.GetProgress()->value(), 2);
    EXPECT_EQ(m_page.GetProgress()->maximum(), 2);

    const QString details = Details("framing.sequence");
    for (const char* field : {"\nResult: failed (", "\nExpected: ", "\nSeen: "}) {
        EXPECT_TRUE(details.contains(QString::fromLatin1(field))) << field << "\n" << details.toStdString();
    }
    EXPECT_FALSE(m_page.GetTranscript()->toPlainText().isEmpty());
}

TEST_F(ConformancePageTest, StopEndsTheRunAndThePageCannotBeLeftWhileItRuns) {
    bool stopEnabled = false;
    bool runEnabled = true;
    bool left = true;
    QObject::connect(m_page.GetProgress(), &QProgressBar::valueChanged, [&](int value) {
        if (value == 1) {
            stopEnabled = m_page.GetStopButton()->isEnabled();
            runEnabled = m_page.GetRunButton()->isEnabled();
            left = m_page.OnKillActive();
        } else if (value == 2) {
            m_page.GetStopButton()->click();
        }
    });
    Run();
    EXPECT_TRUE(stopEnabled);
    EXPECT_FALSE(runEnabled);
    EXPECT_FALSE(left);
    EXPECT_EQ(m_messages.Texts(),
              QStringList{"Cannot leave this page while the conformance checks run. Stop them first."});
    EXPECT_EQ(m_page.GetStatus(), QStringLiteral("Stopped."));
    EXPECT_EQ(m_page.GetProgress()->value(), 2);
    EXPECT_EQ(Results().count(QString()), Results().size() - 2);
    EXPECT_TRUE(m_page.OnKillActive());
    EXPECT_TRUE(m_page.GetRunButton()->isEnabled());
    EXPECT_TRUE(m_page.GetSaveButton()->isEnabled());  // what ran can be reported
}

TEST_F(ConformancePageTest, OptionsTheSuiteRefusesRunNothing) {
    struct Case {
        std::function<void()> set;
        QString message;
    };
    const Case cases[] = {
        {[this] { m_page.SelectChecks({"none such"}); }, QStringLiteral("Tick at least one check to run.")},
        {[this] {
             m_page.SelectChecks({});
             m_page.GetWriteToggle()->setChecked(true);
             m_page.GetWriteBlock()->setValue(7);
         },
         QStringLiteral(
             "The checks cannot run: block 7 is a sector trailer: writing it could lock the sector.")},
    };
    for (const Case& c : cases) {
        m_messages.Clear();
        c.set();
        m_page.GetRunButton()->click();
        EXPECT_FALSE(m_page.IsRunning());
        EXPECT_EQ(m_messages.Texts(), QStringList{c.message});
    }
    m_session.WaitForIdle();
    EXPECT_TRUE(m_reader->Requests().empty());
}

TEST_F(ConformancePageTest, SaveReportWritesMarkdownOrJUnitXmlWithTheRunsChecks) {
    m_page.SelectChecks({"commands.info", "commands.write"});
    m_page.GetWriteToggle()->setChecked(true);
    m_page.GetWriteBlock()->setValue(5);
    Run();
    EXPECT_EQ(Result("commands.write"), QStringLiteral("passed"));  // the option reached the suite

    std::filesystem::create_directories(m_dir);
    QStringList filters;
    QString answer;
    const SaveFileHook previous = SetSaveFileHook([&](const SaveFileRequest& request) {
        filters << request.strFilter;
        return answer;
    });
    // A name without an extension is a Markdown report.
    answer = QString::fromStdString((m_dir / "report").string());
    m_page.GetSaveButton()->click();
    const std::string markdown = ReadFile(m_dir / "report.md");
    answer = QString::fromStdString((m_dir / "report.xml").string());
    m_page.GetSaveButton()->click();
    const std::string xml = ReadFile(m_dir / "report.xml");
    answer = QString::fromStdString((m_dir / "missing" / "report.md").string());
    m_page.GetSaveButton()->click();
    SetSaveFileHook(previous);

    EXPECT_EQ(filters.value(0), QStringLiteral("Markdown report (*.md);;JUnit XML (*.xml)"));
    EXPECT_NE(markdown.find("commands.info"), std::string::npos) << markdown;
    EXPECT_NE(markdown.find("commands.write"), std::string::npos);
    EXPECT_EQ(markdown.find("framing.sequence"), std::string::npos);  // not run, not reported
    EXPECT_NE(markdown.find(" at 115200 baud, 3964R procedure"), std::string::npos) << markdown;
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u) << xml;
    EXPECT_NE(xml.find("commands.info"), std::string::npos);
    EXPECT_NE(xml.find("commands.write"), std::string::npos);
    ASSERT_EQ(m_messages.Texts().size(), 1);
    EXPECT_TRUE(m_messages.Texts()[0].startsWith(QStringLiteral("Could not save ")))
        << m_messages.Texts()[0].toStdString();
    EXPECT_FALSE(std::filesystem::exists(m_dir / "missing"));
}

TEST(ConformanceTab, OnlyDevelopModeHasItAfterTheMonitorAndItWaitsForAConnection) {
    for (const bool develop : {false, true}) {
        std::vector<const char*> tokens{"tagbench"};
        if (develop) {
            tokens.push_back("develop");
        }
        CRunModeCommandLineInfo info;
        info.ParseCommandLine(static_cast<int>(tokens.size()), tokens.data());
        const auto sheet = CReaderTestApp().CreateSheet(info);
        QTabWidget* tabs = sheet->GetTabControl();
        const int index = tabs->indexOf(&sheet->GetConformanceDlg());
        SCOPED_TRACE(develop);
        if (!develop) {
            EXPECT_EQ(index, -1);
            continue;
        }
        ASSERT_GE(index, 1);
        EXPECT_EQ(tabs->tabText(index), QStringLiteral("Conformance"));
        EXPECT_EQ(tabs->widget(index - 1), &sheet->GetMonitorDlg());
        tabs->setCurrentIndex(index);
        EXPECT_EQ(tabs->currentIndex(), index);
        EXPECT_FALSE(sheet->GetConformanceDlg().GetRunButton()->isEnabled());
        EXPECT_EQ(sheet->GetConformanceDlg().GetStatus(),
                  QStringLiteral("Not connected. Go to 'settings' tab to connect."));
    }
}

}  // namespace
