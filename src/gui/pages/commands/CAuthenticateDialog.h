#pragma once

#include <cstdint>

#include "pages/commands/CKeyDialog.h"

// Parameters of Authenticate: key type, key set, key number and the block.
class CAuthenticateDialog : public CKeyDialog {
    Q_OBJECT

public:
    explicit CAuthenticateDialog(QWidget* parent = nullptr);

    uint8_t m_nBlock = 0;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QLineEdit* m_pBlock;
};
