#include "pages/commands/CAuthenticateDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

CAuthenticateDialog::CAuthenticateDialog(QWidget* parent) : CKeyDialog(parent, tr("Authenticate")) {
    m_pBlock = NewByteEdit(1027);
    auto* grid = new QGridLayout;
    const int row = AddKeyRows(grid);
    grid->addWidget(NewLabel(tr("&Block number (0 - 255):"), m_pBlock), row, 0);
    grid->addWidget(m_pBlock, row, 1);
    FinishLayout(grid);
}

void CAuthenticateDialog::LoadFields() {
    LoadKeyFields();
    m_pBlock->setText(QString::number(m_nBlock));
}

bool CAuthenticateDialog::SaveFields() {
    KeyChoice choice;
    uint8_t block = 0;
    if (!SaveKeyFields(choice) || !ExchangeByte(m_pBlock, 0, 255, block)) {
        return false;
    }
    CommitKeyFields(choice);
    m_nBlock = block;
    return true;
}
