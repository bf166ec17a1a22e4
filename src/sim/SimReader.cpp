#include "sim/SimReader.h"

SimReader::SimReader(Clock& clock)
    : m_commands(clock),
      m_loader({[this](uint8_t byte, uint32_t delayMs) { m_link.Queue(byte, delayMs); },
                [this](uint32_t ms) { m_link.SetTimer(ms); }, [this] { m_link.CancelTimer(); },
                [this] { LeaveLoader(); }}),
      m_link(clock, m_commands, m_loader, [this] { EnterLoader(); }) {}

// --- listeners

void SimReader::Notify() {
    m_listeners.Notify();
}

int SimReader::AddListener(std::function<void()> listener) {
    return m_listeners.Add(std::move(listener));
}

void SimReader::RemoveListener(int id) {
    m_listeners.Remove(id);
}

// --- the line

void SimReader::Receive(std::span<const uint8_t> bytes, int source) {
    {
        std::lock_guard lock(m_mutex);
        m_link.Receive(bytes, source);
    }
    Notify();
}

size_t SimReader::Transmit(std::vector<uint8_t>& out, size_t max, int source) {
    size_t taken;
    {
        std::lock_guard lock(m_mutex);
        taken = m_link.Transmit(out, max, source);
    }
    if (taken != 0) {
        Notify();
    }
    return taken;
}

size_t SimReader::PendingOutput(int source) {
    std::lock_guard lock(m_mutex);
    return m_link.PendingOutput(source);
}

void SimReader::DiscardOutput() {
    std::lock_guard lock(m_mutex);
    m_link.DiscardOutput();
}

void SimReader::Tick() {
    {
        std::lock_guard lock(m_mutex);
        m_link.RunDueEvents();
    }
    Notify();
}

std::optional<uint32_t> SimReader::MsToNextEvent(int source) {
    std::lock_guard lock(m_mutex);
    return m_link.MsToNextEvent(source);
}

void SimReader::SetLinkMode(SimLinkMode mode) {
    std::lock_guard lock(m_mutex);
    m_link.SetLinkMode(mode);
}

SimLinkMode SimReader::GetLinkMode() {
    std::lock_guard lock(m_mutex);
    return m_link.GetLinkMode();
}

void SimReader::SetStrict(bool strict) {
    std::lock_guard lock(m_mutex);
    m_link.SetStrict(strict);
}

bool SimReader::IsStrict() {
    std::lock_guard lock(m_mutex);
    return m_link.IsStrict();
}

std::vector<SimRequest> SimReader::Requests() {
    std::lock_guard lock(m_mutex);
    return m_link.Requests();
}

void SimReader::ClearRequests() {
    std::lock_guard lock(m_mutex);
    m_link.ClearRequests();
}

void SimReader::SetFaults(const SimFaults& faults) {
    {
        std::lock_guard lock(m_mutex);
        m_link.SetFaults(faults);
        m_loader.SetFaults(
            {faults.refusedLoaderCommands, faults.silentLoaderCommands, faults.wrongLoaderCrc});
        m_commands.SetFaults(
            {faults.shortAnticollision, faults.hangWithoutCard, faults.infoControls, faults.ignoreWrite});
    }
    Notify();
}

SimFaults SimReader::GetFaults() {
    std::lock_guard lock(m_mutex);
    return m_link.GetFaults();
}

// --- the card field

void SimReader::EnterCard(const SimCard& card) {
    {
        std::lock_guard lock(m_mutex);
        m_commands.EnterCard(card);
        m_link.RunDueEvents();
    }
    Notify();
}

bool SimReader::LeaveCard(uint32_t uid) {
    bool left;
    {
        std::lock_guard lock(m_mutex);
        left = m_commands.LeaveCard(uid);
    }
    Notify();
    return left;
}

void SimReader::ScheduleEnter(uint32_t afterMs, const SimCard& card) {
    {
        std::lock_guard lock(m_mutex);
        m_commands.ScheduleEnter(afterMs, card);
    }
    Notify();
}

void SimReader::ScheduleLeave(uint32_t afterMs, uint32_t uid) {
    {
        std::lock_guard lock(m_mutex);
        m_commands.ScheduleLeave(afterMs, uid);
    }
    Notify();
}

std::vector<uint32_t> SimReader::CardsInField() {
    std::lock_guard lock(m_mutex);
    m_link.RunDueEvents();
    return m_commands.CardsInField();
}

std::optional<SimCard> SimReader::GetCard(uint32_t uid) {
    std::lock_guard lock(m_mutex);
    return m_commands.GetCard(uid);
}

bool SimReader::ReplaceCard(const SimCard& card) {
    std::lock_guard lock(m_mutex);
    return m_commands.ReplaceCard(card);
}

SimPortState SimReader::GetPortState() {
    std::lock_guard lock(m_mutex);
    return m_commands.GetPortState();
}

SimCard::Key SimReader::GetKey(uint32_t keySet, bool keyB, uint32_t keyNumber) {
    std::lock_guard lock(m_mutex);
    return m_commands.GetKey(keySet, keyB, keyNumber);
}

bool SimReader::IsWaitingForCard() {
    std::lock_guard lock(m_mutex);
    return m_commands.IsWaitingForCard();
}

// --- the loader and the bridge's EEPROM

bool SimReader::InLoader() {
    std::lock_guard lock(m_mutex);
    return m_link.InLoader();
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

// A wake-up character while the link was idle: the loader takes the line. In a series, the reader
// that left its loader is gone and a fresh one answers.
void SimReader::EnterLoader() {
    if (m_bReaderDone) {
        SwapInFreshReader();
    }
    m_loader.Enter();
}

void SimReader::LeaveLoader() {
    m_link.LeaveLoader();
    if (m_bSeries) {
        m_seriesReaders.push_back({m_loader.GetSerialText(), m_eeprom});
        m_bReaderDone = true;
    }
}

// --- a series of readers

void SimReader::SwapInFreshReader() {
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
    SwapInFreshReader();
}

std::vector<SimSeriesReader> SimReader::GetSeriesReaders() {
    std::lock_guard lock(m_mutex);
    return m_seriesReaders;
}

void SimReader::SetSeries(bool on) {
    {
        std::lock_guard lock(m_mutex);
        m_bSeries = on;
        if (!on) {
            m_bReaderDone = false;
        }
    }
    Notify();
}

bool SimReader::IsSeries() {
    std::lock_guard lock(m_mutex);
    return m_bSeries;
}

bool SimReader::IsReaderDone() {
    std::lock_guard lock(m_mutex);
    return m_bReaderDone;
}

bool SimReader::PlugInFreshReader() {
    {
        std::lock_guard lock(m_mutex);
        if (m_link.InLoader()) {
            return false;
        }
        SwapInFreshReader();
    }
    Notify();
    return true;
}
