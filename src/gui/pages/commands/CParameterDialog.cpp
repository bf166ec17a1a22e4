#include "pages/commands/CParameterDialog.h"

#include <string>

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "commands/HexText.h"
#include "common/ControlId.h"
#include "common/DialogFlags.h"
#include "common/MessageBox.h"

namespace {
constexpr uint32_t IDOK = 1;
constexpr uint32_t IDCANCEL = 2;
}  // namespace

CParameterDialog::CParameterDialog(QWidget* parent, const QString& caption) : QDialog(parent) {
    setWindowTitle(caption);
    setModal(true);
    ShowCloseBoxOnly(this);
}

void CParameterDialog::FinishLayout(QLayout* content) {
    // Made after the fields, so that the fields come first in the tab order and the first of
    // them has the focus when the dialog opens.
    m_pOk = new QPushButton(tr("&OK"), this);
    m_pCancel = new QPushButton(tr("&Cancel"), this);
    SetControlId(m_pOk, IDOK);
    SetControlId(m_pCancel, IDCANCEL);
    m_pOk->setDefault(true);
    connect(m_pOk, &QPushButton::clicked, this, &CParameterDialog::accept);
    connect(m_pCancel, &QPushButton::clicked, this, &CParameterDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_pOk);
    buttons->addWidget(m_pCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(content);
    layout->addStretch(1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

bool CParameterDialog::UpdateData(bool save) {
    if (!save) {
        LoadFields();
        return true;
    }
    return SaveFields();
}

int CParameterDialog::exec() {
    UpdateData(false);
    return QDialog::exec();
}

void CParameterDialog::accept() {
    if (UpdateData(true)) {
        QDialog::accept();
    }
}

bool CParameterDialog::ExchangeByte(QLineEdit* edit, uint8_t min, uint8_t max, uint8_t& value) {
    std::string message;
    if (!ParseByteField(edit->text().toStdString(), min, max, value, message)) {
        return Fail(edit, QString::fromStdString(message));
    }
    return true;
}

bool CParameterDialog::ExchangeText(QWidget* control, const QString& text, int maxLength, QString& value) {
    if (text.size() > maxLength) {
        return Fail(control, QString::fromStdString(LengthMessage(maxLength)));
    }
    value = text;
    return true;
}

bool CParameterDialog::Check(QWidget* control, uint32_t messageId, int length) {
    if (messageId == 0) {
        return true;
    }
    return Fail(control, QString::fromStdString(CheckMessage(messageId, length)));
}

bool CParameterDialog::Fail(QWidget* control, const QString& message) {
    ShowMessage(this, message, MessageIcon::Exclamation);
    control->setFocus(Qt::OtherFocusReason);
    QLineEdit* edit = qobject_cast<QLineEdit*>(control);
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        edit = combo->lineEdit();
    }
    if (edit != nullptr) {
        edit->selectAll();
    }
    return false;
}

QLineEdit* CParameterDialog::NewEdit(uint32_t id, int maxLength, int widthChars) {
    auto* edit = new QLineEdit(this);
    SetControlId(edit, id);
    if (maxLength > 0) {
        edit->setMaxLength(maxLength);
    }
    // Room for the digits the field takes, plus the frame and text margins.
    const int digits = edit->fontMetrics().horizontalAdvance(QString(widthChars, QLatin1Char('0')));
    edit->setFixedWidth(digits + 2 * edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 8);
    return edit;
}

QComboBox* CParameterDialog::NewCombo(uint32_t id, int maxLength, const QStringList& presets) {
    auto* combo = new QComboBox(this);
    SetControlId(combo, id);
    combo->setEditable(true);
    // The list offers presets; what the user types stays exactly as typed and is not added.
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);
    QStringList items = presets;
    items.append(QString());
    items.sort();
    combo->addItems(items);
    combo->lineEdit()->setMaxLength(maxLength);
    // Room for every digit without scrolling.
    combo->setMinimumContentsLength(maxLength + 2);
    return combo;
}

QLabel* CParameterDialog::NewLabel(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text, this);
    label->setBuddy(buddy);
    return label;
}
