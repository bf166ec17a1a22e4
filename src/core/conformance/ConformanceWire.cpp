#include "conformance/ConformanceWire.h"

#include <algorithm>
#include <cstdio>

#include "link/ByteBuffer.h"
#include "link/LinkResult.h"
#include "link/ReaderPort.h"
#include "link/ReaderProtocol.h"

namespace {

constexpr size_t kTranscriptLineLimit = 600;
constexpr size_t kBurstBytesShown = 96;

// Milliseconds from one tick to a later one; 0 for a byte that was in before the tick (a late
// byte of an earlier exchange).
uint32_t Since(uint32_t from, uint32_t to) {
    return static_cast<int32_t>(to - from) > 0 ? to - from : 0;
}

}  // namespace

DecodedFrame DecodeFrame(const std::vector<uint8_t>& raw, bool framed) {
    DecodedFrame frame;
    size_t i = 0;
    if (framed && raw.size() >= 2 && raw[0] == DLE && raw[1] == STX) {
        frame.framedStart = true;
        i = 2;
    }
    for (; i < raw.size(); ++i) {
        if (raw[i] != DLE) {
            frame.telegram.push_back(raw[i]);
            continue;
        }
        if (i + 1 >= raw.size()) {
            // A DLE as the last byte: nothing closes the frame.
            frame.telegram.push_back(DLE);
            frame.undoubledDle = true;
            break;
        }
        if (raw[i + 1] == ETX) {
            frame.ended = true;
            break;
        }
        if (raw[i + 1] == DLE) {
            frame.telegram.push_back(DLE);
            ++i;
            continue;
        }
        // DLE before an ordinary byte: the reader did not double it.
        frame.telegram.push_back(DLE);
        frame.undoubledDle = true;
    }
    if (!frame.ended && raw.size() >= 3 && raw[raw.size() - 2] == DLE && raw.back() == ETX) {
        // DLE DLE ETX at the end read as a doubled DLE and a loose ETX: the frame did end, with
        // one DLE just before its end mark sent once. Decode again with the last two as the mark.
        std::vector<uint8_t> body(raw.begin(), raw.end() - 2);
        DecodedFrame inner = DecodeFrame(body, framed);
        inner.ended = true;
        inner.undoubledDle = true;
        return inner;
    }
    return frame;
}

std::vector<uint8_t> EncodeRequest(const std::vector<uint8_t>& telegram, bool framed, bool spoilBcc) {
    std::vector<uint8_t> bytes;
    if (framed) {
        bytes = {DLE, STX};
    }
    std::vector<uint8_t> withBcc = telegram;
    withBcc.push_back(static_cast<uint8_t>(BlockCheck(telegram) ^ (spoilBcc ? 0x5A : 0)));
    for (uint8_t byte : withBcc) {
        bytes.push_back(byte);
        if (byte == DLE) {
            bytes.push_back(DLE);
        }
    }
    bytes.push_back(DLE);
    bytes.push_back(ETX);
    return bytes;
}

std::optional<uint8_t> ExchangeRecord::Status(bool framed) const {
    const size_t at = framed ? 0 : 1;
    if (answer.telegram.size() < at + 2) {
        return std::nullopt;
    }
    return answer.telegram[at];
}

std::optional<uint8_t> ExchangeRecord::LengthByte(bool framed) const {
    const size_t at = framed ? 1 : 2;
    if (answer.telegram.size() < at + 2) {
        return std::nullopt;
    }
    return answer.telegram[at];
}

std::vector<uint8_t> ExchangeRecord::Data(bool framed) const {
    const size_t from = framed ? 2 : 3;
    if (answer.telegram.size() < from + 1) {
        return {};
    }
    return {answer.telegram.begin() + static_cast<long>(from), answer.telegram.end() - 1};
}

bool ExchangeRecord::BccOk() const {
    return !answer.telegram.empty() && BlockCheck(answer.telegram) == 0;
}

ConformanceWire::ConformanceWire(ReaderPort& port, Clock& clock, std::function<bool()> stop)
    : m_port(port), m_clock(clock), m_stop(std::move(stop)) {}

// --- raw steps

bool ConformanceWire::Send(const std::vector<uint8_t>& bytes) {
    ByteBuffer buffer;
    for (uint8_t byte : bytes) {
        buffer.Append(byte);
    }
    const uint32_t at = m_clock.GetTickCount();
    if (const LinkResult result = m_port.Write(buffer); result != LR_OK) {
        PortFailed("write", result);
        return false;
    }
    Record(true, bytes.data(), bytes.size(), at);
    return true;
}

std::optional<uint8_t> ConformanceWire::ReadByte(uint32_t limitMs) {
    const uint32_t start = m_clock.GetTickCount();
    static const ReaderPort::ReadComplete any = [](std::span<const uint8_t> bytes) { return !bytes.empty(); };
    while (m_pending.empty()) {
        if (Stopped() || m_bPortError || m_clock.GetTickCount() - start >= limitMs) {
            return std::nullopt;
        }
        ByteBuffer received;
        uint32_t count = 0;
        if (const LinkResult result = m_port.Read(received, 64, count, any); result != LR_OK) {
            PortFailed("read", result);
            return std::nullopt;
        }
        const uint32_t at = m_clock.GetTickCount();
        const std::span<const uint8_t> bytes = received.Bytes();
        Record(false, bytes.data(), bytes.size(), at);
        for (uint8_t byte : bytes) {
            m_pending.emplace_back(byte, at);
        }
    }
    // A byte that came within the limit counts even if the read that brought it overran it.
    if (Since(start, m_pending.front().second) > limitMs) {
        return std::nullopt;
    }
    const auto [byte, at] = m_pending.front();
    m_pending.pop_front();
    m_dwLastAt = at;
    return byte;
}

std::vector<uint8_t> ConformanceWire::ReadFrame(uint32_t firstByteLimitMs, uint32_t& maxGapMs) {
    std::vector<uint8_t> raw;
    maxGapMs = 0;
    std::optional<uint8_t> byte = ReadByte(firstByteLimitMs);
    if (!byte) {
        return raw;
    }
    const uint32_t start = m_dwLastAt;
    m_dwFrameStartAt = start;
    uint32_t previous = m_dwLastAt;
    bool dle = false;
    while (byte) {
        raw.push_back(*byte);
        maxGapMs = std::max(maxGapMs, m_dwLastAt - previous);
        previous = m_dwLastAt;
        if (*byte == DLE) {
            dle = !dle;
        } else if (*byte == ETX && dle) {
            break;
        } else {
            dle = false;
        }
        if (raw.size() >= kFrameLimitBytes || m_dwLastAt - start >= kFrameLimitMs) {
            Note("the answer did not end within the frame's limits");
            break;
        }
        byte = ReadByte(kGapLimitMs);
    }
    return raw;
}

bool ConformanceWire::WaitQuiet(uint32_t quietMs, uint32_t limitMs, std::vector<uint8_t>* dropped) {
    const uint32_t start = m_clock.GetTickCount();
    while (m_clock.GetTickCount() - start < limitMs) {
        const std::optional<uint8_t> byte = ReadByte(quietMs);
        if (!byte) {
            return !m_bPortError && !Stopped();
        }
        if (dropped != nullptr && dropped->size() < kFrameLimitBytes) {
            dropped->push_back(*byte);
        }
    }
    return false;
}

// --- exchanges

std::vector<uint8_t> ConformanceWire::NextTelegram(uint8_t command, const std::vector<uint8_t>& params,
                                                   std::optional<uint8_t> sequence) {
    std::vector<uint8_t> telegram;
    if (!m_bFramed) {
        // A block check of 0x10 is doubled on the wire; only the check that tests that rule sends
        // one, so a reader that gets the doubling wrong fails that check alone.
        uint8_t next = sequence.value_or(m_bySequence);
        while (!sequence &&
               static_cast<uint8_t>(next ^ command ^ params.size() ^ BlockCheck(params)) == DLE) {
            ++next;
        }
        m_bySequence = static_cast<uint8_t>(next + 1);
        telegram.push_back(next);
    }
    telegram.push_back(command);
    telegram.push_back(static_cast<uint8_t>(params.size()));
    telegram.insert(telegram.end(), params.begin(), params.end());
    return telegram;
}

ExchangeRecord ConformanceWire::Exchange(uint8_t command, const std::vector<uint8_t>& params,
                                         const ExchangePlan& plan) {
    const std::vector<uint8_t> telegram = NextTelegram(command, params, plan.sequence);
    ExchangeRecord record = m_bFramed ? ExchangeFramed(telegram, plan) : Exchange3964R(telegram, plan);
    record.sequence = m_bFramed ? 0 : telegram[0];
    if (Stopped() && !record.Ok()) {
        record.outcome = ExchangeRecord::Aborted;
    }
    return record;
}

void ConformanceWire::TakeFrame(std::vector<uint8_t>& raw, DecodedFrame& decoded, uint32_t& maxGapMs,
                                uint32_t firstByteLimitMs) {
    raw = ReadFrame(firstByteLimitMs, maxGapMs);
    decoded = DecodeFrame(raw, m_bFramed);
}

ExchangeRecord ConformanceWire::Exchange3964R(const std::vector<uint8_t>& telegram,
                                              const ExchangePlan& plan) {
    ExchangeRecord record;
    const auto fail = [&](ExchangeRecord::Outcome outcome) {
        record.outcome = m_bPortError ? ExchangeRecord::PortError : outcome;
        return record;
    };
    if (!Send({STX})) {
        return fail(ExchangeRecord::PortError);
    }
    const uint32_t stxSent = m_clock.GetTickCount();
    std::optional<uint8_t> byte = ReadByte(kStxAckLimitMs);
    if (byte != DLE) {
        record.firstByte = byte;
        return fail(ExchangeRecord::NoStxAck);
    }
    record.stxAckMs = Since(stxSent, m_dwLastAt);

    std::vector<uint8_t> request = EncodeRequest(telegram, false, plan.spoilBcc);
    if (plan.breakAfter != 0 && plan.breakAfter < request.size()) {
        request.resize(plan.breakAfter);
        Send(request);
        return fail(ExchangeRecord::Broken);
    }
    if (!Send(request)) {
        return fail(ExchangeRecord::PortError);
    }
    const uint32_t requestSent = m_clock.GetTickCount();
    byte = ReadByte(kTelegramAckLimitMs);
    if (byte == NAK) {
        return fail(ExchangeRecord::TelegramNak);
    }
    if (byte != DLE) {
        record.firstByte = byte;
        return fail(ExchangeRecord::NoTelegramAck);
    }
    const uint32_t acknowledged = m_dwLastAt;
    record.telegramAckMs = Since(requestSent, acknowledged);

    byte = ReadByte(kAnswerLimitMs);
    if (byte != STX) {
        record.firstByte = byte;
        return fail(ExchangeRecord::NoAnswer);
    }
    record.answerStartMs = Since(acknowledged, m_dwLastAt);
    if (!Send({DLE})) {
        return fail(ExchangeRecord::PortError);
    }
    TakeFrame(record.raw, record.answer, record.maxGapMs, kAnswerLimitMs);
    if (record.raw.empty()) {
        return fail(ExchangeRecord::NoAnswer);
    }
    record.outcome = ExchangeRecord::Answered;
    if (plan.nakFirst) {
        Send({NAK});
        // The reader starts its answer again from its STX, which the PC acknowledges as before.
        if (ReadByte(kAnswerLimitMs) == STX && Send({DLE})) {
            uint32_t gap = 0;
            TakeFrame(record.repeatRaw, record.repeat, gap, kAnswerLimitMs);
            record.repeated = !record.repeatRaw.empty();
        }
    }
    if (!plan.noFinalAck) {
        Send({DLE});
    }
    return record;
}

ExchangeRecord ConformanceWire::ExchangeFramed(const std::vector<uint8_t>& telegram,
                                               const ExchangePlan& plan) {
    ExchangeRecord record;
    std::vector<uint8_t> request = EncodeRequest(telegram, true, plan.spoilBcc);
    if (plan.breakAfter != 0 && plan.breakAfter < request.size()) {
        request.resize(plan.breakAfter);
        Send(request);
        record.outcome = m_bPortError ? ExchangeRecord::PortError : ExchangeRecord::Broken;
        return record;
    }
    if (!Send(request)) {
        record.outcome = ExchangeRecord::PortError;
        return record;
    }
    const uint32_t requestSent = m_clock.GetTickCount();
    TakeFrame(record.raw, record.answer, record.maxGapMs, kAnswerLimitMs);
    if (record.raw.empty()) {
        record.outcome = m_bPortError ? ExchangeRecord::PortError : ExchangeRecord::NoAnswer;
        return record;
    }
    record.answerStartMs = Since(requestSent, m_dwFrameStartAt);
    record.outcome = ExchangeRecord::Answered;
    if (plan.nakFirst) {
        Send({NAK});
        uint32_t gap = 0;
        TakeFrame(record.repeatRaw, record.repeat, gap, kAnswerLimitMs);
        record.repeated = !record.repeatRaw.empty();
    }
    return record;
}

void ConformanceWire::PortFailed(const char* what, uint32_t result) {
    m_bPortError = true;
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(result));
    m_strPortError =
        std::string("the port failed to ") + what + ": " + LinkResultText(result) + " (" + code + ")";
    Note(m_strPortError);
}

// --- transcript

void ConformanceWire::Record(bool fromPc, const uint8_t* bytes, size_t count, uint32_t at) {
    if (count == 0) {
        return;
    }
    if (!m_bTranscriptStarted) {
        m_bTranscriptStarted = true;
        m_dwTranscriptStart = at;
    }
    if (fromPc || m_burstFromPc != fromPc || at != m_dwBurstAt) {  // each write a line of its own
        Note("");                                                  // ends the burst being collected
        m_burstFromPc = fromPc;
        m_dwBurstAt = at;
        char head[48];
        std::snprintf(head, sizeof head, "+%u ms %s", static_cast<unsigned>(at - m_dwTranscriptStart),
                      fromPc ? "PC    " : "reader");
        m_strBurst = head;
    }
    for (size_t i = 0; i < count; ++i) {
        if (m_strBurst.size() > 20 + 3 * kBurstBytesShown) {
            if (m_strBurst.back() != '.') {
                m_strBurst += " ...";
            }
            break;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        m_strBurst += hex;
    }
}

void ConformanceWire::Note(const std::string& text) {
    const auto add = [this](const std::string& line) {
        if (m_nTranscriptLines >= kTranscriptLineLimit) {
            ++m_nDroppedLines;
            return;
        }
        m_strTranscript += line;
        m_strTranscript += '\n';
        ++m_nTranscriptLines;
    };
    if (m_burstFromPc) {
        add(m_strBurst);
        m_burstFromPc.reset();
        m_strBurst.clear();
    }
    if (!text.empty()) {
        add("       " + text);
    }
}

std::string ConformanceWire::TakeTranscript() {
    Note("");
    std::string transcript = std::move(m_strTranscript);
    if (m_nDroppedLines != 0) {
        transcript += "... " + std::to_string(m_nDroppedLines) + " more lines\n";
    }
    m_strTranscript.clear();
    m_nTranscriptLines = 0;
    m_nDroppedLines = 0;
    m_bTranscriptStarted = false;
    return transcript;
}
