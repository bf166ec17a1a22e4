#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QString>

#include "pages/commands/CParameterDialog.h"

class QLineEdit;
class QPushButton;
class QRadioButton;

// Which production ledger the page uses. Remembered in the user's settings, never in the profile
// file: the file names a line's ledger, the user may choose another on one station.
struct LedgerChoice {
    enum class Kind { Line, Other, None };
    Kind kind = Kind::Line;   // Line: the profile file's [Ledger], else the default file
    std::string strLocation;  // Other: a SQLite file or a server's connection string
    std::string strStation;   // empty: the profile file's station name, else the host name

    bool operator==(const LedgerChoice&) const = default;

    static LedgerChoice Load();
    void Save() const;
};

// "Ledger...": the line's ledger, another file or server, or none; and the station's name.
class CLedgerDialog : public CParameterDialog {
    Q_OBJECT
public:
    enum : uint32_t {
        IDC_LINE = 1170,
        IDC_OTHER = 1171,
        IDC_LOCATION = 1172,
        IDC_FILE = 1173,
        IDC_NONE = 1174,
        IDC_STATION = 1175,
    };

    // line: where the line's ledger is; station: the name used when none is typed.
    CLedgerDialog(QWidget* parent, const QString& line, const QString& station);

    LedgerChoice m_choice;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    void OnFile();
    void EnableLocation();

    QRadioButton* m_pLine;
    QRadioButton* m_pOther;
    QLineEdit* m_pLocation;
    QPushButton* m_pFile;
    QRadioButton* m_pNone;
    QLineEdit* m_pStation;
};

// "Release...": gives the numbers of a run with an unknown outcome free again, with the reason the
// ledger keeps.
class CReleaseDialog : public CParameterDialog {
    Q_OBJECT
public:
    enum : uint32_t {
        IDC_NUMBER = 1176,
        IDC_REASON = 1177,
    };

    // numbers: the open runs' numbers, offered in the list.
    CReleaseDialog(QWidget* parent, const std::vector<uint32_t>& numbers);

    uint32_t m_dwNumber = 0;
    QString m_strReason;

protected:
    void LoadFields() override;
    bool SaveFields() override;

private:
    QComboBox* m_pNumber;
    QLineEdit* m_pReason;
};
