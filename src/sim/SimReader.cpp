#include "sim/SimReader.h"

#include <algorithm>
#include <cstring>

#include "link/ReaderProtocol.h"

namespace {

enum : uint8_t {
    kStatusOk = 0,
    kStatusNoCard = 1,
    kStatusOverflow = 3,
    kStatusNoAuthentication = 4,
    kStatusNotAuthenticated = 10,
    kStatusTransfer = 14,
    kStatusWrite = 15,
    kStatusIncrement = 16,
    kStatusDecrement = 17,
    kStatusRead = 18,
    kStatusNotValueBlock = 20,
};

uint8_t Xor(const std::vector<uint8_t>& bytes) {
    uint8_t bcc = 0;
    for (uint8_t byte : bytes) {
        bcc ^= byte;
    }
    return bcc;
}

uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

}  // namespace

SimReader::SimReader(Clock& clock)
    : m_clock(clock),
      m_loader({[this](uint8_t byte, uint32_t delayMs) { Queue(byte, delayMs); },
                [this](uint32_t ms) { SetTimer(ms); }, [this] { m_bTimerArmed = false; },
                [this] { LeaveLoader(); }}) {
    // A reader fresh from the factory holds the transport key in every slot, so that new cards
    // can be read before any key is loaded.
    m_keys.fill(SimCard::kTransportKey);
}

// --- locking and listeners

void SimReader::Notify() {
    m_listeners.Notify();
}

int SimReader::AddListener(std::function<void()> listener) {
    return m_listeners.Add(std::move(listener));
}

void SimReader::RemoveListener(int id) {
    m_listeners.Remove(id);
}

// --- time

bool SimReader::Due(uint32_t at) const {
    return static_cast<int32_t>(m_clock.GetTickCount() - at) >= 0;
}

void SimReader::SetTimer(uint32_t ms) {
    m_bTimerArmed = true;
    m_dwTimerAt = m_clock.GetTickCount() + ms;
}

void SimReader::RunDueEvents() {
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
        for (auto it = m_schedule.begin(); it != m_schedule.end(); ++it) {
            if (Due(it->at)) {
                FieldEvent event = std::move(*it);
                m_schedule.erase(it);
                if (event.enter) {
                    m_cards.push_back(event.card);
                } else {
                    std::erase_if(m_cards,
                                  [&](const SimCard& c) { return c.GetUid() == event.card.GetUid(); });
                }
                again = true;
                break;
            }
        }
    }
    MaybeStartReport();
}

void SimReader::Tick() {
    {
        std::lock_guard lock(m_mutex);
        RunDueEvents();
    }
    Notify();
}

std::optional<uint32_t> SimReader::MsToNextEvent(int source) {
    std::lock_guard lock(m_mutex);
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
    for (const FieldEvent& event : m_schedule) {
        consider(event.at);
    }
    return next;
}

// --- the line

void SimReader::Queue(uint8_t byte, uint32_t delayMs) {
    if (m_faults.dropNthOut != 0 && --m_faults.dropNthOut == 0) {
        return;
    }
    if (m_faults.corruptNthOut != 0 && --m_faults.corruptNthOut == 0) {
        byte = static_cast<uint8_t>(~byte);
    }
    if (DrawFraction(m_faults.dropFraction)) {
        return;
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
}

void SimReader::QueueFramed(const std::vector<uint8_t>& telegram) {
    for (uint8_t byte : telegram) {
        Queue(byte);
        if (byte == DLE) {
            Queue(DLE);
        }
    }
    Queue(DLE);
    Queue(ETX);
}

bool SimReader::DrawFraction(double fraction) {
    if (fraction <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < fraction;
}

uint32_t SimReader::DrawDelay() {
    if (!DrawFraction(m_faults.delayFraction)) {
        return 0;
    }
    return std::uniform_int_distribution<uint32_t>(1, std::max<uint32_t>(1, m_faults.delayMs))(m_random);
}

bool SimReader::ApplyInputFaults(uint8_t& byte) {
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

void SimReader::Receive(std::span<const uint8_t> bytes, int source) {
    {
        std::lock_guard lock(m_mutex);
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
    Notify();
}

size_t SimReader::Transmit(std::vector<uint8_t>& out, size_t max, int source) {
    size_t taken = 0;
    {
        std::lock_guard lock(m_mutex);
        RunDueEvents();
        if (source != m_nSource) {
            return 0;
        }
        while (taken < max && !m_output.empty() && Due(m_output.front().second)) {
            out.push_back(m_output.front().first);
            m_output.pop_front();
            ++taken;
        }
    }
    if (taken != 0) {
        Notify();
    }
    return taken;
}

size_t SimReader::PendingOutput(int source) {
    std::lock_guard lock(m_mutex);
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

void SimReader::DiscardOutput() {
    std::lock_guard lock(m_mutex);
    m_output.clear();
}

void SimReader::SetLinkMode(SimLinkMode mode) {
    std::lock_guard lock(m_mutex);
    m_nLinkMode = mode;
    m_sending.reset();
    BecomeIdle();
}

SimLinkMode SimReader::GetLinkMode() {
    std::lock_guard lock(m_mutex);
    return m_nLinkMode;
}

void SimReader::SetStrict(bool strict) {
    std::lock_guard lock(m_mutex);
    m_bStrict = strict;
}

bool SimReader::IsStrict() {
    std::lock_guard lock(m_mutex);
    return m_bStrict;
}

void SimReader::ReceiveByte(uint8_t byte) {
    switch (m_nState) {
        case LinkLoader:
            m_loader.Byte(byte);
            return;
        case LinkReceive:
            SetTimer(kCharTimeoutMs);
            if (m_bDleSeen) {
                m_bDleSeen = false;
                if (byte == ETX) {
                    EndOfTelegram();
                    return;
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
                    m_bWaitForCard = false;
                    const uint32_t uid = U32(m_sending->telegram, 3);
                    for (SimCard& card : m_cards) {
                        if (card.GetUid() == uid) {
                            card.SetState(SimCard::StateReady);  // the reader has found it already
                        }
                    }
                } else {
                    m_bAnswerAcknowledged = true;
                }
                m_sending.reset();
                BecomeIdle();
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
                if (m_bReaderDone) {
                    PlugInFreshReader();
                }
                m_nState = LinkLoader;
                m_loader.Enter();
            } else if (m_nLinkMode == SimLink3964R) {
                if (byte == STX) {
                    StartReceive();
                }
            } else if (byte == DLE) {
                m_nState = LinkFramedDle;
            } else if (byte == NAK && m_sending && m_sending->repeatsLeft > 0) {
                --m_sending->repeatsLeft;
                Queue(DLE);
                Queue(STX);
                QueueFramed(m_sending->telegram);
            }
            return;
    }
}

bool SimReader::IsLoneStx() const {
    return m_nLinkMode == SimLink3964R && m_received.size() == 1 && m_received[0] == STX && !m_bDleSeen;
}

// Both sides want to send. A strict reader keeps its priority: in place of the acknowledgement it
// awaits it sends its STX again, so the PC's STX meets an STX and the PC has to wait. While the
// telegram itself is unacknowledged, the PC's STX shows that the acknowledgement was lost, and the
// answer goes out again.
void SimReader::OnPcStx() {
    if (!m_bStrict) {
        GiveWayToPc();
    } else if (m_nState == LinkAwaitTelegramAck) {
        RepeatOrGiveUp();
    } else if (m_sending && m_sending->repeatsLeft > 0) {
        --m_sending->repeatsLeft;
        Queue(STX);
        SetTimer(kAckTimeoutMs);
    } else {
        m_sending.reset();
        BecomeIdle();
    }
}

// After a NAK or a missing acknowledgement: the answer again, from its STX, while repeats last. The
// PC refuses a card report for good (it stops waiting), so a refused report is not repeated.
void SimReader::RepeatOrGiveUp() {
    if (m_sending && m_sending->repeatsLeft > 0 && !(m_sending->report && m_nState == LinkAwaitTelegramAck)) {
        --m_sending->repeatsLeft;
        Queue(STX);
        m_nState = LinkAwaitStxAck;
        SetTimer(kAckTimeoutMs);
        return;
    }
    if (m_sending && m_sending->report) {
        m_bWaitForCard = false;
    }
    m_sending.reset();
    BecomeIdle();
}

// The lenient reader gives way: it takes the PC's telegram. An answer is then obsolete; a card
// report is sent again afterwards.
void SimReader::GiveWayToPc() {
    m_sending.reset();
    StartReceive();
}

void SimReader::StartReceive() {
    if (m_nLinkMode == SimLink3964R) {
        Queue(DLE);
    }
    m_nState = LinkReceive;
    m_received.clear();
    m_bDleSeen = false;
    SetTimer(kCharTimeoutMs);
}

void SimReader::BecomeIdle() {
    m_nState = LinkIdle;
    m_bTimerArmed = false;
    MaybeStartReport();
}

void SimReader::OnTimer() {
    switch (m_nState) {
        case LinkReceive:
            if (IsLoneStx()) {
                // Not a telegram that starts with sequence number 2 (its bytes would follow at
                // once) but the PC asking again, e.g. after its probe's STX: acknowledge it.
                Queue(DLE);
                m_received.clear();
                SetTimer(kCharTimeoutMs);
                return;
            }
            // The telegram stopped before its end mark: refuse it. A lone STX with nothing after it
            // ends quietly, since the PC sends one on its own to probe the reader; a NAK would
            // linger in its input and spoil the next exchange.
            if (m_nLinkMode == SimLink3964R && (!m_received.empty() || m_bDleSeen)) {
                Queue(NAK);
            }
            BecomeIdle();
            return;
        case LinkAwaitStxAck:
        case LinkAwaitTelegramAck:
            RepeatOrGiveUp();
            return;
        case LinkLoader:
            m_loader.OnTimer();
            return;
        default:
            return;
    }
}

void SimReader::EndOfTelegram() {
    std::vector<uint8_t> telegram = std::move(m_received);
    m_received.clear();
    const bool framed = m_nLinkMode == SimLinkFramed;
    const size_t header = framed ? 2 : 3;  // [sequence,] command, length
    if (telegram.size() < header + 1 || Xor(telegram) != 0) {
        // A bad block check: NAK, and the PC starts over. The framed procedure has no
        // acknowledgements, so there the request is dropped without a word.
        if (!framed) {
            Queue(NAK);
        }
        BecomeIdle();
        return;
    }
    if (!framed) {
        Queue(DLE);
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
        Answer result = length == request.params.size() ? Execute(request.command, request.params)
                                                        : Answer{kStatusBadCommand, {}};
        if (m_faults.answerData) {
            result = Answer{kStatusOk, std::move(*m_faults.answerData)};
            m_faults.answerData.reset();
        }
        if (request.command == kCmdWaitForCard && result.status == kStatusOk) {
            m_byReportSequence = request.sequence;
        }
        if (!framed) {
            answer.push_back(request.sequence);
        }
        answer.push_back(result.status);
        answer.push_back(static_cast<uint8_t>(result.data.size()));
        answer.insert(answer.end(), result.data.begin(), result.data.end());
        answer.push_back(Xor(answer));
        m_lastRequest = telegram;
        m_lastAnswer = answer;
    }
    m_requests.push_back(std::move(request));
    StartSending(Outgoing{answer, false, kMaxRepeats}, m_faults.answerDelayMs);
}

void SimReader::StartSending(Outgoing outgoing, uint32_t delayMs) {
    if (m_nLinkMode == SimLinkFramed) {
        std::vector<uint8_t> telegram = outgoing.telegram;
        if (m_faults.wrongBccCount != 0) {
            --m_faults.wrongBccCount;
            telegram.back() ^= 0xFF;
        }
        Queue(DLE, delayMs);
        Queue(STX);
        QueueFramed(telegram);
        m_sending = std::move(outgoing);
        m_nState = LinkIdle;
        return;
    }
    if (!outgoing.report) {
        m_bAnswerAcknowledged = false;
    }
    m_sending = std::move(outgoing);
    Queue(STX, delayMs);
    m_nState = LinkAwaitStxAck;
    SetTimer(delayMs + kAckTimeoutMs);
}

void SimReader::SendTelegramBody() {
    std::vector<uint8_t> telegram = m_sending->telegram;
    if (m_faults.wrongSequenceCount != 0) {
        --m_faults.wrongSequenceCount;
        const uint8_t wrong = static_cast<uint8_t>(telegram[0] + 1);
        telegram.back() ^= static_cast<uint8_t>(telegram[0] ^ wrong);  // the check stays right
        telegram[0] = wrong;
    }
    if (m_faults.wrongBccCount != 0) {
        --m_faults.wrongBccCount;
        telegram.back() ^= 0xFF;
    }
    QueueFramed(telegram);
    m_nState = LinkAwaitTelegramAck;
    SetTimer(kAckTimeoutMs);
}

void SimReader::MaybeStartReport() {
    if (m_nState != LinkIdle || !m_bWaitForCard || m_faults.silent) {
        return;
    }
    // The armed reader polls its field: any card that answers a request (one that is not halted
    // and not already in use) counts as entering, also one that was there when it was armed.
    auto it = std::find_if(m_cards.begin(), m_cards.end(),
                           [](const SimCard& card) { return card.GetState() == SimCard::StateIdle; });
    if (it == m_cards.end()) {
        return;
    }
    std::vector<uint8_t> telegram{m_byReportSequence, kStatusOk, 4};
    for (int i = 0; i < 4; ++i) {
        telegram.push_back(static_cast<uint8_t>(it->GetUid() >> (8 * i)));
    }
    if (m_nLinkMode == SimLinkFramed) {
        telegram.erase(telegram.begin());  // no sequence number in this procedure
        telegram.push_back(Xor(telegram));
        // Nothing acknowledges a framed report: it counts as delivered once sent.
        m_bWaitForCard = false;
        it->SetState(SimCard::StateReady);
        StartSending(Outgoing{telegram, true, 0}, 0);
        return;
    }
    telegram.push_back(Xor(telegram));
    StartSending(Outgoing{telegram, true, kMaxRepeats}, 0);
}

// --- the command set

SimCard* SimReader::ActiveCard() {
    for (SimCard& card : m_cards) {
        if (card.GetState() == SimCard::StateActive) {
            return &card;
        }
    }
    return nullptr;
}

SimReader::Answer SimReader::Execute(uint8_t command, const std::vector<uint8_t>& params) {
    const size_t n = params.size();
    // The transfer buffer lives only until the next command: a transfer must follow the
    // increment, decrement or restore at once, as on the card.
    std::optional<std::pair<int32_t, uint8_t>> transfer = m_transferBuffer;
    m_transferBuffer.reset();
    const Answer bad{kStatusBadCommand, {}};

    switch (command) {
        case kCmdWaitForCard:
            if (n != 0) {
                return bad;
            }
            m_bWaitForCard = true;
            return {};
        case kCmdRequest: {
            if (n != 1) {
                return bad;
            }
            // Mode 0 wakes the cards that are not halted, mode 1 all of them. A card answers whatever
            // it did before (as with readers that drop the field briefly before each request), and
            // then waits for anticollision and select again.
            bool any = false;
            for (SimCard& card : m_cards) {
                if (params[0] != 0 || card.GetState() != SimCard::StateHalt) {
                    card.SetState(SimCard::StateReady);
                    any = true;
                }
            }
            if (!any) {
                return {kStatusNoCard, {}};
            }
            return {
                kStatusOk,
                {static_cast<uint8_t>(SimCard::kCardType), static_cast<uint8_t>(SimCard::kCardType >> 8)}};
        }
        case kCmdAnticollision:
            if (n != 5) {
                return bad;
            }
            // With several ready cards the one that entered the field first wins.
            for (SimCard& card : m_cards) {
                if (card.GetState() == SimCard::StateReady) {
                    const uint32_t uid = card.GetUid();
                    return {kStatusOk,
                            {static_cast<uint8_t>(uid), static_cast<uint8_t>(uid >> 8),
                             static_cast<uint8_t>(uid >> 16), static_cast<uint8_t>(uid >> 24)}};
                }
            }
            return {kStatusNoCard, {}};
        case kCmdSelect: {
            if (n != 4) {
                return bad;
            }
            const uint32_t uid = U32(params, 0);
            for (SimCard& card : m_cards) {
                if (card.GetUid() == uid &&
                    (card.GetState() == SimCard::StateReady || card.GetState() == SimCard::StateActive)) {
                    for (SimCard& other : m_cards) {
                        if (other.GetState() == SimCard::StateActive) {
                            other.SetState(SimCard::StateIdle);
                        }
                    }
                    card.SetState(SimCard::StateActive);
                    return {kStatusOk, {SimCard::kSak}};
                }
            }
            return {kStatusNoCard, {}};
        }
        case kCmdLoadKey: {
            // Mode bit 2 chooses key B, bits 0-1 the key set; the second six-byte group is the key.
            // The first group is not used by this reader.
            if (n != 14 || (params[0] & 3) > 2 || params[1] > 15) {
                return bad;
            }
            SimCard::Key key;
            std::copy(params.begin() + 8, params.end(), key.begin());
            m_keys[((params[0] & 3) * 2 + ((params[0] & 4) ? 1 : 0)) * 16 + params[1]] = key;
            return {};
        }
        case kCmdAuthenticate: {
            if (n != 3 || (params[0] & 3) > 2 || params[1] > 15 || params[2] >= SimCard::kBlockCount) {
                return bad;
            }
            SimCard* card = ActiveCard();
            if (card == nullptr) {
                return {kStatusNoCard, {}};
            }
            const bool keyB = (params[0] & 4) != 0;
            const SimCard::Key& key = m_keys[((params[0] & 3) * 2 + (keyB ? 1 : 0)) * 16 + params[1]];
            return {card->Authenticate(params[2], keyB, key) ? kStatusOk : kStatusNoAuthentication, {}};
        }
        case kCmdReadBlock: {
            if (n != 1 || params[0] >= SimCard::kBlockCount) {
                return bad;
            }
            SimCard* card = ActiveCard();
            if (card == nullptr) {
                return {kStatusNoCard, {}};
            }
            if (!card->IsAuthenticated(params[0])) {
                return {kStatusNotAuthenticated, {}};
            }
            if (!SimCard::IsTrailer(params[0]) && !card->IsAllowed(params[0], SimCard::OpRead)) {
                return {kStatusRead, {}};
            }
            const SimCard::Block data = card->ReadForReader(params[0]);
            return {kStatusOk, {data.begin(), data.end()}};
        }
        case kCmdWriteBlock: {
            if (n != 1 + SimCard::kBlockSize || params[0] >= SimCard::kBlockCount) {
                return bad;
            }
            SimCard* card = ActiveCard();
            if (card == nullptr) {
                return {kStatusNoCard, {}};
            }
            if (!card->IsAuthenticated(params[0])) {
                return {kStatusNotAuthenticated, {}};
            }
            SimCard::Block data;
            std::copy(params.begin() + 1, params.end(), data.begin());
            return {card->WriteFromReader(params[0], data) ? kStatusOk : kStatusWrite, {}};
        }
        case kCmdIncrement:
        case kCmdDecrement:
        case kCmdDecrementTransfer:
        case kCmdRestore:
            return ValueOperation(command, params);
        case kCmdTransfer: {
            if (n != 1 || params[0] >= SimCard::kBlockCount) {
                return bad;
            }
            SimCard* card = ActiveCard();
            if (card == nullptr) {
                return {kStatusNoCard, {}};
            }
            if (!card->IsAuthenticated(params[0])) {
                return {kStatusNotAuthenticated, {}};
            }
            if (!transfer || params[0] == 0 || !card->IsAllowed(params[0], SimCard::OpDecrement)) {
                return {kStatusTransfer, {}};
            }
            card->SetBlock(params[0], SimCard::ValueBlock(transfer->first, transfer->second));
            return {};
        }
        case kCmdHalt: {
            if (n != 0) {
                return bad;
            }
            SimCard* card = ActiveCard();
            if (card == nullptr) {
                return {kStatusNoCard, {}};
            }
            card->SetState(SimCard::StateHalt);
            return {};
        }
        case kCmdReset:
            // The field goes off and on: every card forgets its state, halted ones too, and an armed
            // wait for a card ends. The off time (the parameter) is not modelled.
            if (n != 2) {
                return bad;
            }
            for (SimCard& card : m_cards) {
                card.SetState(SimCard::StateIdle);
            }
            m_bWaitForCard = false;
            return {};
        case kCmdSetPort:
            // Bit 0 green LED, bit 1 buzzer, bit 2 a short beep, bit 4 red LED; other bits are ignored.
            if (n != 1) {
                return bad;
            }
            m_port.greenLed = (params[0] & 0x01) != 0;
            m_port.buzzer = (params[0] & 0x02) != 0;
            m_port.redLed = (params[0] & 0x10) != 0;
            if (params[0] & 0x04) {
                ++m_port.beeps;
            }
            return {};
        case kCmdGetInfo: {
            if (n != 0) {
                return bad;
            }
            Answer info;
            info.data.assign(kInfoText, kInfoText + std::strlen(kInfoText));
            info.data.push_back(0);
            return info;
        }
        default:
            return bad;
    }
}

SimReader::Answer SimReader::ValueOperation(uint8_t command, const std::vector<uint8_t>& params) {
    const bool restore = command == kCmdRestore;
    if (params.size() != (restore ? 1u : 5u) || params[0] >= SimCard::kBlockCount) {
        return {kStatusBadCommand, {}};
    }
    const uint8_t block = params[0];
    SimCard* card = ActiveCard();
    if (card == nullptr) {
        return {kStatusNoCard, {}};
    }
    if (!card->IsAuthenticated(block)) {
        return {kStatusNotAuthenticated, {}};
    }
    const auto value =
        SimCard::IsTrailer(block) ? std::nullopt : SimCard::ParseValueBlock(card->GetBlock(block));
    if (!value) {
        return {kStatusNotValueBlock, {}};
    }
    const bool increment = command == kCmdIncrement;
    const uint8_t failure = increment ? kStatusIncrement : restore ? kStatusTransfer : kStatusDecrement;
    if (!card->IsAllowed(block, increment ? SimCard::OpIncrement : SimCard::OpDecrement)) {
        return {failure, {}};
    }
    // Values are signed 32-bit numbers, as on the card; leaving that range is an overflow.
    int64_t result = value->first;
    if (!restore) {
        const auto amount = static_cast<int32_t>(U32(params, 1));
        result += increment ? static_cast<int64_t>(amount) : -static_cast<int64_t>(amount);
    }
    if (result < INT32_MIN || result > INT32_MAX) {
        return {kStatusOverflow, {}};
    }
    if (command == kCmdDecrementTransfer) {
        card->SetBlock(block, SimCard::ValueBlock(static_cast<int32_t>(result), value->second));
        return {};
    }
    m_transferBuffer = std::make_pair(static_cast<int32_t>(result), value->second);
    return {};
}

// --- the field and observations

void SimReader::EnterCard(const SimCard& card) {
    {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_cards, [&](const SimCard& c) { return c.GetUid() == card.GetUid(); });
        m_cards.push_back(card);
        m_cards.back().SetState(SimCard::StateIdle);
        RunDueEvents();
    }
    Notify();
}

bool SimReader::LeaveCard(uint32_t uid) {
    bool left;
    {
        std::lock_guard lock(m_mutex);
        left = std::erase_if(m_cards, [&](const SimCard& c) { return c.GetUid() == uid; }) != 0;
    }
    Notify();
    return left;
}

void SimReader::ScheduleEnter(uint32_t afterMs, const SimCard& card) {
    {
        std::lock_guard lock(m_mutex);
        m_schedule.push_back({m_clock.GetTickCount() + afterMs, true, card});
    }
    Notify();
}

void SimReader::ScheduleLeave(uint32_t afterMs, uint32_t uid) {
    {
        std::lock_guard lock(m_mutex);
        m_schedule.push_back({m_clock.GetTickCount() + afterMs, false, SimCard(uid)});
    }
    Notify();
}

std::vector<uint32_t> SimReader::CardsInField() {
    std::lock_guard lock(m_mutex);
    RunDueEvents();
    std::vector<uint32_t> uids;
    for (const SimCard& card : m_cards) {
        uids.push_back(card.GetUid());
    }
    return uids;
}

std::optional<SimCard> SimReader::GetCard(uint32_t uid) {
    std::lock_guard lock(m_mutex);
    for (const SimCard& card : m_cards) {
        if (card.GetUid() == uid) {
            return card;
        }
    }
    return std::nullopt;
}

bool SimReader::ReplaceCard(const SimCard& card) {
    std::lock_guard lock(m_mutex);
    for (SimCard& c : m_cards) {
        if (c.GetUid() == card.GetUid()) {
            c = card;
            return true;
        }
    }
    return false;
}

std::vector<SimRequest> SimReader::Requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void SimReader::ClearRequests() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

SimPortState SimReader::GetPortState() {
    std::lock_guard lock(m_mutex);
    return m_port;
}

SimCard::Key SimReader::GetKey(uint32_t keySet, bool keyB, uint32_t keyNumber) {
    std::lock_guard lock(m_mutex);
    return m_keys.at((keySet * 2 + (keyB ? 1 : 0)) * 16 + keyNumber);
}

bool SimReader::IsWaitingForCard() {
    std::lock_guard lock(m_mutex);
    return m_bWaitForCard;
}

bool SimReader::InLoader() {
    std::lock_guard lock(m_mutex);
    return m_nState == LinkLoader;
}

std::string SimReader::GetSerialText() {
    std::lock_guard lock(m_mutex);
    return m_loader.GetSerialText();
}

void SimReader::SetSerialText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_loader.SetSerialText(text);
}

std::vector<std::array<uint8_t, 72>> SimReader::GetFlashBlocks() {
    std::lock_guard lock(m_mutex);
    return m_loader.GetFlashBlocks();
}

std::vector<uint8_t> SimReader::GetFirmwareImage() {
    std::lock_guard lock(m_mutex);
    return m_loader.GetFirmwareImage();
}

uint32_t SimReader::GetEraseCount(uint32_t bank) {
    std::lock_guard lock(m_mutex);
    return m_loader.GetEraseCount(bank);
}

void SimReader::SetLoaderSettings(const SimLoader::Settings& settings) {
    std::lock_guard lock(m_mutex);
    m_loader.SetSettings(settings);
}

SimLoader::Settings SimReader::GetLoaderSettings() {
    std::lock_guard lock(m_mutex);
    return m_loader.GetSettings();
}

SimEeprom SimReader::GetEeprom() {
    std::lock_guard lock(m_mutex);
    return m_eeprom;
}

void SimReader::SetEeprom(const SimEeprom& eeprom) {
    std::lock_guard lock(m_mutex);
    m_eeprom = eeprom;
}

void SimReader::SetFaults(const SimFaults& faults) {
    {
        std::lock_guard lock(m_mutex);
        m_faults = faults;
        m_random.seed(faults.seed);
        m_loader.SetFaults(
            {faults.refusedLoaderCommands, faults.silentLoaderCommands, faults.wrongLoaderCrc});
    }
    Notify();
}

void SimReader::LeaveLoader() {
    m_sending.reset();
    BecomeIdle();
    if (m_bSeries) {
        m_seriesReaders.push_back({m_loader.GetSerialText(), m_eeprom});
        m_bReaderDone = true;
    }
}

void SimReader::PlugInFreshReader() {
    m_bReaderDone = false;
    m_loader.SetSerialText(m_strSeriesSerial);
    m_eeprom = m_seriesEeprom;
}

void SimReader::StartSeries(const std::string& serialText) {
    std::lock_guard lock(m_mutex);
    m_bSeries = true;
    m_strSeriesSerial = serialText;
    m_seriesEeprom = m_eeprom;
    m_seriesReaders.clear();
    PlugInFreshReader();
}

std::vector<SimSeriesReader> SimReader::GetSeriesReaders() {
    std::lock_guard lock(m_mutex);
    return m_seriesReaders;
}

SimFaults SimReader::GetFaults() {
    std::lock_guard lock(m_mutex);
    return m_faults;
}
