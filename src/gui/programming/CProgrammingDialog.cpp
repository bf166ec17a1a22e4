#include "programming/CProgrammingDialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QEventLoop>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTextOption>
#include <QVBoxLayout>
#include <atomic>
#include <climits>

#include "common/CReaderSession.h"
#include "common/CStepDriver.h"
#include "common/ControlId.h"
#include "common/DialogFlags.h"
#include "link/Clock.h"

// The sequence's steps with the destination the user picks meanwhile: the radio buttons change
// it on the window's thread, each step hands it to the sequence on the worker's.
class CProgrammingDialog::DestinationSteps final : public StepMachine {
public:
    explicit DestinationSteps(ProgrammingSequence& sequence) : m_sequence(sequence) {}
    void SetDestination(int destination) { m_nDestination = destination; }
    int Destination() const { return m_nDestination; }
    StepOutcome Advance() override {
        m_sequence.SetDestination(m_nDestination);
        return m_sequence.Advance();
    }
    bool RequestStop() override { return m_sequence.RequestStop(); }

private:
    ProgrammingSequence& m_sequence;
    std::atomic<int> m_nDestination{0};
};

namespace {

template <typename T>
T* WithId(T* control, uint32_t id) {
    SetControlId(control, id);
    return control;
}

}  // namespace

CProgrammingDialog::CProgrammingDialog(CReaderSession& session, QWidget* parent)
    : QDialog(parent),
      m_session(session),
      m_sequence(std::make_shared<ProgrammingSequence>(session.PortForWork(), session.GetClock())),
      m_pSteps(std::make_unique<DestinationSteps>(*m_sequence)),
      m_driver(session),
      m_pNote(WithId(new QLabel(this), IDC_NOTE)),
      m_pLog(WithId(new QPlainTextEdit(this), IDC_LOG)),
      m_pProgress(WithId(new QProgressBar(this), IDC_PROGRESS)),
      m_pGroup(WithId(new QGroupBox(this), IDC_DESTINATION_GROUP)),
      m_pDestinationLabel(
          WithId(new QLabel(QStringLiteral("Destination:"), m_pGroup), IDC_DESTINATION_LABEL)),
      m_pReader(WithId(new QRadioButton(QStringLiteral("Reader"), m_pGroup), IDC_READER)),
      m_pAuxModule(WithId(new QRadioButton(QStringLiteral("Aux. Module"), m_pGroup), IDC_AUX_MODULE)),
      m_pNext(WithId(new QPushButton(QStringLiteral("&Next"), this), IDC_NEXT)),
      m_pClose(WithId(new QPushButton(QStringLiteral("&Cancel"), this), IDC_CLOSE)) {
    setWindowTitle(QStringLiteral("Programming progress"));
    // The close box does what button 2 does, and nothing while a file transfer disables it.
    ShowCloseBoxOnly(this);
    setMinimumSize(460, 260);

    m_pNote->setTextFormat(Qt::PlainText);
    m_pNote->setWordWrap(true);
    m_pNote->hide();
    m_pLog->setReadOnly(true);
    m_pLog->setUndoRedoEnabled(false);
    // Messages can be longer than the box, and a path or a number has no space to break at.
    m_pLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_pLog->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_pLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pProgress->setTextVisible(false);
    m_pProgress->hide();
    m_pGroup->hide();
    m_pReader->setChecked(true);
    // The choice stays readable however narrow the row gets.
    for (QWidget* control : {static_cast<QWidget*>(m_pDestinationLabel), static_cast<QWidget*>(m_pReader),
                             static_cast<QWidget*>(m_pAuxModule)}) {
        control->setMinimumWidth(control->sizeHint().width());
    }
    auto* radios = new QButtonGroup(this);
    radios->addButton(m_pReader, 0);
    radios->addButton(m_pAuxModule, 1);
    connect(radios, &QButtonGroup::idClicked, this, [this](int id) { m_pSteps->SetDestination(id); });

    auto* groupLayout = new QHBoxLayout(m_pGroup);
    groupLayout->addWidget(m_pDestinationLabel);
    groupLayout->addWidget(m_pReader);
    groupLayout->addWidget(m_pAuxModule);
    groupLayout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_pGroup, 1);
    buttons->addWidget(m_pNext);
    buttons->addWidget(m_pClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pNote);
    layout->addWidget(m_pLog, 1);
    layout->addWidget(m_pProgress);
    layout->addLayout(buttons);

    m_pNext->setAutoDefault(false);
    m_pClose->setAutoDefault(false);
    connect(m_pNext, &QPushButton::clicked, this, [this] { Begin(true); });
    connect(m_pClose, &QPushButton::clicked, this, &CProgrammingDialog::reject);
    m_pFakeClock = dynamic_cast<FakeClock*>(&session.GetClock());
    m_driver.SetFakeClock(m_pFakeClock);
    m_closeTimer.setSingleShot(true);
    connect(&m_closeTimer, &QTimer::timeout, this, &CProgrammingDialog::accept);
}

CProgrammingDialog::~CProgrammingDialog() {
    // A step still running ends before the dialog goes; its result is dropped with it.
    m_driver.Shutdown();
    m_session.Release(this);
}

void CProgrammingDialog::SetDestination(int destination) {
    m_pSteps->SetDestination(destination == 1 ? 1 : 0);
    (destination == 1 ? m_pAuxModule : m_pReader)->setChecked(true);
}

int CProgrammingDialog::exec() {
    Begin(false);
    return QDialog::exec();
}

void CProgrammingDialog::SetSeriesText(const QString& text) {
    m_pNote->setText(text);
    m_pNote->setVisible(!text.isEmpty());
}

int CProgrammingDialog::RunJob() {
    m_nJobResult = Rejected;
    Begin(false);
    if (!isVisible()) {
        setWindowModality(Qt::ApplicationModal);
        show();
    }
    QEventLoop loop;
    m_pLoop = &loop;
    loop.exec(QEventLoop::DialogExec);
    m_pLoop = nullptr;
    return m_nJobResult;
}

void CProgrammingDialog::done(int result) {
    m_closeTimer.stop();
    m_nJobResult = result;
    if (m_pLoop != nullptr) {
        m_pLoop->quit();
    }
    if (result == Accepted && m_bKeepOpen) {
        setResult(result);  // the series' next reader follows in this window
        return;
    }
    QDialog::done(result);
}

void CProgrammingDialog::keyPressEvent(QKeyEvent* event) {
    if (m_closeTimer.isActive()) {
        accept();  // the operator has read the success
        return;
    }
    QDialog::keyPressEvent(event);
}

void CProgrammingDialog::PauseOnSuccess() {
    SetSeriesText(QStringLiteral("Done. This window closes by itself in a moment; any key closes it now."));
    m_pClose->setText(QStringLiteral("&Close"));
    m_pClose->setEnabled(true);
    m_pClose->setFocus();
    // A fake clock passes the pause at once, as it does every wait of the job.
    int pause = kSuccessPauseMs;
    if (m_pFakeClock != nullptr) {
        m_pFakeClock->Advance(static_cast<uint32_t>(pause));
        pause = 0;
    }
    m_closeTimer.start(pause);
}

void CProgrammingDialog::Begin(bool next) {
    if (next && !m_sequence->IsNextEnabled()) {
        return;
    }
    m_bSucceeded = false;
    m_closeTimer.stop();
    m_pLog->clear();
    m_nLogShown = 0;
    m_pNext->setEnabled(false);
    // Beginning sets the port's read mode: that belongs to the worker thread like every step.
    const bool posted = m_session.Post(
        this,
        [sequence = m_sequence, destination = m_pSteps->Destination(), next](ReaderPort&, ReaderLink&) {
            sequence->SetDestination(destination);
            next ? sequence->Next() : sequence->Begin();
            return LR_OK;
        },
        [this](LinkResult) {
            if (Refresh() || !m_sequence->IsRunning()) {
                return;
            }
            // A run's first step comes after one timer period, as a timer's first tick does.
            m_driver.Start(*m_pSteps, m_sequence->GetTimerPeriod(), [this](const StepOutcome&) { Refresh(); },
                           {});
        });
    if (!posted) {
        // The caller stops its own use of the port first; should an exchange still run, try again.
        QTimer::singleShot(10, this, [this, next] { Begin(next); });
    }
}

void CProgrammingDialog::reject() {
    // A step under way delivers its result first; the job may have ended with it.
    m_session.WaitForIdle();
    if (!isVisible()) {
        return;
    }
    if (m_bSucceeded) {
        accept();  // closing a success early keeps it a success
        return;
    }
    if (!m_sequence->Cancel()) {
        QApplication::beep();  // a file transfer runs to its end
        return;
    }
    m_driver.Shutdown();
    QDialog::reject();
}

bool CProgrammingDialog::Refresh() {
    const ProgrammingSequence& sequence = *m_sequence;
    setWindowTitle(QString::fromStdString(sequence.GetCaption()));
    const std::vector<std::string>& log = sequence.GetLog();
    if (log.size() < m_nLogShown) {
        m_pLog->clear();
        m_nLogShown = 0;
    }
    for (; m_nLogShown < log.size(); ++m_nLogShown) {
        m_pLog->appendPlainText(QString::fromStdString(log[m_nLogShown]));
    }

    m_pProgress->setVisible(sequence.IsProgressVisible());
    // A bar counts in int: a file beyond that range is shown in proportion.
    uint64_t range = sequence.GetProgressRange();
    uint64_t position = sequence.GetProgressPosition();
    while (range > static_cast<uint64_t>(INT_MAX)) {
        range >>= 1;
        position >>= 1;
    }
    m_pProgress->setRange(0, static_cast<int>(range));
    m_pProgress->setValue(static_cast<int>(std::min(position, range)));

    m_pGroup->setVisible(sequence.AreDestinationControlsVisible());
    m_pGroup->setEnabled(sequence.AreDestinationControlsEnabled());
    m_pNext->setEnabled(sequence.IsNextEnabled());
    m_pClose->setEnabled(sequence.IsCancelEnabled());
    const bool closing = sequence.GetCancelText() == "&Close";
    m_pClose->setText(QString::fromStdString(sequence.GetCancelText()));
    if (closing && !m_pClose->hasFocus()) {
        m_pClose->setFocus();
    }
    if (sequence.GetResult() == ProgrammingSequence::ResultOk && !m_bSucceeded) {
        m_bSucceeded = true;
        if (m_bKeepOpen) {
            accept();  // the next reader's job follows at once: its wait shows this one's end
        } else {
            PauseOnSuccess();
        }
        return true;
    }
    return m_bSucceeded;
}
