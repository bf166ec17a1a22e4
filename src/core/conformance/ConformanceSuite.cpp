#include "conformance/ConformanceSuite.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "link/ReaderProtocol.h"

namespace {

// The PC's own limits: what a conformant reader must keep to.
constexpr uint32_t kStxAckMs = 1000;
constexpr uint32_t kTelegramAckMs = 2000;
constexpr uint32_t kReaderStxMs = 2000;
// The PC reads a telegram in chunks of this size; a read that brings nothing ends it.
constexpr uint32_t kTelegramChunk = 64;
// How often a reader may send an unacknowledged answer again, and how long it may take to give up.
constexpr uint32_t kMaxRepeats = 6;
constexpr uint32_t kGiveUpMs = 20000;
// Longer than a reader's acknowledgement time-out: a reader quiet this long has given up.
constexpr uint32_t kRepeatQuietMs = 2500;
// Longer than a reader's character delay: a reader quiet this long waits for the next request.
constexpr uint32_t kSettleMs = 300;
constexpr uint32_t kResyncMs = 15000;
constexpr uint32_t kSweepSize = 256;
// Exchanges that fail (or end only at the frame's limits) one after the other before a check gives
// up on a reader that went silent or trickles, rather than waiting out every limit of hundreds of
// exchanges.
constexpr uint32_t kDeadInARow = 3;

constexpr uint8_t kStatusNoCard = 1;

std::string Ms(uint32_t ms) {
    return std::to_string(ms);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char hex[4];
    for (uint8_t byte : bytes) {
        std::snprintf(hex, sizeof hex, "%s%02X", text.empty() ? "" : " ", byte);
        text += hex;
    }
    return text;
}

std::string Hex8(uint8_t byte) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", byte);
    return hex;
}

// Printable ASCII as it is, anything else as \xNN, so that a reader's text can go anywhere.
std::string Printable(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
}

std::string OutcomeText(const ExchangeRecord& record) {
    const auto firstByte = [&record]() {
        return record.firstByte ? " (" + Hex8(*record.firstByte) + " came instead)" : std::string();
    };
    switch (record.outcome) {
        case ExchangeRecord::Answered:
            return "answered";
        case ExchangeRecord::NoStxAck:
            return "no DLE for the PC's STX" + firstByte();
        case ExchangeRecord::NoTelegramAck:
            return "no DLE for the request telegram" + firstByte();
        case ExchangeRecord::TelegramNak:
            return "the request was refused with NAK";
        case ExchangeRecord::NoAnswer:
            return "no answer after the request" + firstByte();
        case ExchangeRecord::Broken:
            return "request broken off";
        case ExchangeRecord::PortError:
            return "the port failed";
        case ExchangeRecord::Aborted:
            return "stopped";
    }
    return "?";
}

struct Spread {
    uint32_t min = 0, median = 0, max = 0;
    size_t count = 0;
};

Spread SpreadOf(std::vector<uint32_t> values) {
    Spread spread;
    spread.count = values.size();
    if (values.empty()) {
        return spread;
    }
    std::sort(values.begin(), values.end());
    spread.min = values.front();
    spread.max = values.back();
    spread.median = values[values.size() / 2];
    return spread;
}

bool IsTrailerOrManufacturer(uint8_t block) {
    if (block == 0) {
        return true;
    }
    return block < 128 ? block % 4 == 3 : block % 16 == 15;
}

}  // namespace

// --- the list of checks

const std::vector<ConformanceCheck>& ConformanceSuite::Checks() {
    static const std::vector<ConformanceCheck> checks = {
        {"handshake.stx-ack", "Lone STX acknowledged",
         "STX at the start of each of a number of Request exchanges (3964R)",
         "DLE within 1000 ms every time"},
        {"handshake.telegram-ack", "Request telegram acknowledged",
         "the request telegram of each of a number of Request exchanges (3964R)",
         "DLE within 2000 ms after the telegram's DLE ETX every time"},
        {"framing.request-dle", "Doubled DLE in requests understood",
         "ReadBlock 16 with a block check of 0x10 and Authenticate of block 16 (each 0x10 sent as 10 10)",
         "each request taken (DLE, not NAK) and answered"},
        {"framing.answer-dle", "Answers double DLE and end with DLE ETX",
         "3964R: Request with sequence numbers 0x10 and 0x0F (the echo is a DLE); DLE-framed: the commands "
         "of timing.answer (a block read's length byte is a DLE)",
         "every DLE inside an answer sent twice, every answer closed by DLE ETX"},
        {"framing.answer-bcc", "Answer block check right", "Request and GetInfo, twice each",
         "the XOR of every answer telegram, block check included, is 0"},
        {"framing.sequence", "Sequence number echoed (all 256 values)",
         "Request with each sequence number 0 to 255 (GetInfo where Request's block check would be 0x10)",
         "every answer starts with the request's sequence number"},
        {"framing.length", "Length byte counts the data", "Request and GetInfo, twice each",
         "the length byte equals the number of data bytes in every answer"},
        {"repetition.nak", "Answer repeated after a NAK",
         "Request, then NAK in place of the DLE for the answer",
         "the same answer again (the PC does not send the request again)"},
        {"repetition.no-ack", "Unacknowledged answer repeated or given up",
         "Request, then nothing in place of the DLE for the answer, and nothing for any repetition (3964R)",
         "at most 6 repetitions, quiet within 20 s, and the next request served"},
        {"repetition.bad-bcc", "Request with a wrong block check refused",
         "Request with a spoiled block check, then the same request right",
         "the spoiled one refused (3964R: NAK or no DLE; DLE-framed: no answer), the right one answered"},
        {"timing.char-gap", "No long pause inside an answer", "GetInfo (a long answer) a number of times",
         "every pause between two bytes of an answer shorter than the PC's character delay "
         "(COM 65 ms, USB 100 ms)"},
        {"timing.answer", "Answer in time, per command",
         "Request, Anticollision, Select, Authenticate, ReadBlock, GetInfo, Halt and Reset",
         "3964R: the answer's STX within 2000 ms of the DLE for the request; DLE-framed: the answer "
         "within the PC's character delay"},
        {"framed.frame", "DLE-framed answers", "a lone STX, then Request and GetInfo (DLE-framed)",
         "no DLE for the lone STX within 2000 ms, so that the PC's probe picks this procedure; every "
         "answer opened by DLE STX"},
        {"commands.lengths", "Answers as long as success needs",
         "Request, Anticollision, Select, Authenticate (key set 0, key 0, key A) and ReadBlock of block 4, "
         "GetInfo, Halt, Reset",
         "every answer with status 0 carries the data its command needs: Request 2 bytes, Anticollision 4, "
         "Select 1, ReadBlock 16, GetInfo at least 1"},
        {"commands.no-card", "Status, not silence, without a card",
         "Halt of the card in the field, then Request, Anticollision and Select of a serial number no card "
         "has; Reset at the end",
         "each answered with a status other than 0 within the PC's limits"},
        {"commands.info", "Info text printable", "GetInfo",
         "status 0 and a text of printable characters (its last byte, the terminator, aside)"},
        {"commands.write", "Block written and restored",
         "with --write only: Authenticate, ReadBlock, WriteBlock of a pattern with STX, ETX and NAK bytes, "
         "ReadBlock, WriteBlock of the old data, ReadBlock",
         "each read shows what was written last; the block ends as it was"},
        {"recovery.collision", "Both sides send STX at once",
         "a request; STX from the PC in place of the DLE for the reader's STX that opens the answer (3964R)",
         "the reader recovers: it sends its answer or takes the PC's, and the next request is served"},
        {"recovery.broken", "Broken-off request dropped", "the first half of a request, then nothing",
         "the reader drops it after its character delay (NAK or silence) and serves the next request"},
    };
    return checks;
}

const char* VerdictName(ConformanceResult::Verdict verdict) {
    switch (verdict) {
        case ConformanceResult::Passed:
            return "passed";
        case ConformanceResult::Failed:
            return "failed";
        case ConformanceResult::Skipped:
            return "skipped";
        case ConformanceResult::NotRun:
            break;
    }
    return "not run";
}

bool ConformanceSuite::CheckOptions(const ConformanceOptions& options, std::string& error) {
    for (const std::string& id : options.only) {
        const auto& checks = Checks();
        if (std::none_of(checks.begin(), checks.end(),
                         [&id](const ConformanceCheck& c) { return c.id == id; })) {
            error = "unknown check \"" + Printable({id.begin(), id.end()}) + "\"";
            return false;
        }
    }
    if (options.repeat < 1 || options.repeat > 1000) {
        error = "the repeat count must be 1 to 1000";
        return false;
    }
    if (options.writeBlock && IsTrailerOrManufacturer(*options.writeBlock)) {
        error = "block " + std::to_string(*options.writeBlock) +
                (*options.writeBlock == 0 ? " holds the card's serial number and cannot be written"
                                          : " is a sector trailer: writing it could lock the sector");
        return false;
    }
    return true;
}

// --- the machine

ConformanceSuite::ConformanceSuite(ReaderPort& port, Clock& clock, uint32_t linkMode,
                                   const ConformanceOptions& options)
    : m_port(port),
      m_clock(clock),
      m_options(options),
      m_bFramed(options.procedure == ConformanceProcedure::Framed ||
                (options.procedure == ConformanceProcedure::Auto && linkMode == LinkModeDleFramed)),
      m_wire(port, clock, [this] { return Aborted(); }) {
    m_wire.SetFramed(m_bFramed);
    m_options.repeat = std::clamp<uint32_t>(m_options.repeat, 1, 1000);
    for (const ConformanceCheck& check : Checks()) {
        if (m_options.only.empty() ||
            std::find(m_options.only.begin(), m_options.only.end(), check.id) != m_options.only.end()) {
            m_selected.push_back(check);
        }
    }
}

bool ConformanceSuite::Aborted() const {
    return m_bAbort || (m_pInterrupt != nullptr && m_pInterrupt->load());
}

bool ConformanceSuite::AllPassed() const {
    bool ran = false;
    for (const ConformanceResult& result : m_results) {
        if (result.verdict == ConformanceResult::Failed) {
            return false;
        }
        ran = ran || result.verdict == ConformanceResult::Passed;
    }
    return ran;
}

bool ConformanceSuite::RequestStop() {
    m_bStopped = true;
    return true;
}

StepOutcome ConformanceSuite::Advance() {
    StepOutcome outcome;
    if (m_bStopped || IsDone()) {
        outcome.bEnded = true;
        return outcome;
    }
    const uint32_t start = m_clock.GetTickCount();
    if (!m_bStarted) {
        m_bStarted = true;
        m_dwStartAt = start;
        m_port.SetReadMode(ReadModeNormal);
        // Whatever a connection's probe left on the line goes first.
        m_wire.WaitQuiet(kSettleMs, 3000);
        const ExchangeRecord info = m_wire.Exchange(kCmdGetInfo, {});
        if (info.Ok() && info.Status(m_bFramed) == 0) {
            std::vector<uint8_t> text = info.Data(m_bFramed);
            if (!text.empty() && text.back() == 0) {
                text.pop_back();
            }
            m_strInfo = Printable(text);
        } else if (!info.Ok()) {
            m_strOpening = m_wire.HadPortError() ? m_wire.PortErrorText() : OutcomeText(info);
        }
        m_wire.TakeTranscript();
        m_dwElapsedMs = m_clock.GetTickCount() - m_dwStartAt;
        return outcome;
    }
    ConformanceResult result;
    if (m_wire.HadPortError()) {
        // The line went away (a reader unplugged, a bridge gone): nothing more can be judged.
        result.verdict = ConformanceResult::Skipped;
        result.reason = "not run: " + m_wire.PortErrorText();
    } else if (!m_strOpening.empty()) {
        // Nothing answered at the start: every check would only wait out its limits.
        result.verdict = ConformanceResult::Failed;
        result.expected = "an answer to GetInfo at the start";
        result.seen = m_strOpening;
    } else {
        result = RunCheck(m_selected[m_nNext].id);
        result.transcript = m_wire.TakeTranscript();
    }
    if (m_wire.HadPortError() && result.verdict == ConformanceResult::Failed) {
        result.seen = m_wire.PortErrorText();
    }
    if (Aborted() && result.verdict != ConformanceResult::Passed) {
        result = ConformanceResult{};
        result.verdict = ConformanceResult::Skipped;
        result.reason = "stopped before it ended";
        m_bStopped = true;
    }
    result.durationMs = m_clock.GetTickCount() - start;
    m_results.push_back(std::move(result));
    ++m_nNext;
    m_dwElapsedMs = m_clock.GetTickCount() - m_dwStartAt;
    outcome.bEnded = IsDone() || m_bStopped;
    return outcome;
}

// --- the checks

namespace {

ConformanceResult Pass(std::vector<ConformanceFigure> figures = {}) {
    ConformanceResult result;
    result.verdict = ConformanceResult::Passed;
    result.figures = std::move(figures);
    return result;
}

ConformanceResult Fail(std::string expected, std::string seen, std::vector<ConformanceFigure> figures = {}) {
    ConformanceResult result;
    result.verdict = ConformanceResult::Failed;
    result.expected = std::move(expected);
    result.seen = std::move(seen);
    result.figures = std::move(figures);
    return result;
}

ConformanceResult Skip(std::string reason) {
    ConformanceResult result;
    result.verdict = ConformanceResult::Skipped;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

// After a check that may have left the reader busy (a repetition, a lock-up it recovers from), the
// line falls quiet and one request is served before the next check starts.
bool ConformanceSuite::Resync() {
    const uint32_t start = m_clock.GetTickCount();
    while (m_clock.GetTickCount() - start < kResyncMs && !Aborted() && !m_wire.HadPortError()) {
        if (!m_wire.WaitQuiet(kSettleMs, kResyncMs)) {
            continue;
        }
        const ExchangeRecord record = m_wire.Exchange(kCmdRequest, {0});
        if (record.Ok()) {
            return true;
        }
    }
    return false;
}

ConformanceResult ConformanceSuite::RunCheck(const std::string& id) {
    static const std::map<std::string, ConformanceResult (ConformanceSuite::*)()> checks = {
        {"handshake.stx-ack", &ConformanceSuite::CheckStxAck},
        {"handshake.telegram-ack", &ConformanceSuite::CheckTelegramAck},
        {"framing.request-dle", &ConformanceSuite::CheckRequestDle},
        {"framing.answer-dle", &ConformanceSuite::CheckAnswerDle},
        {"framing.answer-bcc", &ConformanceSuite::CheckAnswerBcc},
        {"framing.sequence", &ConformanceSuite::CheckSequence},
        {"framing.length", &ConformanceSuite::CheckLength},
        {"repetition.nak", &ConformanceSuite::CheckNakRepeat},
        {"repetition.no-ack", &ConformanceSuite::CheckNoAck},
        {"repetition.bad-bcc", &ConformanceSuite::CheckBadBcc},
        {"timing.char-gap", &ConformanceSuite::CheckCharGap},
        {"timing.answer", &ConformanceSuite::CheckAnswerTime},
        {"framed.frame", &ConformanceSuite::CheckFramed},
        {"commands.lengths", &ConformanceSuite::CheckLengths},
        {"commands.no-card", &ConformanceSuite::CheckNoCard},
        {"commands.info", &ConformanceSuite::CheckInfo},
        {"commands.write", &ConformanceSuite::CheckWrite},
        {"recovery.collision", &ConformanceSuite::CheckCollision},
        {"recovery.broken", &ConformanceSuite::CheckBroken},
    };
    const auto found = checks.find(id);
    if (found == checks.end()) {
        return Skip("unknown check");
    }
    ConformanceResult result = (this->*found->second)();
    if (result.verdict == ConformanceResult::Failed || m_bDirty) {
        m_wire.Note("waiting for the reader to serve a request again");
        if (!Resync()) {
            m_wire.Note("the reader did not serve a request within " + Ms(kResyncMs / 1000) + " s");
        }
    }
    m_bDirty = false;
    return result;
}

std::vector<ExchangeRecord> ConformanceSuite::Exchanges(uint32_t count, uint8_t command,
                                                        const std::vector<uint8_t>& params) {
    std::vector<ExchangeRecord> records;
    uint32_t dead = 0;
    for (uint32_t n = 0; n < count && !Aborted() && dead < kDeadInARow; ++n) {
        records.push_back(m_wire.Exchange(command, params));
        dead = records.back().Whole() ? 0 : dead + 1;
    }
    return records;
}

ConformanceResult ConformanceSuite::CheckStxAck() {
    return CheckHandshake(&ExchangeRecord::stxAckMs, "stx_ack", kStxAckMs, "DLE for the PC's STX");
}

ConformanceResult ConformanceSuite::CheckTelegramAck() {
    return CheckHandshake(&ExchangeRecord::telegramAckMs, "telegram_ack", kTelegramAckMs,
                          "DLE for the telegram");
}

ConformanceResult ConformanceSuite::CheckHandshake(std::optional<uint32_t> ExchangeRecord::*field,
                                                   const std::string& name, uint32_t limitMs,
                                                   const std::string& what) {
    if (m_bFramed) {
        return Skip("the DLE-framed procedure has no handshake");
    }
    std::vector<uint32_t> times;
    std::string firstMiss;
    const std::vector<ExchangeRecord> records = Exchanges(m_options.repeat, kCmdRequest, {0});
    for (const ExchangeRecord& record : records) {
        if (record.*field) {
            times.push_back(*(record.*field));
        } else if (firstMiss.empty()) {
            firstMiss = OutcomeText(record);
        }
    }
    const Spread spread = SpreadOf(times);
    std::vector<ConformanceFigure> figures = {{"exchanges", std::to_string(records.size())},
                                              {name + "_min_ms", Ms(spread.min)},
                                              {name + "_median_ms", Ms(spread.median)},
                                              {name + "_max_ms", Ms(spread.max)}};
    const std::string expected = what + " within " + Ms(limitMs) + " ms in every exchange";
    if (times.size() < records.size() || records.empty()) {
        return Fail(expected,
                    std::to_string(records.size() - times.size()) + " of " + std::to_string(records.size()) +
                        " exchanges without it (" + firstMiss + ")",
                    figures);
    }
    if (spread.max >= limitMs) {
        return Fail(expected, "the slowest came after " + Ms(spread.max) + " ms", figures);
    }
    return Pass(figures);
}

ConformanceResult ConformanceSuite::CheckRequestDle() {
    // A block check of 0x10: in 3964R the sequence number is picked to make one; in the framed
    // procedure the block number does (0x46 ^ 1 ^ 0x57 == 0x10).
    struct Case {
        const char* what;
        uint8_t command;
        std::vector<uint8_t> params;
        std::optional<uint8_t> sequence;
    };
    const std::vector<Case> cases =
        m_bFramed
            ? std::vector<Case>{{"ReadBlock 16", kCmdReadBlock, {0x10}, {}},
                                {"ReadBlock 87 (block check 0x10)", kCmdReadBlock, {0x57}, {}},
                                {"Authenticate of block 16", kCmdAuthenticate, {0, 0, 0x10}, {}}}
            : std::vector<Case>{{"ReadBlock 16 (block check 0x10)", kCmdReadBlock, {0x10}, uint8_t{0x47}},
                                {"Authenticate of block 16", kCmdAuthenticate, {0, 0, 0x10}, {}}};
    for (const Case& c : cases) {
        ExchangePlan plan;
        plan.sequence = c.sequence;
        const ExchangeRecord record = m_wire.Exchange(c.command, c.params, plan);
        if (!record.Ok()) {
            return Fail("each request taken and answered", std::string(c.what) + ": " + OutcomeText(record));
        }
    }
    return Pass({{"requests", std::to_string(cases.size())}});
}

ConformanceResult ConformanceSuite::CheckAnswerDle() {
    std::vector<ExchangeRecord> records;
    if (m_bFramed) {
        // No sequence number to echo: a block read's length byte, 16, is the DLE.
        for (auto& [name, record] : CommandRound()) {
            records.push_back(std::move(record));
        }
    } else {
        for (uint8_t sequence : {uint8_t{0x10}, uint8_t{0x0F}}) {
            ExchangePlan plan;
            plan.sequence = sequence;
            records.push_back(m_wire.Exchange(kCmdRequest, {0}, plan));
        }
    }
    uint32_t withDle = 0;
    for (const ExchangeRecord& record : records) {
        if (!record.Ok()) {
            return Fail("an answer to each request", OutcomeText(record));
        }
        if (!record.answer.ended) {
            return Fail("every answer closed by DLE ETX",
                        "an answer without its end mark: " + Hex(record.raw));
        }
        if (record.answer.undoubledDle) {
            return Fail("every DLE inside an answer sent twice", "a DLE sent once: " + Hex(record.raw));
        }
        const std::vector<uint8_t>& telegram = record.answer.telegram;
        withDle += std::count(telegram.begin(), telegram.end(), DLE) != 0 ? 1 : 0;
    }
    if (withDle == 0) {
        return Skip("no answer carried a DLE, so the doubling could not be seen");
    }
    return Pass({{"answers_with_dle", std::to_string(withDle)}});
}

std::vector<ExchangeRecord> ConformanceSuite::AnswerSamples() {
    std::vector<ExchangeRecord> records;
    for (int n = 0; n < 2; ++n) {
        records.push_back(m_wire.Exchange(kCmdRequest, {0}));
        records.push_back(m_wire.Exchange(kCmdGetInfo, {}));
    }
    return records;
}

ConformanceResult ConformanceSuite::CheckAnswerBcc() {
    uint32_t bad = 0;
    std::string first;
    for (const ExchangeRecord& record : AnswerSamples()) {
        if (!record.Ok()) {
            return Fail("an answer to each request", OutcomeText(record));
        }
        if (!record.BccOk()) {
            first = first.empty() ? Hex(record.answer.telegram) : first;
            ++bad;
        }
    }
    if (bad != 0) {
        return Fail("a block check that makes the XOR of the telegram 0",
                    std::to_string(bad) + " of 4 answers with a wrong one, e.g. " + first,
                    {{"wrong", std::to_string(bad)}});
    }
    return Pass({{"answers", "4"}});
}

ConformanceResult ConformanceSuite::CheckSequence() {
    if (m_bFramed) {
        return Skip("the DLE-framed procedure has no sequence number");
    }
    uint32_t wrong = 0;
    uint32_t failed = 0;
    std::string first;
    uint32_t dead = 0;
    for (uint32_t n = 0; n < kSweepSize && !Aborted() && dead < kDeadInARow; ++n) {
        ExchangePlan plan;
        plan.sequence = static_cast<uint8_t>(n);
        // Request's block check is the sequence number XOR 0x40; where that is 0x10, GetInfo.
        const bool info = (n ^ 0x40) == DLE;
        const ExchangeRecord record =
            info ? m_wire.Exchange(kCmdGetInfo, {}, plan) : m_wire.Exchange(kCmdRequest, {0}, plan);
        dead = record.Whole() ? 0 : dead + 1;
        if (!record.Ok() || record.answer.telegram.empty()) {
            ++failed;
            continue;
        }
        if (record.answer.telegram[0] != n) {
            if (first.empty()) {
                first = "sequence number " + Hex8(static_cast<uint8_t>(n)) + " answered with " +
                        Hex8(record.answer.telegram[0]);
            }
            ++wrong;
        }
    }
    std::vector<ConformanceFigure> figures = {{"exchanges", std::to_string(kSweepSize)},
                                              {"wrong_echo", std::to_string(wrong)},
                                              {"no_answer", std::to_string(failed)}};
    if (wrong != 0) {
        return Fail("the request's sequence number as each answer's first byte",
                    std::to_string(wrong) + " of " + std::to_string(kSweepSize) + " wrong, first " + first,
                    figures);
    }
    if (failed != 0) {
        return Fail("an answer for every sequence number",
                    std::to_string(failed) + " of " + std::to_string(kSweepSize) + " exchanges unanswered",
                    figures);
    }
    return Pass(figures);
}

ConformanceResult ConformanceSuite::CheckLength() {
    for (const ExchangeRecord& record : AnswerSamples()) {
        if (!record.Ok()) {
            return Fail("an answer to each request", OutcomeText(record));
        }
        const std::optional<uint8_t> length = record.LengthByte(m_bFramed);
        const size_t data = record.Data(m_bFramed).size();
        if (!length || *length != (data & 0xFF)) {
            return Fail("a length byte equal to the number of data bytes",
                        "length byte " + (length ? std::to_string(*length) : std::string("missing")) +
                            " for " + std::to_string(data) + " data bytes: " + Hex(record.answer.telegram));
        }
    }
    return Pass({{"answers", "4"}});
}

ConformanceResult ConformanceSuite::CheckNakRepeat() {
    ExchangePlan plan;
    plan.nakFirst = true;
    const ExchangeRecord record = m_wire.Exchange(kCmdRequest, {0}, plan);
    m_bDirty = true;
    if (!record.Ok()) {
        return Fail("an answer to the request", OutcomeText(record));
    }
    if (!record.repeated) {
        return Fail("the answer sent again after the NAK",
                    "nothing within " + Ms(ConformanceWire::kAnswerLimitMs) + " ms");
    }
    if (record.repeat.telegram != record.answer.telegram) {
        return Fail("the same answer again",
                    "first " + Hex(record.answer.telegram) + ", then " + Hex(record.repeat.telegram));
    }
    return Pass();
}

ConformanceResult ConformanceSuite::CheckNoAck() {
    if (m_bFramed) {
        return Skip("the DLE-framed procedure has no acknowledgement of answers");
    }
    ExchangePlan plan;
    plan.noFinalAck = true;
    const ExchangeRecord record = m_wire.Exchange(kCmdRequest, {0}, plan);
    m_bDirty = true;
    if (!record.Ok()) {
        return Fail("an answer to the request", OutcomeText(record));
    }
    // The PC stays silent: each STX the reader sends now is a repetition that nobody takes.
    const uint32_t start = m_clock.GetTickCount();
    uint32_t repeats = 0;
    bool quiet = false;
    while (!Aborted() && m_clock.GetTickCount() - start < kGiveUpMs) {
        const std::optional<uint8_t> byte = m_wire.ReadByte(kRepeatQuietMs);
        if (!byte) {
            quiet = !m_wire.HadPortError();
            break;
        }
        repeats += *byte == STX ? 1 : 0;
    }
    const uint32_t quietAfter = m_clock.GetTickCount() - start - (quiet ? kRepeatQuietMs : 0);
    std::vector<ConformanceFigure> figures = {
        {"repetitions", std::to_string(repeats)},
        {"quiet_after_ms", quiet ? Ms(quietAfter) : std::string("never")}};
    if (!quiet || repeats > kMaxRepeats) {
        return Fail("at most " + std::to_string(kMaxRepeats) + " repetitions, then quiet within " +
                        Ms(kGiveUpMs / 1000) + " s",
                    std::to_string(repeats) + " repetitions" + (quiet ? "" : ", still sending after 20 s"),
                    figures);
    }
    const ExchangeRecord next = m_wire.Exchange(kCmdRequest, {0});
    if (!next.Ok()) {
        return Fail("the next request served", OutcomeText(next), figures);
    }
    return Pass(figures);
}

ConformanceResult ConformanceSuite::CheckBadBcc() {
    ExchangePlan plan;
    plan.spoilBcc = true;
    const ExchangeRecord spoiled = m_wire.Exchange(kCmdRequest, {0}, plan);
    m_bDirty = true;
    const bool refused = m_bFramed ? spoiled.outcome == ExchangeRecord::NoAnswer
                                   : spoiled.outcome == ExchangeRecord::TelegramNak ||
                                         spoiled.outcome == ExchangeRecord::NoTelegramAck;
    if (!refused) {
        return Fail(
            m_bFramed ? "no answer to the spoiled request" : "NAK or no DLE for the spoiled request",
            OutcomeText(spoiled) == "answered" ? "the reader took it and answered" : OutcomeText(spoiled));
    }
    m_wire.WaitQuiet(kSettleMs, 3000);
    const ExchangeRecord right = m_wire.Exchange(kCmdRequest, {0});
    if (!right.Ok()) {
        return Fail("the right request served", OutcomeText(right));
    }
    return Pass({{"refusal", spoiled.outcome == ExchangeRecord::TelegramNak ? "NAK" : "no answer"}});
}

ConformanceResult ConformanceSuite::CheckCharGap() {
    const uint32_t limit = m_port.NormalReadLimitMs(kTelegramChunk);
    uint32_t maxGap = 0;
    for (const ExchangeRecord& record : Exchanges(m_options.repeat, kCmdGetInfo, {})) {
        if (!record.Ok()) {
            return Fail("an answer to each request", OutcomeText(record));
        }
        maxGap = std::max(maxGap, record.maxGapMs);
    }
    std::vector<ConformanceFigure> figures = {{"max_gap_ms", Ms(maxGap)}, {"limit_ms", Ms(limit)}};
    if (maxGap >= limit) {
        return Fail("every pause inside an answer shorter than " + Ms(limit) + " ms",
                    "a pause of " + Ms(maxGap) + " ms", figures);
    }
    return Pass(figures);
}

std::vector<std::pair<std::string, ExchangeRecord>> ConformanceSuite::CommandRound() {
    std::vector<std::pair<std::string, ExchangeRecord>> round;
    round.reserve(8);
    const auto run = [&](const char* name, uint8_t command,
                         const std::vector<uint8_t>& params) -> const ExchangeRecord& {
        round.emplace_back(name, m_wire.Exchange(command, params));
        return round.back().second;
    };
    const uint8_t block = m_options.writeBlock.value_or(4);
    run("request", kCmdRequest, {0});
    const ExchangeRecord& anticollision = run("anticollision", kCmdAnticollision, {0, 0, 0, 0, 0});
    std::vector<uint8_t> serial = anticollision.Data(m_bFramed);
    serial.resize(4);
    run("select", kCmdSelect, serial);
    run("authenticate", kCmdAuthenticate, {0, 0, block});
    run("read block", kCmdReadBlock, {block});
    run("get info", kCmdGetInfo, {});
    run("halt", kCmdHalt, {});
    run("reset", kCmdReset, {0, 0});
    return round;
}

ConformanceResult ConformanceSuite::CheckAnswerTime() {
    const uint32_t limit = m_bFramed ? m_port.NormalReadLimitMs(kTelegramChunk) : kReaderStxMs;
    std::vector<ConformanceFigure> figures;
    uint32_t slowest = 0;
    std::string slowestName;
    for (const auto& [name, record] : CommandRound()) {
        if (!record.Ok()) {
            return Fail("an answer to each command", name + ": " + OutcomeText(record), figures);
        }
        std::string figure = name;
        std::replace(figure.begin(), figure.end(), ' ', '_');
        figures.push_back({figure + "_ms", Ms(*record.answerStartMs)});
        if (*record.answerStartMs >= slowest) {
            slowest = *record.answerStartMs;
            slowestName = name;
        }
    }
    if (slowest >= limit) {
        return Fail("every answer within " + Ms(limit) + " ms",
                    slowestName + " answered after " + Ms(slowest) + " ms", figures);
    }
    return Pass(figures);
}

ConformanceResult ConformanceSuite::CheckFramed() {
    if (!m_bFramed) {
        return Skip("the reader speaks the 3964R procedure");
    }
    m_bDirty = true;
    if (!m_wire.Send({STX})) {
        return Fail("a lone STX taken", "the port failed");
    }
    if (const std::optional<uint8_t> byte = m_wire.ReadByte(kTelegramAckMs)) {
        return Fail("no DLE for a lone STX within 2000 ms",
                    Hex8(*byte) + " came: the PC's probe would pick 3964R");
    }
    for (const ExchangeRecord& record : AnswerSamples()) {
        if (!record.Ok()) {
            return Fail("an answer to each request", OutcomeText(record));
        }
        if (!record.answer.framedStart) {
            return Fail("every answer opened by DLE STX", Hex(record.raw));
        }
    }
    return Pass({{"answers", "4"}});
}

ConformanceResult ConformanceSuite::CheckLengths() {
    static const std::map<std::string, size_t> need = {
        {"request", 2}, {"anticollision", 4}, {"select", 1}, {"read block", 16}, {"get info", 1}};
    std::vector<ConformanceFigure> figures;
    std::string unverified;
    for (const auto& [name, record] : CommandRound()) {
        if (!record.Ok()) {
            return Fail("an answer to each command", name + ": " + OutcomeText(record), figures);
        }
        const std::optional<uint8_t> status = record.Status(m_bFramed);
        const size_t length = record.Data(m_bFramed).size();
        std::string figure = name;
        std::replace(figure.begin(), figure.end(), ' ', '_');
        figures.push_back({figure + "_bytes", status == 0 ? std::to_string(length)
                                                          : "status " + std::to_string(status.value_or(0))});
        const auto needed = need.find(name);
        if (status != 0) {
            unverified += (unverified.empty() ? "" : ", ") + name;
        } else if (needed != need.end() && length < needed->second) {
            return Fail(name + " with status 0 carries " + std::to_string(needed->second) + " data bytes",
                        std::to_string(length) + ": " + Hex(record.Data(m_bFramed)), figures);
        }
    }
    ConformanceResult result = Pass(figures);
    if (!unverified.empty()) {
        result.reason = "not verified (the command did not succeed): " + unverified;
    }
    return result;
}

ConformanceResult ConformanceSuite::CheckNoCard() {
    m_bDirty = true;
    const auto answered = [](const ExchangeRecord& record, const std::string& name, std::string& seen) {
        if (!record.Ok()) {
            seen = name + ": " + OutcomeText(record);
            return false;
        }
        return true;
    };
    std::string seen;
    ExchangeRecord request = m_wire.Exchange(kCmdRequest, {0});
    if (!answered(request, "request", seen)) {
        return Fail("an answer to Request", seen);
    }
    uint32_t serial = 0;
    if (request.Status(m_bFramed) == 0) {
        // A card in the field: halted, it answers no Request until the field is reset.
        const ExchangeRecord anticollision = m_wire.Exchange(kCmdAnticollision, {0, 0, 0, 0, 0});
        std::vector<uint8_t> uid = anticollision.Data(m_bFramed);
        uid.resize(4);
        serial = uid[0] | (uid[1] << 8) | (uid[2] << 16) | (static_cast<uint32_t>(uid[3]) << 24);
        m_wire.Exchange(kCmdSelect, uid);
        m_wire.Exchange(kCmdHalt, {});
        request = m_wire.Exchange(kCmdRequest, {0});
        if (!answered(request, "request after halt", seen)) {
            m_wire.Exchange(kCmdReset, {0, 0});
            return Fail("Request answered with a status when no card answers", seen);
        }
        if (request.Status(m_bFramed) == 0) {
            m_wire.Exchange(kCmdReset, {0, 0});
            return Skip("a card still answers after Halt: take every card away and run this check again");
        }
    }
    const uint32_t other = ~serial;
    const std::vector<std::pair<std::string, ExchangeRecord>> records = {
        {"request", request},
        {"anticollision", m_wire.Exchange(kCmdAnticollision, {0, 0, 0, 0, 0})},
        {"select", m_wire.Exchange(kCmdSelect,
                                   {static_cast<uint8_t>(other), static_cast<uint8_t>(other >> 8),
                                    static_cast<uint8_t>(other >> 16), static_cast<uint8_t>(other >> 24)})}};
    m_wire.Exchange(kCmdReset, {0, 0});
    std::vector<ConformanceFigure> figures;
    for (const auto& [name, record] : records) {
        if (!answered(record, name, seen)) {
            return Fail("a status for each command when no card answers", seen, figures);
        }
        const uint8_t status = record.Status(m_bFramed).value_or(0);
        figures.push_back({name + "_status", std::to_string(status)});
        if (status == 0) {
            return Fail("a status other than 0 when no card answers", name + " answered with status 0",
                        figures);
        }
        if (status != kStatusNoCard) {
            m_wire.Note(name + " answered with status " + std::to_string(status) + ", not 1 (no card)");
        }
    }
    return Pass(figures);
}

ConformanceResult ConformanceSuite::CheckInfo() {
    const ExchangeRecord record = m_wire.Exchange(kCmdGetInfo, {});
    if (!record.Ok()) {
        return Fail("an answer to GetInfo", OutcomeText(record));
    }
    if (record.Status(m_bFramed) != 0) {
        return Fail("status 0", "status " + std::to_string(record.Status(m_bFramed).value_or(0)));
    }
    std::vector<uint8_t> text = record.Data(m_bFramed);
    if (!text.empty()) {
        text.pop_back();  // the terminator, which the PC drops
    }
    const bool printable =
        std::all_of(text.begin(), text.end(), [](uint8_t byte) { return byte >= 0x20 && byte < 0x7F; });
    std::vector<ConformanceFigure> figures = {{"text", Printable(text)}};
    if (text.empty() || !printable) {
        return Fail("a text of printable characters",
                    text.empty() ? std::string("an empty text") : "\"" + Printable(text) + "\"", figures);
    }
    return Pass(figures);
}

ConformanceResult ConformanceSuite::CheckWrite() {
    if (!m_options.writeBlock) {
        return Skip("writes a card block: run with a block to write (--write BLOCK)");
    }
    m_bDirty = true;
    const uint8_t block = *m_options.writeBlock;
    const auto status = [this](const ExchangeRecord& record) {
        return record.Ok() ? record.Status(m_bFramed) : std::nullopt;
    };
    const ExchangeRecord request = m_wire.Exchange(kCmdRequest, {0});
    const ExchangeRecord anticollision = m_wire.Exchange(kCmdAnticollision, {0, 0, 0, 0, 0});
    std::vector<uint8_t> uid = anticollision.Data(m_bFramed);
    if (status(request) != 0 || status(anticollision) != 0 || uid.size() < 4) {
        return Skip("no card in the field to write to");
    }
    uid.resize(4);
    m_wire.Exchange(kCmdSelect, uid);
    const ExchangeRecord auth = m_wire.Exchange(kCmdAuthenticate, {0, 0, block});
    if (status(auth) != 0) {
        return Skip("key A in key set 0, key 0 does not open block " + std::to_string(block) +
                    ": load the card's key first");
    }
    const auto read = [&](std::vector<uint8_t>& data) {
        const ExchangeRecord record = m_wire.Exchange(kCmdReadBlock, {block});
        data = record.Data(m_bFramed);
        return status(record) == 0 && data.size() == 16;
    };
    const auto write = [&](const std::vector<uint8_t>& data) {
        std::vector<uint8_t> params{block};
        params.insert(params.end(), data.begin(), data.end());
        return status(m_wire.Exchange(kCmdWriteBlock, params)) == 0;
    };
    std::vector<uint8_t> original;
    if (!read(original)) {
        return Fail("block " + std::to_string(block) + " read", "the read failed; nothing was written");
    }
    // Control characters of the link among the data, but no DLE: the doubling is the framing
    // checks' subject, and a reader that gets it wrong fails those, not this one. For the same
    // reason the request's block check must not be a DLE where no sequence number can avoid it.
    std::vector<uint8_t> pattern = {0x55, 0xAA, 0x02, 0x03, 0x15, 0x00, 0xFF, 0x5A,
                                    0xA5, 0x01, 0x7E, 0x80, 0x02, 0x15, 0x03, 0xC3};
    if (pattern == original) {
        std::reverse(pattern.begin(), pattern.end());
    }
    uint8_t bcc = static_cast<uint8_t>(kCmdWriteBlock ^ 17 ^ block);
    for (uint8_t byte : pattern) {
        bcc ^= byte;
    }
    if (m_bFramed && bcc == DLE) {
        pattern.back() ^= 0x01;
    }
    std::vector<uint8_t> seen;
    const bool written = write(pattern) && read(seen) && seen == pattern;
    const std::string patternSeen = Hex(seen);
    std::vector<uint8_t> restored;
    const bool back = write(original) && read(restored) && restored == original;
    std::vector<ConformanceFigure> figures = {{"block", std::to_string(block)}, {"original", Hex(original)}};
    if (!back) {
        return Fail("the block restored to " + Hex(original),
                    "block " + std::to_string(block) + " now holds " + Hex(restored) + ": write " +
                        Hex(original) + " back to it",
                    figures);
    }
    if (!written) {
        return Fail("the pattern " + Hex(pattern) + " read back",
                    patternSeen.empty() ? "no data" : patternSeen, figures);
    }
    return Pass(figures);
}

ConformanceResult ConformanceSuite::CheckCollision() {
    if (m_bFramed) {
        return Skip("the DLE-framed procedure has no STX handshake");
    }
    m_bDirty = true;
    // The request as usual up to the STX that opens the reader's answer; the PC answers it with
    // an STX of its own, as a PC that wants to send at that moment does.
    if (!m_wire.Send({STX}) || m_wire.ReadByte(ConformanceWire::kStxAckLimitMs) != DLE) {
        return Fail("DLE for the PC's STX", "none");
    }
    if (!m_wire.Send(EncodeRequest(m_wire.NextTelegram(kCmdRequest, {0}), false)) ||
        m_wire.ReadByte(ConformanceWire::kTelegramAckLimitMs) != DLE) {
        return Fail("DLE for the request", "none");
    }
    if (m_wire.ReadByte(ConformanceWire::kAnswerLimitMs) != STX || !m_wire.Send({STX})) {
        return Fail("an answer to the request", "no STX");
    }
    // The PC gives way: whenever the reader has STX as its last word, it takes the reader's answer.
    const uint32_t start = m_clock.GetTickCount();
    while (!Aborted() && m_clock.GetTickCount() - start < kGiveUpMs) {
        std::vector<uint8_t> bytes;
        if (!m_wire.WaitQuiet(kSettleMs, kGiveUpMs, &bytes) || bytes.empty() || bytes.back() != STX) {
            break;
        }
        uint32_t gap = 0;
        if (!m_wire.Send({DLE})) {
            break;
        }
        m_wire.ReadFrame(ConformanceWire::kAnswerLimitMs, gap);
        m_wire.Send({DLE});
    }
    const ExchangeRecord next = m_wire.Exchange(kCmdRequest, {0});
    if (!next.Ok()) {
        return Fail("the next request served after the collision", OutcomeText(next));
    }
    return Pass({{"recovered_after_ms", Ms(m_clock.GetTickCount() - start)}});
}

ConformanceResult ConformanceSuite::CheckBroken() {
    m_bDirty = true;
    ExchangePlan plan;
    plan.breakAfter = (m_bFramed ? 8 : 7) / 2;  // half of Request's bytes on the wire
    const ExchangeRecord broken = m_wire.Exchange(kCmdRequest, {0}, plan);
    if (broken.outcome != ExchangeRecord::Broken) {
        return Fail("the handshake for the request", OutcomeText(broken));
    }
    const uint32_t start = m_clock.GetTickCount();
    const std::optional<uint8_t> reaction = m_wire.ReadByte(1000);
    std::vector<ConformanceFigure> figures;
    if (reaction) {
        figures.push_back(
            {"reaction", Hex8(*reaction) + " after " + Ms(m_wire.LastByteAt() - start) + " ms"});
    } else {
        figures.push_back({"reaction", "silence"});
    }
    m_wire.WaitQuiet(kSettleMs, 3000);
    const ExchangeRecord next = m_wire.Exchange(kCmdRequest, {0});
    if (!next.Ok()) {
        return Fail("the next request served", OutcomeText(next), figures);
    }
    return Pass(figures);
}
