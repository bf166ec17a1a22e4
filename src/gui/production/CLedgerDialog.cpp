#include "production/CLedgerDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "common/ControlId.h"
#include "common/UserSettings.h"
#include "production/ProductionForm.h"
#include "widgets/FileDialog.h"

namespace {

const char* const kKinds[] = {"line", "other", "none"};

// A station name is shown in every run's row; longer ones are a typing accident.
constexpr int kMaxStation = 64;

template <typename T>
T* WithId(T* control, uint32_t id) {
    SetControlId(control, id);
    return control;
}

}  // namespace

LedgerChoice LedgerChoice::Load() {
    QSettings settings = UserSettings();
    settings.beginGroup(QStringLiteral("Ledger"));
    LedgerChoice choice;
    const QString kind = settings.value(QStringLiteral("Choice")).toString();
    for (size_t i = 0; i < std::size(kKinds); ++i) {
        if (kind == QLatin1String(kKinds[i])) {
            choice.kind = static_cast<Kind>(i);
        }
    }
    choice.strLocation = settings.value(QStringLiteral("Location")).toString().toStdString();
    choice.strStation = settings.value(QStringLiteral("Station")).toString().toStdString();
    if (choice.kind == Kind::Other && choice.strLocation.empty()) {
        choice.kind = Kind::Line;
    }
    return choice;
}

void LedgerChoice::Save() const {
    QSettings settings = UserSettings();
    settings.beginGroup(QStringLiteral("Ledger"));
    settings.setValue(QStringLiteral("Choice"), QLatin1String(kKinds[static_cast<int>(kind)]));
    settings.setValue(QStringLiteral("Location"), QString::fromStdString(strLocation));
    settings.setValue(QStringLiteral("Station"), QString::fromStdString(strStation));
}

CLedgerDialog::CLedgerDialog(QWidget* parent, const QString& line, const QString& station)
    : CParameterDialog(parent, tr("Production ledger")) {
    m_pLine = WithId(new QRadioButton(tr("The &line's ledger: %1").arg(line), this), IDC_LINE);
    m_pOther = WithId(new QRadioButton(tr("&This ledger:"), this), IDC_OTHER);
    m_pLocation = WithId(new QLineEdit(this), IDC_LOCATION);
    m_pLocation->setPlaceholderText(tr("a SQLite file, or postgresql://host/database"));
    m_pLocation->setMinimumWidth(m_pLocation->fontMetrics().horizontalAdvance(QString(48, QLatin1Char('x'))));
    m_pFile = WithId(new QPushButton(tr("&File..."), this), IDC_FILE);
    m_pFile->setAutoDefault(false);
    m_pNone = WithId(new QRadioButton(tr("&No ledger: numbers are not checked against other runs"), this),
                     IDC_NONE);
    m_pStation = WithId(new QLineEdit(this), IDC_STATION);
    m_pStation->setMaxLength(kMaxStation);
    m_pStation->setPlaceholderText(station);

    auto* grid = new QGridLayout;
    grid->addWidget(m_pLine, 0, 0, 1, 3);
    grid->addWidget(m_pOther, 1, 0);
    grid->addWidget(m_pLocation, 1, 1);
    grid->addWidget(m_pFile, 1, 2);
    grid->addWidget(m_pNone, 2, 0, 1, 3);
    grid->addWidget(NewLabel(tr("&Station name:"), m_pStation), 3, 0);
    grid->addWidget(m_pStation, 3, 1);
    grid->setColumnStretch(1, 1);
    FinishLayout(grid);

    connect(m_pOther, &QRadioButton::toggled, this, &CLedgerDialog::EnableLocation);
    connect(m_pFile, &QPushButton::clicked, this, &CLedgerDialog::OnFile);
}

void CLedgerDialog::LoadFields() {
    QRadioButton* const kinds[] = {m_pLine, m_pOther, m_pNone};
    kinds[static_cast<int>(m_choice.kind)]->setChecked(true);
    m_pLocation->setText(QString::fromStdString(m_choice.strLocation));
    m_pStation->setText(QString::fromStdString(m_choice.strStation));
    EnableLocation();
}

bool CLedgerDialog::SaveFields() {
    LedgerChoice choice;
    choice.kind = m_pOther->isChecked()  ? LedgerChoice::Kind::Other
                  : m_pNone->isChecked() ? LedgerChoice::Kind::None
                                         : LedgerChoice::Kind::Line;
    choice.strLocation = m_pLocation->text().trimmed().toStdString();
    choice.strStation = m_pStation->text().trimmed().toStdString();
    if (choice.kind == LedgerChoice::Kind::Other && choice.strLocation.empty()) {
        return Fail(m_pLocation, tr("Please enter a SQLite file or a server's connection string."));
    }
    m_choice = choice;
    return true;
}

void CLedgerDialog::EnableLocation() {
    m_pLocation->setEnabled(m_pOther->isChecked());
}

void CLedgerDialog::OnFile() {
    SaveFileRequest request;
    request.strTitle = tr("Production ledger");
    request.strFilter = tr("SQLite files (*.sqlite *.db);;All files (*)");
    request.bConfirmOverwrite = false;  // an existing ledger is opened, never replaced
    request.strStart = m_pLocation->text();
    const QString path = AskSaveFileName(this, request);
    if (!path.isEmpty()) {
        m_pLocation->setText(path);
        m_pOther->setChecked(true);
    }
}

CReleaseDialog::CReleaseDialog(QWidget* parent, const std::vector<uint32_t>& numbers)
    : CParameterDialog(parent, tr("Release a number")) {
    m_pNumber = WithId(new QComboBox(this), IDC_NUMBER);
    m_pNumber->setEditable(true);
    m_pNumber->setInsertPolicy(QComboBox::NoInsert);
    m_pNumber->setCompleter(nullptr);
    for (const uint32_t number : numbers) {
        m_pNumber->addItem(QStringLiteral("%1").arg(number, 8, 10, QLatin1Char('0')));
    }
    m_pNumber->lineEdit()->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,8}")), m_pNumber));
    m_pNumber->setMinimumContentsLength(10);
    m_pReason = WithId(new QLineEdit(this), IDC_REASON);
    m_pReason->setMinimumWidth(m_pReason->fontMetrics().horizontalAdvance(QString(40, QLatin1Char('x'))));
    auto* note =
        new QLabel(tr("Release a number only when no reader kept it. The ledger keeps the reason."), this);
    note->setWordWrap(true);
    auto* grid = new QGridLayout;
    grid->addWidget(note, 0, 0, 1, 2);
    grid->addWidget(NewLabel(tr("&Number:"), m_pNumber), 1, 0);
    grid->addWidget(m_pNumber, 1, 1, Qt::AlignLeft);
    grid->addWidget(NewLabel(tr("&Reason:"), m_pReason), 2, 0);
    grid->addWidget(m_pReason, 2, 1);
    FinishLayout(grid);
}

void CReleaseDialog::LoadFields() {
    m_pReason->setText(m_strReason);
}

bool CReleaseDialog::SaveFields() {
    bool ok = false;
    const uint32_t number = m_pNumber->currentText().toUInt(&ok);
    if (!ok || number > ProductionForm::kMaxMifareSerial) {
        return Fail(m_pNumber,
                    tr("Please enter a number from 0 to %1.").arg(ProductionForm::kMaxMifareSerial));
    }
    const QString reason = m_pReason->text().trimmed();
    if (reason.isEmpty()) {
        return Fail(m_pReason, tr("Please give the reason: the ledger keeps it with the release."));
    }
    m_dwNumber = number;
    m_strReason = reason;
    return true;
}
