#include "common/CStepDriver.h"

#include <chrono>
#include <memory>
#include <utility>

#include "common/CReaderSession.h"
#include "link/Clock.h"

CStepDriver::CStepDriver(CReaderSession& session, QObject* parent) : QObject(parent), m_session(session) {
    m_timer.setSingleShot(true);
    // A reader's signal stays on for its minimum, not a coarse timer's idea of it.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CStepDriver::RunStep);
}

CStepDriver::~CStepDriver() {
    Shutdown();
}

void CStepDriver::Start(StepMachine& machine, uint32_t firstDelayMs, StepShown shown, Ended ended) {
    m_pMachine = &machine;
    m_shown = std::move(shown);
    m_ended = std::move(ended);
    m_bStopWanted = false;
    Schedule(firstDelayMs);
}

void CStepDriver::Schedule(uint32_t delayMs) {
    m_dwLastDelayMs = delayMs;
    if (m_pFakeClock != nullptr) {
        m_pFakeClock->Advance(delayMs);
        delayMs = 0;
    }
    // Through the event loop even when due at once: a completion that posted the next step itself
    // would keep the worker busy for good, and whoever waits for it to be idle would wait forever.
    m_timer.start(static_cast<int>(delayMs));
}

void CStepDriver::RunStep() {
    if (m_pMachine == nullptr || m_bOnWorker) {
        return;
    }
    if (m_bStopWanted) {
        PostStop();
        return;
    }
    auto outcome = std::make_shared<StepOutcome>();
    PostOrRetry([this, outcome] {
        return m_session.Post(
            this,
            [machine = m_pMachine, outcome, stopWanted = &m_bStopWanted](ReaderPort&, ReaderLink&) {
                // Steps due at once with nothing to show follow each other here, for up to a frame:
                // a round through the window's thread per step would cost a fast reader its pace.
                const auto start = std::chrono::steady_clock::now();
                for (int steps = 1;; ++steps) {
                    *outcome = machine->Advance();
                    if (outcome->bEnded || outcome->dwNextDelayMs != 0 || outcome->bWorthShowing ||
                        *stopWanted || steps == kMaxStepsPerPost ||
                        std::chrono::steady_clock::now() - start >= kFrame) {
                        return LR_OK;
                    }
                }
            },
            [this, outcome](LinkResult) {
                m_bOnWorker = false;
                StepDone(*outcome);
            },
            true);
    });
}

void CStepDriver::PostOrRetry(const std::function<bool()>& post) {
    if (post()) {
        m_bOnWorker = true;
    } else {
        m_timer.start(1);  // something else is on the worker: this follows it
    }
}

void CStepDriver::StepDone(const StepOutcome& outcome) {
    if (outcome.bEnded) {
        m_bStopWanted = false;
        if (m_shown) {
            m_shown(outcome);
        }
        Finish(false);
        return;
    }
    if (m_shown) {
        m_shown(outcome);
    }
    if (m_pMachine == nullptr || m_bOnWorker) {
        return;  // what was shown ended or stopped it
    }
    if (m_bStopWanted) {
        PostStop();
    } else {
        Schedule(outcome.dwNextDelayMs);
    }
}

void CStepDriver::RunSoon() {
    if (m_pMachine != nullptr && !m_bOnWorker && !m_bStopWanted) {
        m_timer.stop();
        RunStep();
    }
}

void CStepDriver::Stop() {
    if (m_pMachine == nullptr) {
        return;
    }
    m_bStopWanted = true;
    if (!m_bOnWorker) {
        m_timer.stop();
        PostStop();
    }
}

void CStepDriver::PostStop() {
    auto accepted = std::make_shared<bool>(false);
    PostOrRetry([this, accepted] {
        return m_session.Post(
            this,
            [machine = m_pMachine, accepted](ReaderPort&, ReaderLink&) {
                *accepted = machine->RequestStop();
                return LR_OK;
            },
            [this, accepted](LinkResult) {
                m_bOnWorker = false;
                if (*accepted) {
                    Finish(true);
                } else {
                    // It cannot stop now (a transfer runs to its end): it goes on.
                    m_bStopWanted = false;
                    Schedule(m_dwLastDelayMs);
                }
            });
    });
}

void CStepDriver::Finish(bool stopped) {
    m_timer.stop();
    m_pMachine = nullptr;
    m_bStopWanted = false;
    if (Ended ended = std::exchange(m_ended, {})) {
        ended(stopped);
    }
}

void CStepDriver::Shutdown() {
    m_timer.stop();
    // A step under way ends first, and no further one in its post; nothing it answers reaches a
    // page that is closing.
    m_bStopWanted = true;
    m_session.Release(this);
    m_bOnWorker = false;
    if (StepMachine* machine = std::exchange(m_pMachine, nullptr)) {
        // The machine's own end (a switch-off, a Reset) runs where every exchange runs, in the
        // background like its steps: leaving the monitor's page must not flicker the cursor.
        if (m_session.PostWhenIdle(
                this,
                [machine](ReaderPort&, ReaderLink&) {
                    machine->StopForClose();
                    return LR_OK;
                },
                {}, true)) {
            m_session.Release(this);
        }
    }
    m_shown = {};
    m_ended = {};
}
