#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/Clock.h"

class ReaderPort;

// A reader's answer frame taken apart: the telegram without its doubling, and how the frame
// kept to the rules. Decoding never fails; what is odd is noted.
struct DecodedFrame {
    std::vector<uint8_t> telegram;  // between the opener (framed: DLE STX) and DLE ETX, undoubled
    bool ended = false;             // closed by DLE ETX
    bool undoubledDle = false;      // a DLE in the telegram was sent once, not doubled
    bool framedStart = false;       // opened by DLE STX (the DLE-framed procedure)
};

// Takes apart the bytes of one answer frame. framed: the frame should open with DLE STX. A DLE
// followed by anything but DLE or ETX is kept as data (a reader that does not double its DLEs);
// bytes that end in DLE ETX without a proper end mark (an undoubled DLE just before it) still end.
DecodedFrame DecodeFrame(const std::vector<uint8_t>& raw, bool framed);

// The bytes of a request: telegram with BCC, DLE doubled, DLE ETX; framed adds DLE STX in front.
std::vector<uint8_t> EncodeRequest(const std::vector<uint8_t>& telegram, bool framed, bool spoilBcc = false);

// How one exchange leaves the normal path, for the checks that test the reader's recovery.
struct ExchangePlan {
    std::optional<uint8_t> sequence;  // this sequence number instead of the next one
    bool spoilBcc = false;            // the request's block check is wrong
    size_t breakAfter = 0;            // send only this many bytes of the framed request (0: all)
    bool nakFirst = false;            // refuse the first answer with NAK and take the repetition
    bool noFinalAck = false;          // leave the answer unacknowledged
};

// What one exchange did, with its times in milliseconds.
struct ExchangeRecord {
    enum Outcome {
        Answered,       // an answer frame came (it may still break rules)
        NoStxAck,       // no DLE for the PC's STX (firstByte: what came instead, if anything)
        NoTelegramAck,  // no DLE for the request telegram
        TelegramNak,    // the reader refused the telegram with NAK
        NoAnswer,       // the reader acknowledged but sent no answer
        Broken,         // the PC broke the request off on purpose
        PortError,
        Aborted,
    };
    Outcome outcome = PortError;
    std::optional<uint8_t> firstByte;  // the unexpected byte where one came
    std::optional<uint32_t> stxAckMs;
    std::optional<uint32_t> telegramAckMs;
    std::optional<uint32_t> answerStartMs;  // from the acknowledged request (framed: its end) to the answer
    uint32_t maxGapMs = 0;                  // the longest pause between two bytes of the answer frame
    uint8_t sequence = 0;
    std::vector<uint8_t> raw;  // the answer frame as it came
    DecodedFrame answer;
    bool repeated = false;  // nakFirst: the reader sent its answer again
    std::vector<uint8_t> repeatRaw;
    DecodedFrame repeat;

    bool Ok() const { return outcome == Answered; }
    // An answer came and ended: not one that a trickling reader cut off at the frame's limits.
    bool Whole() const { return Ok() && answer.ended; }
    // The answer's fields, when its telegram is long enough (3964R: seq, status, length, data, BCC).
    std::optional<uint8_t> Status(bool framed) const;
    std::optional<uint8_t> LengthByte(bool framed) const;
    std::vector<uint8_t> Data(bool framed) const;
    bool BccOk() const;
};

// The PC side of the line for the conformance suite: writes and reads the raw port, stamps every
// byte with the clock, keeps a transcript, and runs exchanges in either procedure with limits
// wider than the PC's own (each check judges the times against the PC's limits itself). Every
// wait ends at its limit, or early when stop() says so.
class ConformanceWire {
public:
    // Limits for a reader that is slow but still answering; a rule about time is the checks'.
    static constexpr uint32_t kStxAckLimitMs = 3000;
    static constexpr uint32_t kTelegramAckLimitMs = 4000;
    static constexpr uint32_t kAnswerLimitMs = 4000;
    static constexpr uint32_t kGapLimitMs = 500;
    static constexpr uint32_t kFrameLimitMs = 10000;
    static constexpr size_t kFrameLimitBytes = 2 * 1024 + 8;

    ConformanceWire(ReaderPort& port, Clock& clock, std::function<bool()> stop);

    void SetFramed(bool framed) { m_bFramed = framed; }
    bool IsFramed() const { return m_bFramed; }
    Clock& GetClock() const { return m_clock; }
    bool Stopped() const { return m_stop && m_stop(); }

    // One request/answer exchange.
    ExchangeRecord Exchange(uint8_t command, const std::vector<uint8_t>& params,
                            const ExchangePlan& plan = {});
    // The telegram (without block check) of the next request, with the next sequence number or
    // the one given, which it takes.
    std::vector<uint8_t> NextTelegram(uint8_t command, const std::vector<uint8_t>& params,
                                      std::optional<uint8_t> sequence = std::nullopt);

    // Raw steps for checks that leave the procedure.
    bool Send(const std::vector<uint8_t>& bytes);
    // The next byte within limitMs; nothing at the limit, on a port error or a stop.
    std::optional<uint8_t> ReadByte(uint32_t limitMs);
    // The time the last byte ReadByte gave arrived.
    uint32_t LastByteAt() const { return m_dwLastAt; }
    // Reads an answer frame that has begun (framed: its DLE STX may be in first); stops at its end
    // mark, a pause longer than kGapLimitMs, or the frame limits. maxGap: longest pause inside it.
    std::vector<uint8_t> ReadFrame(uint32_t firstByteLimitMs, uint32_t& maxGapMs);
    // Reads and drops bytes until the line has been quiet for quietMs, at most limitMs; true when
    // it fell quiet. Returns the bytes it dropped in dropped when given.
    bool WaitQuiet(uint32_t quietMs, uint32_t limitMs, std::vector<uint8_t>* dropped = nullptr);
    bool HadPortError() const { return m_bPortError; }
    // What the port said when it failed, for the user.
    const std::string& PortErrorText() const { return m_strPortError; }

    // The transcript since the last TakeTranscript, one line per burst of bytes in one direction.
    std::string TakeTranscript();
    void Note(const std::string& text);

private:
    void PortFailed(const char* what, uint32_t result);
    void Record(bool fromPc, const uint8_t* bytes, size_t count, uint32_t at);
    ExchangeRecord Exchange3964R(const std::vector<uint8_t>& telegram, const ExchangePlan& plan);
    ExchangeRecord ExchangeFramed(const std::vector<uint8_t>& telegram, const ExchangePlan& plan);
    // Reads the frame that follows the reader's STX after the PC's DLE.
    void TakeFrame(std::vector<uint8_t>& raw, DecodedFrame& decoded, uint32_t& maxGapMs,
                   uint32_t firstByteLimitMs);

    ReaderPort& m_port;
    Clock& m_clock;
    std::function<bool()> m_stop;
    bool m_bFramed = false;
    uint8_t m_bySequence = 0;
    bool m_bPortError = false;
    std::string m_strPortError;
    std::deque<std::pair<uint8_t, uint32_t>> m_pending;  // bytes read but not yet taken, with their time
    uint32_t m_dwLastAt = 0;
    uint32_t m_dwFrameStartAt = 0;

    // Transcript: lines so far, the burst being collected.
    uint32_t m_dwTranscriptStart = 0;
    bool m_bTranscriptStarted = false;
    std::string m_strTranscript;
    size_t m_nTranscriptLines = 0;
    size_t m_nDroppedLines = 0;
    std::optional<bool> m_burstFromPc;
    uint32_t m_dwBurstAt = 0;
    std::string m_strBurst;
};
