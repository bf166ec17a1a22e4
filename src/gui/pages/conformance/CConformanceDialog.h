#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "common/CPropertyPage.h"
#include "common/CStepDriver.h"
#include "conformance/ConformanceReport.h"
#include "conformance/ConformanceSuite.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class QTreeWidgetItem;

// The "Conformance" tab (develop mode): runs the reader conformance suite on the connected reader,
// one check per step on the worker, and shows each check's verdict and figures as it comes in. The
// row's check box chooses what runs; the pane below the table explains the selected check and shows
// what went over the line during it. "Save report..." writes the last run as Markdown or JUnit XML.
// While a run goes on the page cannot be left, so no other page uses the reader meanwhile.
class CConformanceDialog : public CPropertyPage {
    Q_OBJECT
public:
    enum Column { ColumnCheck, ColumnTitle, ColumnResult, ColumnFigures, ColumnCount };

    explicit CConformanceDialog(CReaderSession& session, QWidget* parent = nullptr);
    ~CConformanceDialog() override;

    void OnInitDialog() override;
    bool OnSetActive() override;
    // Refused while a run goes on: the user stops it first.
    bool OnKillActive() override;
    // Ends a run at once, on the worker; nothing of it answers the page afterwards.
    void OnClose() override;

    // Ticks the rows of these check ids and clears the others (empty: all).
    void SelectChecks(const std::vector<std::string>& ids);
    bool IsRunning() const { return m_bRunning; }
    QString CloseWarning() const override {
        return m_bRunning ? QStringLiteral("The conformance run has not finished.") : QString();
    }

    QTreeWidget* GetTable() const { return m_pTable; }
    QComboBox* GetProcedure() const { return m_pProcedure; }
    QSpinBox* GetRepeat() const { return m_pRepeat; }
    QCheckBox* GetWriteToggle() const { return m_pWrite; }
    QSpinBox* GetWriteBlock() const { return m_pBlock; }
    QPushButton* GetRunButton() const { return m_pRun; }
    QPushButton* GetStopButton() const { return m_pStop; }
    QPushButton* GetSaveButton() const { return m_pSave; }
    QProgressBar* GetProgress() const { return m_pProgress; }
    QString GetStatus() const;
    // The details pane as text: one "Label: value" line for each field shown, then the
    // transcript's caption.
    QString GetDetails() const;
    QPlainTextEdit* GetTranscript() const { return m_pTranscript; }

protected:
    void OnBusyChanged(bool busy) override;

private:
    // The details pane's fields, in the order they are shown.
    enum Field {
        FieldSends,
        FieldExpects,
        FieldResult,
        FieldExpected,
        FieldSeen,
        FieldReason,
        FieldFigures,
        FieldCount
    };

    void UpdateControls();
    void OnRun();
    void OnStop();
    void OnSave();
    // The suite, built on the worker, starts; a stop that came meanwhile ends the run instead.
    void Begin(std::unique_ptr<ConformanceSuite> suite);
    // After each step: the results so far into the table, progress and status.
    void ShowProgress();
    void Finish();
    void ShowResult(size_t selectedIndex);
    void ShowDetails();
    std::optional<ConformanceOptions> OptionsFromControls();

    bool m_bRunning = false;
    bool m_bStopWanted = false;
    std::unique_ptr<ConformanceSuite> m_pSuite;
    CStepDriver m_driver;
    // The last run: what it covered, its results, and the facts a report gives about it.
    std::vector<ConformanceCheck> m_runChecks;
    std::vector<ConformanceResult> m_runResults;
    std::vector<int> m_runRows;  // the table row of each check the run covers
    ConformanceRunInfo m_runInfo;
    std::string m_strLine;  // "<port> at <baud> baud", before the procedure is known
    QString m_strSummary;   // the last run's end, shown while nothing runs
    // The result shown in each table row, if its check ran in the last run.
    std::vector<std::optional<ConformanceResult>> m_rowResults;

    QComboBox* m_pProcedure;
    QSpinBox* m_pRepeat;
    QCheckBox* m_pWrite;
    QSpinBox* m_pBlock;
    QPushButton* m_pRun;
    QPushButton* m_pStop;
    QPushButton* m_pSave;
    QProgressBar* m_pProgress;
    QLabel* m_pStatus;
    QTreeWidget* m_pTable;
    QFormLayout* m_pDetailsForm;
    QLabel* m_fields[FieldCount] = {};
    QLabel* m_pTranscriptLabel;
    QPlainTextEdit* m_pTranscript;
};
