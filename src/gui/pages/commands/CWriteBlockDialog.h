#pragma once

#include <cstdint>

#include "pages/commands/CParameterDialog.h"

class QComboBox;

// Parameters of Write: the block and its 16 bytes as 32 hexadecimal digits.
class CWriteBlockDialog : public CParameterDialog {
    Q_OBJECT

public:
    explicit CWriteBlockDialog(QWidget* parent = nullptr);

    uint8_t m_nBlock = 0;
    QString m_strBlockData;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QLineEdit* m_pBlock;
    QComboBox* m_pData;
};
