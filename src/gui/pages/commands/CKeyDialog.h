#pragma once

#include <cstdint>

#include "pages/commands/CParameterDialog.h"

class QGridLayout;
class QRadioButton;

// Base of the dialogs that name a key of the reader's key store (Load key, Authenticate): the key
// type, key set and key number fields, exchanged first and in that order by both.
class CKeyDialog : public CParameterDialog {
    Q_OBJECT

public:
    uint8_t m_nKeyNumber = 0;
    uint8_t m_nKeySet = 0;
    int m_nKeyType = 0;  // 0 = key A, 1 = key B

protected:
    struct KeyChoice {
        uint8_t keyNumber = 0;
        uint8_t keySet = 0;
        int keyType = 0;
    };

    CKeyDialog(QWidget* parent, const QString& caption);

    // Adds the key rows to grid from its first row; returns the next free row.
    int AddKeyRows(QGridLayout* grid);
    void LoadKeyFields();
    // Checks the key fields into choice; false after the failing field's message.
    bool SaveKeyFields(KeyChoice& choice);
    void CommitKeyFields(const KeyChoice& choice);

private:
    QRadioButton* m_pKeyA;
    QRadioButton* m_pKeyB;
    QLineEdit* m_pKeySet;
    QLineEdit* m_pKeyNumber;
};
