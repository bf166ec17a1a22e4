#include "pages/commands/CWriteBlockDialog.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "commands/HexText.h"
#include "pages/commands/CLoadKeyDialog.h"

namespace {
constexpr int kDataDigits = 32;
// Access bytes FF 07 80 69 of a sector trailer.
constexpr const char* kAccessBits = "FF078069";
}  // namespace

CWriteBlockDialog::CWriteBlockDialog(QWidget* parent) : CParameterDialog(parent, tr("Write")) {
    m_pBlock = NewByteEdit(1027);
    const QString trailer1 = QString(kPresetKey1) + kAccessBits + kPresetKey2;
    const QString trailer2 = QString(kPresetKey3) + kAccessBits + kPresetKey3;
    m_pData = NewCombo(1080, kDataDigits, {trailer1, trailer2});

    auto* grid = new QGridLayout;
    grid->addWidget(NewLabel(tr("&Block number (0 - 255):"), m_pBlock), 0, 0);
    grid->addWidget(m_pBlock, 0, 1);
    grid->addWidget(NewLabel(tr("Block &data:"), m_pData), 1, 0);
    grid->addWidget(m_pData, 1, 1);
    FinishLayout(grid);
}

void CWriteBlockDialog::LoadFields() {
    m_pBlock->setText(QString::number(m_nBlock));
    m_pData->setEditText(m_strBlockData);
}

bool CWriteBlockDialog::SaveFields() {
    uint8_t block = 0;
    QString data;
    if (!ExchangeByte(m_pBlock, 0, 255, block) ||
        !ExchangeText(m_pData, m_pData->currentText(), kDataDigits, data) ||
        !Check(m_pData, CheckHexStringLength(data.toLatin1().toStdString(), kDataDigits), kDataDigits)) {
        return false;
    }
    m_nBlock = block;
    m_strBlockData = data;
    return true;
}
