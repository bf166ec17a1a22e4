#pragma once

#include <cstdint>

#include "pages/commands/CParameterDialog.h"

class QRadioButton;

// Parameters of Authenticate: key type, key set, key number and the block.
class CAuthenticateDialog : public CParameterDialog {
    Q_OBJECT

public:
    explicit CAuthenticateDialog(QWidget* parent = nullptr);

    uint8_t m_nKeyNumber = 0;
    uint8_t m_nKeySet = 0;
    int m_nKeyType = 0;  // 0 = key A, 1 = key B
    uint8_t m_nBlock = 0;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QRadioButton* m_pKeyA;
    QRadioButton* m_pKeyB;
    QLineEdit* m_pKeySet;
    QLineEdit* m_pKeyNumber;
    QLineEdit* m_pBlock;
};
