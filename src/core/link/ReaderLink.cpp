#include "link/ReaderLink.h"

#include <algorithm>

namespace {

constexpr uint32_t kMaxAttempts = 4;
constexpr uint32_t kStxAckTimeoutMs = 1000;
constexpr uint32_t kTelegramAckTimeoutMs = 2000;
constexpr uint32_t kReaderStxTimeoutMs = 2000;
constexpr uint32_t kProbeTimeoutMs = 2000;
// Longer than a reader's character delay (220 ms), after which it drops a half-received telegram.
constexpr uint32_t kProbeSettleMs = 300;
constexpr uint32_t kTelegramReadSize = 64;
// Seq, status, length byte and BCC: anything shorter cannot be an answer, even with a good BCC.
constexpr uint32_t kMinAnswer3964R = 4;
constexpr uint32_t kMinAnswerFramed = 3;
// The longest telegram a reader can send: a full buffer with every byte doubled, opened by DLE STX
// and closed by DLE ETX. Its time on the line at the connection's rate, plus a reader's character
// delay, bounds one receive phase, so that a reader that trickles bytes cannot hold an exchange.
constexpr uint32_t kLongestTelegramBytes = 2 * ByteBuffer::kCapacity + 4;
constexpr uint32_t kReaderCharDelayMs = 220;
constexpr uint32_t kBitsPerByte = 10;

uint32_t ReceiveLimitMs(uint32_t baudRate) {
    const uint64_t baud = baudRate != 0 ? baudRate : 9600;
    return static_cast<uint32_t>((uint64_t{kLongestTelegramBytes} * kBitsPerByte * 1000 + baud - 1) / baud) +
           kReaderCharDelayMs;
}

// Appends the bytes with every DLE doubled, then DLE ETX.
bool AppendFramed(ByteBuffer& frame, std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        if (!frame.Append(byte) || (byte == DLE && !frame.Append(DLE))) {
            return false;
        }
    }
    return frame.Append(DLE) && frame.Append(ETX);
}

// One received byte of a telegram, with the DLE flag carried between bytes and reads. Returns true
// at the end mark. A byte to keep is appended to out when out is given; a refused append sets
// overflow. In the DLE-framed procedure any other byte ends a DLE sequence (DLE STX opens its frame).
bool TakeTelegramByte(uint8_t byte, bool framed, bool& dle, ByteBuffer* out, bool& overflow) {
    bool store = true;
    if (byte == DLE) {
        store = dle;
        dle = !dle;
    } else if (byte == ETX) {
        if (dle) {
            return true;
        }
    } else if (framed) {
        dle = false;
    }
    if (store && out != nullptr && !out->Append(byte)) {
        overflow = true;
    }
    return false;
}

}  // namespace

LinkResult ReaderLink::Connect(ReaderPort* port, uint32_t baudRate) {
    m_pPort = port;
    const LinkResult result = m_pPort->InitPort(baudRate, 8, 0, 0, 0);
    if (result != LR_OK) {
        return result;
    }
    ProbeLinkMode();
    return LR_OK;
}

void ReaderLink::ProbeLinkMode() {
    m_dwLinkMode = LinkMode3964R;
    if (!m_pPort->IsUsb()) {
        return;
    }
    // A reader of the 3964R procedure acknowledges a lone STX; a DLE-framed one stays silent.
    const LinkResult written = m_pPort->Write(ByteBuffer{STX});
    m_pPort->SetReadMode(ReadModeNormal);
    const bool acknowledged = written == LR_OK && WaitForAck(kProbeTimeoutMs) == LR_OK;
    if (acknowledged) {
        SettleAfterProbe();
    }
    // The probe leaves the bridge polling; each page sets the read mode it needs.
    m_pPort->SetReadMode(ReadModePolling);
    if (acknowledged) {
        return;
    }
    m_dwLinkMode = LinkModeDleFramed;
    m_pPort->SetEventChars(ETX, NAK);
}

void ReaderLink::SettleAfterProbe() {
    // The reader that acknowledged the lone STX now waits for a telegram that never comes. It gives
    // up after its character delay and answers NAK; a command sent before that would meet the NAK
    // and lose its first attempt (a second of waiting). So wait for the NAK, or for longer than the
    // delay, and drop what came.
    static const ReaderPort::ReadComplete nakSeen = [](std::span<const uint8_t> bytes) {
        return std::find(bytes.begin(), bytes.end(), NAK) != bytes.end();
    };
    const uint32_t start = m_clock.GetTickCount();
    while (m_clock.GetTickCount() - start < kProbeSettleMs) {
        ByteBuffer received;
        uint32_t count = 0;
        if (m_pPort->Read(received, kTelegramReadSize, count, nakSeen) != LR_OK ||
            nakSeen(received.Bytes())) {
            break;
        }
    }
    m_pPort->Purge();
}

LinkResult ReaderLink::ReadFirstBytes(ByteBuffer& into, uint32_t& count) {
    // Ends at the first byte, so nothing after it is taken from the line, and otherwise sleeps
    // through the normal read time-out: polling reads would wake the process every millisecond
    // for as long as a silent reader keeps it waiting.
    static const ReaderPort::ReadComplete anyByte = [](std::span<const uint8_t> bytes) {
        return !bytes.empty();
    };
    return m_pPort->Read(into, kTelegramReadSize, count, anyByte);
}

LinkResult ReaderLink::WaitForAck(uint32_t timeoutMs) {
    // Only the first byte that ever arrives counts. A wrong one decides the outcome, but the wait
    // still runs its time, as the reader expects; what comes meanwhile is read in fresh buffers of
    // its own, so that each byte is traced once and a reader that floods the line cannot make the
    // trace repeat the same bytes on every read.
    ByteBuffer received;
    bool decided = false;
    const uint32_t start = m_clock.GetTickCount();
    for (;;) {
        uint32_t count = 0;
        ByteBuffer later;
        const LinkResult result =
            decided ? m_pPort->Read(later, kTelegramReadSize, count) : ReadFirstBytes(received, count);
        if (result != LR_OK) {
            // A reader that fails to acknowledge is no answer; a line that is gone says how.
            return m_pPort->GetLineLost() != LR_OK ? result : LR_NO_ANSWER;
        }
        uint8_t first = 0;
        if (!decided && count > 0 && received.GetAt(0, first)) {
            if (first == DLE) {
                return LR_OK;
            }
            decided = true;
        }
        if (m_clock.GetTickCount() - start >= timeoutMs) {
            return LR_NO_ANSWER;
        }
    }
}

LinkResult ReaderLink::SendAndWaitDle(ByteBuffer bytes, uint32_t timeoutMs, bool wait) {
    if (m_pPort == nullptr) {
        return LR_NO_ANSWER;
    }
    const LinkResult written = m_pPort->Write(bytes);
    // The wait reads in the normal mode (see ReadFirstBytes), which also replaces the longer
    // time-outs a freshly initialised serial port starts with.
    m_pPort->SetReadMode(ReadModeNormal);
    if (written != LR_OK || !wait) {
        return written;
    }
    return WaitForAck(timeoutMs);
}

LinkResult ReaderLink::WaitForReaderStx() {
    ByteBuffer received;
    const uint32_t start = m_clock.GetTickCount();
    for (;;) {
        uint32_t count = 0;
        const LinkResult result = ReadFirstBytes(received, count);
        if (result != LR_OK) {
            return result;
        }
        uint8_t first = 0;
        if (count > 0 && received.GetAt(0, first)) {
            if (first != STX) {
                return LR_NO_ANSWER;
            }
            return m_pPort->Write(ByteBuffer{DLE});
        }
        if (m_clock.GetTickCount() - start >= kReaderStxTimeoutMs) {
            return LR_NO_ANSWER;
        }
    }
}

LinkResult ReaderLink::ReceiveTelegram(ByteBuffer& telegram, bool framed) {
    telegram.Clear();
    bool dle = false;
    bool overflow = false;
    const uint32_t start = m_clock.GetTickCount();
    const uint32_t limitMs = ReceiveLimitMs(m_pPort->GetBaudRate());
    for (;;) {
        if (m_clock.GetTickCount() - start >= limitMs) {
            return LR_NO_ANSWER;  // longer than any telegram takes: a reader that never ends
        }
        // The read may end as soon as the end mark is in: the reader has nothing more to send, so
        // waiting for the line to fall quiet would only add the character delay to every exchange.
        const bool dleAtStart = dle;
        const ReaderPort::ReadComplete endMarkSeen = [dleAtStart, framed](std::span<const uint8_t> bytes) {
            bool flag = dleAtStart;
            bool unused = false;
            for (uint8_t byte : bytes) {
                if (TakeTelegramByte(byte, framed, flag, nullptr, unused)) {
                    return true;
                }
            }
            return false;
        };
        ByteBuffer chunk;
        uint32_t count = 0;
        const LinkResult result = m_pPort->Read(chunk, kTelegramReadSize, count, endMarkSeen);
        if (result != LR_OK) {
            return result;
        }
        if (count == 0) {
            return LR_NO_ANSWER;
        }
        for (uint8_t byte : chunk.Bytes()) {
            if (TakeTelegramByte(byte, framed, dle, &telegram, overflow)) {
                // A telegram that did not fit was cut short: refuse it like a bad block check.
                if (overflow) {
                    telegram.Clear();
                }
                return LR_OK;
            }
        }
        // A reader that keeps sending without an end mark would otherwise hold the exchange forever.
        if (overflow) {
            return LR_NO_ANSWER;
        }
    }
}

bool ReaderLink::BuildRequest(uint8_t command, const ByteBuffer& parameters, ByteBuffer& frame) const {
    ByteBuffer telegram;
    bool built = true;
    if (m_dwLinkMode == LinkMode3964R) {
        built = telegram.Append(m_bySequence);
    } else {
        built = frame.Append(DLE) && frame.Append(STX);
    }
    built = built && telegram.Append(command) &&
            telegram.Append(static_cast<uint8_t>(parameters.GetCount())) && telegram.AppendBuffer(parameters);
    built = built && telegram.Append(BlockCheck(telegram.Bytes()));
    return built && AppendFramed(frame, telegram.Bytes());
}

LinkResult ReaderLink::Transact(uint8_t command, ByteBuffer parameters, uint8_t& status, ByteBuffer& answer) {
    answer.Clear();
    if (m_pPort == nullptr) {
        // Not connected: there is no line to send on.
        if (status == 0) {
            status = kStatusSerialError;
        }
        return LR_NO_ANSWER;
    }
    const bool framed = m_dwLinkMode == LinkModeDleFramed;
    ByteBuffer frame;
    if (!BuildRequest(command, parameters, frame)) {
        // The telegram would not fit in one buffer on the wire: nothing is sent.
        if (status == 0) {
            status = kStatusSerialError;
        }
        return LR_NO_ANSWER;
    }

    LinkResult result = LR_OK;
    bool sent = false;
    bool done = false;
    ByteBuffer telegram;
    for (uint32_t attempt = 0; attempt < kMaxAttempts && !done; ++attempt) {
        if (!sent) {
            if (framed) {
                result = m_pPort->Write(frame);
            } else {
                result = SendAndWaitDle(ByteBuffer{STX}, kStxAckTimeoutMs, true);
                if (result == LR_OK) {
                    result = SendAndWaitDle(frame, kTelegramAckTimeoutMs, true);
                }
            }
            if (result != LR_OK) {
                continue;
            }
            sent = true;
        }

        answer.Clear();
        if (!framed) {
            result = WaitForReaderStx();
            if (result != LR_OK) {
                continue;
            }
        }
        result = ReceiveTelegram(telegram, framed);
        if (result != LR_OK) {
            continue;
        }
        if (framed && !telegram.IsEmpty()) {
            // The first byte kept is the STX of the reader's DLE STX.
            ByteBuffer body;
            body.AppendRange(telegram, 1, telegram.GetCount());
            telegram = body;
        }

        const std::span<const uint8_t> bytes = telegram.Bytes();
        // Besides the block check, the length byte must count the data: a lost zero byte, or two
        // lost equal bytes, leave the check intact and would pass a shortened answer as success.
        const uint32_t header = framed ? kMinAnswerFramed - 1 : kMinAnswer3964R - 1;
        const bool good = bytes.size() > header && BlockCheck(bytes) == 0 &&
                          (framed || bytes[0] == m_bySequence) &&
                          bytes[header - 1] == static_cast<uint8_t>(bytes.size() - header - 1);
        if (!good) {
            // The reader repeats its telegram after a NAK, so only the receive phase runs again.
            result = SendAndWaitDle(ByteBuffer{NAK}, 0, false);
            continue;
        }
        if (!framed) {
            result = SendAndWaitDle(ByteBuffer{DLE}, 0, false);
            if (result != LR_OK) {
                continue;
            }
        }
        const uint32_t statusAt = framed ? 0 : 1;
        status = bytes[statusAt];
        answer.AppendRange(telegram, statusAt + 2, telegram.GetCount() - 1);
        done = true;
    }

    if (!framed) {
        ++m_bySequence;
    }
    if (done) {
        return LR_OK;
    }
    if (result == LR_OK) {
        result = LR_NO_ANSWER;
    }
    if (status == 0) {
        status = kStatusSerialError;
    }
    return result;
}
