#include "pages/commands/CMakeValueBlockDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "commands/HexText.h"

CMakeValueBlockDialog::CMakeValueBlockDialog(QWidget* parent)
    : CParameterDialog(parent, tr("Make valueblock")) {
    m_pBlock = NewByteEdit(1027);
    m_pValue = NewEdit(1029, 8, 10);
    m_pAddress = NewEdit(1030, 2, 4);

    auto* grid = new QGridLayout;
    grid->addWidget(NewLabel(tr("&Block number (0 - 255):"), m_pBlock), 0, 0);
    grid->addWidget(m_pBlock, 0, 1);
    grid->addWidget(NewLabel(tr("&Value (hex):"), m_pValue), 1, 0);
    grid->addWidget(m_pValue, 1, 1);
    grid->addWidget(NewLabel(tr("&Address (hex):"), m_pAddress), 2, 0);
    grid->addWidget(m_pAddress, 2, 1);
    FinishLayout(grid);
}

void CMakeValueBlockDialog::LoadFields() {
    m_pBlock->setText(QString::number(m_nBlock));
    m_pValue->setText(m_strValue);
    m_pAddress->setText(m_strValueAddress);
}

bool CMakeValueBlockDialog::SaveFields() {
    uint8_t block = 0;
    QString value;
    QString address;
    // The address is checked before the value, so a fault in both points at the address.
    if (!ExchangeByte(m_pBlock, 0, 255, block) || !ExchangeText(m_pValue, m_pValue->text(), 8, value) ||
        !ExchangeText(m_pAddress, m_pAddress->text(), 2, address) ||
        !Check(m_pAddress, CheckHexString(address.toLatin1().toStdString())) ||
        !Check(m_pValue, CheckHexString(value.toLatin1().toStdString()))) {
        return false;
    }
    m_nBlock = block;
    m_strValue = value;
    m_strValueAddress = address;
    uint32_t number = 0;
    if (ScanHex32(address.toStdString(), number)) {
        m_nValueAddress = static_cast<uint8_t>(number);
    }
    ScanHex32(value.toStdString(), m_dwValue);
    return true;
}
