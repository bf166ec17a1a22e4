#pragma once

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "UsbEmu.h"
#include "link/Clock.h"

class SimReader;

// One FT232R bridge as libftdi1 sees it through libusb: its descriptors, the vendor requests on
// the control endpoint, bulk endpoints whose IN packets begin with the two modem-status bytes,
// a 128-byte EEPROM, and a UART paced at the baud rate the divisor encodes. The UART leads to a
// simulated reader on the system clock. A thread of its own moves the line on while the host is
// not calling, and every call first brings it up to now.
class Ft232rEmulator final : public UsbEmu {
public:
    // Endpoints as the bridge's configuration descriptor gives them.
    static constexpr uint8_t kEndpointIn = 0x81;
    static constexpr uint8_t kEndpointOut = 0x02;
    static constexpr int kPacketSize = 64;
    // What the chip buffers on each side of its UART.
    static constexpr size_t kTransmitBuffer = 256;

    static Ft232rEmulator& Instance();

    // --- UsbEmu
    void Reset() override;
    SimReader& Reader() override;
    void SetLoopback(bool on) override;
    UsbEmuSettings Settings() override;
    Eeprom GetEeprom() override;
    void SetEeprom(const Eeprom& eeprom) override;
    void Unplug(bool replug) override;
    void Plug() override;
    size_t PendingReceive() override;
    size_t PendingTransmit() override;

    // --- the USB side. A handle is tied to the plug generation it was opened in: once the bridge
    // has dropped off the bus the handle is stale and every request on it fails.
    bool IsPresent();
    libusb_device_descriptor DeviceDescriptor();
    // The generation the new handle belongs to, or a libusb error.
    int Open(uint32_t& generation);
    int Claim(uint32_t generation, const void* owner);
    int Release(uint32_t generation, const void* owner);
    // The ASCII text of string descriptor 1 to 3 (manufacturer, description, serial number),
    // taken from the EEPROM as the chip does; empty when there is none.
    int StringDescriptor(uint32_t generation, uint8_t index, std::string& text);
    // As libusb_control_transfer: bytes moved or a libusb error.
    int Control(uint32_t generation, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                uint8_t* data, uint16_t length);
    // As libusb_bulk_transfer.
    int Bulk(uint32_t generation, uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned timeoutMs);

private:
    using Steady = std::chrono::steady_clock;

    Ft232rEmulator();
    ~Ft232rEmulator() = default;
    // The line's own thread: sleeps until the next byte is through or the reader's next event.
    void Run();

    static Eeprom FactoryEeprom();
    void ResetLocked();
    // The settings the chip goes by: its EEPROM's, or its factory ones when the checksum is wrong.
    Eeprom ActiveEepromLocked() const;
    void LoadDescriptorLocked();
    bool LiveLocked(uint32_t generation) const;
    Steady::duration CharTimeLocked() const;
    // Moves the line on to now: bytes on the wire reach the far side, the reader runs its timers
    // and its answers start on their way back.
    void AdvanceLocked();
    size_t ArrivedLocked(Steady::time_point now) const;
    // Lets the line move on for a moment while a transfer waits: LIBUSB_SUCCESS to go on, or why not.
    int PauseLocked(std::unique_lock<std::mutex>& lock, uint32_t generation, Steady::time_point start,
                    unsigned timeoutMs);
    int BulkOut(std::unique_lock<std::mutex>& lock, const uint8_t* data, int length, int* transferred,
                unsigned timeoutMs);
    int BulkIn(std::unique_lock<std::mutex>& lock, uint8_t* data, int length, int* transferred,
               unsigned timeoutMs);
    int ControlOut(uint8_t request, uint16_t value, uint16_t index);
    int ControlIn(uint8_t request, uint16_t index, uint8_t* data, uint16_t length);

    static constexpr auto kIdleWake = std::chrono::milliseconds(20);
    static constexpr auto kMinWake = std::chrono::microseconds(200);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    SystemClock m_readerClock;
    std::shared_ptr<SimReader> m_pReader;
    bool m_bLoopback = false;
    bool m_bPresent = true;
    uint32_t m_dwGeneration = 1;
    const void* m_pClaimedBy = nullptr;
    libusb_device_descriptor m_descriptor{};
    Eeprom m_eeprom{};
    UsbEmuSettings m_settings;
    // The line, each byte with the time its last bit is through.
    std::deque<std::pair<uint8_t, Steady::time_point>> m_transmit;
    std::deque<std::pair<uint8_t, Steady::time_point>> m_receive;
};
