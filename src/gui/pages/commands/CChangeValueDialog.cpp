#include "pages/commands/CChangeValueDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "commands/HexText.h"

CChangeValueDialog::CChangeValueDialog(QWidget* parent) : CParameterDialog(parent, tr("Change value")) {
    m_pBlock = NewByteEdit(1027);
    m_pValue = NewEdit(1029, 8, 10);

    auto* grid = new QGridLayout;
    grid->addWidget(NewLabel(tr("&Block number (0 - 255):"), m_pBlock), 0, 0);
    grid->addWidget(m_pBlock, 0, 1);
    grid->addWidget(NewLabel(tr("&Value (hex):"), m_pValue), 1, 0);
    grid->addWidget(m_pValue, 1, 1);
    FinishLayout(grid);
}

void CChangeValueDialog::LoadFields() {
    m_pBlock->setText(QString::number(m_nBlock));
    m_pValue->setText(m_strValue);
}

bool CChangeValueDialog::SaveFields() {
    uint8_t block = 0;
    QString value;
    if (!ExchangeByte(m_pBlock, 0, 255, block) || !ExchangeText(m_pValue, m_pValue->text(), 8, value) ||
        !Check(m_pValue, CheckHexString(value.toLatin1().toStdString()))) {
        return false;
    }
    m_nBlock = block;
    m_strValue = value;
    ScanHex32(value.toStdString(), m_dwValue);
    return true;
}
