#pragma once

#include <cstdint>

#include "pages/commands/CParameterDialog.h"

// The block of Read, Read valueblock, Restore and Transfer.
class CSelectBlockDialog : public CParameterDialog {
    Q_OBJECT

public:
    explicit CSelectBlockDialog(QWidget* parent = nullptr);

    uint8_t m_nBlock = 0;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QLineEdit* m_pBlock;
};
