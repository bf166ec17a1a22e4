#pragma once

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <span>

#include "common/CPropertyPage.h"
#include "common/CStepDriver.h"
#include "programming/ProgrammingSequence.h"
#include "terminal/RawTerminal.h"

class CMonitorRichEdit;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// The "Monitor" tab: a raw terminal on the reader connection, below the link procedure. While the
// page is shown and connected, it polls the port every 50 ms. The port's trace writes every chunk
// read into the terminal as text and into the hex view beside it byte by byte, whoever read it:
// the polls, or a programming job, whose loader answers show too. Typed characters go to the
// reader byte for byte. "&Send file...", "&Program" and "&Verify" run the programming dialog on a
// file, with polling stopped meanwhile.
class CMonitorDialog : public CPropertyPage {
    Q_OBJECT
public:
    enum : uint32_t {
        IDC_CLEAR = 1050,
        IDC_TERMINAL = 1057,
        IDC_SEND_FILE = 1062,
        IDC_STATUS = 1059,
        IDC_PROGRAM = 1097,
        IDC_VERIFY = 1136,
    };
    static constexpr int kPollPeriodMs = RawTerminal::kPollPeriodMs;

    // Asks for a file to open (save false) or to save to, with a file-dialog filter; an empty
    // result means the user cancelled. Tests replace the system's file dialog with one.

    explicit CMonitorDialog(CReaderSession& session, QWidget* parent = nullptr);
    ~CMonitorDialog() override;

    void OnInitDialog() override;
    bool OnSetActive() override;
    void OnClose() override;
    bool OnKillActive() override;

    CMonitorRichEdit* GetTerminal() const { return m_pTerminal; }
    QPlainTextEdit* GetHexView() const { return m_pHexView; }
    QCheckBox* GetHexToggle() const { return m_pHexToggle; }
    QCheckBox* GetTimestampToggle() const { return m_pTimestamps; }
    QPushButton* GetSaveButton() const { return m_pSave; }
    QString GetStatus() const { return m_strStatus; }
    bool IsPolling() const { return m_driver.IsRunning(); }

private:
    class TraceSplitter;

    void UpdateControls();
    void OnTyped(const QByteArray& bytes);
    // A chunk read from the port, as the hex view lists it.
    void ShowHexChunk(std::span<const uint8_t> bytes);
    // After a poll; the first time, focus puts the terminal in front.
    void AfterPoll(bool focus);
    // Attaches the terminal to the trace and, when connected, sets the polling reads and starts
    // polling.
    void StartPolling();
    // Polling ends at once; what it read is shown.
    void StopPolling();
    void RunJob(const QString& filter, ProgrammingMode mode);
    void OnClear();
    void OnSave();
    // What Save writes: the text, and the hex view's lines when it is shown.
    QString SavedText() const;
    void FocusTerminal();

    QString m_strStatus;
    bool m_bFocusDone = false;
    bool m_bActive = false;
    // The terminal's polls and typed bytes, one step at a time on the worker.
    RawTerminal m_rawTerminal;
    CStepDriver m_driver;

    QLabel* m_pStatus;
    CMonitorRichEdit* m_pTerminal;
    QPlainTextEdit* m_pHexView;
    QCheckBox* m_pHexToggle;
    QCheckBox* m_pTimestamps;
    QPushButton* m_pSave;
    QPushButton* m_pClear;
    QPushButton* m_pProgram;
    QPushButton* m_pVerify;
    QPushButton* m_pSendFile;
    // What the port traces into: the terminal and the hex view.
    std::unique_ptr<TraceSplitter> m_pTrace;
};
