#pragma once

#include <cstdint>
#include <string>

#include "commands/ContReadStatistics.h"
#include "link/Clock.h"
#include "link/LinkResult.h"
#include "stepping/StepMachine.h"

class CStatisticsLog;
class PcBeep;
class ReaderLink;

// The steps of the cycle; a log record names the step that ended its cycle.
enum ContReadStep : int {
    ContReadReset = 0,
    ContReadRequest = 1,
    ContReadAnticollision = 2,
    ContReadSelect = 3,
    ContReadAuthenticate = 4,
    ContReadRead = 5,
    ContReadSignal = 6,
    ContReadSwitchOff = 7,
};

// The step's name as its button names it ("Reset", ..., "Switch-off").
const char* ContReadStepName(int step);

// What the cycle reads with and how it signals, fixed for one run.
struct ContReadOptions {
    bool bPcBeep = false;
    bool bReaderBeep = false;
    bool bRedLedFlash = false;
    bool bGreenLedFlash = false;
    uint32_t nMaxAttempts = 10;  // failed resets before the automatic stop; 0: never stop
    bool bHitag2 = false;        // Request with mode 1
    uint8_t nBlock = 0;
    bool bKeyB = false;
    uint8_t nKeyNumber = 0;
};

// What one call of Step did, for the driver to show and to pace the next call.
struct ContReadReport {
    int nStep = -1;  // the step that ran; -1 when none was due (or the mode is idle)
    LinkResult result = LR_OK;
    // The button shown pushed after this step (a step's own, 6 for Set Port), -1 for none;
    // unchanged when nStep is -1 or 7.
    int nHighlight = -1;
    bool bCycleEnded = false;    // this step ended a cycle (and wrote its record)
    bool bStopped = false;       // the automatic stop ended the mode (the reader is switched off)
    bool bLineLost = false;      // ... because the line failed (result says how), not the reader
    uint32_t dwNextDelayMs = 0;  // when the next step wants to run: 0 at once
    // A record could not be written: show this before the next step runs.
    std::string strLogError;
    // Something to say once (the PC beep is silent), for the page's label or status line.
    std::string strNotice;
};

// Continuous read: Reset, Request, Anticollision, Select, Authenticate, Read, the optional LED or
// buzzer signal and the switch-off, over and over, one step per call of Step. A step runs its one
// command and never sleeps: the driver (a zero-interval timer, a worker, the command line's loop)
// calls Step again as soon as it can, or after the delay the report asks for. Calls must not
// overlap; Stop must not run while a Step runs.
class ContinuousReadCycle : public StepMachine {
public:
    // How long the reader's beep or LED flash stays on at least, so that it is seen and heard.
    static constexpr uint32_t kSignalMinMs = 50;

    ContinuousReadCycle(ReaderLink& link, Clock& clock);

    // log: open, or null for no logging; the cycle closes it when the mode stops.
    // beep: the PC beep, used when options.bPcBeep.
    void Start(const ContReadOptions& options, CStatisticsLog* log = nullptr, PcBeep* beep = nullptr);
    ContReadReport Step();
    // The user's stop: switches the reader's LEDs and buzzer off and closes the log.
    void Stop();

    // Step for a driver; the step's report is LastReport().
    StepOutcome Advance() override;
    bool RequestStop() override;
    // Leaves out the switch-off when the last command got no answer at all.
    void StopForClose() override;
    const ContReadReport& LastReport() const { return m_lastReport; }

    bool IsRunning() const { return m_bRunning; }
    int GetStep() const { return m_nContReadStep; }
    uint32_t GetFailures() const { return m_nFailures; }
    // The serial number the cycle's Anticollision found last.
    uint32_t GetCardSerial() const { return m_dwCardSerial; }
    const ContReadStatistics& Statistics() const { return m_statistics; }

private:
    LinkResult RunStep(ContReadReport& report);
    // The failure or completion that ends a cycle: its record and its count.
    void EndCycle(int step, LinkResult result, ContReadReport& report);
    void Finish(bool switchOff = true);
    bool SignalWanted() const;

    ReaderLink& m_link;
    Clock& m_clock;
    ContReadOptions m_options;
    CStatisticsLog* m_pLog = nullptr;
    PcBeep* m_pBeep = nullptr;
    ContReadStatistics m_statistics;

    bool m_bRunning = false;
    int m_nContReadStep = 0;
    uint32_t m_dwStartTick = 0;
    uint32_t m_dwCycleTime = 0;
    uint32_t m_nFailures = 0;  // kept across runs: only a completed cycle and the automatic stop clear it
    uint32_t m_dwCardSerial = 0;
    uint32_t m_dwSignalTick = 0;
    ContReadReport m_lastReport;
    bool m_bSignalOn = false;
};
