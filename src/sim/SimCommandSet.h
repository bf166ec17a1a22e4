#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "link/Clock.h"
#include "sim/SimCard.h"

// The LED and buzzer outputs that SetPort drives.
struct SimPortState {
    bool greenLed = false;
    bool redLed = false;
    bool buzzer = false;
    uint32_t beeps = 0;  // short beeps sounded (mask bit 2) since start
};

// Commands that misbehave on purpose, as a reader's firmware could; each breaks one rule.
struct SimCommandFaults {
    bool shortAnticollision = false;  // a successful anticollision answers 3 bytes of the UID
    bool hangWithoutCard = false;     // request, anticollision and select without a card answer nothing
    bool infoControls = false;        // the info text carries control characters
    bool ignoreWrite = false;         // a block write answers as usual but leaves the block as it was
};

// The reader's command set over its card field: request, anticollision and select, the key store
// and authentication, block reads and writes, value blocks with their transfer buffer, halt, reset,
// the port outputs, and the armed wait for a card. It knows nothing of the line: the link endpoint
// hands it each request's command and parameters and frames the answer. No lock of its own; the
// reader calls it under the reader's lock.
class SimCommandSet {
public:
    // Status for a command code the reader does not know or parameters of the wrong size.
    static constexpr uint8_t kStatusBadCommand = 13;
    static constexpr uint8_t kStatusOk = 0;
    // GetInfo's answer; the PC shows it without its last character (the terminating zero).
    static constexpr const char* kInfoText = "Tagbench simulated reader V1.0";
    // ... and the one with control characters that SimCommandFaults::infoControls gives.
    static constexpr const char* kInfoTextWithControls = "Tagbench simulated reader\r\nV1.0\a";

    struct Answer {
        uint8_t status = kStatusOk;
        std::vector<uint8_t> data;
        bool unanswered = false;  // the firmware sends nothing back at all
    };

    explicit SimCommandSet(Clock& clock);

    Answer Execute(uint8_t command, const std::vector<uint8_t>& params);
    void SetFaults(const SimCommandFaults& faults) { m_faults = faults; }

    // --- the card field
    void EnterCard(const SimCard& card);
    bool LeaveCard(uint32_t uid);
    void ScheduleEnter(uint32_t afterMs, const SimCard& card);
    void ScheduleLeave(uint32_t afterMs, uint32_t uid);
    // Lets the first scheduled entry or exit that is due happen; false when none is.
    bool RunDueFieldEvent();
    // Milliseconds from now until the next scheduled entry or exit (0 when one is due); nothing
    // when none is.
    std::optional<uint32_t> MsToNextFieldEvent(uint32_t now) const;
    std::vector<uint32_t> CardsInField() const;
    std::optional<SimCard> GetCard(uint32_t uid) const;
    bool ReplaceCard(const SimCard& card);

    // --- the armed wait for a card
    bool IsWaitingForCard() const { return m_bWaitForCard; }
    // The card an armed reader reports: the first that answers a request (not halted, not already
    // in use), also one that was in the field when the reader was armed. Null when unarmed or none.
    SimCard* CardToReport();
    void EndWaitForCard() { m_bWaitForCard = false; }
    // The PC took the report of this card: the reader has found it already, it is ready.
    void CardReported(uint32_t uid);

    SimPortState GetPortState() const { return m_port; }
    SimCard::Key GetKey(uint32_t keySet, bool keyB, uint32_t keyNumber) const;

private:
    struct FieldEvent {
        uint32_t at;
        bool enter;
        SimCard card;
    };

    SimCard* ActiveCard();
    // The card in the field with block authenticated; else null and the status that refuses.
    SimCard* CardForBlock(uint8_t block, uint8_t& refusal);
    Answer ValueOperation(uint8_t command, const std::vector<uint8_t>& params);
    // Status 1 for a card that does not answer, or no answer at all from a firmware that hangs.
    Answer NoCard() const;

    Clock& m_clock;
    std::vector<SimCard> m_cards;
    std::vector<FieldEvent> m_schedule;
    SimPortState m_port;
    std::array<SimCard::Key, 3 * 2 * 16> m_keys;
    bool m_bWaitForCard = false;
    std::optional<std::pair<int32_t, uint8_t>> m_transferBuffer;  // value and address
    SimCommandFaults m_faults;
};
