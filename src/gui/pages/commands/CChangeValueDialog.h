#pragma once

#include <cstdint>

#include "pages/commands/CParameterDialog.h"

// Parameters of Increment, Decrement and Decrement / Transfer: the block and the value in
// hexadecimal. An empty value text keeps the value the caller set.
class CChangeValueDialog : public CParameterDialog {
    Q_OBJECT

public:
    explicit CChangeValueDialog(QWidget* parent = nullptr);

    uint8_t m_nBlock = 0;
    QString m_strValue;
    uint32_t m_dwValue = 0;  // converted from the text on OK

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QLineEdit* m_pBlock;
    QLineEdit* m_pValue;
};
