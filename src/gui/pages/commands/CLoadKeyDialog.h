#pragma once

#include <cstdint>

#include "pages/commands/CKeyDialog.h"

class QComboBox;

// The keys the Load key list offers; the Write list builds its sector trailers from them.
inline constexpr const char* kPresetKey1 = "5E2F9A40C713";
inline constexpr const char* kPresetKey2 = "C1D6083B7FA2";
inline constexpr const char* kPresetKey3 = "9B74E0D51C38";

// Parameters of Load key: key type, key set, key number and the 12-digit key.
class CLoadKeyDialog : public CKeyDialog {
    Q_OBJECT

public:
    explicit CLoadKeyDialog(QWidget* parent = nullptr);

    QString m_strKey;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QComboBox* m_pKey;
};
