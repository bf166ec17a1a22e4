#include "sim/SimCommandSet.h"

#include <algorithm>
#include <cstring>

#include "link/ReaderProtocol.h"

namespace {

// Statuses only commands give; OK and bad command are public, the link endpoint gives them too.
constexpr uint8_t kStatusNoCard = 1;
constexpr uint8_t kStatusOverflow = 3;
constexpr uint8_t kStatusNoAuthentication = 4;
constexpr uint8_t kStatusNotAuthenticated = 10;
constexpr uint8_t kStatusTransfer = 14;
constexpr uint8_t kStatusWrite = 15;
constexpr uint8_t kStatusIncrement = 16;
constexpr uint8_t kStatusDecrement = 17;
constexpr uint8_t kStatusRead = 18;
constexpr uint8_t kStatusNotValueBlock = 20;

uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

}  // namespace

SimCommandSet::SimCommandSet(Clock& clock) : m_clock(clock) {
    // A reader fresh from the factory holds the transport key in every slot, so that new cards
    // can be read before any key is loaded.
    m_keys.fill(SimCard::kTransportKey);
}

SimCard* SimCommandSet::ActiveCard() {
    for (SimCard& card : m_cards) {
        if (card.GetState() == SimCard::StateActive) {
            return &card;
        }
    }
    return nullptr;
}

SimCommandSet::Answer SimCommandSet::Execute(uint8_t command, const std::vector<uint8_t>& params) {
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
                return NoCard();
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
                    Answer answer{kStatusOk,
                                  {static_cast<uint8_t>(uid), static_cast<uint8_t>(uid >> 8),
                                   static_cast<uint8_t>(uid >> 16), static_cast<uint8_t>(uid >> 24)}};
                    if (m_faults.shortAnticollision) {
                        answer.data.resize(3);
                    }
                    return answer;
                }
            }
            return NoCard();
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
            return NoCard();
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
            uint8_t refusal = 0;
            SimCard* card = CardForBlock(params[0], refusal);
            if (card == nullptr) {
                return {refusal, {}};
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
            uint8_t refusal = 0;
            SimCard* card = CardForBlock(params[0], refusal);
            if (card == nullptr) {
                return {refusal, {}};
            }
            SimCard::Block data;
            std::copy(params.begin() + 1, params.end(), data.begin());
            if (m_faults.ignoreWrite) {
                // A firmware that never passes the data on, yet answers as the card would have.
                SimCard untouched = *card;
                return {untouched.WriteFromReader(params[0], data) ? kStatusOk : kStatusWrite, {}};
            }
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
            uint8_t refusal = 0;
            SimCard* card = CardForBlock(params[0], refusal);
            if (card == nullptr) {
                return {refusal, {}};
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
            const char* text = m_faults.infoControls ? kInfoTextWithControls : kInfoText;
            Answer info;
            info.data.assign(text, text + std::strlen(text));
            info.data.push_back(0);
            return info;
        }
        default:
            return bad;
    }
}

SimCommandSet::Answer SimCommandSet::NoCard() const {
    Answer answer{kStatusNoCard, {}};
    answer.unanswered = m_faults.hangWithoutCard;
    return answer;
}

SimCard* SimCommandSet::CardForBlock(uint8_t block, uint8_t& refusal) {
    SimCard* card = ActiveCard();
    if (card == nullptr) {
        refusal = kStatusNoCard;
    } else if (!card->IsAuthenticated(block)) {
        refusal = kStatusNotAuthenticated;
        card = nullptr;
    }
    return card;
}

SimCommandSet::Answer SimCommandSet::ValueOperation(uint8_t command, const std::vector<uint8_t>& params) {
    const bool restore = command == kCmdRestore;
    if (params.size() != (restore ? 1u : 5u) || params[0] >= SimCard::kBlockCount) {
        return {kStatusBadCommand, {}};
    }
    const uint8_t block = params[0];
    uint8_t refusal = 0;
    SimCard* card = CardForBlock(block, refusal);
    if (card == nullptr) {
        return {refusal, {}};
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

// --- the card field

void SimCommandSet::EnterCard(const SimCard& card) {
    std::erase_if(m_cards, [&](const SimCard& c) { return c.GetUid() == card.GetUid(); });
    m_cards.push_back(card);
    m_cards.back().SetState(SimCard::StateIdle);
}

bool SimCommandSet::LeaveCard(uint32_t uid) {
    return std::erase_if(m_cards, [&](const SimCard& c) { return c.GetUid() == uid; }) != 0;
}

void SimCommandSet::ScheduleEnter(uint32_t afterMs, const SimCard& card) {
    m_schedule.push_back({m_clock.GetTickCount() + afterMs, true, card});
}

void SimCommandSet::ScheduleLeave(uint32_t afterMs, uint32_t uid) {
    m_schedule.push_back({m_clock.GetTickCount() + afterMs, false, SimCard(uid)});
}

bool SimCommandSet::RunDueFieldEvent() {
    for (auto it = m_schedule.begin(); it != m_schedule.end(); ++it) {
        if (static_cast<int32_t>(m_clock.GetTickCount() - it->at) >= 0) {
            FieldEvent event = std::move(*it);
            m_schedule.erase(it);
            if (event.enter) {
                m_cards.push_back(event.card);
            } else {
                std::erase_if(m_cards, [&](const SimCard& c) { return c.GetUid() == event.card.GetUid(); });
            }
            return true;
        }
    }
    return false;
}

std::optional<uint32_t> SimCommandSet::MsToNextFieldEvent(uint32_t now) const {
    std::optional<uint32_t> next;
    for (const FieldEvent& event : m_schedule) {
        const uint32_t wait = static_cast<int32_t>(event.at - now) > 0 ? event.at - now : 0;
        if (!next || wait < *next) {
            next = wait;
        }
    }
    return next;
}

std::vector<uint32_t> SimCommandSet::CardsInField() const {
    std::vector<uint32_t> uids;
    for (const SimCard& card : m_cards) {
        uids.push_back(card.GetUid());
    }
    return uids;
}

std::optional<SimCard> SimCommandSet::GetCard(uint32_t uid) const {
    for (const SimCard& card : m_cards) {
        if (card.GetUid() == uid) {
            return card;
        }
    }
    return std::nullopt;
}

bool SimCommandSet::ReplaceCard(const SimCard& card) {
    for (SimCard& c : m_cards) {
        if (c.GetUid() == card.GetUid()) {
            c = card;
            return true;
        }
    }
    return false;
}

// --- the armed wait for a card

SimCard* SimCommandSet::CardToReport() {
    if (!m_bWaitForCard) {
        return nullptr;
    }
    auto it = std::find_if(m_cards.begin(), m_cards.end(),
                           [](const SimCard& card) { return card.GetState() == SimCard::StateIdle; });
    return it == m_cards.end() ? nullptr : &*it;
}

void SimCommandSet::CardReported(uint32_t uid) {
    m_bWaitForCard = false;
    for (SimCard& card : m_cards) {
        if (card.GetUid() == uid) {
            card.SetState(SimCard::StateReady);
        }
    }
}

SimCard::Key SimCommandSet::GetKey(uint32_t keySet, bool keyB, uint32_t keyNumber) const {
    return m_keys.at((keySet * 2 + (keyB ? 1 : 0)) * 16 + keyNumber);
}
