#pragma once

#include <cstdint>

#include "pages/commands/CParameterDialog.h"

class QComboBox;
class QRadioButton;

// The keys the Load key list offers; the Write list builds its sector trailers from them.
inline constexpr const char* kPresetKey1 = "5E2F9A40C713";
inline constexpr const char* kPresetKey2 = "C1D6083B7FA2";
inline constexpr const char* kPresetKey3 = "9B74E0D51C38";

// Parameters of Load key: key type, key set, key number and the 12-digit key.
class CLoadKeyDialog : public CParameterDialog {
    Q_OBJECT

public:
    explicit CLoadKeyDialog(QWidget* parent = nullptr);

    uint8_t m_nKeyNumber = 0;
    uint8_t m_nKeySet = 0;
    int m_nKeyType = 0;  // 0 = key A, 1 = key B
    QString m_strKey;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QRadioButton* m_pKeyA;
    QRadioButton* m_pKeyB;
    QLineEdit* m_pKeySet;
    QLineEdit* m_pKeyNumber;
    QComboBox* m_pKey;
};
