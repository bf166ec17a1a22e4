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
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include "StringTable.h"
#include "app/CAllControlsSheet.h"
#include "commands/ContinuousReadCycle.h"
#include "commands/HexText.h"
#include "commands/PcBeep.h"
#include "commands/WaitCardExchange.h"
#include "common/CReaderWorker.h"
#include "common/CStepDriver.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
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

constexpr uint32_t IDS_MODE_RUNNING = 101;
constexpr uint32_t IDS_NOT_CONNECTED = 106;
constexpr uint32_t IDS_LEGEND = 107;
constexpr uint32_t IDS_LEAVE_CONT_READ = 163;
constexpr uint32_t IDS_LEAVE_WAIT_CARD = 165;

// The key loaded into key number 0 each time the page comes to the front: six byte values
// counting up from this one.
constexpr uint8_t kDefaultKeyStart = 0xA0;

// Caption of each command button, column by column as the page shows them.
constexpr const char* kCaptions[CMifareCommandsDlg::kCommandCount] = {
    "&Startup",
    "Rese&t",
    "Re&quest",
    "Anti&collision",
    "S&elect",
    "&Load key...",
    "&Authenticate 2...",
    "&Read...",
    "&Write...",
    "&Halt",
    "&Make valueblock...",
    "Read &valueblock...",
    "&Increment...",
    "&Decrement...",
    "De&crement / Transfer...",
    "Rest&ore...",
    "&Transfer...",
    "Set &Port...",
    "In&fo",
};

QString Text(uint32_t id) {
    return QString::fromStdString(LoadString(id));
}

ByteBuffer HexBytes(const QString& text) {
    ByteBuffer bytes;
    HexToBytes(text.toStdString(), bytes);
    return bytes;
}

ByteBuffer ZeroBytes(uint32_t count) {
    ByteBuffer bytes;
    for (uint32_t i = 0; i < count; ++i) {
        bytes.Append(0);
    }
    return bytes;
}

}  // namespace

CMifareCommandsDlg::CMifareCommandsDlg(QWidget* parent) : CPropertyPage(parent) {
    setWindowTitle(tr("Mifare® commands"));

    auto* group = new QGroupBox(tr("3964 Commands"), this);
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < kCommandCount; ++i) {
        auto* button = new QPushButton(tr(kCaptions[i]), group);
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
    EqualizeColumns();

    auto* caption = new QLabel(tr("Output (hexadecimal):"), this);
    m_pOutput = new COutputWindowWidget(this);
    SetControlId(m_pOutput, IDC_OUTPUT);
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
    m_pStatistics = new CContReadStatisticsWidget(this);
    m_pStatistics->hide();
    auto* outputArea = new QSplitter(Qt::Horizontal, this);
    outputArea->setChildrenCollapsible(false);
    outputArea->addWidget(m_pOutput);
    outputArea->addWidget(m_pStatistics);
    outputArea->setStretchFactor(0, 1);
    outputArea->setStretchFactor(1, 1);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_pLegend, 1);
    bottom->addWidget(m_pTimestamps);
    bottom->addWidget(m_pSaveOutput);
    bottom->addWidget(m_pClear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(caption);
    layout->addWidget(outputArea, 1);
    layout->addLayout(bottom);

    m_pStatisticsTimer = new QTimer(this);
    m_pStatisticsTimer->setInterval(kStatisticsIntervalMs);
    connect(m_pStatisticsTimer, &QTimer::timeout, this, &CMifareCommandsDlg::RefreshStatistics);

    const std::array<void (CMifareCommandsDlg::*)(), kCommandCount> handlers = {
        &CMifareCommandsDlg::OnStartup,
        &CMifareCommandsDlg::OnReset,
        &CMifareCommandsDlg::OnRequest,
        &CMifareCommandsDlg::OnAnticollision,
        &CMifareCommandsDlg::OnSelect,
        &CMifareCommandsDlg::OnLoadKey,
        &CMifareCommandsDlg::OnAuthenticate,
        &CMifareCommandsDlg::OnRead,
        &CMifareCommandsDlg::OnWrite,
        &CMifareCommandsDlg::OnHalt,
        &CMifareCommandsDlg::OnMakeValueBlock,
        &CMifareCommandsDlg::OnReadValueBlock,
        &CMifareCommandsDlg::OnIncrement,
        &CMifareCommandsDlg::OnDecrement,
        &CMifareCommandsDlg::OnDecrementTransfer,
        &CMifareCommandsDlg::OnRestore,
        &CMifareCommandsDlg::OnTransfer,
        &CMifareCommandsDlg::OnSetPort,
        &CMifareCommandsDlg::OnInfo,
    };
    for (int i = 0; i < kCommandCount; ++i) {
        connect(m_commandButtons[i], &QPushButton::clicked, this, handlers[i]);
    }
    connect(m_pClear, &QPushButton::clicked, this, &CMifareCommandsDlg::OnClear);
    connect(m_pSaveOutput, &QPushButton::clicked, this, &CMifareCommandsDlg::OnSaveOutput);
    connect(m_pTimestamps, &QComboBox::currentIndexChanged, this, &CMifareCommandsDlg::OnTimestampsChanged);
    connect(m_pContRead, &QPushButton::clicked, this, &CMifareCommandsDlg::OnContRead);
    connect(m_pWaitCard, &QPushButton::clicked, this, &CMifareCommandsDlg::OnWaitCard);

    ApplyTooltips(this);
    m_pTimestamps->setToolTip(tr("Put the time before each line of the output window."));
    m_pSaveOutput->setToolTip(tr("Click to save the output window's contents as text."));
}

CMifareCommandsDlg::~CMifareCommandsDlg() {
    OnClose();
    // The port outlives the page: it must not keep tracing into a window that is gone.
    if (m_pPort != nullptr && !IsBusy() && m_pPort->GetOutputWindow() == TraceWindow()) {
        m_pPort->SetOutputWindow(nullptr, false, TraceModeHex);
    }
}

void CMifareCommandsDlg::OnClose() {
    // Closing in the middle of a mode: the reader is not left with its LEDs on or still armed,
    // and nothing of the mode answers a page that is closing.
    if (m_pDriver != nullptr) {
        m_pDriver->Shutdown();
    }
    CPropertyPage::OnClose();
}

OutputWindow* CMifareCommandsDlg::TraceWindow() const {
    return m_pWorker != nullptr ? m_pWorker->Relay(m_pOutput) : m_pOutput;
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
    }
}

void CMifareCommandsDlg::SetSheetObjects(CAllControlsSheet* sheet, ReaderPort* port, ReaderLink* reader,
                                         bool hitag2, CReaderWorker* worker) {
    m_pSheet = sheet;
    m_pPort = port;
    m_pReader = reader;
    m_bHitag2 = hitag2 ? 1 : 0;
    SetWorker(worker);
    if (worker != nullptr) {
        m_pDriver = std::make_unique<CStepDriver>(*worker);
    }
    if (reader != nullptr) {
        m_pCycle = std::make_unique<ContinuousReadCycle>(*reader, reader->GetClock());
        m_pWaitCardExchange = std::make_unique<WaitCardExchange>(*reader, reader->GetClock());
    }
}

void CMifareCommandsDlg::OnInitDialog() {
    if (m_pPort != nullptr && !IsBusy()) {
        m_pPort->SetOutputWindow(TraceWindow(), true, TraceModeHex);
    }
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
    OutputWindow* window = TraceWindow();
    if (m_pWorker != nullptr && m_pWorker->IsPortOpen()) {
        // The default key load is the page's own business and stays out of the trace; the window
        // is attached again once it is done.
        m_pWorker->PostWhenIdle(this, [window](ReaderPort& port, ReaderLink& reader) {
            port.SetOutputWindow(nullptr, false, TraceModeHex);
            // The connection probe or another page may have left polling reads set.
            port.SetReadMode(ReadModeNormal);
            ByteBuffer key;
            for (uint8_t i = 0; i < 6; ++i) {
                key.Append(static_cast<uint8_t>(kDefaultKeyStart + i));
            }
            const LinkResult result = reader.LoadKey(0, 0, ZeroBytes(6), key);
            port.SetOutputWindow(window, false, TraceModeHex);
            return result;
        });
    } else if (m_pPort != nullptr && !IsBusy()) {
        m_pPort->SetOutputWindow(window, false, TraceModeHex);
    }
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

    const bool open = IsPortOpen(m_pPort);
    bool commands = false;
    bool clear = false;
    bool output = false;
    bool contRead = false;
    bool waitCard = false;
    if (!open) {
        m_strLegend = Text(IDS_NOT_CONNECTED);
    } else if (!m_bContRead && !m_bWaitCard) {
        commands = clear = output = true;
        contRead = waitCard = m_pCycle != nullptr;
        m_strLegend = Text(IDS_LEGEND);
        // While an exchange runs nothing that would start another one can be pressed.
        if (IsBusy()) {
            commands = clear = contRead = waitCard = false;
        }
    } else {
        m_strLegend = Text(IDS_MODE_RUNNING);
        if (m_bContRead) {
            contRead = true;
        } else {
            waitCard = true;
            output = clear = true;
        }
    }
    for (QPushButton* button : m_commandButtons) {
        button->setEnabled(commands);
    }
    m_pClear->setEnabled(clear);
    m_pOutput->setEnabled(output);
    // What the window already holds can be kept, connected or not, except while the trace is off.
    m_pTimestamps->setEnabled(!m_bContRead);
    m_pSaveOutput->setEnabled(!m_bContRead);
    m_pContRead->setEnabled(contRead);
    m_pWaitCard->setEnabled(waitCard);
    m_pLegend->setText(m_strLegend);
}

void CMifareCommandsDlg::OnBusyChanged(bool /*busy*/) {
    UpdateControls();
}

void CMifareCommandsDlg::Send(std::function<LinkResult(ReaderLink&)> command, std::function<void()> done) {
    if (m_pWorker == nullptr) {
        return;
    }
    const bool posted = m_pWorker->Post(
        this,
        [command = std::move(command)](ReaderPort& port, ReaderLink& reader) {
            port.Purge();
            return command(reader);
        },
        [done = std::move(done)](LinkResult) {
            if (done) {
                done();
            }
        });
    // The buttons are disabled while an exchange runs; should a press still slip through, say so.
    if (!posted) {
        QApplication::beep();
    }
}

uint8_t CMifareCommandsDlg::KeyMode() const {
    return static_cast<uint8_t>((m_nKeyType == 1 ? 4 : 0) | (m_nKeySet & 3));
}

void CMifareCommandsDlg::OnStartup() {
    Send([](ReaderLink& reader) { return reader.Startup(); });
}

void CMifareCommandsDlg::OnReset() {
    Send([](ReaderLink& reader) { return reader.Reset(0); });
}

void CMifareCommandsDlg::OnRequest() {
    Send([mode = static_cast<uint8_t>(m_bHitag2 ? 1 : 0)](ReaderLink& reader) {
        uint32_t cardType = 0;
        return reader.Request(mode, cardType);
    });
}

void CMifareCommandsDlg::OnAnticollision() {
    auto serial = std::make_shared<uint32_t>(m_dwCardSerial);
    Send([serial](ReaderLink& reader) { return reader.Anticollision(*serial); },
         [this, serial] { m_dwCardSerial = *serial; });
}

void CMifareCommandsDlg::OnSelect() {
    Send([serial = m_dwCardSerial](ReaderLink& reader) {
        uint8_t answer = 0;
        return reader.Select(serial, answer);
    });
}

void CMifareCommandsDlg::OnLoadKey() {
    CLoadKeyDialog dialog(this);
    dialog.m_nKeyType = m_nKeyType;
    dialog.m_nKeySet = m_nKeySet;
    dialog.m_nKeyNumber = m_nKeyNumber;
    dialog.m_strKey = m_strKey;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_nKeyType = dialog.m_nKeyType;
    m_nKeySet = dialog.m_nKeySet;
    m_nKeyNumber = dialog.m_nKeyNumber;
    m_strKey = dialog.m_strKey;
    Send([mode = KeyMode(), number = m_nKeyNumber, key = HexBytes(m_strKey)](ReaderLink& reader) {
        return reader.LoadKey(mode, number, ZeroBytes(6), key);
    });
}

void CMifareCommandsDlg::OnAuthenticate() {
    CAuthenticateDialog dialog(this);
    dialog.m_nKeyType = m_nKeyType;
    dialog.m_nKeySet = m_nKeySet;
    dialog.m_nKeyNumber = m_nKeyNumber;
    dialog.m_nBlock = m_nBlock;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_nKeyType = dialog.m_nKeyType;
    m_nKeySet = dialog.m_nKeySet;
    m_nKeyNumber = dialog.m_nKeyNumber;
    m_nBlock = dialog.m_nBlock;
    Send([mode = KeyMode(), number = m_nKeyNumber, block = m_nBlock](ReaderLink& reader) {
        return reader.Authenticate(mode, number, block);
    });
}

bool CMifareCommandsDlg::AskBlock() {
    CSelectBlockDialog dialog(this);
    dialog.m_nBlock = m_nBlock;
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    m_nBlock = dialog.m_nBlock;
    return true;
}

void CMifareCommandsDlg::OnRead() {
    if (AskBlock()) {
        Send([block = m_nBlock](ReaderLink& reader) {
            ByteBuffer data;
            return reader.ReadBlock(block, data);
        });
    }
}

void CMifareCommandsDlg::OnWrite() {
    CWriteBlockDialog dialog(this);
    dialog.m_nBlock = m_nBlock;
    dialog.m_strBlockData = m_strBlockData;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_nBlock = dialog.m_nBlock;
    m_strBlockData = dialog.m_strBlockData;
    Send([block = m_nBlock, data = HexBytes(m_strBlockData)](ReaderLink& reader) {
        return reader.WriteBlock(block, data);
    });
}

void CMifareCommandsDlg::OnHalt() {
    Send([](ReaderLink& reader) { return reader.Halt(); });
}

void CMifareCommandsDlg::OnMakeValueBlock() {
    CMakeValueBlockDialog dialog(this);
    dialog.m_nBlock = m_nBlock;
    dialog.m_strValue = m_strValue;
    dialog.m_strValueAddress = m_strValueAddress;
    dialog.m_nValueAddress = m_nValueAddress;
    dialog.m_dwValue = m_dwValue;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_nBlock = dialog.m_nBlock;
    m_strValue = dialog.m_strValue;
    m_strValueAddress = dialog.m_strValueAddress;
    m_nValueAddress = dialog.m_nValueAddress;
    m_dwValue = dialog.m_dwValue;
    Send([block = m_nBlock, address = m_nValueAddress, value = m_dwValue](ReaderLink& reader) {
        return reader.MakeValueBlock(block, address, value);
    });
}

void CMifareCommandsDlg::OnReadValueBlock() {
    if (AskBlock()) {
        Send([block = m_nBlock](ReaderLink& reader) {
            ByteBuffer data;
            return reader.ReadValueBlock(block, data);
        });
    }
}

bool CMifareCommandsDlg::AskChangeValue() {
    // The value text opens empty: OK on an empty text sends the remembered value again.
    CChangeValueDialog dialog(this);
    dialog.m_nBlock = m_nBlock;
    dialog.m_dwValue = m_dwValue;
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    m_nBlock = dialog.m_nBlock;
    m_dwValue = dialog.m_dwValue;
    return true;
}

void CMifareCommandsDlg::OnIncrement() {
    if (AskChangeValue()) {
        Send([block = m_nBlock, value = m_dwValue](ReaderLink& reader) {
            return reader.Increment(block, value);
        });
    }
}

void CMifareCommandsDlg::OnDecrement() {
    if (AskChangeValue()) {
        Send([block = m_nBlock, value = m_dwValue](ReaderLink& reader) {
            return reader.Decrement(block, value);
        });
    }
}

void CMifareCommandsDlg::OnDecrementTransfer() {
    if (AskChangeValue()) {
        Send([block = m_nBlock, value = m_dwValue](ReaderLink& reader) {
            return reader.DecrementTransfer(block, value);
        });
    }
}

void CMifareCommandsDlg::OnRestore() {
    if (AskBlock()) {
        Send([block = m_nBlock](ReaderLink& reader) { return reader.Restore(block); });
    }
}

void CMifareCommandsDlg::OnTransfer() {
    if (AskBlock()) {
        Send([block = m_nBlock](ReaderLink& reader) { return reader.Transfer(block); });
    }
}

void CMifareCommandsDlg::OnSetPort() {
    // Buzzer BEEP is a one-off: it always opens unchecked.
    CSetPortDialog dialog(this);
    dialog.m_bBuzzerOn = m_bBuzzerOn;
    dialog.m_bGreenLedOn = m_bGreenLedOn;
    dialog.m_bRedLedOn = m_bRedLedOn;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_bBuzzerOn = dialog.m_bBuzzerOn;
    m_bGreenLedOn = dialog.m_bGreenLedOn;
    m_bRedLedOn = dialog.m_bRedLedOn;
    const uint8_t mask = dialog.GetMask();
    Send([mask](ReaderLink& reader) { return reader.SetPort(mask); });
}

void CMifareCommandsDlg::OnInfo() {
    Send([](ReaderLink& reader) {
        ByteBuffer answer;
        return reader.GetInfo(answer);
    });
}

void CMifareCommandsDlg::OnClear() {
    if (m_pPort != nullptr && !IsBusy()) {
        m_pPort->ClearOutput();
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
        return;
    }
    if (m_pCycle == nullptr || m_pDriver == nullptr || IsBusy()) {
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
    options.bHitag2 = m_bHitag2 != 0;
    options.nBlock = m_nBlock;
    options.bKeyB = m_nKeyType == 1;
    options.nKeyNumber = m_nKeyNumber;
    if (options.bPcBeep && m_pPcBeep == nullptr) {
        m_pPcBeep = std::make_unique<PcBeep>();
    }
    // The worker is idle: the port is the page's to detach.
    m_pPort->SetOutputWindow(nullptr, false, TraceModeHex);
    m_pCycle->Start(options, m_logFile.IsOpen() ? &m_logFile : nullptr, m_pPcBeep.get());
    if (!options.bPcBeep) {
        m_pStatistics->SetNotice(QString());  // a silent beep's notice is given once and then kept
    }
    m_pOutput->hide();
    m_pStatistics->show();
    RefreshStatistics();
    m_pStatisticsTimer->start();
    m_pDriver->Start(
        *m_pCycle, 0, [this](const StepOutcome&) { ContReadStepShown(); },
        [this](bool stopped) {
            if (!stopped) {
                m_pContRead->setChecked(false);  // the automatic stop
            }
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
        const QString path = AskSaveFileName(this, request);
        if (path.isEmpty()) {
            return std::nullopt;
        }
        return QFile::encodeName(path).toStdString();
    };
    const auto showError = [this](const std::string& description) {
        ShowMessage(this, QString::fromLocal8Bit(description), MessageIcon::Exclamation);
    };
    return m_logFile.PromptAndOpen(choose, showError);
}

void CMifareCommandsDlg::OnWaitCard() {
    UpdateControls();
    if (!m_bWaitCard) {
        m_pDriver->Stop();
        return;
    }
    if (m_pWaitCardExchange == nullptr || m_pDriver == nullptr || IsBusy()) {
        m_pWaitCard->setChecked(false);
        UpdateControls();
        return;
    }
    m_pWaitCardExchange->SetCardSerial(m_dwCardSerial);
    m_pWaitCardExchange->Start();
    m_pDriver->Start(*m_pWaitCardExchange, 0, {}, [this](bool stopped) {
        if (!stopped) {
            // The exchange ended by itself: no Reset; a card that was accepted is the one Select takes.
            m_dwCardSerial = m_pWaitCardExchange->GetCardSerial();
            m_pWaitCard->setChecked(false);
        }
        UpdateControls();
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
    // Called once the worker is idle again: the port is the page's to attach.
    m_pStatisticsTimer->stop();
    ShowHighlight(-1);
    m_pPort->SetOutputWindow(TraceWindow(), false, TraceModeHex);
    m_pOutput->show();
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
    if (m_pCycle != nullptr) {
        m_pStatistics->Show(m_pCycle->Statistics().Figures(m_pReader->GetClock().GetTickCount()));
    }
}
