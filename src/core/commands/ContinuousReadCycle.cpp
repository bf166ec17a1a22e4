#include "commands/ContinuousReadCycle.h"

#include <iterator>

#include "commands/CStatisticsLog.h"
#include "commands/PcBeep.h"
#include "link/ReaderLink.h"

namespace {

constexpr uint8_t kMaskGreenLed = 0x01;
constexpr uint8_t kMaskBuzzer = 0x02;
constexpr uint8_t kMaskRedLed = 0x10;
constexpr uint8_t kMaskAllOff = 0;
constexpr uint8_t kAuthenticateKeyB = 4;  // the key set bits stay 0 in the cycle

}  // namespace

const char* ContReadStepName(int step) {
    static const char* const names[] = {"Reset",        "Request", "Anticollision", "Select",
                                        "Authenticate", "Read",    "Signal",        "Switch-off"};
    return step >= 0 && step < static_cast<int>(std::size(names)) ? names[step] : "";
}

ContinuousReadCycle::ContinuousReadCycle(ReaderLink& link, Clock& clock) : m_link(link), m_clock(clock) {}

void ContinuousReadCycle::Start(const ContReadOptions& options, CStatisticsLog* log, PcBeep* beep) {
    m_options = options;
    m_pLog = log;
    m_pBeep = beep;
    m_dwStartTick = m_clock.GetTickCount();
    m_nContReadStep = ContReadReset;
    m_bSignalOn = false;
    m_bRunning = true;
    m_statistics.Start(m_dwStartTick);
}

StepOutcome ContinuousReadCycle::Advance() {
    m_lastReport = Step();
    const bool news = !m_lastReport.strNotice.empty() || !m_lastReport.strLogError.empty() ||
                      m_lastReport.bLineLost || m_lastReport.bStopped;
    return {!m_bRunning, m_lastReport.dwNextDelayMs, news};
}

bool ContinuousReadCycle::RequestStop() {
    Stop();
    return true;
}

void ContinuousReadCycle::Stop() {
    if (m_bRunning) {
        Finish();
    }
}

void ContinuousReadCycle::StopForClose() {
    if (m_bRunning) {
        Finish(m_lastReport.result != LR_NO_ANSWER);
    }
}

void ContinuousReadCycle::Finish(bool switchOff) {
    m_bRunning = false;
    m_bSignalOn = false;
    // Without a purge: nothing of the cycle is pending now. The result does not matter, there is
    // nothing left to retry it.
    if (switchOff) {
        m_link.SetPort(kMaskAllOff);
    }
    m_statistics.Stop(m_clock.GetTickCount());
    if (m_pLog != nullptr) {
        m_pLog->Close();
        m_pLog = nullptr;
    }
}

bool ContinuousReadCycle::SignalWanted() const {
    return m_options.bReaderBeep || m_options.bRedLedFlash || m_options.bGreenLedFlash;
}

ContReadReport ContinuousReadCycle::Step() {
    ContReadReport report;
    if (!m_bRunning) {
        return report;
    }
    if (m_nContReadStep == ContReadSwitchOff && m_bSignalOn) {
        const uint32_t shown = m_clock.GetTickCount() - m_dwSignalTick;
        if (shown < kSignalMinMs) {
            report.dwNextDelayMs = kSignalMinMs - shown;
            return report;
        }
    }
    report.nStep = m_nContReadStep;
    report.result = RunStep(report);
    // A line that is gone fails every step at once: without this, a run with no attempt limit
    // would write records at full speed and never end.
    if (m_bRunning && IsLineLost(report.result)) {
        report.bStopped = report.bLineLost = true;
        Finish();
    }
    return report;
}

void ContinuousReadCycle::EndCycle(int step, LinkResult result, ContReadReport& report) {
    report.bCycleEnded = true;
    m_statistics.RecordCycle(m_clock.GetTickCount(), step, result);
    std::string error;
    if (m_pLog != nullptr && !m_pLog->WriteRecord(m_dwCycleTime, step, result, error)) {
        report.strLogError = error;
    }
}

LinkResult ContinuousReadCycle::RunStep(ContReadReport& report) {
    const int step = m_nContReadStep;
    if (step != ContReadSwitchOff) {
        report.nHighlight = step;
    }
    // Only the steps that send purge: what a reader sent late for an earlier step must not be
    // taken for this step's answer.
    auto purge = [this] {
        if (ReaderPort* port = m_link.GetPort()) {
            port->Purge();
        }
    };
    // Steps 1 to 5: on to the next step, or the cycle ends here and starts over.
    auto advance = [&](LinkResult result) {
        if (result == LR_OK) {
            m_nContReadStep = step + 1;
        } else {
            EndCycle(step, result, report);
            m_nContReadStep = ContReadReset;
        }
        return result;
    };

    switch (step) {
        case ContReadReset: {
            if (m_options.bPcBeep && m_pBeep != nullptr && !m_pBeep->Beep()) {
                report.strNotice = m_pBeep->TakeNotice();
            }
            m_dwCycleTime = m_clock.GetTickCount() - m_dwStartTick;
            purge();
            const LinkResult result = m_link.Reset(0);
            if (result == LR_OK) {
                m_nContReadStep = ContReadRequest;
                return result;
            }
            EndCycle(step, result, report);
            ++m_nFailures;
            if (m_options.nMaxAttempts != 0 && m_nFailures > m_options.nMaxAttempts) {
                m_nFailures = 0;
                report.bStopped = true;
                Finish();
            }
            return result;
        }
        case ContReadRequest: {
            purge();
            uint32_t cardType = 0;
            return advance(m_link.Request(m_options.bHitag2 ? 1 : 0, cardType));
        }
        case ContReadAnticollision:
            purge();
            return advance(m_link.Anticollision(m_dwCardSerial));
        case ContReadSelect: {
            purge();
            uint8_t selected = 0;
            return advance(m_link.Select(m_dwCardSerial, selected));
        }
        case ContReadAuthenticate:
            purge();
            return advance(m_link.Authenticate(m_options.bKeyB ? kAuthenticateKeyB : 0, m_options.nKeyNumber,
                                               m_options.nBlock));
        case ContReadRead: {
            purge();
            ByteBuffer data;  // what the card holds is not the point here
            return advance(m_link.ReadBlock(m_options.nBlock, data));
        }
        case ContReadSignal: {
            m_nContReadStep = ContReadSwitchOff;
            if (!SignalWanted()) {
                report.nHighlight = -1;
                return LR_OK;
            }
            const uint8_t mask = (m_options.bReaderBeep ? kMaskBuzzer : 0) |
                                 (m_options.bRedLedFlash ? kMaskRedLed : 0) |
                                 (m_options.bGreenLedFlash ? kMaskGreenLed : 0);
            purge();
            const LinkResult result =
                m_link.SetPort(mask);  // a signal that failed is switched off all the same
            m_bSignalOn = true;
            m_dwSignalTick = m_clock.GetTickCount();
            report.dwNextDelayMs = kSignalMinMs;
            return result;
        }
        default: {  // ContReadSwitchOff: always sent, so that the cycle leaves nothing on
            purge();
            const LinkResult result = m_link.SetPort(kMaskAllOff);
            if (result == LR_OK) {
                m_bSignalOn = false;
                m_nFailures = 0;
                EndCycle(step, LR_OK, report);
                m_nContReadStep = ContReadReset;
            } else if (++m_nFailures > m_options.nMaxAttempts) {
                EndCycle(step, result, report);
                m_nContReadStep = ContReadReset;
            }
            return result;
        }
    }
}
