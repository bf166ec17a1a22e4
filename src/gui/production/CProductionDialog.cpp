#include "production/CProductionDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <ctime>
#include <memory>
#include <utility>

#include "StringTable.h"
#include "common/CReaderSession.h"
#include "common/CSpinButton.h"
#include "common/ControlId.h"
#include "common/MessageBox.h"
#include "common/UserSettings.h"
#include "production/DeviceProfiles.h"
#include "production/LedgerJob.h"
#include "programming/CProgrammingDialog.h"
#include "widgets/FileDialog.h"

namespace {

template <typename T>
T* WithId(T* control, uint32_t id) {
    SetControlId(control, id);
    return control;
}

// The USB flags come from the profile: a click must not change them.
class CFixedCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {}
};

QCheckBox* FlagBox(const QString& text, uint32_t id, QWidget* parent) {
    auto* box = WithId(new CFixedCheckBox(text, parent), id);
    box->setLayoutDirection(Qt::RightToLeft);  // text on the left
    return box;
}

// A read-only field keeps its text selectable for copying, on the window's colour rather than
// the white of a field that takes typing.
void SetReadOnly(QLineEdit* edit, bool readOnly) {
    if (edit->isReadOnly() == readOnly && edit->property("readOnlyShown").isValid()) {
        return;
    }
    edit->setReadOnly(readOnly);
    edit->setProperty("readOnlyShown", readOnly);
    QPalette palette = QApplication::palette(edit);
    if (readOnly) {
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Window));
        }
    }
    edit->setPalette(palette);
}

QLineEdit* Edit(uint32_t id, QWidget* parent, bool readOnly) {
    auto* edit = WithId(new QLineEdit(parent), id);
    SetReadOnly(edit, readOnly);
    return edit;
}

QLineEdit* DigitEdit(uint32_t id, QWidget* parent, bool readOnly) {
    QLineEdit* edit = Edit(id, parent, readOnly);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    return edit;
}

QHBoxLayout* WithSpin(QLineEdit* edit, CSpinButton* spin) {
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    row->addWidget(edit);
    row->addWidget(spin);
    row->addStretch(1);
    return row;
}

void SetText(QLineEdit* edit, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (edit->text() != value) {
        edit->setText(value);
    }
}

QString Padded(uint32_t number, int digits) {
    return QStringLiteral("%1").arg(number, digits, 10, QLatin1Char('0'));
}

// The number the ledger reserves for a job; none for a firmware image.
std::optional<uint32_t> JobNumber(const ProgrammingInputs& inputs) {
    switch (inputs.mode) {
        case SerialAndUsbSettings:
        case UsbSettingsOnly:
            return inputs.usbSerial;
        case SerialOnly:
            return inputs.mifareSerial;
        default:
            return std::nullopt;
    }
}

// One line, without anything a reader's answer could carry into the page's layout.
QString OneLine(const std::string& text) {
    QString line = QString::fromStdString(text);
    for (QChar& c : line) {
        if (c.category() == QChar::Other_Control) {
            c = QLatin1Char(' ');
        }
    }
    return line;
}

const QString kNoLedger = QStringLiteral("No ledger: numbers are not checked against other runs.");

// The record chosen last, in the user's settings: one station keeps its record where it chose.
const QString kRecordPathKey = QStringLiteral("Production/RecordPath");

}  // namespace

CProductionDialog::CProductionDialog(CReaderSession& session, QWidget* parent)
    : CPropertyPage(session, parent) {
    m_runner = [this](const ProgrammingInputs& inputs,
                      const std::function<void(const ProgrammingSequence&)>& ended) {
        if (m_bSeries) {
            // One window for the whole series: it stays open from reader to reader, saying where
            // the series stands and how the reader before ended.
            if (!m_pSeriesDialog) {
                m_pSeriesDialog = std::make_unique<CProgrammingDialog>(m_session, this);
                m_pSeriesDialog->SetKeepOpen(true);
            }
            ++m_nSeriesReader;
            QString text =
                QStringLiteral("Reader %1 of this series; Cancel or Close ends it.").arg(m_nSeriesReader);
            if (!m_strLastRun.isEmpty()) {
                text += QLatin1Char('\n') + m_strLastRun;
            }
            m_pSeriesDialog->SetSeriesText(text);
            m_pSeriesDialog->SetInputs(inputs);
            const bool ok = m_pSeriesDialog->RunJob() == QDialog::Accepted;
            ended(m_pSeriesDialog->GetSequence());
            return ok;
        }
        CProgrammingDialog dialog(m_session, this);
        dialog.SetInputs(inputs);
        const bool ok = dialog.exec() == QDialog::Accepted;
        // No step runs once the dialog has ended: its sequence can be read.
        ended(dialog.GetSequence());
        return ok;
    };
    m_pProfileLabel = new QLabel(QStringLiteral("&Device profile:"), this);
    m_pProfile = WithId(new QComboBox(this), IDC_PROFILE);
    m_pProfile->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_pProfile->setMinimumContentsLength(24);
    m_pProfileLabel->setBuddy(m_pProfile);

    m_pUsbGroup = new QGroupBox(QStringLiteral("USB settings"), this);
    m_pVendorId = Edit(IDC_VENDOR_ID, m_pUsbGroup, true);
    m_pProductId = Edit(IDC_PRODUCT_ID, m_pUsbGroup, true);
    m_pManufacturer = Edit(IDC_MANUFACTURER, m_pUsbGroup, true);
    m_pManufacturerId = Edit(IDC_MANUFACTURER_ID, m_pUsbGroup, true);
    m_pDescription = Edit(IDC_DESCRIPTION, m_pUsbGroup, true);
    m_pUsbSerial = DigitEdit(IDC_USB_SERIAL, m_pUsbGroup, false);
    m_pUsbSerialSpin = WithId(new CSpinButton(m_pUsbSerial, m_pUsbGroup), IDC_USB_SERIAL_SPIN);
    m_pMaxPower = DigitEdit(IDC_MAX_POWER, m_pUsbGroup, true);
    m_pPnP = FlagBox(QStringLiteral("Plug \u2019n Play:"), IDC_PNP, m_pUsbGroup);
    m_pSelfPowered = FlagBox(QStringLiteral("Self powered:"), IDC_SELF_POWERED, m_pUsbGroup);
    m_pRemoteWakeup = FlagBox(QStringLiteral("Remote wakeup:"), IDC_REMOTE_WAKEUP, m_pUsbGroup);
    m_pReadUsbSettings =
        WithId(new QPushButton(QStringLiteral("&Read USB settings..."), m_pUsbGroup), IDC_READ_USB_SETTINGS);

    auto* usb = new QGridLayout(m_pUsbGroup);
    int row = 0;
    const auto addField = [usb, &row, this](const QString& label, QWidget* field) {
        usb->addWidget(new QLabel(label, m_pUsbGroup), row, 0);
        usb->addWidget(field, row++, 1, 1, 2);
    };
    addField(QStringLiteral("Vendor ID:"), m_pVendorId);
    addField(QStringLiteral("Product ID:"), m_pProductId);
    addField(QStringLiteral("Manufacturer:"), m_pManufacturer);
    addField(QStringLiteral("Manufacturer ID:"), m_pManufacturerId);
    addField(QStringLiteral("Device description:"), m_pDescription);
    usb->addWidget(new QLabel(QStringLiteral("Serial number:"), m_pUsbGroup), row, 0);
    usb->addLayout(WithSpin(m_pUsbSerial, m_pUsbSerialSpin), row++, 1, 1, 2);
    usb->addWidget(new QLabel(QStringLiteral("Max. power:"), m_pUsbGroup), row, 0);
    usb->addWidget(m_pMaxPower, row, 1);
    usb->addWidget(new QLabel(QStringLiteral("mA"), m_pUsbGroup), row++, 2);
    auto* flags = new QHBoxLayout;
    for (QCheckBox* box : {m_pPnP, m_pSelfPowered, m_pRemoteWakeup}) {
        flags->addWidget(box);
    }
    flags->addStretch(1);
    usb->addLayout(flags, row++, 0, 1, 3);
    usb->addWidget(m_pReadUsbSettings, row++, 0, 1, 2, Qt::AlignLeft);
    usb->setColumnStretch(1, 1);

    m_pMifareGroup = new QGroupBox(QStringLiteral("Mifare\u00ae settings"), this);
    m_pMifareSerial = DigitEdit(IDC_MIFARE_SERIAL, m_pMifareGroup, true);
    m_pMifareSerialSpin = WithId(new CSpinButton(m_pMifareSerial, m_pMifareGroup), IDC_MIFARE_SERIAL_SPIN);
    m_pAutoIncrease = WithId(new QCheckBox(QStringLiteral("&Auto increase serial number"), m_pMifareGroup),
                             IDC_AUTO_INCREASE);
    auto* mifare = new QGridLayout(m_pMifareGroup);
    mifare->addWidget(new QLabel(QStringLiteral("Serial number:"), m_pMifareGroup), 0, 0);
    mifare->addLayout(WithSpin(m_pMifareSerial, m_pMifareSerialSpin), 0, 1);
    mifare->addWidget(m_pAutoIncrease, 1, 0, 1, 2);
    mifare->setColumnStretch(1, 1);

    m_pProgrammingGroup = new QGroupBox(QStringLiteral("Programming"), this);
    m_pProgramSettings =
        WithId(new QCheckBox(QStringLiteral("Program &settings"), m_pProgrammingGroup), IDC_PROGRAM_SETTINGS);
    m_pProgramSerial = WithId(new QCheckBox(QStringLiteral("Program serial &number"), m_pProgrammingGroup),
                              IDC_PROGRAM_SERIAL);
    m_pProgram = WithId(new QPushButton(QStringLiteral("&Program..."), m_pProgrammingGroup), IDC_PROGRAM);
    m_pProgramRange =
        WithId(new QPushButton(QStringLiteral("Program r&ange..."), m_pProgrammingGroup), IDC_PROGRAM_RANGE);
    m_pProgramRange->setCheckable(true);
    m_pDownloadFirmware = WithId(
        new QPushButton(QStringLiteral("&Download firmware..."), m_pProgrammingGroup), IDC_DOWNLOAD_FIRMWARE);
    m_pLastRun = WithId(new QLabel(this), IDC_LAST_RUN);
    m_pLastRun->setTextFormat(Qt::PlainText);  // it may carry what a reader answered
    m_pLastRun->setWordWrap(true);
    m_pLastRun->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pLastRun->hide();
    auto* programming = new QVBoxLayout(m_pProgrammingGroup);
    programming->addWidget(m_pProgramSettings);
    programming->addWidget(m_pProgramSerial);
    for (QPushButton* button : {m_pProgram, m_pProgramRange, m_pDownloadFirmware}) {
        button->setAutoDefault(false);
        programming->addWidget(button);
    }
    m_pReadUsbSettings->setAutoDefault(false);

    m_pStatus = WithId(new QLabel(LoadString(IDS_NOT_CONNECTED).c_str(), this), IDC_STATUS);

    m_pRecordPath = WithId(new QLabel(this), IDC_RECORD_PATH);
    m_pRecordPath->setTextFormat(Qt::PlainText);
    m_pRecordPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pRecordPath->setWordWrap(true);
    m_pRecordChoose = WithId(new QPushButton(QStringLiteral("Record &file..."), this), IDC_RECORD_CHOOSE);
    m_pRecordChoose->setAutoDefault(false);

    m_pLedgerGroup = new QGroupBox(QStringLiteral("Production ledger"), this);
    m_pLedgerLocation = WithId(new QLabel(m_pLedgerGroup), IDC_LEDGER_LOCATION);
    m_pLedgerLocation->setTextFormat(Qt::PlainText);
    m_pLedgerLocation->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pLedgerLocation->setWordWrap(true);
    m_pLedgerChoose =
        WithId(new QPushButton(QStringLiteral("&Ledger..."), m_pLedgerGroup), IDC_LEDGER_CHOOSE);
    m_pNextNumber = WithId(new QLabel(m_pLedgerGroup), IDC_LEDGER_NEXT);
    m_pNextNumber->setTextFormat(Qt::PlainText);
    m_pOpenRuns = WithId(new QLabel(m_pLedgerGroup), IDC_LEDGER_OPEN_RUNS);
    m_pOpenRuns->setTextFormat(Qt::PlainText);  // station names come from the database
    m_pOpenRuns->setWordWrap(true);
    m_pOpenRuns->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pRelease = WithId(new QPushButton(QStringLiteral("R&elease..."), m_pLedgerGroup), IDC_LEDGER_RELEASE);
    m_pExport = WithId(new QPushButton(QStringLiteral("Export &CSV..."), m_pLedgerGroup), IDC_LEDGER_EXPORT);
    m_pRuns = WithId(new QTableWidget(0, ColMessage + 1, m_pLedgerGroup), IDC_LEDGER_RUNS);
    QStringList headers(ColMessage + 1);
    headers[ColTime] = QStringLiteral("Time");
    headers[ColMifare] = QStringLiteral("Mifare\u00ae");
    headers[ColUsb] = QStringLiteral("USB");
    headers[ColOutcome] = QStringLiteral("Outcome");
    headers[ColStation] = QStringLiteral("Station");
    headers[ColProfile] = QStringLiteral("Profile");
    headers[ColJob] = QStringLiteral("Job");
    headers[ColMessage] = QStringLiteral("Message");
    m_pRuns->setHorizontalHeaderLabels(headers);
    m_pRuns->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pRuns->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pRuns->setAlternatingRowColors(true);
    m_pRuns->setWordWrap(false);
    m_pRuns->verticalHeader()->hide();
    m_pRuns->verticalHeader()->setDefaultSectionSize(m_pRuns->fontMetrics().height() + 6);
    m_pRuns->horizontalHeader()->setStretchLastSection(true);
    m_pRuns->horizontalHeader()->setSortIndicator(ColTime, Qt::DescendingOrder);
    m_pRuns->setSortingEnabled(true);
    // A few runs in view without crowding the fields above.
    m_pRuns->setMinimumHeight(m_pRuns->horizontalHeader()->sizeHint().height() +
                              6 * m_pRuns->verticalHeader()->defaultSectionSize());
    for (QPushButton* button : {m_pLedgerChoose, m_pRelease, m_pExport}) {
        button->setAutoDefault(false);
    }
    m_pNextTimer = new QTimer(this);
    m_pNextTimer->setSingleShot(true);
    m_pNextTimer->setInterval(300);

    auto* ledgerRow = new QHBoxLayout;
    ledgerRow->addWidget(new QLabel(QStringLiteral("Ledger:"), m_pLedgerGroup), 0, Qt::AlignTop);
    ledgerRow->addWidget(m_pLedgerLocation, 1);
    auto* nextRow = new QHBoxLayout;
    nextRow->addWidget(m_pNextNumber, 1);
    nextRow->addWidget(m_pLedgerChoose);
    nextRow->addWidget(m_pRelease);
    nextRow->addWidget(m_pExport);
    auto* ledger = new QVBoxLayout(m_pLedgerGroup);
    ledger->addLayout(ledgerRow);
    ledger->addLayout(nextRow);
    ledger->addWidget(m_pOpenRuns);
    ledger->addWidget(m_pRuns, 1);

    auto* profileRow = new QHBoxLayout;
    profileRow->addWidget(m_pProfileLabel);
    profileRow->addWidget(m_pProfile);
    profileRow->addStretch(1);
    auto* right = new QVBoxLayout;
    right->addWidget(m_pMifareGroup);
    right->addWidget(m_pProgrammingGroup);
    right->addStretch(1);
    auto* groups = new QHBoxLayout;
    groups->addWidget(m_pUsbGroup, 3);
    groups->addLayout(right, 2);
    auto* recordRow = new QHBoxLayout;
    recordRow->addWidget(new QLabel(QStringLiteral("Production record:"), this));
    recordRow->addWidget(m_pRecordPath, 1);
    recordRow->addWidget(m_pRecordChoose);
    auto* page = new QVBoxLayout(this);
    page->addLayout(profileRow);
    page->addLayout(groups);
    page->addWidget(m_pLastRun);
    page->addWidget(m_pStatus);
    page->addLayout(recordRow);
    page->addWidget(m_pLedgerGroup, 1);

    connect(m_pProfile, &QComboBox::activated, this, &CProductionDialog::OnProfileChosen);
    connect(m_pUsbSerial, &QLineEdit::textChanged, this, &CProductionDialog::OnUsbSerialChanged);
    connect(m_pReadUsbSettings, &QPushButton::clicked, this, &CProductionDialog::OnReadUsbSettings);
    connect(m_pProgram, &QPushButton::clicked, this, &CProductionDialog::OnProgram);
    connect(m_pProgramRange, &QPushButton::clicked, this, &CProductionDialog::OnProgramRange);
    connect(m_pDownloadFirmware, &QPushButton::clicked, this, &CProductionDialog::OnDownloadFirmware);
    connect(m_pRecordChoose, &QPushButton::clicked, this, &CProductionDialog::OnChooseRecord);
    connect(m_pLedgerChoose, &QPushButton::clicked, this, &CProductionDialog::OnChooseLedger);
    connect(m_pRelease, &QPushButton::clicked, this, &CProductionDialog::OnRelease);
    connect(m_pExport, &QPushButton::clicked, this, &CProductionDialog::OnExportLedger);
    connect(m_pMifareSerial, &QLineEdit::textChanged, this, [this] {
        if (!m_bShowing && m_bControlsExist) {
            m_form.SetNumberTyped(true);
        }
    });
    for (QLineEdit* edit : {m_pUsbSerial, m_pMifareSerial}) {
        connect(edit, &QLineEdit::textChanged, m_pNextTimer, qOverload<>(&QTimer::start));
    }
    connect(m_pNextTimer, &QTimer::timeout, this, &CProductionDialog::ShowNextNumber);
    m_pStatus->setTextFormat(Qt::PlainText);  // it may carry the ledger's error
    m_pStatus->setWordWrap(true);
    m_pUsbSerial->installEventFilter(this);
    m_pMifareSerial->installEventFilter(this);
    if (const QString remembered = RememberedText(kRecordPathKey); !remembered.isEmpty()) {
        m_record.SetPath(remembered.toStdString());
    }
    ShowRecordPath();
}

CProductionDialog::~CProductionDialog() {
    // A posted port switch or settings read uses the form: it ends before the form goes.
    OnClose();
}

ProgrammingRunner CProductionDialog::SetProgrammingRunner(ProgrammingRunner runner) {
    return std::exchange(m_runner, std::move(runner));
}

void CProductionDialog::SetRecordPath(const std::string& path) {
    m_record.SetPath(path);
    ShowRecordPath();
}

void CProductionDialog::ShowRecordPath() {
    m_pRecordPath->setText(QString::fromStdString(m_record.GetPath()));
}

void CProductionDialog::OnInitDialog() {
    m_pUsbSerialSpin->SetRange(0, static_cast<int>(ProductionForm::kMaxUsbSerial));
    m_pMifareSerialSpin->SetRange(0, static_cast<int>(ProductionForm::kMaxMifareSerial));
    // Room for the digits of the largest number, in the font the page now has.
    const int frame = 2 * m_pUsbSerial->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 8;
    for (QLineEdit* edit : {m_pUsbSerial, m_pMifareSerial, m_pMaxPower}) {
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000000")) + frame);
    }
    m_bControlsExist = true;
    ShowControls();
}

bool CProductionDialog::OnSetActive() {
    SaveControls();
    DeviceProfiles profiles;
    const std::string path = m_strProfilePath.empty() ? DeviceProfiles::FindFile() : m_strProfilePath;
    profiles.Load(path);
    m_form.Activate(profiles);
    m_line = profiles.GetLedger();
    OpenLedger(LedgerChoice::Load(), false);
    // An empty list says where the profiles were expected.
    m_pProfile->setPlaceholderText(QStringLiteral("No profiles in %1").arg(QString::fromStdString(path)));
    ShowControls();
    ShowLedger();
    // The worker owns the port: the reader's loader talks at 9600 baud while the page is shown.
    // Refused only once the program is closing, when the port closes anyway.
    (void)m_session.PostWhenIdle(this, [form = &m_form](ReaderPort& port, ReaderLink&) {
        form->EnterPort(port);
        return LR_OK;
    });
    return true;
}

bool CProductionDialog::OnKillActive() {
    SaveControls();
    // The port must not stay at the loader's baud rate: this waits for a running exchange.
    // Refused only once the program is closing, when the port closes anyway.
    (void)m_session.PostWhenIdle(this, [form = &m_form](ReaderPort& port, ReaderLink&) {
        form->LeavePort(port);
        return LR_OK;
    });
    return true;
}

void CProductionDialog::OnBusyChanged(bool /*busy*/) {
    EnableControls();
}

bool CProductionDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut && m_bControlsExist &&
        (watched == m_pUsbSerial || watched == m_pMifareSerial)) {
        SaveControls();
        if (watched == m_pUsbSerial) {
            m_form.LeaveUsbSerial();
        } else {
            m_form.LeaveMifareSerial();
        }
        ShowControls();
        ShowNextNumber();
    }
    return CPropertyPage::eventFilter(watched, event);
}

void CProductionDialog::SaveControls() {
    if (!m_bControlsExist) {
        return;
    }
    ProductionControls& c = m_form.Controls();
    c.strVendorId = m_pVendorId->text().toStdString();
    c.strProductId = m_pProductId->text().toStdString();
    c.strManufacturer = m_pManufacturer->text().toStdString();
    c.strManufacturerId = m_pManufacturerId->text().toStdString();
    c.strDescription = m_pDescription->text().toStdString();
    c.strUsbSerial = m_pUsbSerial->text().toStdString();
    c.strMaxPower = m_pMaxPower->text().toStdString();
    c.bPnP = m_pPnP->isChecked();
    c.bSelfPowered = m_pSelfPowered->isChecked();
    c.bRemoteWakeup = m_pRemoteWakeup->isChecked();
    c.strMifareSerial = m_pMifareSerial->text().toStdString();
    c.bAutoIncrease = m_pAutoIncrease->isChecked();
    if (m_form.IsUsbProfile()) {
        c.bProgramSettings = m_pProgramSettings->isChecked();  // elsewhere it shows unticked: see below
    }
    c.bProgramSerial = m_pProgramSerial->isChecked();
    c.bProgramRange = m_pProgramRange->isChecked();
}

void CProductionDialog::ShowControls() {
    const ProductionControls& c = m_form.Controls();
    m_bShowing = true;
    QStringList names;
    for (const std::string& name : c.profiles) {
        names << QString::fromStdString(name);
    }
    QStringList shown;
    for (int i = 0; i < m_pProfile->count(); ++i) {
        shown << m_pProfile->itemText(i);
    }
    if (names != shown) {
        m_pProfile->clear();
        m_pProfile->addItems(names);
    }
    m_pProfile->setCurrentIndex(c.nProfile);
    SetText(m_pVendorId, c.strVendorId);
    SetText(m_pProductId, c.strProductId);
    SetText(m_pManufacturer, c.strManufacturer);
    SetText(m_pManufacturerId, c.strManufacturerId);
    SetText(m_pDescription, c.strDescription);
    SetText(m_pUsbSerial, c.strUsbSerial);
    SetText(m_pMaxPower, c.strMaxPower);
    m_pPnP->setChecked(c.bPnP);
    m_pSelfPowered->setChecked(c.bSelfPowered);
    m_pRemoteWakeup->setChecked(c.bRemoteWakeup);
    SetText(m_pMifareSerial, c.strMifareSerial);
    m_pAutoIncrease->setChecked(c.bAutoIncrease);
    // A serial reader has no USB settings: the greyed box shows none programmed, and the choice
    // comes back with the next USB profile.
    m_pProgramSettings->setChecked(c.bProgramSettings && m_form.IsUsbProfile());
    m_pProgramSerial->setChecked(c.bProgramSerial);
    m_pProgramRange->setChecked(c.bProgramRange);
    m_bShowing = false;
    EnableControls();
}

void CProductionDialog::EnableControls() {
    const ProductionEnabled e = m_form.GetEnabled(IsPortOpen());
    const bool idle = !IsBusy();
    // Not connected comes first; then why numbers cannot be programmed, or that they go unchecked.
    const bool ledgerReady = IsLedgerReady();
    QString status;
    if (e.bStatusVisible) {
        status = QString::fromStdString(LoadString(IDS_NOT_CONNECTED));
    } else if (!ledgerReady) {
        status = QStringLiteral(
            "Programming waits for the production ledger: choose another with \u201cLedger...\u201d, or "
            "\u201cNo ledger\u201d.");
    } else if (m_ledgerChoice.kind == LedgerChoice::Kind::None) {
        status = kNoLedger;
    }
    m_pStatus->setText(status);
    m_pStatus->setVisible(!status.isEmpty());
    m_pUsbGroup->setEnabled(e.bUsbSettings);
    m_pReadUsbSettings->setEnabled(e.bReadUsbSettings && idle);
    m_pProgramSettings->setEnabled(e.bProgramSettings);
    m_pProgramSerial->setEnabled(e.bProgramSerial);
    // A firmware image takes no number: it needs no ledger to keep numbers apart.
    for (QPushButton* button : {m_pProgram, m_pProgramRange}) {
        button->setEnabled(e.bProgram && idle && ledgerReady);
    }
    m_pDownloadFirmware->setEnabled(e.bProgram && idle);
    m_pRelease->setEnabled(m_pLedger != nullptr && !m_openNumbers.empty());
    m_pExport->setEnabled(m_pLedger != nullptr);
    SetReadOnly(m_pMifareSerial, !e.bMifareSerialEditable);
    m_pMifareSerialSpin->setEnabled(e.bMifareSerialEditable);
    m_pAutoIncrease->setEnabled(e.bAutoIncrease);
}

void CProductionDialog::OnProfileChosen(int index) {
    SaveControls();
    DeviceProfiles profiles;
    profiles.Load(m_strProfilePath.empty() ? DeviceProfiles::FindFile() : m_strProfilePath);
    m_form.ChooseProfile(profiles, index);
    ShowControls();
    ShowNextNumber();
}

void CProductionDialog::OnUsbSerialChanged(const QString& text) {
    if (m_bShowing || !m_bControlsExist) {
        return;
    }
    m_form.EditUsbSerial(text.toStdString());
    m_form.SetNumberTyped(true);
    m_bShowing = true;
    SetText(m_pMifareSerial, m_form.Controls().strMifareSerial);
    m_bShowing = false;
}

void CProductionDialog::OnReadUsbSettings() {
    auto text = std::make_shared<std::string>();
    auto read = std::make_shared<bool>(false);
    const auto readSettings = [text, read](ReaderPort& port, ReaderLink&) {
        *read = ProductionForm::ReadUsbSettings(port, *text);
        return LR_OK;
    };
    const auto show = [this, text, read](LinkResult) {
        ShowMessage(this, QString::fromStdString(*text),
                    *read ? MessageIcon::Information : MessageIcon::Exclamation);
    };
    if (!m_session.Post(this, readSettings, show)) {
        QApplication::beep();
    }
}

void CProductionDialog::OnProgram() {
    Program();
}

void CProductionDialog::OnProgramRange(bool pressed) {
    SaveControls();
    const bool series = m_form.ToggleRange(pressed);
    ShowControls();
    if (!series) {
        return;
    }
    m_bSeries = true;
    m_nSeriesReader = 0;
    m_strLastRun.clear();  // the series' window speaks of its own readers
    // Each run ends the series when it does not end with OK; so does a refused field.
    while (m_form.Controls().bProgramRange) {
        Program();
    }
    m_bSeries = false;
    m_pSeriesDialog.reset();
}

void CProductionDialog::Program() {
    SaveControls();
    if (!IsLedgerReady()) {
        // The buttons wait for the ledger; a series must not run on without it either.
        m_form.ToggleRange(false);
        ShowControls();
        return;
    }
    const ProductionForm::ProgramRequest request = m_form.BeginProgram();
    ShowControls();
    if (request.start == ProductionForm::Start::OutOfRange) {
        ShowMessage(this, QString::fromStdString(request.message), MessageIcon::Exclamation);
        if (auto* field =
                qobject_cast<QLineEdit*>(FindControl(this, static_cast<uint32_t>(request.nControl)))) {
            field->setFocus();
            field->selectAll();
        }
        return;
    }
    if (request.start != ProductionForm::Start::Ready) {
        return;
    }
    bool recorded = true;
    bool serialSent = false;
    const bool ok = RunJob(request.inputs, recorded, &serialSent);
    m_form.EndProgram(ok, serialSent);
    if (ok || serialSent) {
        m_bCountedWithoutLedger = m_bCountedWithoutLedger || m_pLedger == nullptr;
    }
    if (!recorded) {
        ++m_nUnrecorded;
        // A reader programmed without its line would go untraced: the series stops here.
        m_form.ToggleRange(false);
    }
    ShowControls();
    ShowLedger();
}

QString CProductionDialog::CloseWarning() const {
    QStringList warnings;
    if (m_nUnrecorded > 0) {
        warnings << QStringLiteral(
                        "%1 programming run(s) of this session could not be written to the "
                        "production record or the ledger.")
                        .arg(m_nUnrecorded);
    }
    if (m_bCountedWithoutLedger) {
        // Without a ledger the next number lives in the page only.
        warnings << QStringLiteral(
            "With no production ledger, the serial numbers counted on the Production "
            "page start again after a restart.");
    }
    return warnings.join(QLatin1Char('\n'));
}

bool CProductionDialog::RunJob(ProgrammingInputs inputs, bool& recorded, bool* serialSent) {
    recorded = true;
    const std::string profile = m_form.GetProfileName();
    LedgerJob job;
    if (m_pLedger) {
        // Before the loader is woken: a refused number leaves the reader untouched.
        const std::optional<uint32_t> shown = JobNumber(inputs);
        std::string message;
        const Ledger::Reserve reserved =
            job.Reserve(*m_pLedger, profile, inputs, m_form.IsNumberTyped(), std::time(nullptr), message);
        if (reserved != Ledger::Reserve::Reserved) {
            ShowMessage(this, QString::fromStdString(message), MessageIcon::Exclamation);
            if (reserved == Ledger::Reserve::Used) {
                QLineEdit* field = m_form.IsUsbProfile() ? m_pUsbSerial : m_pMifareSerial;
                field->setFocus();
                field->selectAll();
            }
            return false;
        }
        if (shown && JobNumber(inputs) != shown) {
            // The shown number was taken meanwhile: the reader gets the next free one, and shows it.
            m_form.TakeNumber(*JobNumber(inputs));
            ShowControls();
        }
    }
    std::string ledgerError;
    const auto finish = [this, &job, &ledgerError](const ProgrammingSequence* sequence) {
        if (!job.IsReserved()) {
            return;
        }
        const std::time_t now = std::time(nullptr);
        const bool written = sequence != nullptr ? job.Finish(*m_pLedger, *sequence, now, ledgerError)
                                                 : job.Cancel(*m_pLedger, now, ledgerError);
        if (written) {
            ledgerError.clear();
        }
    };
    const auto ended = [this, &recorded, &profile, serialSent, &finish](const ProgrammingSequence& sequence) {
        if (serialSent != nullptr) {
            *serialSent = sequence.SerialSent();
        }
        const bool reached = ProductionRecord::ShouldRecord(sequence);
        ShowLastRun(profile, sequence, reached);
        if (reached) {
            recorded = m_record.Append(ProductionRecord::MakeEntry(profile, sequence, std::time(nullptr)));
        }
        finish(reached ? &sequence : nullptr);
    };
    m_pLastRun->clear();
    m_pLastRun->hide();
    const bool ok = m_runner(inputs, ended);
    // A runner that ended without its sequence reached no reader.
    finish(nullptr);
    if (!recorded) {
        ShowMessage(this, QString::fromStdString(m_record.GetError()), MessageIcon::Exclamation);
    }
    if (!ledgerError.empty()) {
        ShowMessage(this, QString::fromStdString(ledgerError), MessageIcon::Exclamation);
        recorded = false;
    }
    return ok;
}

void CProductionDialog::ShowLastRun(const std::string& profile, const ProgrammingSequence& sequence,
                                    bool reached) {
    const ProductionRecord::Entry entry = ProductionRecord::MakeEntry(profile, sequence, std::time(nullptr));
    QStringList parts;
    for (const std::string* part :
         {&entry.strProfile, &entry.strJob, &entry.strMifareSerial, &entry.strUsbSerial, &entry.strFile}) {
        if (!part->empty()) {
            parts << OneLine(*part);
        }
    }
    QString result = QString::fromStdString(entry.strResult);
    if (!reached) {
        result = QStringLiteral("cancelled before the reader answered");
    } else if (!entry.strMessage.empty()) {
        result += QStringLiteral(": ") + OneLine(entry.strMessage);
    }
    m_strLastRun = QStringLiteral("Last run (%1): %2: %3")
                       .arg(QString::fromStdString(entry.strTime).section(QLatin1Char(' '), 1),
                            parts.join(QStringLiteral(", ")), result);
    m_pLastRun->setText(m_strLastRun);
    m_pLastRun->show();
}

void CProductionDialog::OnDownloadFirmware() {
    const QString path = AskOpenFileName(this, QStringLiteral("Firmware files (*.A07);;All files (*.*)"));
    if (path.isEmpty()) {
        return;
    }
    bool recorded = true;
    RunJob(ProductionForm::FirmwareInputs(path.toStdString()), recorded);
    ShowLedger();
}

void CProductionDialog::OnChooseRecord() {
    SaveFileRequest request;
    request.strTitle = QStringLiteral("Production record");
    request.strFilter = QStringLiteral("CSV files (*.csv);;All files (*)");
    request.bConfirmOverwrite = false;  // the record is appended to: an existing file is no overwrite
    request.bAddFilterSuffix = true;
    request.strStart = QString::fromStdString(m_record.GetPath());
    const QString path = AskSaveFileName(this, request);
    if (path.isEmpty()) {
        return;
    }
    // Refused at once rather than after the next reader was programmed.
    ProductionRecord candidate(path.toStdString());
    if (!candidate.Check()) {
        ShowMessage(this, QString::fromStdString(candidate.GetError()), MessageIcon::Exclamation);
        return;
    }
    SetRecordPath(candidate.GetPath());
    Remember(kRecordPathKey, QString::fromStdString(candidate.GetPath()));
}

void CProductionDialog::OpenLedger(const LedgerChoice& choice, bool force) {
    m_ledgerChoice = choice;
    if (choice.kind == LedgerChoice::Kind::None) {
        m_pLedger.reset();
        m_ledgerOpened.reset();
        m_strLedgerError.clear();
        return;
    }
    const std::string location =
        choice.kind == LedgerChoice::Kind::Other ? choice.strLocation : m_line.strLocation;
    const std::string station = choice.strStation.empty() ? m_line.strStation : choice.strStation;
    const std::string opened = location + '\n' + station;
    if (!force && m_pLedger && m_ledgerOpened == opened) {
        return;
    }
    // A ledger that failed is tried again each time the page is shown: a server may be back.
    m_pLedger.reset();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_pLedger = Ledger::Open(location, LedgerStation::ThisProcess(station), m_strLedgerError);
    QApplication::restoreOverrideCursor();
    m_ledgerOpened = opened;
    if (m_pLedger) {
        m_strLedgerError.clear();
    }
}

void CProductionDialog::ShowLedger() {
    std::vector<LedgerRun> runs;
    std::vector<LedgerRun> open;
    std::string error;
    if (m_ledgerChoice.kind == LedgerChoice::Kind::None) {
        m_pLedgerLocation->setText(QStringLiteral("none"));
    } else if (!m_pLedger) {
        m_pLedgerLocation->setText(QString::fromStdString(m_strLedgerError));
    } else {
        m_pLedgerLocation->setText(QString::fromStdString(m_pLedger->Describe()));
        LedgerFilter last;
        last.nLast = kShownRuns;
        LedgerFilter unfinished;
        unfinished.bOpenOnly = true;
        if (!m_pLedger->ListRuns(last, runs, error) || !m_pLedger->ListRuns(unfinished, open, error)) {
            runs.clear();
            open.clear();
        }
    }
    ShowRuns(runs);

    // Unknown runs hold their numbers until someone looks at the reader; running ones belong to
    // other stations (this station's own are over whenever the page shows the ledger).
    m_openNumbers.clear();
    QStringList unknown;
    QStringList running;
    for (const LedgerRun& run : open) {
        const std::optional<uint32_t> number = run.mifareSerial ? run.mifareSerial : run.usbSerial;
        if (!number) {
            continue;  // a firmware download holds no number: there is nothing to release
        }
        const QString shown = Padded(*number, run.usbSerial ? 6 : 8);
        if (run.outcome == LedgerOutcome::Unknown) {
            unknown << shown;
            m_openNumbers.push_back(*number);
        } else {
            running << QStringLiteral("%1 (station %2)").arg(shown, QString::fromStdString(run.strStation));
        }
    }
    QStringList lines;
    if (!error.empty()) {
        lines << QString::fromStdString(error);
    }
    if (!unknown.isEmpty()) {
        const QString numbers = unknown.join(QStringLiteral(", "));
        lines << (unknown.size() == 1 ? QStringLiteral("1 run with unknown outcome: number %1.").arg(numbers)
                                      : QStringLiteral("%1 runs with unknown outcome: numbers %2.")
                                            .arg(unknown.size())
                                            .arg(numbers)) +
                     QStringLiteral(
                         " Check those readers; release a number that no reader kept with "
                         "\u201cRelease...\u201d.");
    }
    if (!running.isEmpty()) {
        lines << QStringLiteral("Being programmed: %1.").arg(running.join(QStringLiteral(", ")));
    }
    m_pOpenRuns->setText(lines.join(QLatin1Char('\n')));
    m_pOpenRuns->setVisible(!lines.isEmpty());
    ShowNextNumber();
    EnableControls();
}

void CProductionDialog::ShowRuns(const std::vector<LedgerRun>& runs) {
    // Sorting stays off while the rows fill, then sorts them as the header shows.
    m_pRuns->setSortingEnabled(false);
    m_pRuns->clearContents();
    m_pRuns->setRowCount(static_cast<int>(runs.size()));
    for (size_t row = 0; row < runs.size(); ++row) {
        const LedgerRun& run = runs[row];
        QString texts[ColMessage + 1];
        texts[ColTime] =
            QString::fromStdString(ProductionRecord::FormatTime(static_cast<std::time_t>(run.tStarted)));
        texts[ColStation] = QString::fromStdString(run.strStation);
        texts[ColProfile] = QString::fromStdString(run.strProfile);
        texts[ColJob] = QString::fromStdString(run.strJob);
        if (run.mifareSerial) {
            texts[ColMifare] = Padded(*run.mifareSerial, 8);
        }
        if (run.usbSerial) {
            texts[ColUsb] = QString::fromStdString(run.strUsbPrefix) + Padded(*run.usbSerial, 6);
        }
        texts[ColOutcome] = QString::fromLatin1(OutcomeName(run.outcome));
        // One line per run; the export keeps the message whole.
        texts[ColMessage] =
            QString::fromStdString(run.strMessage).replace(QLatin1Char('\n'), QLatin1Char(' '));
        for (int column = 0; column <= ColMessage; ++column) {
            // Items show plain text: rows from the database are never taken for markup.
            m_pRuns->setItem(static_cast<int>(row), column, new QTableWidgetItem(texts[column]));
        }
    }
    m_pRuns->setSortingEnabled(true);
    m_pRuns->resizeColumnsToContents();
}

void CProductionDialog::ShowNextNumber() {
    m_pNextTimer->stop();
    m_pNextNumber->clear();
    if (!m_pLedger) {
        return;
    }
    const bool usb = m_form.IsUsbProfile();
    const int digits = usb ? 6 : 8;
    const uint32_t max = m_form.GetMax();
    bool valid = false;
    const uint32_t from = (usb ? m_pUsbSerial : m_pMifareSerial)->text().toUInt(&valid);
    if (!valid || from > max) {
        return;  // the field's own check speaks when the operator programs
    }
    std::string error;
    const std::optional<uint32_t> next = m_pLedger->NextFree(true, usb, from, max, error);
    if (!error.empty()) {
        m_pNextNumber->setText(QString::fromStdString(error));
    } else if (!next) {
        m_pNextNumber->setText(QStringLiteral("No free number is left from %1 to %2.")
                                   .arg(Padded(from, digits), Padded(max, digits)));
    } else if (*next == from) {
        m_pNextNumber->setText(QStringLiteral("Next number: %1").arg(Padded(*next, digits)));
    } else {
        m_pNextNumber->setText(
            QStringLiteral("Next number: %1 (%2 is used)").arg(Padded(*next, digits), Padded(from, digits)));
    }
}

void CProductionDialog::OnChooseLedger() {
    const QString line =
        QString::fromStdString(m_line.strLocation.empty() ? Ledger::DefaultPath() : m_line.strLocation);
    const QString station = QString::fromStdString(LedgerStation::ThisProcess(m_line.strStation).strName);
    CLedgerDialog dialog(this, line, station);
    dialog.m_choice = m_ledgerChoice;
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    dialog.m_choice.Save();
    OpenLedger(dialog.m_choice, true);
    ShowLedger();
}

void CProductionDialog::OnRelease() {
    if (!m_pLedger) {
        return;
    }
    CReleaseDialog dialog(this, m_openNumbers);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    std::string message;
    const bool released =
        m_pLedger->Release(dialog.m_dwNumber, dialog.m_strReason.toStdString(), std::time(nullptr), message);
    ShowMessage(this, QString::fromStdString(message),
                released ? MessageIcon::Information : MessageIcon::Exclamation);
    ShowLedger();
}

void CProductionDialog::OnExportLedger() {
    if (!m_pLedger) {
        return;
    }
    SaveFileRequest request;
    request.strTitle = QStringLiteral("Export the production ledger");
    request.strFilter = QStringLiteral("CSV files (*.csv);;All files (*)");
    request.bAddFilterSuffix = true;
    const QString path = AskSaveFileName(this, request);
    if (path.isEmpty()) {
        return;
    }
    std::vector<LedgerRun> runs;
    std::string error;
    if (!m_pLedger->ListRuns(LedgerFilter{}, runs, error)) {
        ShowMessage(this, QString::fromStdString(error), MessageIcon::Exclamation);
        return;
    }
    // Oldest first, as the production record has them.
    std::string text = LedgerExportHeader() + "\n";
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        text += LedgerExportLine(*run) + "\n";
    }
    // Written whole or not at all: a failed export leaves an earlier file as it was.
    QSaveFile file(path);
    const QByteArray bytes = QByteArray::fromStdString(text);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        ShowMessage(this,
                    QString::asprintf(LoadString(IDS_SAVE_FAILED).c_str(), path.toUtf8().constData(),
                                      file.errorString().toUtf8().constData()),
                    MessageIcon::Exclamation);
    }
}
