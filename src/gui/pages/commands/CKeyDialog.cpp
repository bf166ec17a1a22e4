#include "pages/commands/CKeyDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "common/ControlId.h"

CKeyDialog::CKeyDialog(QWidget* parent, const QString& caption) : CParameterDialog(parent, caption) {
    m_pKeyA = new QRadioButton(tr("Key &A"), this);
    m_pKeyB = new QRadioButton(tr("Key &B"), this);
    SetControlId(m_pKeyA, 1021);
    SetControlId(m_pKeyB, 1022);
    m_pKeySet = NewByteEdit(1023);
    m_pKeyNumber = NewByteEdit(1025);
}

int CKeyDialog::AddKeyRows(QGridLayout* grid) {
    grid->addWidget(NewLabel(tr("Key &type:"), m_pKeyA), 0, 0, 1, 2);
    auto* keyType = new QHBoxLayout;
    keyType->addWidget(m_pKeyA);
    keyType->addWidget(m_pKeyB);
    keyType->addStretch(1);
    grid->addLayout(keyType, 1, 0, 1, 2);
    grid->addWidget(NewLabel(tr("Key &set (0 - 2):"), m_pKeySet), 2, 0);
    grid->addWidget(m_pKeySet, 2, 1);
    grid->addWidget(NewLabel(tr("Key &number (0 - 15):"), m_pKeyNumber), 3, 0);
    grid->addWidget(m_pKeyNumber, 3, 1);
    return 4;
}

void CKeyDialog::LoadKeyFields() {
    m_pKeyNumber->setText(QString::number(m_nKeyNumber));
    m_pKeySet->setText(QString::number(m_nKeySet));
    (m_nKeyType == 1 ? m_pKeyB : m_pKeyA)->setChecked(true);
}

bool CKeyDialog::SaveKeyFields(KeyChoice& choice) {
    if (!ExchangeByte(m_pKeyNumber, 0, 15, choice.keyNumber) ||
        !ExchangeByte(m_pKeySet, 0, 2, choice.keySet)) {
        return false;
    }
    choice.keyType = m_pKeyB->isChecked() ? 1 : 0;
    return true;
}

void CKeyDialog::CommitKeyFields(const KeyChoice& choice) {
    m_nKeyNumber = choice.keyNumber;
    m_nKeySet = choice.keySet;
    m_nKeyType = choice.keyType;
}
