#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "link/Clock.h"
#include "sim/SimCommandSet.h"
#include "sim/SimLoader.h"

// Which link procedure the reader speaks: 3964R with its STX/DLE handshake, or the DLE-framed
// procedure without it (such a reader leaves a lone STX unanswered).
enum SimLinkMode : uint32_t { SimLink3964R = 0, SimLinkFramed = 1 };

// One request telegram the reader took, for tests ("the reader saw 0x46 with parameter 10").
struct SimRequest {
    uint8_t command = 0;
    std::vector<uint8_t> params;
    uint8_t sequence = 0;   // 0 in the DLE-framed procedure, which has none
    bool repeated = false;  // the PC sent an unanswered request again; the stored answer went out
};

// Misbehaviour on purpose, switchable at any time. Byte counts start with the next byte after
// the faults are set ("1" is the next byte).
struct SimFaults {
    uint32_t dropNthOut = 0;     // the reader loses the n-th byte it sends; 0 = off
    uint32_t corruptNthOut = 0;  // ... or sends it with all bits inverted
    uint32_t dropNthIn = 0;      // the reader misses the n-th byte from the PC
    uint32_t corruptNthIn = 0;
    double dropFraction = 0;  // of all bytes in both directions, drawn from a seeded generator
    double corruptFraction = 0;
    // Of all bytes in both directions: the byte comes 1..delayMs late, and so does every byte after
    // it, as on a line that stalls.
    double delayFraction = 0;
    uint32_t delayMs = 0;
    uint32_t seed = 1;
    uint32_t wrongBccCount = 0;       // the next n answers carry a wrong block check
    uint32_t wrongSequenceCount = 0;  // the next n answers echo a wrong sequence number
    bool silent = false;              // the reader takes nothing and answers nothing
    uint32_t answerDelayMs = 0;       // an answer starts this late after its request
    // The next answer reports success with these data bytes, whatever the command asked for: a
    // reader with firmware of its own (short answers, text with control characters).
    std::optional<std::vector<uint8_t>> answerData;
    // Loader commands the reader refuses, by their first byte ('@', '#', 'D', 'S', 'G', 0x01..0x07):
    // an erase answers '3', the others a NAK.
    std::set<uint8_t> refusedLoaderCommands;
    std::set<uint8_t> silentLoaderCommands;  // taken and never answered
    bool wrongLoaderCrc = false;             // the loader's own checksum differs from the PC's

    // A firmware that breaks one rule of the link procedure or the command set, each switch its own.
    uint32_t lateStxAckMs = 0;       // the DLE for the PC's STX goes out this late (3964R)
    uint32_t lateTelegramAckMs = 0;  // ... the DLE for a request telegram; the answer's STX follows it
    // A doubled DLE among a request's parameters or as its block check is taken as two bytes (the
    // header is undoubled right), so such a request fails its block check.
    bool keepRequestDle = false;
    bool noAnswerDoubling = false;  // answers and card reports go out with their DLE bytes single
    bool wrongLength = false;       // every answer's length byte counts one byte more than it carries
    bool noRepeatAfterNak = false;  // a NAK after an answer ends it: not sent again
    // An answer the PC leaves without a word is sent again without limit, each time after the
    // acknowledgement time-out; a NAK or the PC's STX still count their repeats.
    bool endlessRepeat = false;
    bool acceptBadBcc = false;  // a request with a wrong block check is taken as if it were right
    // After a request that stops before its end mark (a NAK in 3964R), and after the PC's STX meets
    // the reader's own (the answer is dropped), the reader takes nothing and sends nothing this long,
    // as a firmware that hangs until its watchdog resets it.
    uint32_t lockAfterBrokenMs = 0;
    uint32_t lockAfterCollisionMs = 0;
    // Each byte of an answer or card report after its first (3964R: the telegram's first; framed:
    // the opening DLE) goes out this long after the one before.
    uint32_t charGapMs = 0;
    bool noFramedStart = false;  // framed answers lack their opening DLE STX (3964R: no effect)
    // The command set's own (see SimCommandFaults).
    bool shortAnticollision = false;
    bool hangWithoutCard = false;
    bool infoControls = false;
    bool ignoreWrite = false;
};

// The reader's end of the line: the 3964R and DLE-framed procedures (handshakes, DLE doubling, block
// checks, time-outs, repeats, the strict reader's insistence on its acknowledgement), the card
// report of an armed reader, the hand-over of the line to the loader after a wake-up character, and
// the faults injected on the way in and out. Requests go to the command set; the answer goes back
// framed. No lock of its own; the reader calls it under the reader's lock.
class SimLinkEndpoint {
public:
    // How long the reader waits for the PC's acknowledgement, and for the next byte of a
    // telegram, before it gives up: the usual 3964R times.
    static constexpr uint32_t kAckTimeoutMs = 2000;
    static constexpr uint32_t kCharTimeoutMs = 220;
    // A telegram's bytes come in one go. An STX in first place that nothing follows for this long
    // is the PC asking to send again (its link probe leaves the reader waiting for a telegram).
    static constexpr uint32_t kStxRestartMs = 10;
    // How often the reader sends an answer again after a NAK or a missing acknowledgement.
    static constexpr uint32_t kMaxRepeats = 5;

    // A wake-up character taken while the line is idle hands the line to the loader, and wakeUp
    // wakes it; from then on bytes and time-outs go to the loader until LeaveLoader.
    SimLinkEndpoint(Clock& clock, SimCommandSet& commands, SimLoader& loader, std::function<void()> wakeUp);
    SimLinkEndpoint(const SimLinkEndpoint&) = delete;
    SimLinkEndpoint& operator=(const SimLinkEndpoint&) = delete;

    // See SimReader for what these do; source numbers pick the transport the answer goes to.
    void Receive(std::span<const uint8_t> bytes, int source);
    size_t Transmit(std::vector<uint8_t>& out, size_t max, int source);
    size_t PendingOutput(int source);
    void DiscardOutput() { m_output.clear(); }
    std::optional<uint32_t> MsToNextEvent(int source);
    // Lets everything happen that is due: late bytes from the PC, the time-out, the field's
    // scheduled entries and exits; then an armed reader reports a card if the line is free.
    void RunDueEvents();

    void SetLinkMode(SimLinkMode mode);
    SimLinkMode GetLinkMode() const { return m_nLinkMode; }
    void SetStrict(bool strict) { m_bStrict = strict; }
    bool IsStrict() const { return m_bStrict; }

    // The loader's ways to the PC. Queue returns when the reader puts the byte out (ms from now),
    // which its own timers count from; a stalled line may deliver it later still.
    uint32_t Queue(uint8_t byte, uint32_t delayMs = 0);
    void SetTimer(uint32_t ms);
    void CancelTimer() { m_bTimerArmed = false; }
    bool InLoader() const { return m_nState == LinkLoader; }
    // The loader is done: the line goes back to the link procedure.
    void LeaveLoader();

    const std::vector<SimRequest>& Requests() const { return m_requests; }
    void ClearRequests() { m_requests.clear(); }
    void SetFaults(const SimFaults& faults);
    const SimFaults& GetFaults() const { return m_faults; }

private:
    enum LinkState : uint32_t {
        LinkIdle,
        LinkFramedDle,         // DLE-framed: saw DLE, expecting STX
        LinkReceive,           // collecting a request up to DLE ETX
        LinkAwaitStxAck,       // sent STX, waiting for DLE
        LinkAwaitTelegramAck,  // sent the telegram, waiting for DLE (or NAK)
        LinkLoader,
        LinkLocked,  // a hung firmware: deaf and mute until the timer
    };
    struct Outgoing {
        std::vector<uint8_t> telegram;  // before DLE doubling
        bool report = false;
        uint32_t repeatsLeft = 0;
    };

    bool Due(uint32_t at) const;
    void ReceiveByte(uint8_t byte);
    // [sequence,] status, length, data, block check; no sequence number in the framed procedure.
    std::vector<uint8_t> MakeTelegram(uint8_t sequence, uint8_t status,
                                      const std::vector<uint8_t>& data) const;
    // The telegram as it goes out this once, with the faults that spoil single sendings.
    std::vector<uint8_t> Spoiled(std::vector<uint8_t> telegram);
    // Queues an answer's frame, the first byte delayMs from now; returns when its last byte leaves
    // (ms from now).
    uint32_t QueueFrame(const std::vector<uint8_t>& telegram, uint32_t delayMs);
    size_t HeaderSize() const { return m_nLinkMode == SimLinkFramed ? 2 : 3; }
    void OnTimer();
    void OnPcStx();
    void GiveWayToPc();
    // Takes one of the repeats left (unlimited: without counting it down); false when none is.
    bool TakeRepeat(bool unlimited = false);
    // timedOut: the PC said nothing, which is where a firmware that never stops repeating shows.
    void RepeatOrGiveUp(bool timedOut = false);
    void GiveUp();
    void StartReceive();
    bool IsLoneStx() const;
    void EndOfTelegram();
    void StartSending(Outgoing outgoing, uint32_t delayMs);
    void SendTelegramBody();
    void BecomeIdle();
    void Lock(uint32_t ms);
    void MaybeStartReport();
    bool ApplyInputFaults(uint8_t& byte);
    bool DrawFraction(double fraction);
    // How late a byte comes by the delay fault; 0 for most.
    uint32_t DrawDelay();

    Clock& m_clock;
    SimCommandSet& m_commands;
    SimLoader& m_loader;
    std::function<void()> m_wakeUp;
    SimLinkMode m_nLinkMode = SimLink3964R;
    bool m_bStrict = true;

    int m_nSource = 0;                                     // the transport that spoke last; output goes there
    std::deque<std::pair<uint8_t, uint32_t>> m_output;     // byte, due tick
    uint32_t m_dwLastSentAt = 0;                           // when the reader puts its last byte out
    std::deque<std::pair<uint8_t, uint32_t>> m_lateInput;  // bytes from the PC the delay fault holds back
    LinkState m_nState = LinkIdle;
    std::vector<uint8_t> m_received;
    bool m_bDleSeen = false;
    bool m_bTimerArmed = false;
    uint32_t m_dwTimerAt = 0;
    std::optional<Outgoing> m_sending;  // the telegram in flight (3964R) or last sent (framed)
    bool m_bAnswerAcknowledged = true;
    std::vector<uint8_t> m_lastRequest;  // the last request telegram taken (without BCC)
    std::vector<uint8_t> m_lastAnswer;   // its answer telegram
    uint8_t m_byReportSequence = 0;      // the sequence number of the request that armed the reader
    std::vector<SimRequest> m_requests;

    SimFaults m_faults;
    std::mt19937 m_random{1};
};
