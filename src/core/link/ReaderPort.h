#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "link/ByteBuffer.h"
#include "link/D2xx.h"
#include "link/LinkResult.h"
#include "link/SerialPortList.h"
#include "link/Trace.h"
#include "production/UsbEepromRecord.h"

class SerialLine;

enum PortKind : uint32_t { PortKindCom = 0, PortKindUsb = 1 };
enum ReadMode : uint32_t { ReadModeNormal = 0, ReadModePolling = 1 };

// The one byte pipe to the reader: a serial port (termios) or a USB bridge through the D2XX table.
// Every write and read is echoed into the attached output window (the trace).
class ReaderPort {
public:
    // d2xx: the provider of the USB kind; null means no D2XX library (every USB operation then
    // returns LR_NO_D2XX). ports: the list that port numbers index.
    explicit ReaderPort(OutputWindow* window = nullptr,
                        std::shared_ptr<D2xxProvider> d2xx = CreateDefaultD2xx(),
                        SerialPortList* ports = &SerialPortList::Shared());
    virtual ~ReaderPort();
    ReaderPort(const ReaderPort&) = delete;
    ReaderPort& operator=(const ReaderPort&) = delete;

    LinkResult OpenPort(uint32_t kind, uint32_t portNumber);
    // The USB kind on the bridge whose EEPROM serial number is serial ("QV000042"), so that one
    // program can drive several bridges; re-opening returns to that bridge, never to another.
    LinkResult OpenUsbBySerial(const std::string& serial);
    // The COM kind by device name (/dev/ttyUSB0, a pseudo-terminal); the command line uses it.
    LinkResult OpenPortByName(const std::string& name);
    LinkResult InitPort(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                        uint32_t handshake);
    LinkResult ClosePort();
    LinkResult ReOpenPort();
    LinkResult SetBaudRate(uint32_t baudRate);
    LinkResult Write(ByteBuffer bytes);
    // Says whether the bytes of one read so far hold all that the caller awaits.
    using ReadComplete = std::function<bool(std::span<const uint8_t> bytes)>;

    // Appends what arrived (at most n bytes) to destination. A read ends after n bytes or by the
    // time-outs of the read mode; with complete, also as soon as complete() says the awaited bytes
    // are there, so that a caller that knows its end mark does not wait for the line to fall quiet.
    LinkResult Read(ByteBuffer& destination, uint32_t n, uint32_t& received,
                    const ReadComplete& complete = {});
    LinkResult Purge();
    LinkResult SetReadMode(uint32_t mode);
    LinkResult SetEventChars(uint8_t eventChar, uint8_t errorChar);
    // The longest a read of n bytes in the normal read mode waits for its first byte: a reader
    // that pauses this long inside a telegram has broken it off, as far as the link can tell.
    uint32_t NormalReadLimitMs(uint32_t n) const;

    // The error by which the line went away while open (a device gone, a hung-up line, a USB bridge
    // that failed and could not be re-opened); LR_OK while it stands. Once set, every transfer
    // returns it at once, until the port is closed or opened again: a serial line is not touched
    // again; a USB bridge is re-opened once per transfer (its re-open rule), and one plugged back
    // in works on and is no longer lost.
    LinkResult GetLineLost() const { return m_dwLineLost; }
    // Whether the open line has hung up or failed, without reading from it: LR_OK, or the error
    // (which GetLineLost then keeps). A USB bridge is only found gone by a failed transfer.
    LinkResult CheckLine();
    // As CheckLine, but changes nothing: for a look from another thread while no work runs.
    LinkResult LineFault() const;

    bool IsOpen() const { return m_dwOpen != 0; }
    bool IsUsb() const { return m_dwKind == PortKindUsb; }
    uint32_t GetBaudRate() const { return m_dwBaudRate; }
    uint32_t GetPortNumber() const { return m_dwPortNumber; }
    // The device name of the COM kind ("/dev/ttyUSB0"); "USB" for the USB kind's first bridge,
    // "USB QV000042" for a bridge opened by its serial number.
    std::string GetPortName() const;
    // The serial number the USB kind was opened by; empty for the first bridge.
    const std::string& GetUsbSerial() const { return m_strUsbSerial; }
    bool HasD2xx() const { return m_d2xx != nullptr; }
    SerialPortList& GetPortList() const { return *m_pPorts; }

    void SetOutputWindow(OutputWindow* window, bool setFormat, uint32_t mode) {
        m_trace.SetOutputWindow(window, setFormat, mode);
    }
    OutputWindow* GetOutputWindow() const { return m_trace.GetOutputWindow(); }
    uint32_t GetTraceMode() const { return m_trace.GetTraceMode(); }
    void ClearOutput() { m_trace.ClearOutput(); }
    void WriteStatusLine(std::string_view text) { m_trace.WriteStatusLine(text); }

    // The USB bridge's EEPROM settings: read fills the record from the bridge, program writes the
    // whole record into it. LR_NOT_USB on a serial line, without touching the record.
    UsbEepromRecord& GetEepromRecord() { return m_eeprom; }
    LinkResult ReadEeprom();
    LinkResult ProgramEeprom();

private:
    // Releases the device still held, then opens one by open (the entry it calls is checked).
    LinkResult OpenUsb(const std::function<FT_STATUS(const D2xxTable&, FT_HANDLE*)>& open);
    // A serial line's failed call: an error that means the device is gone marks the line lost.
    LinkResult NoteLineError(int error);
    // A USB bridge that failed a call is re-opened and the call made once more: when neither
    // worked, the bridge is gone and the line lost with the second call's status.
    void NoteBridgeFault(LinkResult reopened, FT_STATUS retried);
    // LR_OK when a transfer may go ahead, else the lost line's error, which the transfer returns at
    // once: a serial line is not touched again, a USB bridge is re-opened once if it can be.
    LinkResult DeadLine();

    std::shared_ptr<D2xxProvider> m_d2xx;
    SerialPortList* m_pPorts;
    std::unique_ptr<SerialLine> m_pLine;
    FT_HANDLE m_ftHandle = nullptr;
    uint32_t m_dwOpen = 0;
    LinkResult m_dwLineLost = LR_OK;
    uint32_t m_dwKind = PortKindCom;
    uint32_t m_dwPortNumber = 0;
    std::string m_strPortName;
    std::string m_strUsbSerial;
    uint32_t m_dwBaudRate = 9600;
    uint8_t m_byDataBits = 8;
    uint8_t m_byParity = 0;
    uint8_t m_byStopBits = 0;
    uint32_t m_dwHandshake = 0;
    Trace m_trace;
    UsbEepromRecord m_eeprom;
};
