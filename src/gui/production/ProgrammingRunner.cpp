#include "production/ProgrammingRunner.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "common/CReaderWorker.h"
#include "common/ControlId.h"
#include "link/Clock.h"

namespace {

// The dialog of one job: its log and "&Cancel" / "&Close". Between steps only the window's
// thread touches the sequence; a step runs on the worker thread.
class CJobDialog : public QDialog {
public:
    CJobDialog(QWidget* parent, ReaderPort& port, CReaderWorker& worker, Clock& clock)
        : QDialog(parent),
          m_worker(worker),
          m_pFakeClock(dynamic_cast<FakeClock*>(&clock)),
          m_sequence(std::make_shared<ProgrammingSequence>(port, clock)),
          m_pLog(new QPlainTextEdit(this)),
          m_pClose(new QPushButton(this)) {
        setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
        m_pLog->setReadOnly(true);
        m_pLog->setMinimumSize(420, 160);
        SetControlId(m_pLog, 1081);
        SetControlId(m_pClose, 2);
        m_pClose->setAutoDefault(false);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch(1);
        buttons->addWidget(m_pClose);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(m_pLog, 1);
        layout->addLayout(buttons);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &CJobDialog::RunStep);
        connect(m_pClose, &QPushButton::clicked, this, &CJobDialog::reject);
    }

    const ProgrammingSequence& Sequence() const { return *m_sequence; }

    int Run(const ProgrammingInputs& inputs) {
        m_sequence->SetInputs(inputs);
        Refresh();
        // Begin sets the port's read mode: it runs on the worker like every step.
        QTimer::singleShot(0, this, &CJobDialog::RunStep);
        return exec();
    }

    void reject() override {
        if (m_bStepping) {
            m_bCancelPending = true;  // the step in flight ends first
        } else if (m_sequence->Cancel()) {
            m_timer.stop();
            QDialog::reject();
        }
    }

private:
    void RunStep() {
        const bool begin = !m_bBegun;
        std::shared_ptr<ProgrammingSequence> sequence = m_sequence;
        const auto step = [sequence, begin](ReaderPort&, ReaderLink&) {
            begin ? sequence->Begin() : sequence->Step();
            return LR_OK;
        };
        if (!m_worker.Post(step, [this](LinkResult) { StepDone(); })) {
            m_timer.start(ProgrammingSequence::kTransferPeriodMs);  // another exchange ends first
            return;
        }
        m_bBegun = true;
        m_bStepping = true;
    }

    void StepDone() {
        m_bStepping = false;
        Refresh();
        if (m_bCancelPending) {
            m_bCancelPending = false;
            reject();
            return;
        }
        if (m_sequence->GetResult() == ProgrammingSequence::ResultOk) {
            accept();
        } else if (m_sequence->IsRunning()) {
            const uint32_t delay = m_sequence->GetNextStepDelay();
            if (m_pFakeClock != nullptr) {
                m_pFakeClock->Advance(delay);
                m_timer.start(0);
            } else {
                m_timer.start(static_cast<int>(delay));
            }
        }
    }

    void Refresh() {
        setWindowTitle(QString::fromStdString(m_sequence->GetCaption()));
        const std::vector<std::string>& log = m_sequence->GetLog();
        if (log.size() < m_nLogShown) {
            m_pLog->clear();
            m_nLogShown = 0;
        }
        for (; m_nLogShown < log.size(); ++m_nLogShown) {
            m_pLog->appendPlainText(QString::fromStdString(log[m_nLogShown]));
        }
        m_pLog->verticalScrollBar()->setValue(m_pLog->verticalScrollBar()->maximum());
        m_pClose->setText(QString::fromStdString(m_sequence->GetCancelText()));
        m_pClose->setEnabled(m_sequence->IsCancelEnabled());
    }

    CReaderWorker& m_worker;
    FakeClock* m_pFakeClock;
    std::shared_ptr<ProgrammingSequence> m_sequence;
    QPlainTextEdit* m_pLog;
    QPushButton* m_pClose;
    QTimer m_timer;
    size_t m_nLogShown = 0;
    bool m_bBegun = false;
    bool m_bStepping = false;
    bool m_bCancelPending = false;
};

}  // namespace

bool RunProgrammingJob(QWidget* parent, ReaderPort& port, CReaderWorker& worker, Clock& clock,
                       const ProgrammingInputs& inputs,
                       const std::function<void(const ProgrammingSequence&)>& ended) {
    CJobDialog dialog(parent, port, worker, clock);
    const bool ok = dialog.Run(inputs) == QDialog::Accepted;
    if (ended) {
        ended(dialog.Sequence());
    }
    return ok;
}
