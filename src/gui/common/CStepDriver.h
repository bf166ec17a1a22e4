#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include <QObject>
#include <QTimer>

#include "stepping/StepMachine.h"

class CReaderSession;
class FakeClock;

// Runs a StepMachine for a page: each step goes to the reader worker as a background post (no
// busy cursor, no locked tab bar at the rate of the steps), the next one after the delay the last
// asked for, on a precise timer. Steps due at once that have nothing worth showing run on in the
// same post for up to a frame, and the page is shown the last of them. The user's stop waits for a running
// step and then asks the machine on the worker; a refused stop lets the machine go on. Shutdown, for closing,
// stops the machine on the worker and drops every answer still to come.
class CStepDriver : public QObject {
    Q_OBJECT
public:
    // After each post, on the window's thread: what its last step left (ended too).
    using StepShown = std::function<void(const StepOutcome& outcome)>;
    // Once the machine has ended: by itself, or stopped at the user's wish.
    using Ended = std::function<void(bool stopped)>;

    CStepDriver(CReaderSession& session, QObject* parent = nullptr);
    ~CStepDriver() override;

    // A fake clock is moved by each delay instead of waiting for it.
    void SetFakeClock(FakeClock* clock) { m_pFakeClock = clock; }

    // The machine has been started; its first step runs after firstDelayMs.
    void Start(StepMachine& machine, uint32_t firstDelayMs, StepShown shown, Ended ended);
    // The next step is wanted now rather than after the delay the last one asked for (the user
    // typed something); one that runs already is not disturbed.
    void RunSoon();
    void Stop();
    void Shutdown();

    bool IsRunning() const { return m_pMachine != nullptr; }
    bool IsStopping() const { return m_bStopWanted; }

private:
    // How long steps may follow each other on the worker before the window sees the last.
    static constexpr std::chrono::milliseconds kFrame{15};
    static constexpr int kMaxStepsPerPost = 64;

    void Schedule(uint32_t delayMs);
    void RunStep();
    void StepDone(const StepOutcome& outcome);
    void PostStop();
    // Posts work in the background; when something else is on the worker, tries again 1 ms later.
    void PostOrRetry(const std::function<bool()>& post);
    void Finish(bool stopped);

    CReaderSession& m_session;
    FakeClock* m_pFakeClock = nullptr;
    QTimer m_timer;
    StepMachine* m_pMachine = nullptr;
    StepShown m_shown;
    Ended m_ended;
    uint32_t m_dwLastDelayMs = 0;
    bool m_bOnWorker = false;
    // Read by the running post too, which then hands back at once.
    std::atomic<bool> m_bStopWanted = false;
};
