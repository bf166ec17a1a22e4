#pragma once

#include <cstdint>

#include "pages/commands/CParameterDialog.h"

// Parameters of Make valueblock: the block, the value and the address byte, typed in hexadecimal.
class CMakeValueBlockDialog : public CParameterDialog {
    Q_OBJECT

public:
    explicit CMakeValueBlockDialog(QWidget* parent = nullptr);

    uint8_t m_nBlock = 0;
    QString m_strValue;
    QString m_strValueAddress;
    // Converted from the texts on OK; an empty text keeps what the caller set.
    uint8_t m_nValueAddress = 0;
    uint32_t m_dwValue = 0;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QLineEdit* m_pBlock;
    QLineEdit* m_pValue;
    QLineEdit* m_pAddress;
};
