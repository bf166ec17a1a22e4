#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>

#include "common/CStepDriver.h"
#include "programming/ProgrammingSequence.h"

class CReaderSession;
class FakeClock;
class QEventLoop;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

// The modal dialog of a programming job: a view over ProgrammingSequence. Each step of the job
// runs on the reader worker's thread, and the next one is scheduled after the delay the sequence
// asks for, so the window stays live while the reader takes its time. The dialog closes itself
// with Accepted after a job that ends that way (serial number, USB settings, raw file), once the
// operator had a moment to read it; otherwise it waits for "&Close" or "&Next". Its result is
// Rejected when the user ends it. A series of readers runs job after job in one open dialog.
class CProgrammingDialog : public QDialog {
    Q_OBJECT
public:
    enum : uint32_t {
        IDC_LOG = 1081,
        IDC_PROGRESS = 1058,
        IDC_DESTINATION_GROUP = 1142,
        IDC_DESTINATION_LABEL = 1143,
        IDC_READER = 1141,
        IDC_NEXT = 1139,
        IDC_AUX_MODULE = 1144,
        IDC_CLOSE = 2,
        IDC_NOTE = 1145,
    };
    // How long a success stays readable before the dialog closes by itself; a key, the close box
    // or "&Close" closes it sooner.
    static constexpr int kSuccessPauseMs = 2000;

    // The job runs on the session's reader; a fake clock there is moved by each step's delay
    // instead of waiting for it.
    explicit CProgrammingDialog(CReaderSession& session, QWidget* parent = nullptr);
    ~CProgrammingDialog() override;

    void SetInputs(const ProgrammingInputs& inputs) { m_sequence->SetInputs(inputs); }
    // 0 "Reader", 1 "Aux. Module".
    void SetDestination(int destination);

    int exec() override;
    // A series: a success ends the job at once and leaves the dialog open for the next reader,
    // whose job RunJob runs in the same window.
    void SetKeepOpen(bool keepOpen) { m_bKeepOpen = keepOpen; }
    // The line above the log that says where a series stands; empty hides it. A single job's
    // success uses it to say that the dialog is about to close.
    void SetSeriesText(const QString& text);
    // Runs the job modally, showing the dialog when it is hidden; returns Accepted after a success
    // and Rejected when the user ended it (the dialog is hidden then).
    int RunJob();
    // Button 2, Escape and the close box: end the dialog while the button is enabled; after a
    // success they close it with that success.
    void reject() override;
    void done(int result) override;

    QPlainTextEdit* GetLog() const { return m_pLog; }
    // Between steps only: the sequence that a step may be changing on the worker thread.
    const ProgrammingSequence& GetSequence() const { return *m_sequence; }

private:
    class DestinationSteps;

    // Begins the job (or the next reader's) on the worker; its steps follow through the driver.
    void Begin(bool next);
    // Shows what the sequence reports, between steps only; true when the job succeeded and the
    // dialog closed itself.
    bool Refresh();
    // The job succeeded: the dialog says so for a moment, then closes with Accepted.
    void PauseOnSuccess();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    CReaderSession& m_session;
    // Shared with the step that runs on the worker thread, so that it outlives a late step.
    std::shared_ptr<ProgrammingSequence> m_sequence;
    std::unique_ptr<DestinationSteps> m_pSteps;
    CStepDriver m_driver;
    size_t m_nLogShown = 0;
    FakeClock* m_pFakeClock = nullptr;
    bool m_bKeepOpen = false;
    bool m_bSucceeded = false;  // the job shown succeeded: closing now keeps that result
    QTimer m_closeTimer;
    QEventLoop* m_pLoop = nullptr;  // RunJob's, while it waits for the job's end
    int m_nJobResult = Rejected;

    QLabel* m_pNote;
    QPlainTextEdit* m_pLog;
    QProgressBar* m_pProgress;
    QGroupBox* m_pGroup;
    QLabel* m_pDestinationLabel;
    QRadioButton* m_pReader;
    QRadioButton* m_pAuxModule;
    QPushButton* m_pNext;
    QPushButton* m_pClose;
};
