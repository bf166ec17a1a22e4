// What the program remembers between runs, in the user's settings: each test is two or more
// program starts, one after the other, sharing that test's settings store.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <memory>

#include "app/CAllControlsSheet.h"
#include "app/CReaderTestApp.h"
#include "common/ControlId.h"
#include "link/Clock.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"
#include "widgets/FileDialog.h"

namespace {

template <typename T>
T* Control(QWidget* root, uint32_t id) {
    return qobject_cast<T*>(FindControl(root, id));
}

void Click(CAllControlsSheet& sheet, QWidget* root, uint32_t id) {
    Control<QAbstractButton>(root, id)->click();
    sheet.GetSession().WaitForIdle();
}

// The save dialogs answer with the paths given, one each, and tell where they started.
class SaveAnswers {
public:
    explicit SaveAnswers(QStringList paths) {
        m_previous = SetSaveFileHook([this, paths](const SaveFileRequest& request) mutable {
            starts << request.strStart;
            return paths.isEmpty() ? QString() : paths.takeFirst();
        });
    }
    ~SaveAnswers() { SetSaveFileHook(m_previous); }
    SaveAnswers(const SaveAnswers&) = delete;
    SaveAnswers& operator=(const SaveAnswers&) = delete;
    QStringList starts;

private:
    SaveFileHook m_previous;
};

std::unique_ptr<CAllControlsSheet> Start(std::shared_ptr<D2xxProvider> d2xx = nullptr) {
    auto sheet = std::make_unique<CAllControlsSheet>(QStringLiteral("Tagbench"), nullptr, 0, d2xx);
    sheet->m_bUsbAvailable = d2xx != nullptr;
    sheet->m_bProduction = true;
    sheet->AddPages();
    return sheet;
}

// Starts continuous read with its log and stops it again.
void StartAndStopContinuousRead(CAllControlsSheet& sheet) {
    sheet.GetTabControl()->setCurrentWidget(&sheet.GetCommandsDlg());
    sheet.GetSession().WaitForIdle();
    auto* contRead = Control<QPushButton>(&sheet.GetCommandsDlg(), CMifareCommandsDlg::IDC_CONT_READ);
    contRead->click();
    ASSERT_TRUE(contRead->isChecked());
    contRead->click();
    QElapsedTimer elapsed;
    elapsed.start();
    while (sheet.GetSession().IsBusy() ||
           !Control<QPushButton>(&sheet.GetCommandsDlg(), CMifareCommandsDlg::IDC_RESET)->isEnabled()) {
        ASSERT_LT(elapsed.elapsed(), 10000);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        sheet.GetSession().WaitForIdle();
    }
}

}  // namespace

TEST(RememberedBetweenRuns, TheLastPortTheProductionRecordAndTheStatisticsLog) {
    std::string error;
    const std::unique_ptr<Simulator> simulator = Simulator::Start(error);
    ASSERT_NE(simulator, nullptr) << error;
    const QString port = QString::fromStdString(simulator->PortName());
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("cycles.log"));
    const QString record = dir.filePath(QStringLiteral("record.csv"));
    {
        const auto sheet = Start();
        CConnectionDialog& settings = sheet->GetConnectionDialog();
        auto* ports = Control<QComboBox>(&settings, CConnectionDialog::IDC_PORT_LIST);
        ports->setCurrentIndex(ports->findData(port));
        Click(*sheet, &settings, CConnectionDialog::IDC_CONNECT);
        ASSERT_TRUE(sheet->GetReaderPort().IsOpen());
        Control<QCheckBox>(&settings, CConnectionDialog::IDC_LOG_TO_FILE)->setChecked(true);
        SaveAnswers answers({log, record});
        StartAndStopContinuousRead(*sheet);
        Click(*sheet, &sheet->GetProductionDlg(), CProductionDialog::IDC_RECORD_CHOOSE);
        ASSERT_EQ(answers.starts.size(), 2);
        EXPECT_EQ(answers.starts[0], QString());  // nothing remembered yet
    }
    {
        const auto sheet = Start();
        CConnectionDialog& settings = sheet->GetConnectionDialog();
        EXPECT_EQ(Control<QComboBox>(&settings, CConnectionDialog::IDC_PORT_LIST)->currentData().toString(),
                  port);
        EXPECT_TRUE(Control<QRadioButton>(&settings, CConnectionDialog::IDC_COM)->isChecked());
        EXPECT_EQ(Control<QLabel>(&sheet->GetProductionDlg(), CProductionDialog::IDC_RECORD_PATH)->text(),
                  record);
        Click(*sheet, &settings, CConnectionDialog::IDC_CONNECT);
        ASSERT_TRUE(sheet->GetReaderPort().IsOpen());
        Control<QCheckBox>(&settings, CConnectionDialog::IDC_LOG_TO_FILE)->setChecked(true);
        SaveAnswers answers({log});
        StartAndStopContinuousRead(*sheet);
        EXPECT_EQ(answers.starts, QStringList{log});  // the log's dialog opens at the last log
    }
}

// USB is remembered as the kind; the simulated reader of a simulated run is no port to remember.
TEST(RememberedBetweenRuns, UsbButNotTheSimulatedReader) {
    FakeClock clock;
    const auto usb = std::make_shared<SimD2xxProvider>(std::make_shared<SimReader>(clock), clock);
    {
        const auto sheet = Start(usb);
        CConnectionDialog& settings = sheet->GetConnectionDialog();
        EXPECT_TRUE(Control<QRadioButton>(&settings, CConnectionDialog::IDC_COM)->isChecked());
        Click(*sheet, &settings, CConnectionDialog::IDC_USB);
        Click(*sheet, &settings, CConnectionDialog::IDC_CONNECT);
        ASSERT_TRUE(sheet->GetReaderPort().IsOpen());
    }
    {
        const char* argv[] = {"tagbench", "simulate"};
        CRunModeCommandLineInfo info;
        info.ParseCommandLine(2, argv);
        CReaderTestApp app;
        const auto sheet = app.CreateSheet(info);
        ASSERT_NE(app.GetSimulator(), nullptr);
        CConnectionDialog& settings = sheet->GetConnectionDialog();
        // A simulated run starts on its own reader's port, and connecting to it changes nothing.
        EXPECT_TRUE(Control<QRadioButton>(&settings, CConnectionDialog::IDC_COM)->isChecked());
        Click(*sheet, &settings, CConnectionDialog::IDC_CONNECT);
        ASSERT_TRUE(sheet->GetReaderPort().IsOpen());
    }
    const auto sheet = Start(usb);
    EXPECT_TRUE(
        Control<QRadioButton>(&sheet->GetConnectionDialog(), CConnectionDialog::IDC_USB)->isChecked());
}
