#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "sim/SimCard.h"
#include "sim/SimCommandSet.h"
#include "sim/SimEeprom.h"
#include "sim/SimLinkEndpoint.h"
#include "sim/SimListenerList.h"
#include "sim/SimLoader.h"

// One reader of a series as it left the loader: what it was given.
struct SimSeriesReader {
    std::string serialText;  // what the loader stored
    SimEeprom eeprom;        // its bridge's settings
};

// The simulated MIFARE reader: bytes in from the PC, bytes out to it, with time from a Clock and
// no I/O of its own. It joins the link endpoint (the line and its faults), the command set (the
// card field, keys and value blocks), the loader and the bridge's EEPROM under one lock, and plays
// a series of readers. A transport feeds Receive, takes Transmit, and calls Tick (or any call) when
// MsToNextEvent has passed. Every public call locks the reader, so a transport thread and a GUI
// thread may share it; listeners are told (outside the lock) after any call that may have made
// output ready or moved the next event.
class SimReader {
public:
    static constexpr uint32_t kAckTimeoutMs = SimLinkEndpoint::kAckTimeoutMs;
    static constexpr uint32_t kCharTimeoutMs = SimLinkEndpoint::kCharTimeoutMs;
    static constexpr uint32_t kStxRestartMs = SimLinkEndpoint::kStxRestartMs;
    static constexpr uint32_t kMaxRepeats = SimLinkEndpoint::kMaxRepeats;
    static constexpr const char* kInfoText = SimCommandSet::kInfoText;
    static constexpr uint8_t kStatusBadCommand = SimCommandSet::kStatusBadCommand;

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
    // Switches the series on or off without touching the reader present now (StartSeries makes
    // that one fresh). Off: the reader stays, even one that has left its loader. The readers of
    // the series stay listed; a fresh reader is what the last StartSeries named, else one without
    // a serial number whose bridge has the settings a new reader comes with.
    void SetSeries(bool on);
    bool IsSeries();
    // In a series: the reader present now has left its loader and the next wake-up meets a fresh one.
    bool IsReaderDone();
    // Unplugs the reader present now and plugs in a fresh one. Refused (false) while the loader
    // runs, as nobody swaps a reader in the middle of a job.
    bool PlugInFreshReader();

private:
    void Notify();
    void EnterLoader();
    void LeaveLoader();
    void SwapInFreshReader();

    // One lock over all parts: a request runs through the link endpoint, the command set and the
    // loader in one go, and the parts call each other without locks of their own.
    std::mutex m_mutex;
    SimListenerList m_listeners;

    SimCommandSet m_commands;
    SimLoader m_loader;
    SimLinkEndpoint m_link;
    SimEeprom m_eeprom;

    bool m_bSeries = false;
    bool m_bReaderDone = false;  // the series' current reader left its loader
    std::string m_strSeriesSerial;
    SimEeprom m_seriesEeprom;
    std::vector<SimSeriesReader> m_seriesReaders;
};
