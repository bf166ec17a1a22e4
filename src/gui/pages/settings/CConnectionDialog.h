#pragma once

#include <cstdint>
#include <string>

#include "common/CPropertyPage.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class CSpinButton;

// The "Settings" tab: the only place where the connection to the reader is made and broken, and
// the options of the continuous read loop, which the commands page copies when it becomes active.
class CConnectionDialog : public CPropertyPage {
    Q_OBJECT
public:
    // Control ids (tooltips are the strings of the same numbers).
    enum : uint32_t {
        IDC_GREEN_LED = 1031,
        IDC_RED_LED = 1032,
        IDC_USB = 1035,
        IDC_COM = 1036,
        IDC_PORT_LIST = 1037,
        IDC_BAUD_LIST = 1038,
        IDC_BAUD_LABEL = 1043,
        IDC_CONNECT = 1051,
        IDC_LOG_TO_FILE = 1066,
        IDC_PC_BEEP = 1072,
        IDC_READER_BEEP = 1073,
        IDC_CONT_READ_GROUP = 1076,
        IDC_MAX_ATTEMPTS = 1130,
        IDC_MAX_ATTEMPTS_SPIN = 1131,
        IDC_INFINITE = 1132,
    };

    explicit CConnectionDialog(CReaderSession& session, QWidget* parent = nullptr);

    // Whether the USB kind may be chosen (the bridge's library is there).
    void SetUsbAvailable(bool usbAvailable) { m_bUsbAvailable = usbAvailable; }
    // Before OnInitDialog: a port of this run only (the simulated reader's), which the list selects
    // at start in place of the port remembered from earlier runs. A connection to it, or to its USB
    // bridge, is not remembered: the next run may have neither.
    void SetPreferredPort(const std::string& name) { m_strPreferredPort = name; }

    void OnInitDialog() override;
    bool OnSetActive() override;
    bool OnKillActive() override;
    void UpdateControls();
    // The enabled states that follow from the connection and a running exchange.
    void EnableControls();

    // The one-line account of the last connect attempt ("Connected to ...", "Could not open ...").
    QString StatusText() const;

    // Values, read by the commands page through the sheet.
    bool m_bConnect = false;
    int m_nConnection = 1;  // 0 = USB, 1 = COM
    bool m_bGreenLedFlash = false;
    bool m_bLogToFile = false;
    bool m_bPcBeep = false;
    bool m_bReaderBeep = false;
    bool m_bRedLedFlash = false;
    uint32_t m_nMaxAttempts = 0;  // 0: no limit
    bool m_bInfinite = false;

    // The port the list names: the entry chosen, or the path typed into it.
    std::string ChosenPortName() const;

protected:
    void OnBusyChanged(bool busy) override;

private:
    void OnConnect();
    // The line went away and the port is closed: back to not connected, saying why.
    void OnLineLost(const QString& text);
    // Opens the chosen port and connects the link; on failure closes it again and says why.
    void Connect();
    void Disconnect();
    void OnInfinite();
    // Controls into members, in exchange order; false (after telling the user) when the attempts
    // field holds no unsigned number: the members before it are taken over, the rest are not.
    bool SaveControls();
    void LoadControls();
    void FillPortList();
    void SetStatus(const QString& text, bool connected);
    // The kind and port of the last connection made in an earlier run, as the page's start.
    void LoadRememberedPort();
    // A connection made: the next run starts with it.
    void RememberPort(bool usb, const std::string& portName) const;

    bool m_bUsbAvailable = false;
    std::string m_strPreferredPort;
    std::string m_strRememberedPort;
    bool m_bStatusConnected = false;

    QGroupBox* m_pConnectionGroup;
    QRadioButton* m_pUsbRadio;
    QRadioButton* m_pComRadio;
    QComboBox* m_pPortList;
    QLabel* m_pBaudLabel;
    QComboBox* m_pBaudList;
    QPushButton* m_pConnectButton;
    QGroupBox* m_pContReadGroup;
    QCheckBox* m_pLogToFile;
    QCheckBox* m_pPcBeep;
    QCheckBox* m_pReaderBeep;
    QCheckBox* m_pRedLed;
    QCheckBox* m_pGreenLed;
    QLabel* m_pMaxAttemptsLabel;
    QLineEdit* m_pMaxAttempts;
    CSpinButton* m_pSpin;
    QCheckBox* m_pInfinite;
    QLabel* m_pStatus;
};
