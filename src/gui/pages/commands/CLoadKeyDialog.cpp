#include "pages/commands/CLoadKeyDialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "commands/HexText.h"

CLoadKeyDialog::CLoadKeyDialog(QWidget* parent) : CKeyDialog(parent, tr("Load key")) {
    m_pKey = NewCombo(1079, 12, {kPresetKey1, kPresetKey2, kPresetKey3});
    auto* grid = new QGridLayout;
    const int row = AddKeyRows(grid);
    grid->addWidget(NewLabel(tr("&Key to load:"), m_pKey), row, 0, 1, 2);
    grid->addWidget(m_pKey, row + 1, 0, 1, 2);
    FinishLayout(grid);
}

void CLoadKeyDialog::LoadFields() {
    LoadKeyFields();
    m_pKey->setEditText(m_strKey);
}

bool CLoadKeyDialog::SaveFields() {
    KeyChoice choice;
    QString key;
    if (!SaveKeyFields(choice) || !ExchangeText(m_pKey, m_pKey->currentText(), 12, key) ||
        !Check(m_pKey, CheckMifareKey(key.toLatin1().toStdString()))) {
        return false;
    }
    CommitKeyFields(choice);
    m_strKey = key;
    return true;
}
