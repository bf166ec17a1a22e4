#include "Ft232rEmulator.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "link/Clock.h"
#include "sim/SimCard.h"
#include "sim/SimReader.h"

namespace {

// The vendor requests (bRequest) of the bridge's control endpoint.
enum Request : uint8_t {
    kReset = 0x00,
    kModemControl = 0x01,
    kFlowControl = 0x02,
    kBaudRate = 0x03,
    kLineProperties = 0x04,
    kPollModemStatus = 0x05,
    kEventChar = 0x06,
    kErrorChar = 0x07,
    kSetLatencyTimer = 0x09,
    kGetLatencyTimer = 0x0A,
    kReadEeprom = 0x90,
    kWriteEeprom = 0x91,
    kEraseEeprom = 0x92,
};
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
// Values of the reset request: the whole serial engine, or one FIFO seen from the chip: what
// came from the PC for the line, or what came from the line for the PC.
constexpr uint16_t kResetSio = 0;
constexpr uint16_t kPurgeTowardsLine = 1;
constexpr uint16_t kPurgeTowardsPc = 2;

// The first byte of every IN packet and of the modem status: CTS and DSR up (the reader is
// there), low nibble 1 as the chip sends it. The second: transmitter holding register and
// transmitter empty.
constexpr uint8_t kModemStatus = 0x31;
constexpr uint8_t kLineStatus = 0x60;

constexpr uint32_t kCardUid = 0x12345678;
constexpr uint32_t kChipClock = 3'000'000;

uint32_t DivisorToBaud(uint16_t value, uint16_t index) {
    // The sub-integer part in eighths, by its three-bit code (two bits in value, one in index).
    static constexpr uint32_t kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const uint32_t whole = value & 0x3FFF;
    const uint32_t code = (value >> 14) | (index & 1) << 2;
    if (code == 0 && whole <= 1) {
        return whole == 0 ? kChipClock : 2'000'000;  // the two special divisors
    }
    const uint32_t eighths = whole * 8 + kEighths[code];
    return (kChipClock * 8 + eighths / 2) / eighths;
}

// Appends a USB string descriptor (length, type 3, UTF-16LE) at the EEPROM offset and points the
// pointer/length pair at pair to it.
void PutString(UsbEmu::Eeprom& eeprom, size_t pair, size_t& offset, std::string_view text) {
    const auto length = static_cast<uint8_t>(2 + 2 * text.size());
    eeprom[pair] = static_cast<uint8_t>(0x80 | offset);
    eeprom[pair + 1] = length;
    eeprom[offset++] = length;
    eeprom[offset++] = 0x03;
    for (const char c : text) {
        eeprom[offset++] = static_cast<uint8_t>(c);
        eeprom[offset++] = 0;
    }
}

void PutWord(UsbEmu::Eeprom& eeprom, size_t at, uint16_t word) {
    eeprom[at] = static_cast<uint8_t>(word);
    eeprom[at + 1] = static_cast<uint8_t>(word >> 8);
}

uint16_t GetWord(const UsbEmu::Eeprom& eeprom, size_t at) {
    return static_cast<uint16_t>(eeprom[at] | eeprom[at + 1] << 8);
}

}  // namespace

Ft232rEmulator& Ft232rEmulator::Instance() {
    static Ft232rEmulator* emulator = new Ft232rEmulator;  // lives to the end of the process
    return *emulator;
}

Ft232rEmulator::Ft232rEmulator() {
    m_eeprom = FactoryEeprom();
    ResetLocked();
    // The chip and the reader go on while the host does something else: the line runs on its own
    // thread. The emulator is never destroyed, so the thread may run until the process ends.
    std::thread([this] { Run(); }).detach();
}

void Ft232rEmulator::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        AdvanceLocked();
        const auto now = Steady::now();
        auto next = now + kIdleWake;
        if (!m_transmit.empty()) {
            next = std::min(next, m_transmit.front().second);
        }
        if (const std::optional<uint32_t> ms = m_bLoopback ? std::nullopt : m_pReader->MsToNextEvent()) {
            next = std::min(next, now + std::chrono::milliseconds(*ms));
        }
        m_wake.wait_until(lock, std::max(next, now + kMinWake));
    }
}

UsbEmu::Eeprom Ft232rEmulator::FactoryEeprom() {
    Eeprom eeprom{};
    eeprom[0x01] = 0x40;  // endpoint size 64
    PutWord(eeprom, 0x02, kVendorId);
    PutWord(eeprom, 0x04, kProductId);
    PutWord(eeprom, 0x06, 0x0600);  // release number of the R series
    eeprom[0x08] = 0xA0;            // bus powered, remote wakeup
    eeprom[0x09] = 90 / 2;          // in 2 mA units
    eeprom[0x0A] = 0x08;            // serial number string used
    PutWord(eeprom, 0x0C, 0x0200);
    size_t offset = 0x18;  // the strings area of the R series
    PutString(eeprom, 0x0E, offset, "FTDI");
    PutString(eeprom, 0x10, offset, "FT232R USB UART");
    PutString(eeprom, 0x12, offset, "A5000001");
    PutWord(eeprom, kEepromSize - 2, EepromChecksum(eeprom));
    return eeprom;
}

void Ft232rEmulator::Reset() {
    std::lock_guard lock(m_mutex);
    m_eeprom = FactoryEeprom();
    ResetLocked();
}

void Ft232rEmulator::ResetLocked() {
    m_pReader = std::make_shared<SimReader>(m_readerClock);
    m_pReader->EnterCard(SimCard(kCardUid));
    m_bLoopback = false;
    m_bPresent = true;
    ++m_dwGeneration;
    m_pClaimedBy = nullptr;
    m_settings = UsbEmuSettings{};
    m_settings.divisorValue = 0x4138;  // the chip wakes at 9600 baud, 8N1
    m_settings.baudRate = 9600;
    m_settings.lineProperties = 8;
    m_transmit.clear();
    m_receive.clear();
    LoadDescriptorLocked();
}

UsbEmu::Eeprom Ft232rEmulator::ActiveEepromLocked() const {
    // A blank or corrupted EEPROM leaves the chip on its built-in identity.
    const bool valid = GetWord(m_eeprom, kEepromSize - 2) == EepromChecksum(m_eeprom);
    return valid ? m_eeprom : FactoryEeprom();
}

void Ft232rEmulator::LoadDescriptorLocked() {
    const Eeprom source = ActiveEepromLocked();
    m_descriptor = libusb_device_descriptor{};
    m_descriptor.bLength = LIBUSB_DT_DEVICE_SIZE;
    m_descriptor.bDescriptorType = LIBUSB_DT_DEVICE;
    m_descriptor.bcdUSB = GetWord(source, 0x0C);
    m_descriptor.bMaxPacketSize0 = 8;
    m_descriptor.idVendor = GetWord(source, 0x02);
    m_descriptor.idProduct = GetWord(source, 0x04);
    m_descriptor.bcdDevice = 0x0600;  // how libftdi1 tells an FT232R
    m_descriptor.iManufacturer = 1;
    m_descriptor.iProduct = 2;
    m_descriptor.iSerialNumber = 3;
    m_descriptor.bNumConfigurations = 1;
}

SimReader& Ft232rEmulator::Reader() {
    std::lock_guard lock(m_mutex);
    return *m_pReader;
}

void Ft232rEmulator::SetLoopback(bool on) {
    std::lock_guard lock(m_mutex);
    m_bLoopback = on;
}

UsbEmuSettings Ft232rEmulator::Settings() {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

UsbEmu::Eeprom Ft232rEmulator::GetEeprom() {
    std::lock_guard lock(m_mutex);
    return m_eeprom;
}

void Ft232rEmulator::SetEeprom(const Eeprom& eeprom) {
    std::lock_guard lock(m_mutex);
    m_eeprom = eeprom;
}

void Ft232rEmulator::Unplug(bool replug) {
    std::lock_guard lock(m_mutex);
    ++m_dwGeneration;
    m_pClaimedBy = nullptr;
    m_transmit.clear();
    m_receive.clear();
    m_bPresent = replug;
    if (replug) {
        LoadDescriptorLocked();
    }
}

void Ft232rEmulator::Plug() {
    std::lock_guard lock(m_mutex);
    m_bPresent = true;
    LoadDescriptorLocked();
}

size_t Ft232rEmulator::PendingReceive() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    return ArrivedLocked(Steady::now());
}

size_t Ft232rEmulator::PendingTransmit() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    return m_transmit.size();
}

bool Ft232rEmulator::IsPresent() {
    std::lock_guard lock(m_mutex);
    return m_bPresent;
}

libusb_device_descriptor Ft232rEmulator::DeviceDescriptor() {
    std::lock_guard lock(m_mutex);
    return m_descriptor;
}

bool Ft232rEmulator::LiveLocked(uint32_t generation) const {
    return m_bPresent && generation == m_dwGeneration;
}

int Ft232rEmulator::Open(uint32_t& generation) {
    std::lock_guard lock(m_mutex);
    if (!m_bPresent) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    generation = m_dwGeneration;
    ++m_settings.opens;
    return LIBUSB_SUCCESS;
}

int Ft232rEmulator::Claim(uint32_t generation, const void* owner) {
    std::lock_guard lock(m_mutex);
    if (!LiveLocked(generation)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (m_pClaimedBy != nullptr && m_pClaimedBy != owner) {
        return LIBUSB_ERROR_BUSY;  // another program has the bridge
    }
    m_pClaimedBy = owner;
    return LIBUSB_SUCCESS;
}

int Ft232rEmulator::Release(uint32_t generation, const void* owner) {
    std::lock_guard lock(m_mutex);
    if (!LiveLocked(generation)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (m_pClaimedBy != owner) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    m_pClaimedBy = nullptr;
    return LIBUSB_SUCCESS;
}

int Ft232rEmulator::StringDescriptor(uint32_t generation, uint8_t index, std::string& text) {
    std::lock_guard lock(m_mutex);
    text.clear();
    if (!LiveLocked(generation)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (index < 1 || index > 3) {
        return LIBUSB_ERROR_PIPE;
    }
    const Eeprom source = ActiveEepromLocked();
    const size_t pair = 0x0E + 2 * (index - 1);
    const size_t offset = source[pair] & (kEepromSize - 1);
    const size_t length = source[pair + 1];
    for (size_t i = 2; i + 1 < length; i += 2) {
        text.push_back(static_cast<char>(source[(offset + i) % kEepromSize]));
    }
    return static_cast<int>(text.size());
}

Ft232rEmulator::Steady::duration Ft232rEmulator::CharTimeLocked() const {
    // Start bit, data bits, parity bit, and 1, 1.5 or 2 stop bits, counted in half bits.
    const uint32_t dataBits = m_settings.lineProperties & 0xFF;
    const uint32_t parityBits = ((m_settings.lineProperties >> 8) & 0x7) != 0 ? 1 : 0;
    const uint32_t stopCode = (m_settings.lineProperties >> 11) & 0x7;
    const uint32_t halfBits = 2 * (1 + dataBits + parityBits) + (stopCode == 0 ? 2 : stopCode == 1 ? 3 : 4);
    const uint64_t nanoseconds = uint64_t{halfBits} * 1'000'000'000 / (2 * uint64_t{m_settings.baudRate});
    return std::chrono::nanoseconds(nanoseconds);
}

void Ft232rEmulator::AdvanceLocked() {
    const auto now = Steady::now();
    std::vector<uint8_t> through;
    while (!m_transmit.empty() && m_transmit.front().second <= now) {
        if (m_bLoopback) {
            m_receive.push_back(m_transmit.front());
        } else {
            through.push_back(m_transmit.front().first);
        }
        m_transmit.pop_front();
    }
    if (m_bLoopback) {
        return;
    }
    if (!through.empty()) {
        m_pReader->Receive(through);
    }
    m_pReader->Tick();
    std::vector<uint8_t> answer;
    m_pReader->Transmit(answer);
    for (const uint8_t byte : answer) {
        const auto start = m_receive.empty() ? now : std::max(now, m_receive.back().second);
        m_receive.emplace_back(byte, start + CharTimeLocked());
    }
}

size_t Ft232rEmulator::ArrivedLocked(Steady::time_point now) const {
    return static_cast<size_t>(std::count_if(m_receive.begin(), m_receive.end(),
                                             [now](const auto& entry) { return entry.second <= now; }));
}

int Ft232rEmulator::Control(uint32_t generation, uint8_t requestType, uint8_t request, uint16_t value,
                            uint16_t index, uint8_t* data, uint16_t length) {
    std::lock_guard lock(m_mutex);
    if (!LiveLocked(generation)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    AdvanceLocked();
    if (requestType == kVendorOut) {
        return ControlOut(request, value, index);
    }
    if (requestType == kVendorIn) {
        return ControlIn(request, index, data, length);
    }
    return LIBUSB_ERROR_PIPE;
}

int Ft232rEmulator::ControlOut(uint8_t request, uint16_t value, uint16_t index) {
    const auto now = Steady::now();
    switch (request) {
        case kReset:
            if (value == kResetSio) {
                ++m_settings.resets;
                m_transmit.clear();
                m_receive.clear();
            } else if (value == kPurgeTowardsLine) {
                ++m_settings.transmitPurges;
                m_transmit.clear();
            } else if (value == kPurgeTowardsPc) {
                ++m_settings.receivePurges;
                // What is still on the wire arrives after the purge.
                while (!m_receive.empty() && m_receive.front().second <= now) {
                    m_receive.pop_front();
                }
            } else {
                return LIBUSB_ERROR_PIPE;
            }
            return 0;
        case kModemControl:
            if ((value & 0x0100) != 0) {
                m_settings.dtr = (value & 0x01) != 0;
            }
            if ((value & 0x0200) != 0) {
                m_settings.rts = (value & 0x02) != 0;
            }
            return 0;
        case kFlowControl:
            m_settings.flowControl = index >> 8;
            m_settings.xonXoff = value;
            return 0;
        case kBaudRate:
            m_settings.divisorValue = value;
            m_settings.divisorIndex = index;
            m_settings.baudRate = DivisorToBaud(value, index);
            return 0;
        case kLineProperties:
            m_settings.lineProperties = value;
            return 0;
        case kEventChar:
            m_settings.eventChar = value;
            return 0;
        case kErrorChar:
            m_settings.errorChar = value;
            return 0;
        case kSetLatencyTimer:
            m_settings.latencyTimer = static_cast<uint8_t>(value);
            return 0;
        case kWriteEeprom:
            PutWord(m_eeprom, 2 * (index % (kEepromSize / 2)), value);
            ++m_settings.eepromWordWrites;
            return 0;
        case kEraseEeprom:
            m_eeprom.fill(0xFF);
            return 0;
        default:
            return LIBUSB_ERROR_PIPE;  // bit-bang modes and the rest: not emulated
    }
}

int Ft232rEmulator::ControlIn(uint8_t request, uint16_t index, uint8_t* data, uint16_t length) {
    uint8_t answer[2] = {};
    int size = 0;
    switch (request) {
        case kPollModemStatus:
            answer[0] = kModemStatus;
            answer[1] = kLineStatus;
            size = 2;
            break;
        case kGetLatencyTimer:
            answer[0] = m_settings.latencyTimer;
            size = 1;
            break;
        case kReadEeprom: {
            // The 128-byte EEPROM repeats across the word addresses libftdi1 reads.
            const uint16_t word = GetWord(m_eeprom, 2 * (index % (kEepromSize / 2)));
            answer[0] = static_cast<uint8_t>(word);
            answer[1] = static_cast<uint8_t>(word >> 8);
            size = 2;
            break;
        }
        default:
            return LIBUSB_ERROR_PIPE;
    }
    if (data == nullptr && length > 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    size = std::min<int>(size, length);
    std::copy_n(answer, size, data);
    return size;
}

int Ft232rEmulator::Bulk(uint32_t generation, uint8_t endpoint, uint8_t* data, int length, int* transferred,
                         unsigned timeoutMs) {
    std::unique_lock lock(m_mutex);
    *transferred = 0;
    if (!LiveLocked(generation)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (endpoint == kEndpointOut) {
        return BulkOut(lock, data, length, transferred, timeoutMs);
    }
    if (endpoint == kEndpointIn) {
        return BulkIn(lock, data, length, transferred, timeoutMs);
    }
    return LIBUSB_ERROR_PIPE;
}

int Ft232rEmulator::PauseLocked(std::unique_lock<std::mutex>& lock, uint32_t generation,
                                Steady::time_point start, unsigned timeoutMs) {
    if (timeoutMs != 0 && Steady::now() - start >= std::chrono::milliseconds(timeoutMs)) {
        return LIBUSB_ERROR_TIMEOUT;
    }
    lock.unlock();
    std::this_thread::sleep_for(kMinWake);
    lock.lock();
    return LiveLocked(generation) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int Ft232rEmulator::BulkOut(std::unique_lock<std::mutex>& lock, const uint8_t* data, int length,
                            int* transferred, unsigned timeoutMs) {
    const auto start = Steady::now();
    const uint32_t generation = m_dwGeneration;
    for (int i = 0; i < length; ++i) {
        // A full transmit buffer holds the host off (the bulk OUT is NAKed) until the line drains.
        for (AdvanceLocked(); m_transmit.size() >= kTransmitBuffer; AdvanceLocked()) {
            if (const int result = PauseLocked(lock, generation, start, timeoutMs);
                result != LIBUSB_SUCCESS) {
                return result;
            }
        }
        const auto now = Steady::now();
        const auto begin = m_transmit.empty() ? now : std::max(now, m_transmit.back().second);
        m_transmit.emplace_back(data[i], begin + CharTimeLocked());
        *transferred = i + 1;
    }
    m_wake.notify_one();
    return LIBUSB_SUCCESS;
}

int Ft232rEmulator::BulkIn(std::unique_lock<std::mutex>& lock, uint8_t* data, int length, int* transferred,
                           unsigned timeoutMs) {
    const auto start = Steady::now();
    const uint32_t generation = m_dwGeneration;
    // The chip sends when a packet is full, when the event character has come in, or when its
    // latency timer runs out (then with only the status bytes if nothing came).
    const auto latency = std::chrono::milliseconds(std::max<uint8_t>(m_settings.latencyTimer, 1));
    size_t arrived = 0;
    for (;;) {
        AdvanceLocked();
        const auto now = Steady::now();
        arrived = ArrivedLocked(now);
        const bool eventEnabled = (m_settings.eventChar & 0x100) != 0;
        const auto eventChar = static_cast<uint8_t>(m_settings.eventChar);
        const bool event =
            eventEnabled && std::any_of(m_receive.begin(), m_receive.begin() + arrived,
                                        [eventChar](const auto& e) { return e.first == eventChar; });
        if (arrived >= kPacketSize - 2 || event || now - start >= latency) {
            break;
        }
        if (const int result = PauseLocked(lock, generation, start, timeoutMs); result != LIBUSB_SUCCESS) {
            return result;
        }
    }
    // Packets of two status bytes and up to 62 data bytes; a short packet ends the transfer.
    int filled = 0;
    while (length - filled >= 2) {
        const int room = std::min(kPacketSize, length - filled) - 2;
        const int take = std::min<int>(room, static_cast<int>(arrived));
        data[filled++] = kModemStatus;
        data[filled++] = kLineStatus;
        for (int i = 0; i < take; ++i) {
            data[filled++] = m_receive.front().first;
            m_receive.pop_front();
        }
        arrived -= static_cast<size_t>(take);
        if (take < kPacketSize - 2) {
            break;
        }
    }
    *transferred = filled;
    return LIBUSB_SUCCESS;
}
