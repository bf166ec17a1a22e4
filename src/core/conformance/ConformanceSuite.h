#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conformance/ConformanceWire.h"
#include "link/Clock.h"
#include "stepping/StepMachine.h"

class ReaderPort;

// Which link procedure the suite speaks to the reader: the one the connection's probe found, or
// one the user names.
enum class ConformanceProcedure { Auto, Procedure3964R, Framed };

// One check of the suite: what it is, what it sends, what a conformant reader does.
struct ConformanceCheck {
    std::string id;     // "handshake.stx-ack"
    std::string title;  // "Lone STX acknowledged"
    std::string sends;
    std::string expects;
};

// One measured figure of a check: "stx_ack_max_ms" = "4".
struct ConformanceFigure {
    std::string name;
    std::string value;
};

struct ConformanceResult {
    enum Verdict { NotRun, Passed, Failed, Skipped };
    Verdict verdict = NotRun;
    // Failed: what a conformant reader does, and what this one did. Skipped: why (in reason).
    std::string expected;
    std::string seen;
    std::string reason;
    std::vector<ConformanceFigure> figures;
    // What went over the line during the check, one line per burst: "+12 ms PC 02".
    std::string transcript;
    uint32_t durationMs = 0;
};

struct ConformanceOptions {
    ConformanceProcedure procedure = ConformanceProcedure::Auto;
    // Exchanges for the timing figures (handshake, character gaps): at least 1.
    uint32_t repeat = 20;
    // Check ids to run; empty: all.
    std::vector<std::string> only;
    // The card block to write and restore; nothing: no check writes anything.
    std::optional<uint8_t> writeBlock;
};

// The reader conformance suite: drives a reader through the link procedure's normal and faulty
// paths from the PC side, one check per step, and measures its timing. It speaks the procedure
// itself over the raw port (the link's own exchange gives up at the first fault, and the suite
// must see past one fault to judge the next rule), with limits wider than the PC's so that each
// rule is judged by its own check. Runs on the thread that owns the port; the results are read
// between steps.
class ConformanceSuite final : public StepMachine {
public:
    // linkMode: the procedure the connection's probe found (LinkMode of the link).
    ConformanceSuite(ReaderPort& port, Clock& clock, uint32_t linkMode, const ConformanceOptions& options);

    // Every check the suite knows, in the order it runs them.
    static const std::vector<ConformanceCheck>& Checks();
    // False with the message when options name an unknown id or a block that cannot be written.
    static bool CheckOptions(const ConformanceOptions& options, std::string& error);

    // The user's stop from any thread: the running check ends at its next wait.
    void Abort() { m_bAbort = true; }
    // A flag (a signal handler's) that stops the suite as Abort does; may be null.
    void SetInterrupt(const std::atomic<bool>* interrupt) { m_pInterrupt = interrupt; }

    StepOutcome Advance() override;
    bool RequestStop() override;

    // The checks this run covers (all, or those options.only names), and their results so far.
    const std::vector<ConformanceCheck>& Selected() const { return m_selected; }
    const std::vector<ConformanceResult>& Results() const { return m_results; }
    // The index of the check that the next step runs; Selected().size() once done.
    size_t NextIndex() const { return m_nNext; }
    bool IsDone() const { return m_nNext >= m_selected.size(); }
    // The reader's Info text (printable), read before the first check; empty if it gave none.
    const std::string& GetInfoText() const { return m_strInfo; }
    bool IsFramed() const { return m_bFramed; }
    // True when every check that ran passed (none failed) and at least one ran.
    bool AllPassed() const;
    uint32_t GetElapsedMs() const { return m_dwElapsedMs; }

private:
    ConformanceResult RunCheck(const std::string& id);
    bool Aborted() const;
    bool Resync();
    std::vector<ExchangeRecord> Exchanges(uint32_t count, uint8_t command,
                                          const std::vector<uint8_t>& params);
    // Request and GetInfo twice each: answers to judge the framing by.
    std::vector<ExchangeRecord> AnswerSamples();
    // The commands that change nothing stored, in the order a card needs them, by name.
    std::vector<std::pair<std::string, ExchangeRecord>> CommandRound();

    ConformanceResult CheckHandshake(std::optional<uint32_t> ExchangeRecord::*field, const std::string& name,
                                     uint32_t limitMs, const std::string& what);
    ConformanceResult CheckStxAck();
    ConformanceResult CheckTelegramAck();
    ConformanceResult CheckRequestDle();
    ConformanceResult CheckAnswerDle();
    ConformanceResult CheckAnswerBcc();
    ConformanceResult CheckSequence();
    ConformanceResult CheckLength();
    ConformanceResult CheckNakRepeat();
    ConformanceResult CheckNoAck();
    ConformanceResult CheckBadBcc();
    ConformanceResult CheckCharGap();
    ConformanceResult CheckAnswerTime();
    ConformanceResult CheckFramed();
    ConformanceResult CheckLengths();
    ConformanceResult CheckNoCard();
    ConformanceResult CheckInfo();
    ConformanceResult CheckWrite();
    ConformanceResult CheckCollision();
    ConformanceResult CheckBroken();

    ReaderPort& m_port;
    Clock& m_clock;
    ConformanceOptions m_options;
    bool m_bFramed = false;
    ConformanceWire m_wire;
    std::vector<ConformanceCheck> m_selected;
    std::vector<ConformanceResult> m_results;
    size_t m_nNext = 0;
    bool m_bStarted = false;
    bool m_bStopped = false;
    std::string m_strInfo;
    std::string m_strOpening;  // why the opening exchange failed; empty when it was answered
    bool m_bDirty = false;     // the check left the reader busy on purpose
    uint32_t m_dwStartAt = 0;
    uint32_t m_dwElapsedMs = 0;
    std::atomic<bool> m_bAbort = false;
    const std::atomic<bool>* m_pInterrupt = nullptr;
};

// "passed", "failed", "skipped", "not run".
const char* VerdictName(ConformanceResult::Verdict verdict);
