#include "pages/commands/CLoadKeyDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "commands/HexText.h"
#include "common/ControlId.h"

CLoadKeyDialog::CLoadKeyDialog(QWidget* parent) : CParameterDialog(parent, tr("Load key")) {
    m_pKeyA = new QRadioButton(tr("Key &A"), this);
    m_pKeyB = new QRadioButton(tr("Key &B"), this);
    SetControlId(m_pKeyA, 1021);
    SetControlId(m_pKeyB, 1022);
    m_pKeySet = NewByteEdit(1023);
    m_pKeyNumber = NewByteEdit(1025);
    m_pKey = NewCombo(1079, 12, {kPresetKey1, kPresetKey2, kPresetKey3});

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
    grid->addWidget(NewLabel(tr("&Key to load:"), m_pKey), 4, 0, 1, 2);
    grid->addWidget(m_pKey, 5, 0, 1, 2);
    FinishLayout(grid);
}

void CLoadKeyDialog::LoadFields() {
    m_pKeyNumber->setText(QString::number(m_nKeyNumber));
    m_pKeySet->setText(QString::number(m_nKeySet));
    (m_nKeyType == 1 ? m_pKeyB : m_pKeyA)->setChecked(true);
    m_pKey->setEditText(m_strKey);
}

bool CLoadKeyDialog::SaveFields() {
    uint8_t keyNumber = 0;
    uint8_t keySet = 0;
    QString key;
    if (!ExchangeByte(m_pKeyNumber, 0, 15, keyNumber) || !ExchangeByte(m_pKeySet, 0, 2, keySet) ||
        !ExchangeText(m_pKey, m_pKey->currentText(), 12, key) ||
        !Check(m_pKey, CheckMifareKey(key.toLatin1().toStdString()))) {
        return false;
    }
    m_nKeyNumber = keyNumber;
    m_nKeySet = keySet;
    m_nKeyType = m_pKeyB->isChecked() ? 1 : 0;
    m_strKey = key;
    return true;
}
