#include "link/ReaderPort.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include "link/LinkDiagnostic.h"
#include "link/SerialLine.h"

namespace {

// Read and write time-outs of the USB bridge, in milliseconds.
constexpr uint32_t kUsbReadTimeout = 100;
constexpr uint32_t kUsbPollingReadTimeout = 1;
constexpr uint32_t kUsbWriteTimeout = 100;

// Time-outs of the serial line after InitPort, and of its two read modes.
constexpr SerialTimeouts kComInitTimeouts{10, 10, 100, 10, 100};
constexpr SerialTimeouts kComNormalTimeouts{10, 1, 1, 10, 100};
constexpr SerialTimeouts kComPollingTimeouts{SerialTimeouts::kReturnAtOnce, 0, 0, 10, 100};

LinkResult FromStatus(FT_STATUS status) {
    return status == FT_OK ? LR_OK : LR_D2XX_BASE + status;
}

// One call through the table; an entry the provider lacks answers instead of crashing.
template <typename Function, typename... Args>
LinkResult CallD2xx(const Function& function, Args... args) {
    if (!function) {
        return LR_D2XX_NO_FUNCTION;
    }
    return FromStatus(function(args...));
}

unsigned HandleValue(FT_HANDLE handle) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace

ReaderPort::ReaderPort(OutputWindow* window, std::shared_ptr<D2xxProvider> d2xx, SerialPortList* ports)
    : m_d2xx(std::move(d2xx)), m_pPorts(ports), m_pLine(std::make_unique<SerialLine>()) {
    m_trace.SetOutputWindow(window, false, TraceModeText);
}

ReaderPort::~ReaderPort() = default;

std::string ReaderPort::GetPortName() const {
    if (!IsUsb()) {
        return m_strPortName;
    }
    return m_strUsbSerial.empty() ? std::string("USB") : "USB " + m_strUsbSerial;
}

LinkResult ReaderPort::OpenPort(uint32_t kind, uint32_t portNumber) {
    m_dwLineLost = LR_OK;
    m_dwKind = kind == PortKindUsb ? PortKindUsb : PortKindCom;
    m_dwPortNumber = portNumber;
    if (IsUsb()) {
        m_strUsbSerial.clear();
        // Always the first device, whatever the port number.
        return OpenUsb(
            [](const D2xxTable& table, FT_HANDLE* handle) -> FT_STATUS { return table.FT_Open(0, handle); });
    }
    m_strPortName = m_pPorts != nullptr ? m_pPorts->NameOf(portNumber) : std::string();
    if (m_strPortName.empty()) {
        m_pLine->Close();
        return ENOENT;
    }
    return m_pLine->Open(m_strPortName);
}

LinkResult ReaderPort::OpenUsbBySerial(const std::string& serial) {
    m_dwLineLost = LR_OK;
    m_dwKind = PortKindUsb;
    m_dwPortNumber = 0;
    m_strUsbSerial = serial;
    if (serial.empty()) {
        // Names no bridge, and an empty serial number would mean "the first bridge" to ReOpenPort.
        return LR_D2XX_BASE + FT_INVALID_PARAMETER;
    }
    // The driver's argument is a writable zero-terminated text.
    std::vector<char> text(serial.begin(), serial.end());
    text.push_back('\0');
    return OpenUsb([&text](const D2xxTable& table, FT_HANDLE* handle) {
        return table.FT_OpenEx(text.data(), FT_OPEN_BY_SERIAL_NUMBER, handle);
    });
}

LinkResult ReaderPort::OpenUsb(const std::function<FT_STATUS(const D2xxTable&, FT_HANDLE*)>& open) {
    if (!m_d2xx) {
        return LR_NO_D2XX;
    }
    const D2xxTable& table = m_d2xx->Table();
    if (m_strUsbSerial.empty() ? !table.FT_Open : !table.FT_OpenEx) {
        return LR_D2XX_NO_FUNCTION;
    }
    // A device this port still holds would keep the bridge busy for the new open.
    if (m_ftHandle != nullptr && table.FT_Close) {
        table.FT_Close(m_ftHandle);
        m_ftHandle = nullptr;
    }
    FT_HANDLE handle = nullptr;
    const FT_STATUS status = open(table, &handle);
    if (status != FT_OK) {
        return LR_D2XX_BASE + status;
    }
    m_ftHandle = handle;
    return LR_OK;
}

LinkResult ReaderPort::OpenPortByName(const std::string& name) {
    m_dwLineLost = LR_OK;
    m_dwKind = PortKindCom;
    m_strPortName = name;
    m_dwPortNumber = m_pPorts != nullptr ? m_pPorts->NumberOf(name) : 0;
    return m_pLine->Open(name);
}

LinkResult ReaderPort::InitPort(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                                uint32_t handshake) {
    m_dwBaudRate = baudRate;
    m_byDataBits = dataBits;
    m_byParity = parity;
    m_byStopBits = stopBits;
    m_dwHandshake = handshake;
    if (IsUsb()) {
        if (!m_d2xx) {
            return LR_NO_D2XX;
        }
        const D2xxTable& table = m_d2xx->Table();
        const uint8_t wordLength = (dataBits >= 5 && dataBits <= 7) ? dataBits : FT_BITS_8;
        const uint8_t ftStopBits = (stopBits == 1 || stopBits == 2) ? stopBits : FT_STOP_BITS_1;
        const uint8_t ftParity = (parity >= 1 && parity <= 4) ? parity : FT_PARITY_NONE;
        LinkResult result;
        if ((result = CallD2xx(table.FT_SetBaudRate, m_ftHandle, baudRate)) != LR_OK ||
            (result = CallD2xx(table.FT_SetDataCharacteristics, m_ftHandle, wordLength, ftStopBits,
                               ftParity)) != LR_OK ||
            // The bridge runs without flow control: the handshake setting is for serial lines.
            (result = CallD2xx(table.FT_SetFlowControl, m_ftHandle, FT_FLOW_NONE, uint8_t{0}, uint8_t{0})) !=
                LR_OK ||
            (result = CallD2xx(table.FT_SetDtr, m_ftHandle)) != LR_OK ||
            (result = CallD2xx(table.FT_SetRts, m_ftHandle)) != LR_OK ||
            (result = CallD2xx(table.FT_SetChars, m_ftHandle, uint8_t{0}, uint8_t{0}, uint8_t{0},
                               uint8_t{0})) != LR_OK ||
            (result = CallD2xx(table.FT_SetTimeouts, m_ftHandle, kUsbReadTimeout, kUsbWriteTimeout)) !=
                LR_OK) {
            return result;
        }
        m_dwOpen = 1;
        return LR_OK;
    }
    if (!m_pLine->IsOpen()) {
        return EBADF;
    }
    if (const int error = m_pLine->Purge(); error != 0) {
        return static_cast<LinkResult>(error);
    }
    m_pLine->SetTimeouts(kComInitTimeouts);
    if (const int error = m_pLine->Configure(baudRate, dataBits, parity, stopBits, handshake); error != 0) {
        return static_cast<LinkResult>(error);
    }
    m_dwOpen = 1;
    return LR_OK;
}

LinkResult ReaderPort::ClosePort() {
    m_dwOpen = 0;
    m_dwLineLost = LR_OK;
    if (IsUsb()) {
        if (!m_d2xx) {
            return LR_NO_D2XX;
        }
        const LinkResult result = CallD2xx(m_d2xx->Table().FT_Close, m_ftHandle);
        if (result == LR_OK) {
            m_ftHandle = nullptr;  // a closed handle must not be closed again
        }
        return result;
    }
    if (!m_pLine->IsOpen()) {
        return LR_OK;
    }
    const int error = m_pLine->Close();
    if (error != 0) {
        LinkDiagnostic(0, "Error closing port: 0x%08X.", static_cast<unsigned>(error));
        return static_cast<LinkResult>(error);
    }
    LinkDiagnostic(0, "Port closed.");
    return LR_OK;
}

LinkResult ReaderPort::ReOpenPort() {
    LinkResult result = ClosePort();
    LinkDiagnostic(0, "ReOpenPort: ClosePort: dwError = 0x%08X, m_ftHandle = %X", result,
                   HandleValue(m_ftHandle));
    m_ftHandle = nullptr;
    // A serial line opened by name may not be in the port list: open it by its name again.
    if (!IsUsb()) {
        result = OpenPortByName(m_strPortName);
    } else if (m_strUsbSerial.empty()) {
        result = OpenPort(PortKindUsb, m_dwPortNumber);
    } else {
        // The bridge this port was opened on: the first one may be another station's reader.
        result = OpenUsbBySerial(m_strUsbSerial);
    }
    LinkDiagnostic(0, "ReOpenPort: OpenPort:  dwError = 0x%08X, m_ftHandle = %X", result,
                   HandleValue(m_ftHandle));
    if (result != LR_OK) {
        return result;
    }
    result = InitPort(m_dwBaudRate, m_byDataBits, m_byParity, m_byStopBits, m_dwHandshake);
    LinkDiagnostic(0, "ReOpenPort: InitPort:  dwError = 0x%08X, m_ftHandle = %X", result,
                   HandleValue(m_ftHandle));
    return result;
}

LinkResult ReaderPort::SetBaudRate(uint32_t baudRate) {
    m_dwBaudRate = baudRate;
    return InitPort(baudRate, m_byDataBits, m_byParity, m_byStopBits, m_dwHandshake);
}

LinkResult ReaderPort::Write(ByteBuffer bytes) {
    if (const LinkResult dead = DeadLine(); dead != LR_OK) {
        return dead;
    }
    if (IsUsb()) {
        if (!m_d2xx) {
            return LR_NO_D2XX;
        }
        const D2xxTable& table = m_d2xx->Table();
        if (!table.FT_Write) {
            return LR_D2XX_NO_FUNCTION;
        }
        uint32_t written = 0;
        FT_STATUS status = table.FT_Write(m_ftHandle, bytes.GetData(), bytes.GetCount(), &written);
        // A closed port is not re-opened behind the user's back.
        if (status != FT_OK && IsOpen()) {
            const LinkResult reopened = ReOpenPort();
            status = table.FT_Write(m_ftHandle, bytes.GetData(), bytes.GetCount(), &written);
            NoteBridgeFault(reopened, status);
        }
        if (status != FT_OK) {
            return LR_D2XX_BASE + status;
        }
    } else {
        uint32_t written = 0;
        const int error = m_pLine->Write(bytes.GetData(), bytes.GetCount(), written);
        if (error != 0) {
            LinkDiagnostic(0, "Error writing to port. m_hCom = 0x%08X, dwError = 0x%08X.",
                           static_cast<unsigned>(m_pLine->GetFd()), static_cast<unsigned>(error));
            return NoteLineError(error);
        }
    }
    m_trace.Sent(bytes);
    return LR_OK;
}

LinkResult ReaderPort::Read(ByteBuffer& destination, uint32_t n, uint32_t& received,
                            const ReadComplete& complete) {
    received = 0;
    if (const LinkResult dead = DeadLine(); dead != LR_OK) {
        return dead;
    }
    std::vector<uint8_t> block(n, 0);
    if (IsUsb()) {
        if (!m_d2xx) {
            return LR_NO_D2XX;
        }
        const D2xxTable& table = m_d2xx->Table();
        if (!table.FT_Read) {
            return LR_D2XX_NO_FUNCTION;
        }
        // One FT_Read, re-opening the bridge and trying once more when it fails; a bridge that
        // cannot be re-opened is gone (GetLineLost).
        auto readOnce = [&](uint8_t* into, uint32_t count, uint32_t& got) -> FT_STATUS {
            got = 0;
            FT_STATUS status = table.FT_Read(m_ftHandle, into, count, &got);
            if (status != FT_OK && IsOpen()) {
                const LinkResult reopened = ReOpenPort();
                got = 0;
                status = table.FT_Read(m_ftHandle, into, count, &got);
                NoteBridgeFault(reopened, status);
            }
            if (got > count) {
                got = count;  // a bridge that claims more than was asked for
            }
            return status;
        };
        if (!complete) {
            if (const FT_STATUS status = readOnce(block.data(), n, received); status != FT_OK) {
                received = 0;
                return LR_D2XX_BASE + status;
            }
        } else {
            // Byte by byte, so that nothing after the awaited bytes is taken from the bridge.
            while (received < n) {
                uint32_t got = 0;
                if (const FT_STATUS status = readOnce(block.data() + received, 1, got); status != FT_OK) {
                    received = 0;
                    return LR_D2XX_BASE + status;
                }
                if (got == 0) {
                    break;
                }
                received += got;
                if (complete({block.data(), received})) {
                    break;
                }
            }
        }
    } else {
        const int error = m_pLine->Read(block.data(), n, received, complete);
        if (error != 0) {
            LinkDiagnostic(0, "Error reading from port. m_hCom = 0x%08X, dwError = 0x%08X.",
                           static_cast<unsigned>(m_pLine->GetFd()), static_cast<unsigned>(error));
            received = 0;
            return NoteLineError(error);
        }
    }
    for (uint32_t i = 0; i < received; ++i) {
        destination.Append(block[i]);  // bytes past the destination's capacity are dropped
    }
    if (received > 0) {
        m_trace.Received(destination);
    }
    return LR_OK;
}

LinkResult ReaderPort::Purge() {
    if (const LinkResult dead = DeadLine(); dead != LR_OK) {
        return dead;
    }
    if (IsUsb()) {
        if (!m_d2xx) {
            return LR_NO_D2XX;
        }
        const D2xxTable& table = m_d2xx->Table();
        if (!table.FT_Purge) {
            return LR_D2XX_NO_FUNCTION;
        }
        // Receive side only: our last acknowledgement may still sit in the bridge's transmit buffer,
        // and a reader that insists on it would repeat its answer into the next command.
        table.FT_Purge(m_ftHandle, FT_PURGE_RX);
        return LR_OK;
    }
    if (const int error = m_pLine->Purge(); error != 0) {
        NoteLineError(error);  // the result stays 0, but a line that is gone shows in the next call
    }
    return LR_OK;
}

LinkResult ReaderPort::SetReadMode(uint32_t mode) {
    const bool polling = mode == ReadModePolling;
    if (const LinkResult dead = DeadLine(); dead != LR_OK) {
        return dead;
    }
    if (IsUsb()) {
        if (!m_d2xx) {
            return LR_NO_D2XX;
        }
        const D2xxTable& table = m_d2xx->Table();
        if (!table.FT_SetTimeouts) {
            return LR_D2XX_NO_FUNCTION;
        }
        const uint32_t readTimeout = polling ? kUsbPollingReadTimeout : kUsbReadTimeout;
        if (table.FT_SetTimeouts(m_ftHandle, readTimeout, kUsbWriteTimeout) != FT_OK && IsOpen()) {
            const LinkResult reopened = ReOpenPort();
            const FT_STATUS status = table.FT_SetTimeouts(m_ftHandle, readTimeout, kUsbWriteTimeout);
            NoteBridgeFault(reopened, status);
        }
        return LR_OK;
    }
    m_pLine->SetTimeouts(polling ? kComPollingTimeouts : kComNormalTimeouts);
    return LR_OK;
}

LinkResult ReaderPort::SetEventChars(uint8_t eventChar, uint8_t errorChar) {
    if (const LinkResult dead = DeadLine(); dead != LR_OK) {
        return dead;
    }
    if (!IsUsb()) {
        return LR_OK;
    }
    if (!m_d2xx) {
        return LR_NO_D2XX;
    }
    return CallD2xx(m_d2xx->Table().FT_SetChars, m_ftHandle, eventChar, uint8_t{1}, errorChar, uint8_t{1});
}

LinkResult ReaderPort::NoteLineError(int error) {
    // Only an open line can be lost: a call on a closed port fails without news.
    if (IsOpen() && m_dwLineLost == LR_OK && IsLineLost(static_cast<LinkResult>(error))) {
        m_dwLineLost = static_cast<LinkResult>(error);
    }
    return static_cast<LinkResult>(error);
}

void ReaderPort::NoteBridgeFault(LinkResult reopened, FT_STATUS retried) {
    if (reopened != LR_OK && retried != FT_OK) {
        m_dwLineLost = LR_D2XX_BASE + retried;
    }
}

LinkResult ReaderPort::DeadLine() {
    if (m_dwLineLost == LR_OK || !IsUsb()) {
        return m_dwLineLost;
    }
    // A USB bridge keeps its re-open rule: each transfer tries it once more, so a bridge plugged
    // back in works on (the open clears the loss); while it cannot be opened, the first error stays.
    const LinkResult lost = m_dwLineLost;
    if (ReOpenPort() == LR_OK) {
        return LR_OK;
    }
    m_dwLineLost = lost;
    return lost;
}

LinkResult ReaderPort::LineFault() const {
    if (m_dwLineLost != LR_OK) {
        return m_dwLineLost;
    }
    if (!IsOpen() || IsUsb()) {
        return LR_OK;
    }
    return static_cast<LinkResult>(m_pLine->HangUpError());
}

LinkResult ReaderPort::CheckLine() {
    const LinkResult fault = LineFault();
    if (fault != LR_OK && m_dwLineLost == LR_OK) {
        m_dwLineLost = fault;
    }
    return fault;
}

uint32_t ReaderPort::NormalReadLimitMs(uint32_t n) const {
    if (IsUsb()) {
        return kUsbReadTimeout;
    }
    return kComNormalTimeouts.readMultiplier * n + kComNormalTimeouts.readConstant;
}

LinkResult ReaderPort::ReadEeprom() {
    if (!IsUsb()) {
        return LR_NOT_USB;
    }
    if (!m_d2xx) {
        return LR_NO_D2XX;
    }
    return CallD2xx(m_d2xx->Table().FT_EE_Read, m_ftHandle, m_eeprom.Data());
}

LinkResult ReaderPort::ProgramEeprom() {
    if (!IsUsb()) {
        return LR_NOT_USB;
    }
    if (!m_d2xx) {
        return LR_NO_D2XX;
    }
    return CallD2xx(m_d2xx->Table().FT_EE_Program, m_ftHandle, m_eeprom.Data());
}
