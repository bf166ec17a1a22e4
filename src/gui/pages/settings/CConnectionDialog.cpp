#include "pages/settings/CConnectionDialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <memory>

#include "StringTable.h"
#include "common/CReaderSession.h"
#include "common/CSpinButton.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "common/UserSettings.h"
#include "link/SerialPortList.h"

namespace {

// The baud list from the top; the index of the selection picks the rate.
constexpr uint32_t kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
constexpr int kDefaultBaudIndex = 3;  // 9600
constexpr int kDefaultMaxAttempts = 10;
constexpr int kMaxAttemptsLower = 1;
constexpr int kMaxAttemptsUpper = 32767;

// The connection of the last run, in the user's settings.
const QString kConnectionKindKey = QStringLiteral("Connection/Kind");
const QString kConnectionPortKey = QStringLiteral("Connection/Port");
const QString kUsbKind = QStringLiteral("usb");
const QString kComKind = QStringLiteral("com");

QString Text(uint32_t id) {
    return QString::fromStdString(LoadString(id));
}

// Formats a string-table text that holds printf conversions.
template <typename... Args>
QString Format(uint32_t id, Args... args) {
    return QString::asprintf(LoadString(id).c_str(), args...);
}

template <typename T>
T* WithId(T* control, uint32_t id) {
    SetControlId(control, id);
    return control;
}

}  // namespace

CConnectionDialog::CConnectionDialog(CReaderSession& session, QWidget* parent)
    : CPropertyPage(session, parent) {
    m_pConnectionGroup = new QGroupBox(QStringLiteral("Connection to Mifare\u00ae reader"), this);
    m_pUsbRadio = WithId(new QRadioButton(QStringLiteral("Using &USB port"), m_pConnectionGroup), IDC_USB);
    m_pComRadio = WithId(new QRadioButton(QStringLiteral("Using &COM port:"), m_pConnectionGroup), IDC_COM);
    auto* radios = new QButtonGroup(this);
    radios->addButton(m_pUsbRadio, 0);
    radios->addButton(m_pComRadio, 1);
    m_pPortList = WithId(new QComboBox(m_pConnectionGroup), IDC_PORT_LIST);
    m_pPortList->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // Any path can be typed in (a pseudo-terminal, a link, a /dev/serial/by-id name); what is typed
    // stays out of the list, whose index numbers the system's ports.
    m_pPortList->setEditable(true);
    m_pPortList->setInsertPolicy(QComboBox::NoInsert);
    m_pBaudLabel = WithId(new QLabel(QStringLiteral("Baud rate:"), m_pConnectionGroup), IDC_BAUD_LABEL);
    m_pBaudList = WithId(new QComboBox(m_pConnectionGroup), IDC_BAUD_LIST);
    m_pConnectButton = WithId(new QPushButton(Text(IDS_CONNECT), m_pConnectionGroup), IDC_CONNECT);
    m_pConnectButton->setCheckable(true);

    auto* connectionLayout = new QGridLayout(m_pConnectionGroup);
    connectionLayout->addWidget(m_pUsbRadio, 0, 0, 1, 2);
    connectionLayout->addWidget(m_pComRadio, 1, 0);
    connectionLayout->addWidget(m_pPortList, 1, 1);
    connectionLayout->addWidget(m_pBaudLabel, 2, 0);
    connectionLayout->addWidget(m_pBaudList, 2, 1);
    connectionLayout->setRowMinimumHeight(3, 8);
    connectionLayout->addWidget(m_pConnectButton, 4, 0, 1, 2);
    connectionLayout->setRowStretch(5, 1);
    connectionLayout->setColumnStretch(1, 1);

    m_pContReadGroup = WithId(new QGroupBox(QStringLiteral("Continuous read"), this), IDC_CONT_READ_GROUP);
    m_pLogToFile = WithId(new QCheckBox(QStringLiteral("&Log to file"), m_pContReadGroup), IDC_LOG_TO_FILE);
    m_pPcBeep =
        WithId(new QCheckBox(QStringLiteral("&PC beep at start of cycle"), m_pContReadGroup), IDC_PC_BEEP);
    m_pReaderBeep = WithId(new QCheckBox(QStringLiteral("Reader &beep at end of cycle"), m_pContReadGroup),
                           IDC_READER_BEEP);
    m_pRedLed =
        WithId(new QCheckBox(QStringLiteral("Reader &red LED flash at end of cycle"), m_pContReadGroup),
               IDC_RED_LED);
    m_pGreenLed =
        WithId(new QCheckBox(QStringLiteral("Reader &green LED flash at end of cycle"), m_pContReadGroup),
               IDC_GREEN_LED);
    m_pMaxAttemptsLabel = new QLabel(QStringLiteral("Max. number of attempts:"), m_pContReadGroup);
    m_pMaxAttempts = WithId(new QLineEdit(m_pContReadGroup), IDC_MAX_ATTEMPTS);
    m_pMaxAttempts->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_pMaxAttempts));
    m_pMaxAttempts->setMaxLength(10);
    m_pSpin = WithId(new CSpinButton(m_pMaxAttempts, m_pContReadGroup), IDC_MAX_ATTEMPTS_SPIN);
    m_pInfinite = WithId(new QCheckBox(QStringLiteral("Infinite"), m_pContReadGroup), IDC_INFINITE);

    auto* attempts = new QHBoxLayout;
    attempts->setSpacing(0);
    attempts->addWidget(m_pMaxAttempts);
    attempts->addWidget(m_pSpin);
    attempts->addStretch(1);
    auto* contReadLayout = new QGridLayout(m_pContReadGroup);
    int row = 0;
    for (QCheckBox* box : {m_pLogToFile, m_pPcBeep, m_pReaderBeep, m_pRedLed, m_pGreenLed}) {
        contReadLayout->addWidget(box, row++, 0, 1, 2);
    }
    contReadLayout->addWidget(m_pMaxAttemptsLabel, row, 0);
    contReadLayout->addLayout(attempts, row++, 1);
    contReadLayout->addWidget(m_pInfinite, row++, 1);
    contReadLayout->setRowStretch(row, 1);

    m_pStatus = new QLabel(this);
    m_pStatus->setTextFormat(Qt::PlainText);
    m_pStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // The two groups share the page's width, whatever the port list's entries make it.
    auto* groups = new QHBoxLayout;
    groups->addWidget(m_pConnectionGroup, 1);
    groups->addWidget(m_pContReadGroup, 1);
    auto* page = new QVBoxLayout(this);
    page->addLayout(groups);
    page->addWidget(m_pStatus);
    page->addStretch(1);

    connect(m_pUsbRadio, &QRadioButton::clicked, this, &CConnectionDialog::UpdateControls);
    connect(m_pComRadio, &QRadioButton::clicked, this, &CConnectionDialog::UpdateControls);
    connect(m_pConnectButton, &QPushButton::clicked, this, &CConnectionDialog::OnConnect);
    connect(m_pInfinite, &QCheckBox::clicked, this, &CConnectionDialog::OnInfinite);
    connect(&m_session, &CReaderSession::LineLost, this, &CConnectionDialog::OnLineLost);
}

void CConnectionDialog::OnInitDialog() {
    if (m_strPreferredPort.empty()) {
        LoadRememberedPort();
    }
    LoadControls();
    for (uint32_t rate : kBaudRates) {
        m_pBaudList->addItem(QString::number(rate));
    }
    m_pBaudList->setCurrentIndex(kDefaultBaudIndex);
    FillPortList();
    m_bConnect = IsPortOpen();
    // Room for the ten digits of the largest count, in the font the page now has.
    m_pMaxAttempts->setFixedWidth(
        m_pMaxAttempts->fontMetrics().horizontalAdvance(QStringLiteral("00000000000")) +
        2 * m_pMaxAttempts->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 8);
    m_pSpin->SetRange(kMaxAttemptsLower, kMaxAttemptsUpper);
    m_pSpin->SetPos(kDefaultMaxAttempts);
    UpdateControls();
}

bool CConnectionDialog::OnSetActive() {
    // Serial adapters come and go: offer what the system has now, unless a port is in use.
    if (!IsPortOpen()) {
        FillPortList();
    }
    UpdateControls();
    return true;
}

bool CConnectionDialog::OnKillActive() {
    return SaveControls();
}

std::string CConnectionDialog::ChosenPortName() const {
    const QString text = m_pPortList->currentText().trimmed();
    const int index = m_pPortList->findText(text, Qt::MatchExactly);
    return (index >= 0 ? m_pPortList->itemData(index).toString() : text).toStdString();
}

void CConnectionDialog::FillPortList() {
    // Keep the user's choice across a refresh, typed or chosen; at first, prefer the named port, else
    // the one remembered from an earlier run.
    const bool first = m_pPortList->currentText().isEmpty();
    std::string keep = first ? m_strPreferredPort : ChosenPortName();
    SerialPortList& ports = m_session.PortList();
    ports.Refresh();
    m_pPortList->clear();
    // In list order, so that the selected index + 1 is the port number.
    int longest = 8;
    for (const SerialPortList::Entry& entry : ports.Entries()) {
        const QString name = QString::fromStdString(entry.name);
        const QString description = QString::fromStdString(entry.description);
        // A description that only repeats the device's name ("ttyS0") says nothing.
        const bool telling = !description.isEmpty() && !name.endsWith(QLatin1Char('/') + description);
        const QString text = telling ? QStringLiteral("%1 (%2)").arg(name, description) : name;
        m_pPortList->addItem(text, name);
        longest = std::max(longest, static_cast<int>(text.size()));
    }
    // Wide enough for the longest entry: a clipped device name could be mistaken for another.
    m_pPortList->setMinimumContentsLength(longest);
    // A remembered port that is gone (an adapter unplugged, a typed link removed) is not offered.
    if (first && keep.empty()) {
        const QString remembered = QString::fromStdString(m_strRememberedPort);
        if (m_pPortList->findData(remembered) >= 0 ||
            (!remembered.isEmpty() && QFileInfo::exists(remembered))) {
            keep = m_strRememberedPort;
        }
    }
    const int index = m_pPortList->findData(QString::fromStdString(keep));
    m_pPortList->setCurrentIndex(index >= 0 ? index : 0);
    if (index < 0 && !keep.empty()) {
        m_pPortList->setEditText(QString::fromStdString(keep));
    }
}

bool CConnectionDialog::SaveControls() {
    m_bConnect = m_pConnectButton->isChecked();
    m_nConnection = m_pUsbRadio->isChecked() ? 0 : 1;
    m_bGreenLedFlash = m_pGreenLed->isChecked();
    m_bLogToFile = m_pLogToFile->isChecked();
    m_bPcBeep = m_pPcBeep->isChecked();
    m_bReaderBeep = m_pReaderBeep->isChecked();
    m_bRedLedFlash = m_pRedLed->isChecked();
    bool ok = false;
    const qulonglong attempts = m_pMaxAttempts->text().toULongLong(&ok);
    if (!ok || attempts > UINT32_MAX) {
        ShowMessage(this, Text(IDS_POSITIVE_INTEGER), MessageIcon::Exclamation);
        m_pMaxAttempts->setFocus();
        m_pMaxAttempts->selectAll();
        return false;
    }
    m_nMaxAttempts = static_cast<uint32_t>(attempts);
    m_bInfinite = m_pInfinite->isChecked();
    return true;
}

void CConnectionDialog::LoadControls() {
    m_pConnectButton->setChecked(m_bConnect);
    (m_nConnection == 0 ? m_pUsbRadio : m_pComRadio)->setChecked(true);
    m_pGreenLed->setChecked(m_bGreenLedFlash);
    m_pLogToFile->setChecked(m_bLogToFile);
    m_pPcBeep->setChecked(m_bPcBeep);
    m_pReaderBeep->setChecked(m_bReaderBeep);
    m_pRedLed->setChecked(m_bRedLedFlash);
    m_pMaxAttempts->setText(QString::number(m_nMaxAttempts));
    m_pInfinite->setChecked(m_bInfinite);
}

void CConnectionDialog::UpdateControls() {
    SaveControls();
    if (!IsPortOpen()) {
        m_bConnect = false;
        m_pConnectButton->setText(Text(IDS_CONNECT));
        // A connection that the port lost since it was made is no longer one.
        if (m_bStatusConnected) {
            SetStatus(QString(), false);
        }
    }
    LoadControls();
    EnableControls();
}

void CConnectionDialog::EnableControls() {
    // While connected, and while connect or disconnect runs, the port choice stays as it is.
    const bool busy = IsBusy();
    const bool free = !busy && !IsPortOpen();
    m_pPortList->setEnabled(free && m_nConnection == 1);
    m_pBaudList->setEnabled(free);
    m_pBaudLabel->setEnabled(free);
    m_pUsbRadio->setEnabled(free && m_bUsbAvailable);
    m_pComRadio->setEnabled(free);
    m_pConnectButton->setEnabled(!busy);
}

void CConnectionDialog::OnBusyChanged(bool /*busy*/) {
    EnableControls();
}

void CConnectionDialog::OnConnect() {
    SaveControls();
    if (m_bConnect) {
        Connect();
    } else {
        Disconnect();
    }
    LoadControls();
    EnableControls();
}

void CConnectionDialog::Connect() {
    const bool usb = m_nConnection == 0;
    const std::string portName = usb ? std::string() : ChosenPortName();
    if (!usb && portName.empty()) {
        m_bConnect = false;
        SetStatus(Text(IDS_NO_SERIAL_PORT), false);
        return;
    }
    const int baudIndex = m_pBaudList->currentIndex();
    const uint32_t baudRate =
        baudIndex >= 0 && baudIndex < static_cast<int>(std::size(kBaudRates)) ? kBaudRates[baudIndex] : 9600;

    const auto connected = [this, usb, portName, baudRate](LinkResult result, bool opened) {
        const QByteArray name =
            usb ? Text(IDS_THE_USB_READER).toLocal8Bit() : QByteArray::fromStdString(portName);
        if (result == LR_OK) {
            // A bridge gone during the link's probe is closed again at once: its loss is the status.
            if (IsPortOpen()) {
                RememberPort(usb, portName);
                m_pConnectButton->setText(Text(IDS_DISCONNECT));
                SetStatus(Format(IDS_CONNECTED_TO, name.constData(), baudRate), true);
            }
        } else {
            QString why = Format(opened ? IDS_CANNOT_SET_UP : IDS_CANNOT_OPEN, name.constData(),
                                 LinkResultText(result).c_str());
            // A port refused for want of permission: what the user can do about it.
            why += QString::fromStdString(LinkResultHint(result));
            SetStatus(why, false);
        }
        UpdateControls();
    };
    if (!m_session.Connect(this, {usb, portName, baudRate}, connected)) {
        m_bConnect = false;
        QApplication::beep();
    }
}

void CConnectionDialog::Disconnect() {
    const auto disconnected = [this](LinkResult) {
        m_pConnectButton->setText(Text(IDS_CONNECT));
        SetStatus(QString(), false);
        UpdateControls();
    };
    if (!m_session.Disconnect(this, disconnected)) {
        m_bConnect = true;
        QApplication::beep();
    }
}

void CConnectionDialog::OnLineLost(const QString& text) {
    // The connection part of UpdateControls only: the attempts field is the user's, who may be
    // typing in it, and is not checked because of a line that went away.
    m_bConnect = false;
    m_pConnectButton->setChecked(false);
    m_pConnectButton->setText(Text(IDS_CONNECT));
    SetStatus(text + QLatin1Char('.'), false);
    EnableControls();
}

void CConnectionDialog::OnInfinite() {
    SaveControls();
    // Unchecking always brings back the default, whatever was typed before.
    m_nMaxAttempts = m_bInfinite ? 0 : kDefaultMaxAttempts;
    m_pMaxAttempts->setEnabled(!m_bInfinite);
    m_pSpin->setEnabled(!m_bInfinite);
    LoadControls();
}

void CConnectionDialog::LoadRememberedPort() {
    if (RememberedText(kConnectionKindKey) == kUsbKind && m_bUsbAvailable) {
        m_nConnection = 0;
    }
    m_strRememberedPort = RememberedText(kConnectionPortKey).toStdString();
}

void CConnectionDialog::RememberPort(bool usb, const std::string& portName) const {
    // The simulated reader lives for this run only, and so does its USB bridge.
    if (!m_strPreferredPort.empty() && (usb || portName == m_strPreferredPort)) {
        return;
    }
    Remember(kConnectionKindKey, usb ? kUsbKind : kComKind);
    // The serial port stays remembered through a USB connection, for the next time COM is chosen.
    if (!usb) {
        Remember(kConnectionPortKey, QString::fromStdString(portName));
    }
}

void CConnectionDialog::SetStatus(const QString& text, bool connected) {
    m_pStatus->setText(text);
    m_bStatusConnected = connected;
}

QString CConnectionDialog::StatusText() const {
    return m_pStatus->text();
}
