#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include <QString>

#include "commands/CStatisticsLog.h"
#include "commands/CommandSet.h"
#include "common/CPropertyPage.h"
#include "link/LinkResult.h"

class CAllControlsSheet;
class CContReadStatisticsWidget;
class CStepDriver;
class COutputWindowWidget;
class ContinuousReadCycle;
class PcBeep;
class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class QTimer;
class WaitCardExchange;
class OutputWindow;

// The "Mifare® commands" page: one button per reader command, small dialogs for their parameters,
// and the output window in which the reader port traces all traffic in hexadecimal. The page never
// looks at a command's result: each command writes its own status line.
class CMifareCommandsDlg : public CPropertyPage {
    Q_OBJECT

public:
    // Control ids of the page.
    enum : uint32_t {
        IDC_STARTUP = 1000,
        IDC_RESET,
        IDC_REQUEST,
        IDC_ANTICOLLISION,
        IDC_SELECT,
        IDC_LOAD_KEY,
        IDC_AUTHENTICATE,
        IDC_READ,
        IDC_WRITE,
        IDC_HALT,
        IDC_MAKE_VALUE_BLOCK,
        IDC_READ_VALUE_BLOCK,
        IDC_INCREMENT,
        IDC_DECREMENT,
        IDC_DECREMENT_TRANSFER,
        IDC_RESTORE,
        IDC_TRANSFER,
        IDC_SET_PORT,
        IDC_INFO,
        IDC_OUTPUT = 1048,
        IDC_CLEAR = 1050,
        IDC_LEGEND = 1059,
        IDC_CONT_READ = 1060,
        IDC_WAIT_CARD = 1137,
        IDC_TIMESTAMPS = 1190,
        IDC_SAVE_OUTPUT = 1191,
    };
    explicit CMifareCommandsDlg(CReaderSession& session, QWidget* parent = nullptr);
    ~CMifareCommandsDlg() override;

    // The sheet, whose settings page the modes take their options from (null: the defaults), and
    // the card family Request asks for.
    void SetSheetObjects(CAllControlsSheet* sheet, bool hitag2);

    // Once, before the page is first shown: attaches the output window in hexadecimal mode.
    void OnInitDialog() override;
    // Each time the page comes to the front. Always true: the page may be shown.
    bool OnSetActive() override;
    // The user tries to leave the page: refused while a mode runs.
    bool OnKillActive() override;
    // Stops a running mode on the worker; nothing of it answers the page afterwards.
    void OnClose() override;
    // A running continuous read or wait card.
    QString CloseWarning() const override;
    void UpdateControls();

    COutputWindowWidget* GetOutputWindow() const { return m_pOutput; }
    CContReadStatisticsWidget* GetStatisticsWidget() const { return m_pStatistics; }
    // How often the live statistics are refreshed while continuous read runs.
    static constexpr int kStatisticsIntervalMs = 250;

    // Set by the sheet before the page is added.
    CAllControlsSheet* m_pSheet = nullptr;

    int m_bWaitCard = 0;
    int m_bContRead = 0;
    QString m_strLegend;
    // Remembered between commands for the whole run: each dialog opens with the last entries.
    CommandParameters m_parameters;
    uint32_t m_nMaxAttempts = 10;
    int m_bPcBeep = 0;
    int m_bReaderBeep = 0;
    int m_bRedLedFlash = 0;
    int m_bGreenLedFlash = 0;
    int m_bLogToFile = 0;
    CStatisticsLog m_logFile;

protected:
    void changeEvent(QEvent* event) override;
    // No command button can be pressed again until the answer is in.
    void OnBusyChanged(bool busy) override;

private:
    void EqualizeColumns();
    // The output window is as high as the statistics that take its place: the window keeps its
    // size when they appear.
    void ReserveStatisticsRoom();
    void ShowStatistics(bool show);
    // A command button: its parameter dialog, if it has one, then the command on the worker.
    void OnCommand(Command command);
    void OnClear();
    void OnSaveOutput();
    void OnTimestampsChanged(int index);

    // The two modes: their buttons, one step at a time through the worker, and their ends.
    void OnContRead();
    void OnWaitCard();
    // Asks for the statistics log and opens it; false when the user cancelled or it cannot be opened.
    bool OpenLog();
    // After each step of continuous read: the pressed button, notices, a record that failed.
    void ContReadStepShown();
    // The page after continuous read: highlights released, trace back, final figures.
    void ContReadStopped();
    void ShowHighlight(int step);
    void RefreshStatistics();
    // What the last command or wait card came to, in words, in place of the legend until the next
    // one; an empty text brings the legend back.
    void ShowOutcome(const QString& text);

    // Hands command with the page's parameters to the worker; what it answers into them comes
    // back once the answer is in.
    void Send(Command command);

    std::array<QPushButton*, kCommandCount> m_commandButtons{};
    QGridLayout* m_pCommandGrid = nullptr;
    QPushButton* m_pContRead = nullptr;
    QPushButton* m_pWaitCard = nullptr;
    QPushButton* m_pClear = nullptr;
    QWidget* m_pOutputPane = nullptr;  // the output window under its caption
    COutputWindowWidget* m_pOutput = nullptr;
    QLabel* m_pLegend = nullptr;
    QComboBox* m_pTimestamps = nullptr;
    QPushButton* m_pSaveOutput = nullptr;
    CContReadStatisticsWidget* m_pStatistics = nullptr;
    // The statistics scroll rather than grow the window where the room reserved is not enough.
    QScrollArea* m_pStatisticsArea = nullptr;

    std::unique_ptr<ContinuousReadCycle> m_pCycle;
    std::unique_ptr<WaitCardExchange> m_pWaitCardExchange;
    std::unique_ptr<PcBeep> m_pPcBeep;
    // Runs the steps of the two modes on the worker.
    std::unique_ptr<CStepDriver> m_pDriver;
    // The mode the driver runs: after its button is released it is still stopping.
    enum class Mode { None, ContRead, WaitCard };
    Mode m_mode = Mode::None;
    QString m_strOutcome;
    QTimer* m_pStatisticsTimer = nullptr;
};
