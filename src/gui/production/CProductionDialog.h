#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "common/CPropertyPage.h"
#include "production/CLedgerDialog.h"
#include "production/DeviceProfiles.h"
#include "production/Ledger.h"
#include "production/ProductionForm.h"
#include "production/ProductionRecord.h"
#include "programming/ProgrammingSequence.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;
class CProgrammingDialog;
class CSpinButton;

// Runs one job in the modal progress dialog; true when it ended with OK (the dialog closed
// itself). ended sees the finished sequence, for the production record, before the dialog goes.
using ProgrammingRunner = std::function<bool(const ProgrammingInputs& inputs,
                                             const std::function<void(const ProgrammingSequence&)>& ended)>;

// The "Production" tab: the operator picks a device profile, checks the USB settings and serial
// numbers the next reader gets, and programs one reader, a series of readers or a firmware image.
// A view over ProductionForm. Every number is reserved in the production ledger before its reader
// is woken, and every run is kept there and appended to the production record; the page shows the
// ledger's last runs and the ones whose outcome is unknown.
class CProductionDialog : public CPropertyPage {
    Q_OBJECT
public:
    // Control ids (tooltips are the strings of the same numbers).
    enum : uint32_t {
        IDC_USB_SERIAL = 1081,
        IDC_DESCRIPTION = 1082,
        IDC_VENDOR_ID = 1083,
        IDC_MANUFACTURER = 1084,
        IDC_MAX_POWER = 1085,
        IDC_PRODUCT_ID = 1086,
        IDC_MANUFACTURER_ID = 1087,
        IDC_USB_SERIAL_SPIN = 1089,
        IDC_PNP = 1090,
        IDC_SELF_POWERED = 1091,
        IDC_REMOTE_WAKEUP = 1092,
        IDC_DOWNLOAD_FIRMWARE = 1093,
        IDC_MIFARE_SERIAL = 1095,
        IDC_PROGRAM = 1097,
        IDC_AUTO_INCREASE = 1098,
        IDC_PROFILE = 1099,
        IDC_PROGRAM_RANGE = 1101,
        IDC_MIFARE_SERIAL_SPIN = 1112,
        IDC_STATUS = 1113,
        IDC_READ_USB_SETTINGS = 1114,
        IDC_PROGRAM_SETTINGS = 1133,
        IDC_PROGRAM_SERIAL = 1134,
        IDC_RECORD_PATH = 1150,
        IDC_RECORD_CHOOSE = 1151,
        IDC_LEDGER_LOCATION = 1160,
        IDC_LEDGER_CHOOSE = 1161,
        IDC_LEDGER_NEXT = 1162,
        IDC_LEDGER_OPEN_RUNS = 1163,
        IDC_LEDGER_RELEASE = 1164,
        IDC_LEDGER_RUNS = 1165,
        IDC_LEDGER_EXPORT = 1166,
        IDC_LAST_RUN = 1167,
    };
    // The columns of the ledger's runs: what the operator looks for first, on the left.
    enum LedgerColumn { ColTime, ColMifare, ColUsb, ColOutcome, ColStation, ColProfile, ColJob, ColMessage };
    // How many of the newest runs the table shows; the export writes them all.
    static constexpr size_t kShownRuns = 200;

    explicit CProductionDialog(CReaderSession& session, QWidget* parent = nullptr);
    ~CProductionDialog() override;

    // The profile file to read instead of the one looked up beside the program and in the
    // configuration directories.
    void SetProfilePath(const std::string& path) { m_strProfilePath = path; }
    void SetRecordPath(const std::string& path);
    const ProductionRecord& GetRecord() const { return m_record; }
    // Runs this session could not record, and numbers counted with no ledger to keep them.
    QString CloseWarning() const override;
    const ProductionForm& GetForm() const { return m_form; }
    // The ledger in use: nullptr without one, chosen ("No ledger") or failed (GetLedgerError).
    Ledger* GetLedger() const { return m_pLedger.get(); }
    const std::string& GetLedgerError() const { return m_strLedgerError; }
    // Tests watch the jobs through another runner; returns the previous one.
    ProgrammingRunner SetProgrammingRunner(ProgrammingRunner runner);

    void OnInitDialog() override;
    bool OnSetActive() override;
    bool OnKillActive() override;

protected:
    void OnBusyChanged(bool busy) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The controls' values into the form, and the form into the controls.
    void SaveControls();
    void ShowControls();
    void EnableControls();

    void OnProfileChosen(int index);
    void OnUsbSerialChanged(const QString& text);
    void OnReadUsbSettings();
    void OnProgram();
    void OnProgramRange(bool pressed);
    void OnDownloadFirmware();
    void OnChooseRecord();
    void OnChooseLedger();
    void OnRelease();
    void OnExportLedger();
    // One "&Program..." run: takes the fields, runs the job, counts up.
    void Program();
    // Reserves the job's number in the ledger, runs the job and records it; true when it ended
    // with OK. A number the ledger refuses runs nothing (false). recorded: whether the run's end
    // reached the record and the ledger (a run that reached no reader needs no line).
    // serialSent, when given, learns whether the job's serial number went out to the reader.
    bool RunJob(ProgrammingInputs inputs, bool& recorded, bool* serialSent = nullptr);
    void ShowRecordPath();
    // The run's one-line summary under the programming buttons, until the next run starts.
    void ShowLastRun(const std::string& profile, const ProgrammingSequence& sequence, bool reached);

    // Opens the ledger that the choice and the profile file's [Ledger] name, unless it is open
    // already (force: again, when the user has just chosen).
    void OpenLedger(const LedgerChoice& choice, bool force);
    // Whether the page may program numbers: with a ledger, or without one by choice.
    bool IsLedgerReady() const {
        return m_pLedger != nullptr || m_ledgerChoice.kind == LedgerChoice::Kind::None;
    }
    // The ledger's state, next number, open runs and last runs into the page.
    void ShowLedger();
    void ShowNextNumber();
    void ShowRuns(const std::vector<LedgerRun>& runs);

    ProductionForm m_form;
    ProductionRecord m_record;
    ProgrammingRunner m_runner;
    std::string m_strProfilePath;
    bool m_bControlsExist = false;
    bool m_bShowing = false;  // the page writes its controls: their change signals are its own
    LedgerChoice m_ledgerChoice;
    std::unique_ptr<Ledger> m_pLedger;
    std::optional<std::string> m_ledgerOpened;  // the location and station last opened (or tried)
    LedgerSettings m_line;                      // the profile file's ledger
    std::string m_strLedgerError;
    std::vector<uint32_t> m_openNumbers;  // the numbers of runs whose outcome is unknown
    // A "Program r&ange..." series runs all its readers in one progress dialog.
    bool m_bSeries = false;
    int m_nUnrecorded = 0;
    bool m_bCountedWithoutLedger = false;
    int m_nSeriesReader = 0;  // the reader of the series now programmed, from 1
    QString m_strLastRun;     // how the last run ended, kept while the next one runs
    std::unique_ptr<CProgrammingDialog> m_pSeriesDialog;

    QLabel* m_pProfileLabel;
    QComboBox* m_pProfile;
    QGroupBox* m_pUsbGroup;
    QLineEdit* m_pVendorId;
    QLineEdit* m_pProductId;
    QLineEdit* m_pManufacturer;
    QLineEdit* m_pManufacturerId;
    QLineEdit* m_pDescription;
    QLineEdit* m_pUsbSerial;
    CSpinButton* m_pUsbSerialSpin;
    QLineEdit* m_pMaxPower;
    QCheckBox* m_pPnP;
    QCheckBox* m_pSelfPowered;
    QCheckBox* m_pRemoteWakeup;
    QPushButton* m_pReadUsbSettings;
    QGroupBox* m_pMifareGroup;
    QLineEdit* m_pMifareSerial;
    CSpinButton* m_pMifareSerialSpin;
    QCheckBox* m_pAutoIncrease;
    QGroupBox* m_pProgrammingGroup;
    QCheckBox* m_pProgramSettings;
    QCheckBox* m_pProgramSerial;
    QPushButton* m_pProgram;
    QPushButton* m_pProgramRange;
    QPushButton* m_pDownloadFirmware;
    QLabel* m_pLastRun;
    QLabel* m_pStatus;
    QLabel* m_pRecordPath;
    QPushButton* m_pRecordChoose;
    QGroupBox* m_pLedgerGroup;
    QLabel* m_pLedgerLocation;
    QPushButton* m_pLedgerChoose;
    QLabel* m_pNextNumber;
    QLabel* m_pOpenRuns;
    QPushButton* m_pRelease;
    QPushButton* m_pExport;
    QTableWidget* m_pRuns;
    QTimer* m_pNextTimer;  // the next number follows typing once the typing pauses
};
