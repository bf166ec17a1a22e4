#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/CPropertyPage.h"
#include "production/ProductionForm.h"
#include "production/ProductionRecord.h"
#include "programming/ProgrammingSequence.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class CSpinButton;

// Runs one job in the modal progress dialog; true when it ended with OK (the dialog closed
// itself). ended sees the finished sequence, for the production record, before the dialog goes.
using ProgrammingRunner = std::function<bool(const ProgrammingInputs& inputs,
                                             const std::function<void(const ProgrammingSequence&)>& ended)>;

// The "Production" tab: the operator picks a device profile, checks the USB settings and serial
// numbers the next reader gets, and programs one reader, a series of readers or a firmware image.
// A view over ProductionForm; every run is appended to the production record shown on the page.
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
    };

    explicit CProductionDialog(CReaderSession& session, QWidget* parent = nullptr);
    ~CProductionDialog() override;

    // The profile file to read instead of the one looked up beside the program and in the
    // configuration directories.
    void SetProfilePath(const std::string& path) { m_strProfilePath = path; }
    void SetRecordPath(const std::string& path);
    const ProductionRecord& GetRecord() const { return m_record; }
    const ProductionForm& GetForm() const { return m_form; }
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
    // One "&Program..." run: takes the fields, runs the job, counts up.
    void Program();
    // Runs the job and records it; true when it ended with OK. recorded: whether its line was
    // written (a run that reached no reader needs none).
    // serialSent, when given, learns whether the job's serial number went out to the reader.
    bool RunJob(const ProgrammingInputs& inputs, bool& recorded, bool* serialSent = nullptr);
    void ShowRecordPath();

    ProductionForm m_form;
    ProductionRecord m_record;
    ProgrammingRunner m_runner;
    std::string m_strProfilePath;
    bool m_bControlsExist = false;
    bool m_bShowing = false;  // the page writes its controls: their change signals are its own

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
    QLabel* m_pStatus;
    QLabel* m_pRecordPath;
    QPushButton* m_pRecordChoose;
};
