#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "sim/SimCard.h"
#include "sim/SimListenerList.h"
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

// The LED and buzzer outputs that SetPort drives.
struct SimPortState {
    bool greenLed = false;
    bool redLed = false;
    bool buzzer = false;
    uint32_t beeps = 0;  // short beeps sounded (mask bit 2) since start
};

// The USB bridge's EEPROM settings, with owned texts.
struct SimEeprom {
    uint16_t vendorId = 0x0403;
    uint16_t productId = 0x6001;
    std::string manufacturer = "Tagbench";
    std::string manufacturerId = "TB";
    std::string description = "Simulated MIFARE reader";
    std::string serialNumber = "TB000001";
    uint16_t maxPower = 90;
    uint16_t pnp = 1;
    uint16_t selfPowered = 0;
    uint16_t remoteWakeup = 1;
    uint8_t rev4 = 1;
    uint8_t isoIn = 0;
    uint8_t isoOut = 0;
    uint8_t pullDownEnable = 0;
    uint8_t serNumEnable = 1;
    uint8_t usbVersionEnable = 0;
    uint16_t usbVersion = 0x0110;
};

// One reader of a series as it left the loader: what it was given.
struct SimSeriesReader {
    std::string serialText;  // what the loader stored
    SimEeprom eeprom;        // its bridge's settings
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
};

// The simulated MIFARE reader: bytes in from the PC, bytes out to it, with time from a Clock and
// no I/O of its own. A transport feeds Receive, takes Transmit, and calls Tick (or any call) when
// MsToNextEvent has passed. Every public call locks the reader, so a transport thread and a GUI
// thread may share it; listeners are told (outside the lock) after any call that may have made
// output ready or moved the next event.
class SimReader {
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
    // GetInfo's answer; the PC shows it without its last character (the terminating zero).
    static constexpr const char* kInfoText = "Tagbench simulated reader V1.0";
    // Status for a command code the reader does not know or parameters of the wrong size.
    static constexpr uint8_t kStatusBadCommand = 13;

    explicit SimReader(Clock& clock);
    SimReader(const SimReader&) = delete;
    SimReader& operator=(const SimReader&) = delete;

    // --- the line
    // Several transports may lead to one reader (the pseudo-terminal and the USB bridge of the
    // program's simulate mode); like a reader with two connectors it answers on the one that spoke
    // to it last. Each transport passes its own source number; tests use the default.
    void Receive(std::span<const uint8_t> bytes, int source = 0);
    // Moves up to max bytes that are due now to out; returns how many.
    size_t Transmit(std::vector<uint8_t>& out, size_t max = SIZE_MAX, int source = 0);
    size_t PendingOutput(int source = 0);
    // Drops what is queued for the PC (a purge of the bridge's buffers).
    void DiscardOutput();
    void Tick();
    // Milliseconds until the next timed event (queued late bytes, a time-out, a scheduled card);
    // nothing when the reader waits for the PC alone.
    std::optional<uint32_t> MsToNextEvent(int source = 0);
    int AddListener(std::function<void()> listener);
    // Once this returns the listener is not called again, and no call of it runs on another thread.
    void RemoveListener(int id);

    void SetLinkMode(SimLinkMode mode);
    SimLinkMode GetLinkMode();
    // A strict reader never gives way: an answer the PC has not acknowledged is sent again, and an
    // STX from the PC meanwhile is a collision that the reader answers with its own STX, as a
    // reader that insists on its acknowledgement does. Otherwise the reader drops its answer and
    // takes the PC's telegram. Strict unless told otherwise.
    void SetStrict(bool strict);
    bool IsStrict();

    // --- the card field
    void EnterCard(const SimCard& card);
    bool LeaveCard(uint32_t uid);
    void ScheduleEnter(uint32_t afterMs, const SimCard& card);
    void ScheduleLeave(uint32_t afterMs, uint32_t uid);
    std::vector<uint32_t> CardsInField();
    std::optional<SimCard> GetCard(uint32_t uid);
    bool ReplaceCard(const SimCard& card);

    // --- what can be observed
    std::vector<SimRequest> Requests();
    void ClearRequests();
    SimPortState GetPortState();
    SimCard::Key GetKey(uint32_t keySet, bool keyB, uint32_t keyNumber);
    bool IsWaitingForCard();
    bool InLoader();
    std::string GetSerialText();
    void SetSerialText(const std::string& text);
    std::vector<std::array<uint8_t, 72>> GetFlashBlocks();
    std::vector<uint8_t> GetFirmwareImage();
    uint32_t GetEraseCount(uint32_t bank);
    void SetLoaderSettings(const SimLoader::Settings& settings);
    SimLoader::Settings GetLoaderSettings();
    SimEeprom GetEeprom();
    void SetEeprom(const SimEeprom& eeprom);

    void SetFaults(const SimFaults& faults);
    SimFaults GetFaults();

    // --- a series of readers, as a production line programs them
    // From now on each reader that leaves its loader (told to with Q, after a download or a
    // reboot) is unplugged, and the next wake-up comes from a fresh reader: its loader holds
    // serialText (empty: no serial number yet) and its bridge the EEPROM settings the reader has
    // now. The reader present now is the series' first.
    void StartSeries(const std::string& serialText);
    // The readers of the series that have left their loader, in order.
    std::vector<SimSeriesReader> GetSeriesReaders();

private:
    enum LinkState : uint32_t {
        LinkIdle,
        LinkFramedDle,         // DLE-framed: saw DLE, expecting STX
        LinkReceive,           // collecting a request up to DLE ETX
        LinkAwaitStxAck,       // sent STX, waiting for DLE
        LinkAwaitTelegramAck,  // sent the telegram, waiting for DLE (or NAK)
        LinkLoader,
    };
    struct Outgoing {
        std::vector<uint8_t> telegram;  // before DLE doubling
        bool report = false;
        uint32_t repeatsLeft = 0;
    };
    struct FieldEvent {
        uint32_t at;
        bool enter;
        SimCard card;
    };
    struct Answer {
        uint8_t status = 0;
        std::vector<uint8_t> data;
    };

    void Notify();
    bool Due(uint32_t at) const;
    void RunDueEvents();
    void ReceiveByte(uint8_t byte);
    void Queue(uint8_t byte, uint32_t delayMs = 0);
    void QueueFramed(const std::vector<uint8_t>& telegram);
    void SetTimer(uint32_t ms);
    void OnTimer();
    void OnPcStx();
    void GiveWayToPc();
    void RepeatOrGiveUp();
    void StartReceive();
    bool IsLoneStx() const;
    void EndOfTelegram();
    void StartSending(Outgoing outgoing, uint32_t delayMs);
    void SendTelegramBody();
    void BecomeIdle();
    void MaybeStartReport();
    bool ApplyInputFaults(uint8_t& byte);
    bool DrawFraction(double fraction);
    // How late a byte comes by the delay fault; 0 for most.
    uint32_t DrawDelay();

    Answer Execute(uint8_t command, const std::vector<uint8_t>& params);
    SimCard* ActiveCard();
    Answer ValueOperation(uint8_t command, const std::vector<uint8_t>& params);

    std::mutex m_mutex;
    Clock& m_clock;
    SimListenerList m_listeners;
    SimLinkMode m_nLinkMode = SimLink3964R;
    bool m_bStrict = true;

    // line
    int m_nSource = 0;                                     // the transport that spoke last; output goes there
    std::deque<std::pair<uint8_t, uint32_t>> m_output;     // byte, due tick
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

    // field and reader state
    std::vector<SimCard> m_cards;
    std::vector<FieldEvent> m_schedule;
    std::vector<SimRequest> m_requests;
    SimPortState m_port;
    std::array<SimCard::Key, 3 * 2 * 16> m_keys;
    bool m_bWaitForCard = false;
    uint8_t m_byReportSequence = 0;
    std::optional<std::pair<int32_t, uint8_t>> m_transferBuffer;  // value and address

    SimLoader m_loader;
    void LeaveLoader();
    void PlugInFreshReader();
    bool m_bSeries = false;
    bool m_bReaderDone = false;  // the series' current reader left its loader
    std::string m_strSeriesSerial;
    SimEeprom m_seriesEeprom;
    std::vector<SimSeriesReader> m_seriesReaders;

    SimEeprom m_eeprom;
    SimFaults m_faults;
    std::mt19937 m_random{1};
};
