#include "sim/SimLinkEndpoint.h"

#include <algorithm>

#include "link/ReaderProtocol.h"

namespace {

uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

}  // namespace

SimLinkEndpoint::SimLinkEndpoint(Clock& clock, SimCommandSet& commands, SimLoader& loader,
                                 std::function<void()> wakeUp)
    : m_clock(clock), m_commands(commands), m_loader(loader), m_wakeUp(std::move(wakeUp)) {}

// --- time

bool SimLinkEndpoint::Due(uint32_t at) const {
    return static_cast<int32_t>(m_clock.GetTickCount() - at) >= 0;
}

void SimLinkEndpoint::SetTimer(uint32_t ms) {
    m_bTimerArmed = true;
    m_dwTimerAt = m_clock.GetTickCount() + ms;
}

void SimLinkEndpoint::RunDueEvents() {
    for (bool again = true; again;) {
        again = false;
        // A late byte from the PC goes in before a time-out that falls due after it.
        if (!m_lateInput.empty() && Due(m_lateInput.front().second) &&
            !(m_bTimerArmed && static_cast<int32_t>(m_lateInput.front().second - m_dwTimerAt) > 0)) {
            const uint8_t byte = m_lateInput.front().first;
            m_lateInput.pop_front();
            ReceiveByte(byte);
            again = true;
            continue;
        }
        if (m_bTimerArmed && Due(m_dwTimerAt)) {
            m_bTimerArmed = false;
            OnTimer();
            again = true;
        }
        if (m_commands.RunDueFieldEvent()) {
            again = true;
        }
    }
    MaybeStartReport();
}

std::optional<uint32_t> SimLinkEndpoint::MsToNextEvent(int source) {
    const uint32_t now = m_clock.GetTickCount();
    std::optional<uint32_t> next;
    auto consider = [&](uint32_t at) {
        const uint32_t wait = static_cast<int32_t>(at - now) > 0 ? at - now : 0;
        if (!next || wait < *next) {
            next = wait;
        }
    };
    // Bytes that are due already are the transport's to take, at its own pace; only late ones
    // (a delayed answer) are an event.
    if (!m_output.empty() && source == m_nSource && !Due(m_output.front().second)) {
        consider(m_output.front().second);
    }
    if (!m_lateInput.empty()) {
        consider(m_lateInput.front().second);
    }
    if (m_bTimerArmed) {
        consider(m_dwTimerAt);
    }
    if (const std::optional<uint32_t> field = m_commands.MsToNextFieldEvent(now)) {
        consider(now + *field);
    }
    return next;
}

// --- the line

uint32_t SimLinkEndpoint::Queue(uint8_t byte, uint32_t delayMs) {
    // The reader puts its bytes out in order: never before one it queued earlier and still holds.
    uint32_t sentAfter = delayMs;
    const uint32_t now = m_clock.GetTickCount();
    if (!m_output.empty() && static_cast<int32_t>(m_dwLastSentAt - (now + delayMs)) > 0) {
        sentAfter = m_dwLastSentAt - now;
    }
    m_dwLastSentAt = now + sentAfter;
    if (m_faults.dropNthOut != 0 && --m_faults.dropNthOut == 0) {
        return sentAfter;
    }
    if (m_faults.corruptNthOut != 0 && --m_faults.corruptNthOut == 0) {
        byte = static_cast<uint8_t>(~byte);
    }
    if (DrawFraction(m_faults.dropFraction)) {
        return sentAfter;
    }
    if (DrawFraction(m_faults.corruptFraction)) {
        byte = static_cast<uint8_t>(~byte);
    }
    uint32_t due = m_clock.GetTickCount() + delayMs + DrawDelay();
    // Bytes leave in order: never before one queued earlier.
    if (!m_output.empty() && static_cast<int32_t>(m_output.back().second - due) > 0) {
        due = m_output.back().second;
    }
    m_output.emplace_back(byte, due);
    return sentAfter;
}

uint32_t SimLinkEndpoint::QueueFrame(const std::vector<uint8_t>& telegram, uint32_t delayMs) {
    std::vector<uint8_t> frame;
    if (m_nLinkMode == SimLinkFramed && !m_faults.noFramedStart) {
        frame = {DLE, STX};
    }
    for (uint8_t byte : telegram) {
        frame.push_back(byte);
        if (byte == DLE && !m_faults.noAnswerDoubling) {
            frame.push_back(DLE);
        }
    }
    frame.push_back(DLE);
    frame.push_back(ETX);
    uint32_t at = Queue(frame[0], delayMs);
    for (size_t i = 1; i < frame.size(); ++i) {
        at = Queue(frame[i], at + m_faults.charGapMs);
    }
    return at;
}

std::vector<uint8_t> SimLinkEndpoint::MakeTelegram(uint8_t sequence, uint8_t status,
                                                   const std::vector<uint8_t>& data) const {
    std::vector<uint8_t> telegram;
    if (m_nLinkMode == SimLink3964R) {
        telegram.push_back(sequence);
    }
    telegram.push_back(status);
    telegram.push_back(static_cast<uint8_t>(data.size() + (m_faults.wrongLength ? 1 : 0)));
    telegram.insert(telegram.end(), data.begin(), data.end());
    telegram.push_back(BlockCheck(telegram));
    return telegram;
}

std::vector<uint8_t> SimLinkEndpoint::Spoiled(std::vector<uint8_t> telegram) {
    if (m_nLinkMode == SimLink3964R && m_faults.wrongSequenceCount != 0) {
        --m_faults.wrongSequenceCount;
        const uint8_t wrong = static_cast<uint8_t>(telegram[0] + 1);
        telegram.back() ^= static_cast<uint8_t>(telegram[0] ^ wrong);  // the check stays right
        telegram[0] = wrong;
    }
    if (m_faults.wrongBccCount != 0) {
        --m_faults.wrongBccCount;
        telegram.back() ^= 0xFF;
    }
    return telegram;
}

bool SimLinkEndpoint::DrawFraction(double fraction) {
    if (fraction <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < fraction;
}

uint32_t SimLinkEndpoint::DrawDelay() {
    if (!DrawFraction(m_faults.delayFraction)) {
        return 0;
    }
    return std::uniform_int_distribution<uint32_t>(1, std::max<uint32_t>(1, m_faults.delayMs))(m_random);
}

bool SimLinkEndpoint::ApplyInputFaults(uint8_t& byte) {
    if (m_faults.dropNthIn != 0 && --m_faults.dropNthIn == 0) {
        return false;
    }
    if (m_faults.corruptNthIn != 0 && --m_faults.corruptNthIn == 0) {
        byte = static_cast<uint8_t>(~byte);
    }
    if (DrawFraction(m_faults.dropFraction)) {
        return false;
    }
    if (DrawFraction(m_faults.corruptFraction)) {
        byte = static_cast<uint8_t>(~byte);
    }
    return true;
}

void SimLinkEndpoint::Receive(std::span<const uint8_t> bytes, int source) {
    if (!bytes.empty()) {
        m_nSource = source;
    }
    RunDueEvents();
    for (uint8_t byte : bytes) {
        if (m_faults.silent || !ApplyInputFaults(byte)) {
            continue;
        }
        if (const uint32_t delay = DrawDelay(); delay != 0 || !m_lateInput.empty()) {
            uint32_t due = m_clock.GetTickCount() + delay;
            if (!m_lateInput.empty() && static_cast<int32_t>(m_lateInput.back().second - due) > 0) {
                due = m_lateInput.back().second;
            }
            m_lateInput.emplace_back(byte, due);
            continue;
        }
        ReceiveByte(byte);
    }
    RunDueEvents();
}

size_t SimLinkEndpoint::Transmit(std::vector<uint8_t>& out, size_t max, int source) {
    RunDueEvents();
    if (source != m_nSource) {
        return 0;
    }
    size_t taken = 0;
    while (taken < max && !m_output.empty() && Due(m_output.front().second)) {
        out.push_back(m_output.front().first);
        m_output.pop_front();
        ++taken;
    }
    return taken;
}

size_t SimLinkEndpoint::PendingOutput(int source) {
    RunDueEvents();
    if (source != m_nSource) {
        return 0;
    }
    size_t count = 0;
    for (const auto& [byte, at] : m_output) {
        if (!Due(at)) {
            break;
        }
        ++count;
    }
    return count;
}

void SimLinkEndpoint::SetLinkMode(SimLinkMode mode) {
    m_nLinkMode = mode;
    m_sending.reset();
    BecomeIdle();
}

void SimLinkEndpoint::ReceiveByte(uint8_t byte) {
    switch (m_nState) {
        case LinkLoader:
            m_loader.Byte(byte);
            return;
        case LinkLocked:
            return;
        case LinkReceive:
            SetTimer(kCharTimeoutMs);
            if (m_bDleSeen) {
                m_bDleSeen = false;
                if (byte == ETX) {
                    EndOfTelegram();
                    return;
                }
                if (byte == DLE && m_faults.keepRequestDle && m_received.size() >= HeaderSize()) {
                    m_received.push_back(DLE);  // this firmware undoubles the header only
                }
                m_received.push_back(byte);  // a doubled DLE, or a stray byte after a lone DLE
            } else if (byte == DLE) {
                m_bDleSeen = true;
            } else {
                m_received.push_back(byte);
            }
            if (IsLoneStx()) {
                SetTimer(kStxRestartMs);
            }
            if (m_received.size() > 2 * 1024) {
                // Longer than any request: a line full of noise. Refuse it and start over.
                if (m_nLinkMode == SimLink3964R) {
                    Queue(NAK);
                }
                BecomeIdle();
            }
            return;
        case LinkAwaitStxAck:
            if (byte == DLE) {
                SendTelegramBody();
            } else if (byte == STX) {
                OnPcStx();
            }
            return;
        case LinkAwaitTelegramAck:
            if (byte == DLE) {
                if (m_sending && m_sending->report) {
                    m_commands.CardReported(U32(m_sending->telegram, 3));
                } else {
                    m_bAnswerAcknowledged = true;
                }
                m_sending.reset();
                BecomeIdle();
            } else if (byte == NAK && m_faults.noRepeatAfterNak) {
                GiveUp();
            } else if (byte == NAK) {
                RepeatOrGiveUp();
            } else if (byte == STX) {
                OnPcStx();
            }
            return;
        case LinkFramedDle:
            if (byte == STX) {
                StartReceive();
            } else {
                m_nState = LinkIdle;
            }
            return;
        case LinkIdle:
            if (SimLoader::IsWakeUp(byte)) {
                m_nState = LinkLoader;
                m_wakeUp();
            } else if (m_nLinkMode == SimLink3964R) {
                if (byte == STX) {
                    StartReceive();
                }
            } else if (byte == DLE) {
                m_nState = LinkFramedDle;
            } else if (byte == NAK && m_sending && m_faults.noRepeatAfterNak) {
                m_sending.reset();
            } else if (byte == NAK && TakeRepeat()) {
                QueueFrame(Spoiled(m_sending->telegram), 0);
            }
            return;
    }
}

bool SimLinkEndpoint::IsLoneStx() const {
    return m_nLinkMode == SimLink3964R && m_received.size() == 1 && m_received[0] == STX && !m_bDleSeen;
}

// Both sides want to send. A strict reader keeps its priority: in place of the acknowledgement it
// awaits it sends its STX again, so the PC's STX meets an STX and the PC has to wait. While the
// telegram itself is unacknowledged, the PC's STX shows that the acknowledgement was lost, and the
// answer goes out again.
void SimLinkEndpoint::OnPcStx() {
    if (m_faults.lockAfterCollisionMs != 0) {
        // A firmware that hangs here drops its answer; an armed wait survives and reports later.
        m_sending.reset();
        Lock(m_faults.lockAfterCollisionMs);
    } else if (!m_bStrict) {
        GiveWayToPc();
    } else if (m_nState == LinkAwaitTelegramAck) {
        RepeatOrGiveUp();
    } else if (TakeRepeat()) {
        SetTimer(Queue(STX) + kAckTimeoutMs);
    } else {
        m_sending.reset();
        BecomeIdle();
    }
}

// After a NAK or a missing acknowledgement: the answer again, from its STX, while repeats last. The
// PC refuses a card report for good (it stops waiting), so a refused report is not repeated.
void SimLinkEndpoint::RepeatOrGiveUp(bool timedOut) {
    if (!(m_sending && m_sending->report && m_nState == LinkAwaitTelegramAck) &&
        TakeRepeat(timedOut && m_faults.endlessRepeat)) {
        m_nState = LinkAwaitStxAck;
        SetTimer(Queue(STX) + kAckTimeoutMs);
        return;
    }
    GiveUp();
}

void SimLinkEndpoint::GiveUp() {
    if (m_sending && m_sending->report) {
        m_commands.EndWaitForCard();
    }
    m_sending.reset();
    BecomeIdle();
}

bool SimLinkEndpoint::TakeRepeat(bool unlimited) {
    if (!m_sending || m_sending->repeatsLeft == 0) {
        return false;
    }
    if (!unlimited) {
        --m_sending->repeatsLeft;
    }
    return true;
}

// The lenient reader gives way: it takes the PC's telegram. An answer is then obsolete; a card
// report is sent again afterwards.
void SimLinkEndpoint::GiveWayToPc() {
    m_sending.reset();
    StartReceive();
}

void SimLinkEndpoint::StartReceive() {
    // The character time-out counts from the DLE, however late it goes out.
    const uint32_t acked = m_nLinkMode == SimLink3964R ? Queue(DLE, m_faults.lateStxAckMs) : 0;
    m_nState = LinkReceive;
    m_received.clear();
    m_bDleSeen = false;
    SetTimer(acked + kCharTimeoutMs);
}

void SimLinkEndpoint::BecomeIdle() {
    m_nState = LinkIdle;
    m_bTimerArmed = false;
    MaybeStartReport();
}

void SimLinkEndpoint::Lock(uint32_t ms) {
    if (ms == 0) {
        BecomeIdle();
        return;
    }
    m_nState = LinkLocked;
    SetTimer(ms);
}

void SimLinkEndpoint::OnTimer() {
    switch (m_nState) {
        case LinkReceive:
            if (IsLoneStx()) {
                // Not a telegram that starts with sequence number 2 (its bytes would follow at
                // once) but the PC asking again, e.g. after its probe's STX: acknowledge it.
                m_received.clear();
                SetTimer(Queue(DLE, m_faults.lateStxAckMs) + kCharTimeoutMs);
                return;
            }
            // The telegram stopped before its end mark: refuse it. A lone STX with nothing after it
            // ends quietly, since the PC sends one on its own to probe the reader; a NAK would
            // linger in its input and spoil the next exchange.
            if (!m_received.empty() || m_bDleSeen) {
                if (m_nLinkMode == SimLink3964R) {
                    Queue(NAK);
                }
                Lock(m_faults.lockAfterBrokenMs);
                return;
            }
            BecomeIdle();
            return;
        case LinkAwaitStxAck:
        case LinkAwaitTelegramAck:
            RepeatOrGiveUp(true);
            return;
        case LinkLoader:
            m_loader.OnTimer();
            return;
        case LinkLocked:
            BecomeIdle();
            return;
        default:
            return;
    }
}

void SimLinkEndpoint::EndOfTelegram() {
    std::vector<uint8_t> telegram = std::move(m_received);
    m_received.clear();
    const bool framed = m_nLinkMode == SimLinkFramed;
    const size_t header = HeaderSize();  // [sequence,] command, length
    if (telegram.size() < header + 1 || (BlockCheck(telegram) != 0 && !m_faults.acceptBadBcc)) {
        // A bad block check: NAK, and the PC starts over. The framed procedure has no
        // acknowledgements, so there the request is dropped without a word.
        if (!framed) {
            Queue(NAK);
        }
        BecomeIdle();
        return;
    }
    // The answer's STX follows the DLE, however late that goes out.
    const uint32_t ackDelay = framed ? 0 : m_faults.lateTelegramAckMs;
    if (!framed) {
        Queue(DLE, ackDelay);
    }
    telegram.pop_back();  // the BCC
    SimRequest request;
    request.sequence = framed ? 0 : telegram[0];
    request.command = telegram[header - 2];
    const uint8_t length = telegram[header - 1];
    request.params.assign(telegram.begin() + static_cast<long>(header), telegram.end());

    std::vector<uint8_t> answer;
    if (!framed && !m_bAnswerAcknowledged && telegram == m_lastRequest) {
        // The PC sends a request again whose answer it never confirmed: it lost our DLE. Send the
        // stored answer rather than running the command twice (an increment must count once).
        request.repeated = true;
        answer = m_lastAnswer;
    } else {
        SimCommandSet::Answer result = length == request.params.size()
                                           ? m_commands.Execute(request.command, request.params)
                                           : SimCommandSet::Answer{SimCommandSet::kStatusBadCommand, {}};
        if (m_faults.answerData) {
            result = SimCommandSet::Answer{SimCommandSet::kStatusOk, std::move(*m_faults.answerData)};
            m_faults.answerData.reset();
        }
        if (result.unanswered) {
            // A firmware that hangs in the command: nothing comes back, and the line is free again.
            m_requests.push_back(std::move(request));
            BecomeIdle();
            return;
        }
        if (request.command == kCmdWaitForCard && result.status == SimCommandSet::kStatusOk) {
            m_byReportSequence = request.sequence;
        }
        answer = MakeTelegram(request.sequence, result.status, result.data);
        m_lastRequest = telegram;
        m_lastAnswer = answer;
    }
    m_requests.push_back(std::move(request));
    StartSending(Outgoing{answer, false, kMaxRepeats}, ackDelay + m_faults.answerDelayMs);
}

void SimLinkEndpoint::StartSending(Outgoing outgoing, uint32_t delayMs) {
    if (m_nLinkMode == SimLinkFramed) {
        QueueFrame(Spoiled(outgoing.telegram), delayMs);
        m_sending = std::move(outgoing);
        m_nState = LinkIdle;
        return;
    }
    if (!outgoing.report) {
        m_bAnswerAcknowledged = false;
    }
    m_sending = std::move(outgoing);
    m_nState = LinkAwaitStxAck;
    SetTimer(Queue(STX, delayMs) + kAckTimeoutMs);
}

void SimLinkEndpoint::SendTelegramBody() {
    // The PC's time to acknowledge starts with the last byte, however slowly the frame goes out.
    const uint32_t last = QueueFrame(Spoiled(m_sending->telegram), 0);
    m_nState = LinkAwaitTelegramAck;
    SetTimer(last + kAckTimeoutMs);
}

void SimLinkEndpoint::MaybeStartReport() {
    if (m_nState != LinkIdle || m_faults.silent) {
        return;
    }
    // The armed reader polls its field: any card that answers a request counts as entering.
    SimCard* card = m_commands.CardToReport();
    if (card == nullptr) {
        return;
    }
    std::vector<uint8_t> uid;
    for (int i = 0; i < 4; ++i) {
        uid.push_back(static_cast<uint8_t>(card->GetUid() >> (8 * i)));
    }
    const std::vector<uint8_t> telegram = MakeTelegram(m_byReportSequence, SimCommandSet::kStatusOk, uid);
    if (m_nLinkMode == SimLinkFramed) {
        // Nothing acknowledges a framed report: it counts as delivered once sent.
        m_commands.EndWaitForCard();
        card->SetState(SimCard::StateReady);
        StartSending(Outgoing{telegram, true, 0}, 0);
        return;
    }
    StartSending(Outgoing{telegram, true, kMaxRepeats}, 0);
}

void SimLinkEndpoint::LeaveLoader() {
    m_sending.reset();
    BecomeIdle();
}

void SimLinkEndpoint::SetFaults(const SimFaults& faults) {
    m_faults = faults;
    m_random.seed(faults.seed);
}
