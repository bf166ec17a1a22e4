#pragma once

#include <dlfcn.h>

#include <array>
#include <cstddef>
#include <cstdint>

class SimReader;

// What the emulated FT232R bridge was last told, as the requests carried it.
struct UsbEmuSettings {
    uint16_t divisorValue = 0;  // the baud rate request's value and index
    uint16_t divisorIndex = 0;
    uint32_t baudRate = 0;        // what that divisor gives on the chip's 3 MHz clock
    uint16_t lineProperties = 0;  // data bits | parity << 8 | stop bits << 11 | break << 14
    uint16_t flowControl = 0;     // the high byte of the flow control request's index
    uint16_t xonXoff = 0;         // its value: XON | XOFF << 8
    bool dtr = false;
    bool rts = false;
    uint8_t latencyTimer = 16;
    uint16_t eventChar = 0;  // character | enabled << 8
    uint16_t errorChar = 0;
    uint32_t resets = 0;          // reset requests (value 0)
    uint32_t receivePurges = 0;   // purges of what the bridge holds for the PC
    uint32_t transmitPurges = 0;  // purges of what waits to go out on the line
    uint32_t opens = 0;           // libusb_open calls that succeeded
    uint32_t eepromWordWrites = 0;
};

// The emulated bridge behind the stand-in libusb, for tests that run with it loaded. Its UART leads
// to a simulated reader on the system clock (or, looped back, to itself).
class UsbEmu {
public:
    static constexpr uint16_t kVendorId = 0x0403;
    static constexpr uint16_t kProductId = 0x6001;
    static constexpr size_t kEepromSize = 128;
    using Eeprom = std::array<uint8_t, kEepromSize>;

    // The emulator of the stand-in libusb loaded in this process; null when the system's libusb
    // is loaded instead.
    static UsbEmu* Find() {
        const auto entry = reinterpret_cast<UsbEmu* (*)()>(dlsym(RTLD_DEFAULT, "TagbenchUsbEmu"));
        return entry != nullptr ? entry() : nullptr;
    }

    // The checksum in an EEPROM's last word (little-endian) that the chip checks before it uses
    // the settings: each word before it folded in by XOR and a left rotation, from 0xAAAA.
    static uint16_t EepromChecksum(const Eeprom& eeprom) {
        uint16_t checksum = 0xAAAA;
        for (size_t i = 0; i + 2 < kEepromSize; i += 2) {
            checksum ^= static_cast<uint16_t>(eeprom[i] | eeprom[i + 1] << 8);
            checksum = static_cast<uint16_t>(checksum << 1 | checksum >> 15);
        }
        return checksum;
    }

    // Back to a freshly plugged bridge: factory EEPROM, default settings, a new reader with one
    // card, empty buffers, counters at zero. Handles opened before become stale.
    virtual void Reset() = 0;
    virtual SimReader& Reader() = 0;
    // Bytes written go straight back to the receive side instead of to the reader.
    virtual void SetLoopback(bool on) = 0;
    virtual UsbEmuSettings Settings() = 0;
    virtual Eeprom GetEeprom() = 0;
    virtual void SetEeprom(const Eeprom& eeprom) = 0;
    // A USB fault: the bridge drops off the bus. Every open handle goes stale (transfers fail with
    // LIBUSB_ERROR_NO_DEVICE); with replug the bridge enumerates again at once, as after a brief
    // glitch, otherwise it stays away until Plug.
    virtual void Unplug(bool replug) = 0;
    virtual void Plug() = 0;
    // Received bytes the bridge holds for the PC (arrived on the line, not yet fetched).
    virtual size_t PendingReceive() = 0;
    // Bytes the PC wrote that are not through the line yet.
    virtual size_t PendingTransmit() = 0;

protected:
    ~UsbEmu() = default;
};

// The entry the stand-in library exports for UsbEmu::Find.
extern "C" UsbEmu* TagbenchUsbEmu();
