#include "pages/commands/CSelectBlockDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

CSelectBlockDialog::CSelectBlockDialog(QWidget* parent) : CParameterDialog(parent, tr("Select block")) {
    m_pBlock = NewByteEdit(1027);
    auto* grid = new QGridLayout;
    grid->addWidget(NewLabel(tr("&Block number (0 - 255):"), m_pBlock), 0, 0);
    grid->addWidget(m_pBlock, 0, 1);
    FinishLayout(grid);
}

void CSelectBlockDialog::LoadFields() {
    m_pBlock->setText(QString::number(m_nBlock));
}

bool CSelectBlockDialog::SaveFields() {
    return ExchangeByte(m_pBlock, 0, 255, m_nBlock);
}
