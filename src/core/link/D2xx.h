#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The function table of the FTDI D2XX interface: the 41 entries in the vendor's order, with the
// vendor's signatures (written here from the published interface; 32-bit DWORD/ULONG as on Linux).
// A provider fills it: the vendor library loaded at run time, our adapter over libftdi1, or a
// simulated or scripted bridge. An entry the provider lacks stays empty; callers check before use.

using FT_HANDLE = void*;
using FT_STATUS = uint32_t;

// D2XX status values.
enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

// Arguments of the calls the program makes.
inline constexpr uint8_t FT_BITS_8 = 8;
inline constexpr uint8_t FT_STOP_BITS_1 = 0;
inline constexpr uint8_t FT_STOP_BITS_2 = 2;
inline constexpr uint8_t FT_PARITY_NONE = 0;
inline constexpr uint16_t FT_FLOW_NONE = 0x0000;
inline constexpr uint32_t FT_PURGE_RX = 1;
inline constexpr uint32_t FT_PURGE_TX = 2;
// FT_OpenEx: the first argument is the bridge's serial number, a zero-terminated text.
inline constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;

// The bridge's EEPROM settings in the first version of the vendor's program-data record: it starts
// with the vendor ID. The four text pointers point at buffers the caller owns (64, 8, 64, 16 bytes).
struct FT_PROGRAM_DATA {
    uint16_t VendorId;
    uint16_t ProductId;
    char* Manufacturer;
    char* ManufacturerId;
    char* Description;
    char* SerialNumber;
    uint16_t MaxPower;
    uint16_t PnP;
    uint16_t SelfPowered;
    uint16_t RemoteWakeup;
    uint8_t Rev4;
    uint8_t IsoIn;
    uint8_t IsoOut;
    uint8_t PullDownEnable;
    uint8_t SerNumEnable;
    uint8_t USBVersionEnable;
    uint16_t USBVersion;
};

// Sizes of the caller's text buffers behind an FT_PROGRAM_DATA.
inline constexpr size_t kEeManufacturerSize = 64;
inline constexpr size_t kEeManufacturerIdSize = 8;
inline constexpr size_t kEeDescriptionSize = 64;
inline constexpr size_t kEeSerialNumberSize = 16;

struct D2xxTable {
    std::function<FT_STATUS(int deviceNumber, FT_HANDLE* handle)> FT_Open;
    std::function<FT_STATUS(void* arg1, uint32_t flags, FT_HANDLE* handle)> FT_OpenEx;
    std::function<FT_STATUS(void* arg1, void* arg2, uint32_t flags)> FT_ListDevices;
    std::function<FT_STATUS(FT_HANDLE)> FT_Close;
    std::function<FT_STATUS(FT_HANDLE, void* buffer, uint32_t toRead, uint32_t* returned)> FT_Read;
    std::function<FT_STATUS(FT_HANDLE, void* buffer, uint32_t toWrite, uint32_t* written)> FT_Write;
    std::function<FT_STATUS(FT_HANDLE, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                            uint32_t* returned, void* overlapped)>
        FT_IoCtl;
    std::function<FT_STATUS(FT_HANDLE, uint32_t baudRate)> FT_SetBaudRate;
    std::function<FT_STATUS(FT_HANDLE, uint16_t divisor)> FT_SetDivisor;
    std::function<FT_STATUS(FT_HANDLE, uint8_t wordLength, uint8_t stopBits, uint8_t parity)>
        FT_SetDataCharacteristics;
    std::function<FT_STATUS(FT_HANDLE, uint16_t flowControl, uint8_t xon, uint8_t xoff)> FT_SetFlowControl;
    std::function<FT_STATUS(FT_HANDLE)> FT_ResetDevice;
    std::function<FT_STATUS(FT_HANDLE)> FT_SetDtr;
    std::function<FT_STATUS(FT_HANDLE)> FT_ClrDtr;
    std::function<FT_STATUS(FT_HANDLE)> FT_SetRts;
    std::function<FT_STATUS(FT_HANDLE)> FT_ClrRts;
    std::function<FT_STATUS(FT_HANDLE, uint32_t* modemStatus)> FT_GetModemStatus;
    std::function<FT_STATUS(FT_HANDLE, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                            uint8_t errorEnabled)>
        FT_SetChars;
    std::function<FT_STATUS(FT_HANDLE, uint32_t mask)> FT_Purge;
    std::function<FT_STATUS(FT_HANDLE, uint32_t readTimeout, uint32_t writeTimeout)> FT_SetTimeouts;
    std::function<FT_STATUS(FT_HANDLE, uint32_t* rxBytes)> FT_GetQueueStatus;
    std::function<FT_STATUS(FT_HANDLE, uint32_t mask, void* param)> FT_SetEventNotification;
    std::function<FT_STATUS(FT_HANDLE, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventWord)>
        FT_GetStatus;
    std::function<FT_STATUS(FT_HANDLE)> FT_SetBreakOn;
    std::function<FT_STATUS(FT_HANDLE)> FT_SetBreakOff;
    std::function<FT_STATUS(FT_HANDLE, uint32_t mask)> FT_SetWaitMask;
    std::function<FT_STATUS(FT_HANDLE, uint32_t* mask)> FT_WaitOnMask;
    std::function<FT_STATUS(FT_HANDLE, uint32_t* eventWord)> FT_GetEventStatus;
    std::function<FT_STATUS(FT_HANDLE, uint32_t wordOffset, uint16_t* value)> FT_ReadEE;
    std::function<FT_STATUS(FT_HANDLE, uint32_t wordOffset, uint16_t value)> FT_WriteEE;
    std::function<FT_STATUS(FT_HANDLE)> FT_EraseEE;
    std::function<FT_STATUS(FT_HANDLE, FT_PROGRAM_DATA* data)> FT_EE_Program;
    std::function<FT_STATUS(FT_HANDLE, FT_PROGRAM_DATA* data)> FT_EE_Read;
    std::function<FT_STATUS(FT_HANDLE, uint32_t* size)> FT_EE_UASize;
    std::function<FT_STATUS(FT_HANDLE, uint8_t* data, uint32_t length)> FT_EE_UAWrite;
    std::function<FT_STATUS(FT_HANDLE, uint8_t* data, uint32_t length, uint32_t* read)> FT_EE_UARead;
    std::function<FT_STATUS(FT_HANDLE, uint8_t latency)> FT_SetLatencyTimer;
    std::function<FT_STATUS(FT_HANDLE, uint8_t* latency)> FT_GetLatencyTimer;
    std::function<FT_STATUS(FT_HANDLE, uint8_t mask, uint8_t enable)> FT_SetBitMode;
    std::function<FT_STATUS(FT_HANDLE, uint8_t* mode)> FT_GetBitMode;
    std::function<FT_STATUS(FT_HANDLE, uint32_t inTransferSize, uint32_t outTransferSize)>
        FT_SetUSBParameters;
};

// The vendor's names of the 41 entries, in table order.
extern const char* const kD2xxFunctionNames[41];

// A source of the D2XX table. It owns whatever stands behind the table (a loaded library, a
// libftdi1 context, a simulated bridge) for as long as the table is in use.
class D2xxProvider {
public:
    virtual ~D2xxProvider() = default;
    const D2xxTable& Table() const { return m_table; }
    // For messages: "vendor library", "libftdi1", "simulated bridge", ...
    virtual std::string Name() const = 0;

protected:
    D2xxTable m_table;
};

// The vendor library (libftd2xx.so / FTD2XX.DLL) loaded at run time; null when it cannot be loaded.
std::unique_ptr<D2xxProvider> LoadVendorD2xx();
// The built-in adapter over libftdi1; null when libftdi1 cannot be initialised.
std::unique_ptr<D2xxProvider> CreateFtdiD2xx();
// What the program uses for USB readers: the vendor library if it loads, else libftdi1.
std::shared_ptr<D2xxProvider> CreateDefaultD2xx();
