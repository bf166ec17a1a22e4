#include "pages/commands/CMifareCommandsDlg.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include "StringTable.h"
#include "app/CAllControlsSheet.h"
#include "commands/ContinuousReadCycle.h"
#include "commands/HexText.h"
#include "commands/PcBeep.h"
#include "commands/WaitCardExchange.h"
#include "common/CReaderSession.h"
#include "common/CStepDriver.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "common/UserSettings.h"
#include "link/Clock.h"
#include "link/Trace.h"
#include "pages/commands/CAuthenticateDialog.h"
#include "pages/commands/CChangeValueDialog.h"
#include "pages/commands/CLoadKeyDialog.h"
#include "pages/commands/CMakeValueBlockDialog.h"
#include "pages/commands/CSelectBlockDialog.h"
#include "pages/commands/CSetPortDialog.h"
#include "pages/commands/CWriteBlockDialog.h"
#include "widgets/CContReadStatisticsWidget.h"
#include "widgets/COutputWindowWidget.h"
#include "widgets/FileDialog.h"

namespace {

QString Text(uint32_t id) {
    return QString::fromStdString(LoadString(id));
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// Why a command came to nothing, in the user's words; empty when the reader answered, whatever its
// status: the command's own status line says that in the output window.
QString FailureText(LinkResult result) {
    if (result == LR_OK || (result > LR_READER_BASE && result <= LR_READER_BASE + 0xFF)) {
        return {};
    }
    if (result == LR_NO_ANSWER) {
        return QStringLiteral("No answer from the reader.");
    }
    const QString text = Q(LinkResultText(result));
    if (IsLineLost(result)) {
        return QStringLiteral("The line to the reader failed: %1.").arg(text);
    }
    if (result < 0x20000000) {  // any other error of the port's system calls
        return QStringLiteral("The port failed: %1.").arg(text);
    }
    return QStringLiteral("The command failed: %1.").arg(text);
}

// The statistics log chosen last, in the user's settings: the next start offers it again.
const QString kLogPathKey = QStringLiteral("ContinuousRead/LogPath");

// The parameter dialogs: each opens with the last entries and leaves its own back; false on Cancel.
template <typename Dialog, typename Load, typename Store>
bool Ask(QWidget* parent, Load load, Store store) {
    Dialog dialog(parent);
    load(dialog);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    store(dialog);
    return true;
}

bool AskLoadKey(QWidget* parent, CommandParameters& p) {
    return Ask<CLoadKeyDialog>(
        parent,
        [&](CLoadKeyDialog& d) {
            d.m_nKeyType = p.nKeyType;
            d.m_nKeySet = p.nKeySet;
            d.m_nKeyNumber = p.nKeyNumber;
            d.m_strKey = Q(p.strKey);
        },
        [&](const CLoadKeyDialog& d) {
            p.nKeyType = d.m_nKeyType;
            p.nKeySet = d.m_nKeySet;
            p.nKeyNumber = d.m_nKeyNumber;
            p.strKey = d.m_strKey.toStdString();
        });
}

bool AskAuthenticate(QWidget* parent, CommandParameters& p) {
    return Ask<CAuthenticateDialog>(
        parent,
        [&](CAuthenticateDialog& d) {
            d.m_nKeyType = p.nKeyType;
            d.m_nKeySet = p.nKeySet;
            d.m_nKeyNumber = p.nKeyNumber;
            d.m_nBlock = p.nBlock;
        },
        [&](const CAuthenticateDialog& d) {
            p.nKeyType = d.m_nKeyType;
            p.nKeySet = d.m_nKeySet;
            p.nKeyNumber = d.m_nKeyNumber;
            p.nBlock = d.m_nBlock;
        });
}

// The block of Read, Read valueblock, Restore and Transfer.
bool AskBlock(QWidget* parent, CommandParameters& p) {
    return Ask<CSelectBlockDialog>(
        parent, [&](CSelectBlockDialog& d) { d.m_nBlock = p.nBlock; },
        [&](const CSelectBlockDialog& d) { p.nBlock = d.m_nBlock; });
}

bool AskWrite(QWidget* parent, CommandParameters& p) {
    return Ask<CWriteBlockDialog>(
        parent,
        [&](CWriteBlockDialog& d) {
            d.m_nBlock = p.nBlock;
            d.m_strBlockData = Q(p.strBlockData);
        },
        [&](const CWriteBlockDialog& d) {
            p.nBlock = d.m_nBlock;
            p.strBlockData = d.m_strBlockData.toStdString();
        });
}

bool AskMakeValueBlock(QWidget* parent, CommandParameters& p) {
    return Ask<CMakeValueBlockDialog>(
        parent,
        [&](CMakeValueBlockDialog& d) {
            d.m_nBlock = p.nBlock;
            d.m_strValue = Q(p.strValue);
            d.m_strValueAddress = Q(p.strValueAddress);
            d.m_nValueAddress = p.nValueAddress;
            d.m_dwValue = p.dwValue;
        },
        [&](const CMakeValueBlockDialog& d) {
            p.nBlock = d.m_nBlock;
            p.strValue = d.m_strValue.toStdString();
            p.strValueAddress = d.m_strValueAddress.toStdString();
            p.nValueAddress = d.m_nValueAddress;
            p.dwValue = d.m_dwValue;
        });
}

// Block and value of the three value changes. The value text opens empty: OK on an empty text
// sends the remembered value again.
bool AskChangeValue(QWidget* parent, CommandParameters& p) {
    return Ask<CChangeValueDialog>(
        parent,
        [&](CChangeValueDialog& d) {
            d.m_nBlock = p.nBlock;
            d.m_dwValue = p.dwValue;
        },
        [&](const CChangeValueDialog& d) {
            p.nBlock = d.m_nBlock;
            p.dwValue = d.m_dwValue;
        });
}

// Buzzer BEEP is a one-off: it always opens unchecked.
bool AskSetPort(QWidget* parent, CommandParameters& p) {
    return Ask<CSetPortDialog>(
        parent,
        [&](CSetPortDialog& d) {
            d.m_bBuzzerOn = p.bBuzzerOn;
            d.m_bGreenLedOn = p.bGreenLedOn;
            d.m_bRedLedOn = p.bRedLedOn;
        },
        [&](const CSetPortDialog& d) {
            p.bBuzzerOn = d.m_bBuzzerOn != 0;
            p.bGreenLedOn = d.m_bGreenLedOn != 0;
            p.bRedLedOn = d.m_bRedLedOn != 0;
            p.byPortMask = d.GetMask();
        });
}

// The command buttons, column by column as the page shows them, in the order of Command.
struct CommandButton {
    Command command;
    const char* caption;
    bool (*ask)(QWidget* parent, CommandParameters& parameters);  // null: no parameters
};
constexpr CommandButton kCommandButtons[kCommandCount] = {
    {Command::Startup, "&Startup", nullptr},
    {Command::Reset, "Rese&t", nullptr},
    {Command::Request, "Re&quest", nullptr},
    {Command::Anticollision, "Anti&collision", nullptr},
    {Command::Select, "S&elect", nullptr},
    {Command::LoadKey, "&Load key...", AskLoadKey},
    {Command::Authenticate, "&Authenticate 2...", AskAuthenticate},
    {Command::Read, "&Read...", AskBlock},
    {Command::Write, "&Write...", AskWrite},
    {Command::Halt, "&Halt", nullptr},
    {Command::MakeValueBlock, "&Make valueblock...", AskMakeValueBlock},
    {Command::ReadValueBlock, "Read &valueblock...", AskBlock},
    {Command::Increment, "&Increment...", AskChangeValue},
    {Command::Decrement, "&Decrement...", AskChangeValue},
    {Command::DecrementTransfer, "De&crement / Transfer...", AskChangeValue},
    {Command::Restore, "Rest&ore...", AskBlock},
    {Command::Transfer, "&Transfer...", AskBlock},
    {Command::SetPort, "Set &Port...", AskSetPort},
    {Command::Info, "In&fo", nullptr},
};

}  // namespace

CMifareCommandsDlg::CMifareCommandsDlg(CReaderSession& session, QWidget* parent)
    : CPropertyPage(session, parent),
      m_pCycle(std::make_unique<ContinuousReadCycle>(session.LinkForWork(), session.GetClock())),
      m_pWaitCardExchange(std::make_unique<WaitCardExchange>(session.LinkForWork(), session.GetClock())),
      m_pDriver(std::make_unique<CStepDriver>(session)) {
    // On a fake clock the reader's signal would never have been shown long enough: each pause the
    // modes ask for moves that clock instead.
    m_pDriver->SetFakeClock(dynamic_cast<FakeClock*>(&session.GetClock()));
    setWindowTitle(tr("Mifare® commands"));

    auto* group = new QGroupBox(tr("3964 Commands"), this);
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < kCommandCount; ++i) {
        auto* button = new QPushButton(tr(kCommandButtons[i].caption), group);
        SetControlId(button, IDC_STARTUP + i);
        button->setAutoDefault(false);
        grid->addWidget(button, i % 5, i / 5);
        m_commandButtons[i] = button;
    }
    m_pContRead = new QPushButton(tr("Co&nt. read"), group);
    m_pWaitCard = new QPushButton(tr("Wait &card"), group);
    SetControlId(m_pContRead, IDC_CONT_READ);
    SetControlId(m_pWaitCard, IDC_WAIT_CARD);
    auto* modes = new QHBoxLayout;
    for (QPushButton* button : {m_pContRead, m_pWaitCard}) {
        button->setCheckable(true);
        button->setAutoDefault(false);
        modes->addWidget(button);
    }
    grid->addLayout(modes, 4, 3);
    m_pCommandGrid = grid;

    // The caption belongs to the output window: it goes and comes back with it.
    m_pOutputPane = new QWidget(this);
    auto* caption = new QLabel(tr("Output (hexadecimal):"), m_pOutputPane);
    m_pOutput = new COutputWindowWidget(m_pOutputPane);
    auto* outputLayout = new QVBoxLayout(m_pOutputPane);
    outputLayout->setContentsMargins(0, 0, 0, 0);
    outputLayout->addWidget(caption);
    outputLayout->addWidget(m_pOutput, 1);
    SetControlId(m_pOutput, IDC_OUTPUT);
    KeepOwnFont(m_pOutput);
    m_pLegend = new QLabel(this);
    SetControlId(m_pLegend, IDC_LEGEND);
    m_pClear = new QPushButton(tr("Clear"), this);
    SetControlId(m_pClear, IDC_CLEAR);
    m_pClear->setAutoDefault(false);
    m_pTimestamps = new QComboBox(this);
    SetControlId(m_pTimestamps, IDC_TIMESTAMPS);
    // In the order of TraceTimestamp::Mode.
    m_pTimestamps->addItems({tr("No timestamps"), tr("Elapsed time"), tr("Time of day")});
    m_pSaveOutput = new QPushButton(tr("Save..."), this);
    SetControlId(m_pSaveOutput, IDC_SAVE_OUTPUT);
    m_pSaveOutput->setAutoDefault(false);

    // The live statistics of continuous read take the output window's place while it runs, and
    // stay beside it after the stop until the next start.
    m_pStatistics = new CContReadStatisticsWidget;
    m_pStatisticsArea = new QScrollArea(this);
    m_pStatisticsArea->setFrameShape(QFrame::NoFrame);
    m_pStatisticsArea->setWidgetResizable(true);
    m_pStatisticsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_pStatisticsArea->setWidget(m_pStatistics);
    // On the page's own background, as the output window's caption is.
    m_pStatisticsArea->viewport()->setAutoFillBackground(false);
    m_pStatistics->setAutoFillBackground(false);
    ShowStatistics(false);
    auto* outputArea = new QSplitter(Qt::Horizontal, this);
    outputArea->setChildrenCollapsible(false);
    outputArea->addWidget(m_pOutputPane);
    outputArea->addWidget(m_pStatisticsArea);
    outputArea->setStretchFactor(0, 1);
    outputArea->setStretchFactor(1, 1);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_pLegend, 1);
    bottom->addWidget(m_pTimestamps);
    bottom->addWidget(m_pSaveOutput);
    bottom->addWidget(m_pClear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(outputArea, 1);
    layout->addLayout(bottom);

    m_pStatisticsTimer = new QTimer(this);
    m_pStatisticsTimer->setInterval(kStatisticsIntervalMs);
    connect(m_pStatisticsTimer, &QTimer::timeout, this, &CMifareCommandsDlg::RefreshStatistics);

    for (int i = 0; i < kCommandCount; ++i) {
        connect(m_commandButtons[i], &QPushButton::clicked, this,
                [this, command = kCommandButtons[i].command] { OnCommand(command); });
    }
    connect(m_pClear, &QPushButton::clicked, this, &CMifareCommandsDlg::OnClear);
    connect(m_pSaveOutput, &QPushButton::clicked, this, &CMifareCommandsDlg::OnSaveOutput);
    connect(m_pTimestamps, &QComboBox::currentIndexChanged, this, &CMifareCommandsDlg::OnTimestampsChanged);
    connect(m_pContRead, &QPushButton::clicked, this, &CMifareCommandsDlg::OnContRead);
    connect(m_pWaitCard, &QPushButton::clicked, this, &CMifareCommandsDlg::OnWaitCard);

    EqualizeColumns();
    ReserveStatisticsRoom();
    ApplyTooltips(this);
    m_pTimestamps->setToolTip(tr("Put the time before each line of the output window."));
    m_pSaveOutput->setToolTip(tr("Click to save the output window's contents as text."));
}

CMifareCommandsDlg::~CMifareCommandsDlg() {
    OnClose();
    // The port outlives the page: it must not keep tracing into a window that is gone.
    if (m_session.TracesInto(m_pOutput)) {
        m_session.SetTraceWindow(nullptr, TraceModeHex);
    }
}

void CMifareCommandsDlg::OnClose() {
    // Closing in the middle of a mode: the reader is not left with its LEDs on or still armed,
    // and nothing of the mode answers a page that is closing.
    m_pDriver->Shutdown();
    CPropertyPage::OnClose();
}

void CMifareCommandsDlg::EqualizeColumns() {
    // Four columns of equal width, as wide as the widest caption needs in the current font.
    int widest = 0;
    for (QPushButton* button : m_commandButtons) {
        widest = std::max(widest, button->sizeHint().width());
    }
    // The last cell holds the two mode buttons side by side.
    widest = std::max(widest, m_pContRead->sizeHint().width() + m_pWaitCard->sizeHint().width() +
                                  m_pCommandGrid->horizontalSpacing());
    for (int column = 0; column < 4; ++column) {
        m_pCommandGrid->setColumnStretch(column, 1);
        m_pCommandGrid->setColumnMinimumWidth(column, widest);
    }
}

void CMifareCommandsDlg::changeEvent(QEvent* event) {
    CPropertyPage::changeEvent(event);
    if (event->type() == QEvent::FontChange && m_pCommandGrid != nullptr) {
        EqualizeColumns();
        ReserveStatisticsRoom();
    }
}

void CMifareCommandsDlg::ReserveStatisticsRoom() {
    m_pOutputPane->setMinimumHeight(m_pStatistics->sizeHint().height());
    // Only ever scrolled up and down: never narrower than the figures and the plot beside them.
    m_pStatisticsArea->setMinimumWidth(m_pStatistics->minimumSizeHint().width() +
                                       m_pStatisticsArea->verticalScrollBar()->sizeHint().width());
}

void CMifareCommandsDlg::ShowStatistics(bool show) {
    m_pStatistics->setVisible(show);
    m_pStatisticsArea->setVisible(show);
}

void CMifareCommandsDlg::SetSheetObjects(CAllControlsSheet* sheet, bool hitag2) {
    m_pSheet = sheet;
    m_parameters.bHitag2 = hitag2;
}

void CMifareCommandsDlg::OnInitDialog() {
    m_session.SetTraceWindow(m_pOutput, TraceModeHex, true);
    UpdateControls();
}

bool CMifareCommandsDlg::OnSetActive() {
    UpdateControls();
    if (m_pSheet != nullptr) {
        const CConnectionDialog& settings = m_pSheet->GetConnectionDialog();
        m_bPcBeep = settings.m_bPcBeep;
        m_bReaderBeep = settings.m_bReaderBeep;
        m_bRedLedFlash = settings.m_bRedLedFlash;
        m_bGreenLedFlash = settings.m_bGreenLedFlash;
        m_bLogToFile = settings.m_bLogToFile;
        m_nMaxAttempts = settings.m_bInfinite ? 0 : settings.m_nMaxAttempts;
    }
    if (!IsPortOpen()) {
        m_session.SetTraceWindow(m_pOutput, TraceModeHex);
        return true;
    }
    // The default key load is the page's own business and stays out of the trace; the window is
    // attached again once it is done. Refused only once the program is closing. A reader that does
    // not answer it is named under the window at once, before the user presses anything.
    ShowOutcome(QString());
    (void)m_session.PostWhenIdle(
        this,
        [window = m_session.TraceTarget(m_pOutput)](ReaderPort& port, ReaderLink& link) {
            return LoadDefaultKey(port, link, window);
        },
        [this](LinkResult result) { ShowOutcome(FailureText(result)); });
    return true;
}

bool CMifareCommandsDlg::OnKillActive() {
    if (m_bContRead) {
        ShowMessage(this, Text(IDS_LEAVE_CONT_READ), MessageIcon::Exclamation);
        return false;
    }
    if (m_bWaitCard) {
        ShowMessage(this, Text(IDS_LEAVE_WAIT_CARD), MessageIcon::Exclamation);
        return false;
    }
    return true;
}

void CMifareCommandsDlg::UpdateControls() {
    m_bContRead = m_pContRead->isChecked() ? 1 : 0;
    m_bWaitCard = m_pWaitCard->isChecked() ? 1 : 0;

    const bool open = IsPortOpen();
    // A released mode button whose mode has not ended yet: the last step and the mode's own end
    // (a switch-off, a Reset) still run, against a silent reader for seconds.
    const bool stopping = m_pDriver->IsRunning() && !m_bContRead && !m_bWaitCard;
    bool commands = false;
    bool clear = false;
    bool output = false;
    bool contRead = false;
    bool waitCard = false;
    if (!open) {
        m_strLegend = Text(IDS_NOT_CONNECTED);
    } else if (stopping) {
        output = m_mode == Mode::WaitCard;
        m_strLegend =
            m_mode == Mode::ContRead ? tr("Stopping continuous read...") : tr("Stopping wait card...");
    } else if (!m_bContRead && !m_bWaitCard) {
        commands = clear = output = true;
        contRead = waitCard = true;
        m_strLegend = m_strOutcome.isEmpty() ? Text(IDS_LEGEND) : m_strOutcome;
        // While an exchange runs nothing that would start another one can be pressed.
        if (IsBusy()) {
            commands = clear = contRead = waitCard = false;
        }
    } else if (m_bContRead) {
        m_strLegend = Text(IDS_MODE_RUNNING);
        contRead = true;
    } else {
        // The output window stays on and shows the exchange: say what the page waits for.
        m_strLegend = tr("Waiting for a card to enter the reader's field. Press Wait card again to stop.");
        waitCard = true;
        output = clear = true;
    }
    for (QPushButton* button : m_commandButtons) {
        button->setEnabled(commands);
    }
    m_pClear->setEnabled(clear);
    m_pOutput->setEnabled(output);
    // What the window already holds can be kept, connected or not, except while the trace is off.
    const bool traceOff = m_bContRead || (stopping && m_mode == Mode::ContRead);
    m_pTimestamps->setEnabled(!traceOff);
    m_pSaveOutput->setEnabled(!traceOff);
    m_pContRead->setEnabled(contRead);
    m_pWaitCard->setEnabled(waitCard);
    m_pLegend->setText(m_strLegend);
}

void CMifareCommandsDlg::ShowOutcome(const QString& text) {
    m_strOutcome = text;
    UpdateControls();
}

QString CMifareCommandsDlg::CloseWarning() const {
    if (m_bContRead) {
        return QStringLiteral("Continuous read is running.");
    }
    if (m_bWaitCard) {
        return QStringLiteral("Wait card is running.");
    }
    return {};
}

void CMifareCommandsDlg::OnBusyChanged(bool /*busy*/) {
    UpdateControls();
}

void CMifareCommandsDlg::OnCommand(Command command) {
    const CommandButton& button = kCommandButtons[static_cast<int>(command)];
    if (button.ask == nullptr || button.ask(this, m_parameters)) {
        Send(command);
    }
}

void CMifareCommandsDlg::Send(Command command) {
    auto parameters = std::make_shared<CommandParameters>(m_parameters);
    m_strOutcome.clear();
    const bool posted = m_session.Post(
        this,
        [command, parameters](ReaderPort& port, ReaderLink& link) {
            return RunCommand(command, *parameters, port, link);
        },
        [this, parameters](LinkResult result) {
            m_parameters.dwCardSerial = parameters->dwCardSerial;
            // The trace shows nothing of a command that got no answer (Request not even a status
            // line): the label says what became of it.
            ShowOutcome(FailureText(result));
        });
    // The buttons are disabled while an exchange runs; should a press still slip through, say so.
    if (!posted) {
        QApplication::beep();
    }
}

void CMifareCommandsDlg::OnClear() {
    if (!IsBusy()) {
        m_session.ClearTrace();
    } else if (m_bWaitCard) {
        // Between the steps of wait-for-card: the trace reaches the window on this thread only.
        m_pOutput->ClearAll();
    }
}

void CMifareCommandsDlg::OnTimestampsChanged(int index) {
    m_pOutput->SetTimestampMode(static_cast<TraceTimestamp::Mode>(std::max(index, 0)));
}

void CMifareCommandsDlg::OnSaveOutput() {
    if (m_pOutput->LinesCut() &&
        ShowMessage(this,
                    tr("The output window holds only the newest lines: older lines have been cut away and "
                       "will not be saved.\nSave the rest?"),
                    MessageIcon::Exclamation, QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok) {
        return;
    }
    SaveFileRequest request;
    request.strTitle = tr("Save output");
    request.strFilter = tr("Text files (*.txt);;All files (*)");
    request.bAddFilterSuffix = true;
    const QString path = AskSaveFileName(this, request);
    if (path.isEmpty()) {
        return;
    }
    QString error;
    if (!m_pOutput->SaveText(path, error)) {
        ShowMessage(this, tr("Cannot save %1:\n%2").arg(QDir::toNativeSeparators(path), error),
                    MessageIcon::Exclamation);
    }
}

void CMifareCommandsDlg::OnContRead() {
    UpdateControls();
    if (!m_bContRead) {
        m_pDriver->Stop();
        // Until the last step and the switch-off are done, the run is stopping, not running.
        m_pStatistics->SetStopping(m_pDriver->IsRunning());
        RefreshStatistics();
        UpdateControls();
        return;
    }
    if (IsBusy()) {
        m_pContRead->setChecked(false);
        UpdateControls();
        return;
    }
    if (m_bLogToFile && !OpenLog()) {
        m_pContRead->setChecked(false);
        UpdateControls();
        return;
    }
    ContReadOptions options;
    options.bPcBeep = m_bPcBeep != 0;
    options.bReaderBeep = m_bReaderBeep != 0;
    options.bRedLedFlash = m_bRedLedFlash != 0;
    options.bGreenLedFlash = m_bGreenLedFlash != 0;
    options.nMaxAttempts = m_nMaxAttempts;
    options.bHitag2 = m_parameters.bHitag2;
    options.nBlock = m_parameters.nBlock;
    options.bKeyB = m_parameters.nKeyType == 1;
    options.nKeyNumber = m_parameters.nKeyNumber;
    if (options.bPcBeep && m_pPcBeep == nullptr) {
        m_pPcBeep = std::make_unique<PcBeep>();
    }
    m_session.SetTraceWindow(nullptr, TraceModeHex);
    m_strOutcome.clear();
    m_mode = Mode::ContRead;
    m_pCycle->Start(options, m_logFile.IsOpen() ? &m_logFile : nullptr, m_pPcBeep.get());
    m_pStatistics->StartRun(options);
    if (!options.bPcBeep) {
        m_pStatistics->SetNotice(QString());  // a silent beep's notice is given once and then kept
    }
    m_pOutputPane->hide();
    ShowStatistics(true);
    RefreshStatistics();
    m_pStatisticsTimer->start();
    m_pDriver->Start(
        *m_pCycle, 0, [this](const StepOutcome&) { ContReadStepShown(); },
        [this](bool stopped) {
            if (!stopped) {
                m_pContRead->setChecked(false);  // the automatic stop
            }
            m_mode = Mode::None;
            ContReadStopped();
        });
}

bool CMifareCommandsDlg::OpenLog() {
    const auto choose = [this]() -> std::optional<std::string> {
        SaveFileRequest request;
        request.strTitle = tr("Statistics log");
        // Records are appended to an existing log: no question about replacing it.
        request.bConfirmOverwrite = false;
        request.bRefuseReadOnly = true;
        request.strStart = RememberedText(kLogPathKey);
        const QString path = AskSaveFileName(this, request);
        if (path.isEmpty()) {
            return std::nullopt;
        }
        return QFile::encodeName(path).toStdString();
    };
    const auto showError = [this](const std::string& description) {
        ShowMessage(this, QString::fromLocal8Bit(description), MessageIcon::Exclamation);
    };
    if (!m_logFile.PromptAndOpen(choose, showError)) {
        return false;
    }
    Remember(kLogPathKey, QFile::decodeName(QByteArray::fromStdString(m_logFile.GetPath())));
    return true;
}

void CMifareCommandsDlg::OnWaitCard() {
    UpdateControls();
    if (!m_bWaitCard) {
        m_pDriver->Stop();
        UpdateControls();
        return;
    }
    if (IsBusy()) {
        m_pWaitCard->setChecked(false);
        UpdateControls();
        return;
    }
    // An earlier run's figures have nothing to say about this mode.
    ShowStatistics(false);
    m_strOutcome.clear();
    m_mode = Mode::WaitCard;
    m_pWaitCardExchange->SetCardSerial(m_parameters.dwCardSerial);
    m_pWaitCardExchange->Start();
    m_pDriver->Start(*m_pWaitCardExchange, 0, {}, [this](bool stopped) {
        m_mode = Mode::None;
        QString outcome;
        if (!stopped) {
            // The exchange ended by itself: no Reset; a card that was accepted is the one Select takes.
            m_parameters.dwCardSerial = m_pWaitCardExchange->GetCardSerial();
            m_pWaitCard->setChecked(false);
            if (m_pWaitCardExchange->IsCardAccepted()) {
                // As the command line prints a serial number: most significant byte first.
                const QString serial = QString::number(m_parameters.dwCardSerial, 16).rightJustified(8, '0');
                outcome = tr("Card %1 entered.").arg(serial.toUpper());
            } else {
                outcome = FailureText(m_pWaitCardExchange->GetResult());
                if (outcome.isEmpty()) {
                    outcome = tr("Wait card ended without a card.");
                }
            }
        }
        ShowOutcome(outcome);
    });
}

void CMifareCommandsDlg::ContReadStepShown() {
    const ContReadReport& report = m_pCycle->LastReport();
    if (report.nStep >= 0 && report.nStep != ContReadSwitchOff) {
        ShowHighlight(report.nHighlight);
    }
    if (!report.strNotice.empty()) {
        m_pStatistics->SetNotice(QString::fromStdString(report.strNotice));
    }
    if (report.bLineLost) {
        m_pStatistics->SetNotice(QStringLiteral("Stopped: the line to the reader failed: %1")
                                     .arg(QString::fromStdString(LinkResultText(report.result))));
    }
    // No step runs while the box waits for the user: the next one is scheduled after it.
    if (!report.bStopped && !report.strLogError.empty()) {
        ShowMessage(this, QString::fromLocal8Bit(report.strLogError), MessageIcon::Exclamation);
    }
}

void CMifareCommandsDlg::ContReadStopped() {
    m_pStatisticsTimer->stop();
    ShowHighlight(-1);
    m_session.SetTraceWindow(m_pOutput, TraceModeHex);
    m_pOutputPane->show();
    RefreshStatistics();
    UpdateControls();
}

void CMifareCommandsDlg::ShowHighlight(int step) {
    // The buttons of the cycle's steps, by step; step 6 signals with Set Port.
    static constexpr uint32_t kStepButtons[] = {IDC_RESET,        IDC_REQUEST, IDC_ANTICOLLISION, IDC_SELECT,
                                                IDC_AUTHENTICATE, IDC_READ,    IDC_SET_PORT};
    for (int i = 0; i < static_cast<int>(std::size(kStepButtons)); ++i) {
        m_commandButtons[kStepButtons[i] - IDC_STARTUP]->setDown(i == step);
    }
}

void CMifareCommandsDlg::RefreshStatistics() {
    m_pStatistics->Show(m_pCycle->Statistics().Figures(m_session.GetClock().GetTickCount()));
}
