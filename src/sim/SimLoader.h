#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

// The reader's loader: woken by a wake-up character, it answers with its prompt and then takes
// the loader commands (serial number, flash erase, firmware download, binary block commands with
// a running checksum) until it is told to leave. It owns no line and no clock: the reader feeds it
// bytes and timer expiries under its own lock, and it answers through the hooks.
class SimLoader {
public:
    static constexpr uint8_t kAck = 0x06;
    static constexpr uint8_t kNak = 0x15;
    static constexpr uint32_t kBlockSize = 72;
    // The loader takes a firmware image until the line has been quiet this long, and drops an
    // incomplete command after the same pause.
    static constexpr uint32_t kQuietMs = 1000;
    static constexpr const char* kVersion = "TBLOAD 1.0";
    // The answer to GSERIAL is this character followed by the stored serial text.
    static constexpr char kSerialAnswerLead = '=';

    // What the loader needs of the reader around it.
    struct Hooks {
        std::function<void(uint8_t byte, uint32_t delayMs)> queue;  // one byte to the PC
        std::function<void(uint32_t ms)> setTimer;                  // OnTimer after ms
        std::function<void()> cancelTimer;
        std::function<void()> leave;  // the reader goes back to its link procedure
    };

    // How long the reader takes, and what it reports.
    struct Settings {
        std::string version = kVersion;  // the version text; zero bytes allowed
        uint32_t versionSplit = 0;       // the version text's bytes from this one on come ...
        uint32_t versionGapMs = 0;       // ... this much later
        uint32_t eraseMs = 400;          // erasing one flash bank
        uint32_t blockMs = 2;            // programming or comparing one block
    };
    // Misbehaviour, by the loader command's first byte ('@', '#', 'D', 'S', 'G', 0x01..0x07).
    struct Faults {
        std::set<uint8_t> refused;  // an erase answers '3', the others a NAK
        std::set<uint8_t> silent;   // taken, never answered
        bool wrongCrc = false;      // the reader's own checksum differs: the check is refused
    };

    explicit SimLoader(Hooks hooks);

    static bool IsWakeUp(uint8_t byte);

    // A wake-up character arrived while the reader was idle.
    void Enter();
    void Byte(uint8_t byte);
    void OnTimer();
    void SetFaults(const Faults& faults) { m_faults = faults; }
    void SetSettings(const Settings& settings) { m_settings = settings; }
    const Settings& GetSettings() const { return m_settings; }

    const std::string& GetSerialText() const { return m_strSerial; }
    void SetSerialText(const std::string& text) { m_strSerial = text; }
    const std::vector<std::array<uint8_t, kBlockSize>>& GetFlashBlocks() const { return m_flash; }
    const std::vector<uint8_t>& GetFirmwareImage() const { return m_firmware; }
    uint32_t GetEraseCount(uint32_t bank) const {
        return bank < m_eraseCount.size() ? m_eraseCount[bank] : 0;
    }

private:
    enum State : uint32_t { StateCommand, StateText, StateBinaryLength, StateBinaryData, StateDownload };

    void Queue(uint8_t byte, uint32_t delayMs = 0) { m_hooks.queue(byte, delayMs); }
    bool Refused(uint8_t command) const { return m_faults.refused.count(command) != 0; }
    bool Silent(uint8_t command) const { return m_faults.silent.count(command) != 0; }
    void Leave();
    void RunText(const std::string& text);
    void RunBinary();

    Hooks m_hooks;
    Faults m_faults;
    Settings m_settings;
    // Both banks must be erased before an image is taken; a download uses them up.
    std::array<bool, 4> m_bankErased{};
    State m_nState = StateCommand;
    std::vector<uint8_t> m_buffer;
    uint8_t m_byBinaryCode = 0;
    uint8_t m_byBinaryLength = 0;
    uint16_t m_wCrc = 0xFFFF;
    uint32_t m_nBlockIndex = 0;
    std::string m_strSerial;
    std::vector<std::array<uint8_t, kBlockSize>> m_flash;
    std::vector<uint8_t> m_firmware;
    std::array<uint32_t, 4> m_eraseCount{};
};
