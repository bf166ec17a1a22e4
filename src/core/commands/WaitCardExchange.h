#pragma once

#include <cstdint>
#include <span>

#include "link/ByteBuffer.h"
#include "link/Clock.h"
#include "link/LinkResult.h"
#include "stepping/StepMachine.h"

class ReaderLink;

// The steps of the exchange.
enum WaitCardStep : int {
    WaitCardArm = 0,
    WaitCardAwaitStx = 1,
    WaitCardAckStx = 2,
    WaitCardCollect = 3,
    WaitCardAccept = 4,
    WaitCardRefuse = 5,
    WaitCardEnd = 6,
};

// What one call of Step did.
struct WaitCardReport {
    int nStep = -1;              // the step that ran; -1 when the exchange is idle
    bool bEnded = false;         // the exchange ended by itself (the reader needs no Reset)
    uint32_t dwNextDelayMs = 0;  // when the next step wants to run: 0 at once
};

// Wait-for-card: arms the reader, which then reports by itself when a card enters its field,
// takes that report over the link's handshake, acknowledges or refuses it and ends. One step per
// call of Step; a step never sleeps beyond one read of the port, and while nothing arrives it asks
// for the next step a little later, so that waiting for a card costs next to nothing.
class WaitCardExchange : public StepMachine {
public:
    // A report that falls silent this long after its last bytes is given up when a read fails.
    static constexpr uint32_t kQuietLimitMs = 500;
    // The pause between reads while the reader has nothing to say: small beside the time the
    // reader waits for the acknowledgement of its STX.
    static constexpr uint32_t kIdlePollMs = 20;
    static constexpr uint32_t kReadSize = 20;

    WaitCardExchange(ReaderLink& link, Clock& clock);

    void Start();
    WaitCardReport Step();
    // The user's stop: a reader still armed gets a Reset, so that it leaves its waiting mode.
    void Stop();

    // Step for a driver; the step's report is LastReport().
    StepOutcome Advance() override;
    bool RequestStop() override;
    const WaitCardReport& LastReport() const { return m_lastReport; }

    bool IsRunning() const { return m_bRunning; }
    int GetStep() const { return m_nWaitCardStep; }
    // The card of the last report that passed its checks; a refused report leaves it as it was.
    uint32_t GetCardSerial() const { return m_dwCardSerial; }
    void SetCardSerial(uint32_t serial) { m_dwCardSerial = serial; }
    // The last run ended with a report that passed its checks (and was acknowledged).
    bool IsCardAccepted() const { return m_bAccepted; }
    // The failure that ended the last run: arming it (the reader's refusal too), a read, the
    // acknowledgement. LR_OK when it ended with a report, accepted or refused, or at the user's stop.
    LinkResult GetResult() const { return m_result; }

    // The end of a telegram in the collected bytes: the index of the ETX of its closing DLE ETX,
    // taking doubled DLE bytes as data; -1 while it has not arrived.
    static int FindEnd(std::span<const uint8_t> bytes);
    // Checks a report telegram (sequence, status, length 4, serial least significant byte first,
    // check byte; DLE doubled; without its DLE ETX). True when status, length and check byte pass;
    // status is the report's status byte (0 when it has none), serial is written only on true.
    static bool ParseReport(std::span<const uint8_t> telegram, uint8_t& status, uint32_t& serial);

private:
    WaitCardReport RunStep();
    void End() { m_nWaitCardStep = WaitCardEnd; }

    ReaderLink& m_link;
    Clock& m_clock;
    bool m_bRunning = false;
    bool m_bResetOnStop = false;
    bool m_bAccepted = false;
    LinkResult m_result = LR_OK;
    int m_nWaitCardStep = WaitCardArm;
    uint32_t m_dwCardSerial = 0;

    // The report being collected.
    ByteBuffer m_collected;
    uint32_t m_dwLastDataTick = 0;
    uint32_t m_nCollected = 0;
    uint8_t m_byStatus = 0;
    WaitCardReport m_lastReport;
};
