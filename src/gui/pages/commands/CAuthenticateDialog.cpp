#include "pages/commands/CAuthenticateDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "common/ControlId.h"

CAuthenticateDialog::CAuthenticateDialog(QWidget* parent) : CParameterDialog(parent, tr("Authenticate")) {
    m_pKeyA = new QRadioButton(tr("Key &A"), this);
    m_pKeyB = new QRadioButton(tr("Key &B"), this);
    SetControlId(m_pKeyA, 1021);
    SetControlId(m_pKeyB, 1022);
    m_pKeySet = NewByteEdit(1023);
    m_pKeyNumber = NewByteEdit(1025);
    m_pBlock = NewByteEdit(1027);

    auto* grid = new QGridLayout;
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
    grid->addWidget(NewLabel(tr("&Block number (0 - 255):"), m_pBlock), 4, 0);
    grid->addWidget(m_pBlock, 4, 1);
    FinishLayout(grid);
}

void CAuthenticateDialog::LoadFields() {
    m_pKeyNumber->setText(QString::number(m_nKeyNumber));
    m_pKeySet->setText(QString::number(m_nKeySet));
    (m_nKeyType == 1 ? m_pKeyB : m_pKeyA)->setChecked(true);
    m_pBlock->setText(QString::number(m_nBlock));
}

bool CAuthenticateDialog::SaveFields() {
    uint8_t keyNumber = 0;
    uint8_t keySet = 0;
    uint8_t block = 0;
    if (!ExchangeByte(m_pKeyNumber, 0, 15, keyNumber) || !ExchangeByte(m_pKeySet, 0, 2, keySet) ||
        !ExchangeByte(m_pBlock, 0, 255, block)) {
        return false;
    }
    m_nKeyNumber = keyNumber;
    m_nKeySet = keySet;
    m_nKeyType = m_pKeyB->isChecked() ? 1 : 0;
    m_nBlock = block;
    return true;
}
