#include "pages/commands/CMifareCommandsDlg.h"

#include <algorithm>

#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "StringTable.h"
#include "app/CAllControlsSheet.h"
#include "commands/HexText.h"
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
#include "widgets/COutputWindowWidget.h"

namespace {

constexpr uint32_t IDS_MODE_RUNNING = 101;
constexpr uint32_t IDS_NOT_CONNECTED = 106;
constexpr uint32_t IDS_LEGEND = 107;
constexpr uint32_t IDS_LEAVE_CONT_READ = 163;
constexpr uint32_t IDS_LEAVE_WAIT_CARD = 165;

// Continuous read and wait-for-card are not built yet: their buttons stay disabled until then.
constexpr bool kModesAvailable = false;

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

// Shows the wait cursor while a command blocks the page.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

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

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_pLegend, 1);
    bottom->addWidget(m_pClear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(caption);
    layout->addWidget(m_pOutput, 1);
    layout->addLayout(bottom);

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

    ApplyTooltips(this);
}

CMifareCommandsDlg::~CMifareCommandsDlg() {
    // The port outlives the page: it must not keep tracing into a window that is gone.
    if (m_pPort != nullptr && m_pPort->GetOutputWindow() == m_pOutput) {
        m_pPort->SetOutputWindow(nullptr, false, TraceModeHex);
    }
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
                                         bool hitag2) {
    m_pSheet = sheet;
    m_pPort = port;
    m_pReader = reader;
    m_bHitag2 = hitag2 ? 1 : 0;
}

void CMifareCommandsDlg::OnInitDialog() {
    if (m_pPort != nullptr) {
        m_pPort->SetOutputWindow(m_pOutput, true, TraceModeHex);
    }
    UpdateControls();
}

bool CMifareCommandsDlg::OnSetActive() {
    UpdateControls();
    if (m_pPort != nullptr) {
        // The default key load below is the page's own business and stays out of the trace.
        m_pPort->SetOutputWindow(nullptr, false, TraceModeHex);
        if (m_pPort->IsOpen() && m_pReader != nullptr) {
            // The connection probe or another page may have left polling reads set.
            m_pPort->SetReadMode(ReadModeNormal);
            ByteBuffer key;
            for (uint8_t i = 0; i < 6; ++i) {
                key.Append(static_cast<uint8_t>(kDefaultKeyStart + i));
            }
            m_pReader->LoadKey(0, 0, ZeroBytes(6), key);
        }
    }
    if (m_pSheet != nullptr) {
        const CConnectionDialog& settings = m_pSheet->GetConnectionDialog();
        m_bPcBeep = settings.m_bPcBeep;
        m_bReaderBeep = settings.m_bReaderBeep;
        m_bRedLedFlash = settings.m_bRedLedFlash;
        m_bGreenLedFlash = settings.m_bGreenLedFlash;
        m_bLogToFile = settings.m_bLogToFile;
        m_nMaxAttempts = settings.m_bInfinite ? 0 : settings.m_nMaxAttempts;
    }
    if (m_pPort != nullptr) {
        m_pPort->SetOutputWindow(m_pOutput, false, TraceModeHex);
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

    const bool open = m_pPort != nullptr && m_pPort->IsOpen();
    bool commands = false;
    bool clear = false;
    bool output = false;
    bool contRead = false;
    bool waitCard = false;
    if (!open) {
        m_strLegend = Text(IDS_NOT_CONNECTED);
    } else if (!m_bContRead && !m_bWaitCard) {
        commands = clear = output = true;
        contRead = waitCard = kModesAvailable;
        m_strLegend = Text(IDS_LEGEND);
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
    m_pContRead->setEnabled(contRead);
    m_pWaitCard->setEnabled(waitCard);
    m_pLegend->setText(m_strLegend);
}

template <typename Command>
void CMifareCommandsDlg::Send(Command command) {
    if (m_pPort == nullptr || m_pReader == nullptr) {
        return;
    }
    WaitCursor wait;
    m_pPort->Purge();
    command(*m_pReader);
}

uint8_t CMifareCommandsDlg::KeyMode() const {
    return static_cast<uint8_t>((m_nKeyType == 1 ? 4 : 0) | (m_nKeySet & 3));
}

void CMifareCommandsDlg::OnStartup() {
    Send([](ReaderLink& reader) { reader.Startup(); });
}

void CMifareCommandsDlg::OnReset() {
    Send([](ReaderLink& reader) { reader.Reset(0); });
}

void CMifareCommandsDlg::OnRequest() {
    Send([this](ReaderLink& reader) {
        uint32_t cardType = 0;
        reader.Request(m_bHitag2 ? 1 : 0, cardType);
    });
}

void CMifareCommandsDlg::OnAnticollision() {
    Send([this](ReaderLink& reader) { reader.Anticollision(m_dwCardSerial); });
}

void CMifareCommandsDlg::OnSelect() {
    Send([this](ReaderLink& reader) {
        uint8_t answer = 0;
        reader.Select(m_dwCardSerial, answer);
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
    Send([this](ReaderLink& reader) {
        reader.LoadKey(KeyMode(), m_nKeyNumber, ZeroBytes(6), HexBytes(m_strKey));
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
    Send([this](ReaderLink& reader) { reader.Authenticate(KeyMode(), m_nKeyNumber, m_nBlock); });
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
        Send([this](ReaderLink& reader) {
            ByteBuffer data;
            reader.ReadBlock(m_nBlock, data);
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
    Send([this](ReaderLink& reader) { reader.WriteBlock(m_nBlock, HexBytes(m_strBlockData)); });
}

void CMifareCommandsDlg::OnHalt() {
    Send([](ReaderLink& reader) { reader.Halt(); });
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
    Send([this](ReaderLink& reader) { reader.MakeValueBlock(m_nBlock, m_nValueAddress, m_dwValue); });
}

void CMifareCommandsDlg::OnReadValueBlock() {
    if (AskBlock()) {
        Send([this](ReaderLink& reader) {
            ByteBuffer data;
            reader.ReadValueBlock(m_nBlock, data);
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
        Send([this](ReaderLink& reader) { reader.Increment(m_nBlock, m_dwValue); });
    }
}

void CMifareCommandsDlg::OnDecrement() {
    if (AskChangeValue()) {
        Send([this](ReaderLink& reader) { reader.Decrement(m_nBlock, m_dwValue); });
    }
}

void CMifareCommandsDlg::OnDecrementTransfer() {
    if (AskChangeValue()) {
        Send([this](ReaderLink& reader) { reader.DecrementTransfer(m_nBlock, m_dwValue); });
    }
}

void CMifareCommandsDlg::OnRestore() {
    if (AskBlock()) {
        Send([this](ReaderLink& reader) { reader.Restore(m_nBlock); });
    }
}

void CMifareCommandsDlg::OnTransfer() {
    if (AskBlock()) {
        Send([this](ReaderLink& reader) { reader.Transfer(m_nBlock); });
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
    Send([mask](ReaderLink& reader) { reader.SetPort(mask); });
}

void CMifareCommandsDlg::OnInfo() {
    Send([](ReaderLink& reader) {
        ByteBuffer answer;
        reader.GetInfo(answer);
    });
}

void CMifareCommandsDlg::OnClear() {
    if (m_pPort != nullptr) {
        m_pPort->ClearOutput();
    }
}
