#include "programming/ProgrammingSequence.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include "link/ReaderPort.h"
#include "programming/Crc16.h"
#include "programming/LoaderProtocol.h"

namespace {

using State = ProgrammingState;
using LP = LoaderProtocol;

// Poll limits of the waits, in timer periods.
constexpr uint32_t kSerialAnswerPolls = 10;
constexpr uint32_t kErasePolls = 50;
constexpr uint32_t kDownloadReadyPolls = 10;
constexpr uint32_t kVersionPolls = 5;
constexpr uint32_t kResetCrcPolls = 5;
constexpr uint32_t kBlockAckPolls = 50;
constexpr uint32_t kCheckCrcPolls = 50;
constexpr uint32_t kRebootPolls = 50;
constexpr uint32_t kDiscardBytes = 128;
constexpr uint32_t kSerialAnswerBytes = 128;

std::string Format(const char* format, const std::string& text) {
    char line[1200];
    std::snprintf(line, sizeof line, format, text.c_str());
    return line;
}

std::string Format(const char* format, unsigned value) {
    char line[200];
    std::snprintf(line, sizeof line, format, value);
    return line;
}

}  // namespace

ProgrammingSequence::ProgrammingSequence(ReaderPort& port, Clock& clock) : m_port(port), m_clock(clock) {}

ProgrammingSequence::~ProgrammingSequence() {
    CloseFile();
}

std::string ProgrammingSequence::FileName(const std::string& path) {
    const size_t separator = path.find_last_of("/\\");
    if (separator == std::string::npos || separator + 1 == path.size()) {
        return path;
    }
    return path.substr(separator + 1);
}

std::string ProgrammingSequence::GetCaption() const {
    switch (m_inputs.mode) {
        case SerialAndUsbSettings:
        case SerialOnly:
            return Format("Programming 0x%08u", m_inputs.mifareSerial);
        case DownloadFirmware:
        case SendFile:
            return Format("Downloading: %s", FileName(m_inputs.filePath));
        case UsbSettingsOnly:
            return "Programming USB settings";
        case ProgramFile:
            return "Programming file: " + FileName(m_inputs.filePath);
        case VerifyFile:
            return "Verifying file: " + FileName(m_inputs.filePath);
    }
    return {};
}

bool ProgrammingSequence::IsProgressVisible() const {
    return m_inputs.mode == DownloadFirmware || m_inputs.mode == SendFile || IsBlockMode();
}

void ProgrammingSequence::Begin() {
    m_log.clear();
    m_nState = State::Start;
    m_nResult = ResultNone;
    m_bSucceeded = false;
    m_qwBytesSent = 0;
    m_qwFileLength = 0;
    m_bDestinationEnabled = true;
    m_bNextEnabled = false;
    m_bCancelEnabled = true;
    m_bClose = false;
    m_dwNextDelay = 0;
    // Everything the loader hears, it reads at the pace of the normal read mode: a poll then
    // waits for its byte in the kernel instead of returning at once.
    m_port.SetReadMode(ReadModeNormal);
    Log(m_inputs.mode == SendFile ? GetCaption() : "Please (re)connect the reader...");
    SetTimer(kSlowPeriodMs);
}

void ProgrammingSequence::Next() {
    if (m_bNextEnabled) {
        Begin();
    }
}

bool ProgrammingSequence::Cancel() {
    if (!m_bCancelEnabled) {
        return false;
    }
    CloseFile();
    SetTimer(0);
    m_nResult = ResultCancel;
    return true;
}

void ProgrammingSequence::Log(const std::string& line) {
    m_log.push_back(line);
    if (m_onLog) {
        m_onLog(line);
    }
}

ProgrammingSequence::Flow ProgrammingSequence::Fail(const std::string& message) {
    Log(message);
    m_nState = State::Failed;
    return Yield;
}

void ProgrammingSequence::Send(const ByteBuffer& bytes) {
    m_bSentThisStep = true;
    m_port.Write(bytes);  // a write that did not arrive shows up as a missing answer
}

void ProgrammingSequence::DiscardInput() {
    ByteBuffer dropped;
    uint32_t received = 0;
    m_port.Read(dropped, kDiscardBytes, received);
}

bool ProgrammingSequence::Await(uint8_t& byte) {
    // Paced, a command's answer is polled from the next tick on.
    if (m_bPaced && m_bSentThisStep) {
        return false;
    }
    for (;;) {
        ByteBuffer answer;
        uint32_t received = 0;
        const LinkResult result = m_port.Read(answer, 1, received);
        if (received == 1 && answer.GetAt(0, byte)) {
            return true;
        }
        // A failing port returns at once: leave the retry to the next step instead of spinning.
        if (result != LR_OK || m_bPaced || m_clock.GetTickCount() - m_dwStepStart >= m_dwTimerPeriod) {
            return false;
        }
    }
}

void ProgrammingSequence::StartWait() {
    m_dwWaitStart = m_clock.GetTickCount();
}

bool ProgrammingSequence::WaitExpired(uint32_t polls) const {
    return m_clock.GetTickCount() - m_dwWaitStart > polls * m_dwTimerPeriod;
}

ProgrammingSequence::Flow ProgrammingSequence::AwaitAnswer(uint8_t answer, uint32_t polls,
                                                           ProgrammingState next,
                                                           const std::string& message) {
    uint8_t byte = 0;
    while (Await(byte)) {
        if (byte == answer) {
            m_nState = next;
            return Yield;
        }
    }
    return WaitExpired(polls) ? Fail(message) : Wait;
}

ProgrammingSequence::Flow ProgrammingSequence::BinaryExchange(const ByteBuffer& command, uint32_t polls,
                                                              ProgrammingState next, const char* okLine,
                                                              const char* refusedLine,
                                                              const char* timeoutLine) {
    if (!m_bCommandSent) {
        Send(command);
        m_bCommandSent = true;
        StartWait();
    }
    uint8_t byte = 0;
    if (Await(byte)) {
        if (byte != LP::kAck) {
            return Fail(refusedLine);
        }
        Log(okLine);
        m_bCommandSent = false;
        m_nState = next;
        return Yield;
    }
    return WaitExpired(polls) ? Fail(timeoutLine) : Wait;
}

void ProgrammingSequence::Step() {
    if (!IsRunning()) {
        return;
    }
    m_dwStepStart = m_clock.GetTickCount();
    m_bSentThisStep = false;
    Flow flow;
    while ((flow = RunState()) == Continue) {
    }
    if (flow == Stop || !IsRunning()) {
        m_dwNextDelay = 0;
        return;
    }
    const uint32_t spent = m_clock.GetTickCount() - m_dwStepStart;
    if (m_bPaced) {
        m_dwNextDelay = m_dwTimerPeriod;
    } else if (flow == Yield) {
        m_dwNextDelay = 0;
    } else {
        m_dwNextDelay = spent < m_dwTimerPeriod ? m_dwTimerPeriod - spent : 0;
    }
}

ProgrammingSequence::Flow ProgrammingSequence::RunState() {
    const ProgrammingMode mode = m_inputs.mode;
    const std::string serialText = LP::SerialText(m_inputs.mifareSerial);
    switch (m_nState) {
        case State::Start:
            if (IsBlockMode() && !CheckBlockFile()) {
                m_nState = State::Failed;  // refused before anything is sent
                return Yield;
            }
            m_nState = mode == SendFile ? State::OpenRawFile : State::WaitPrompt;
            return Continue;

        case State::WaitPrompt: {
            // The reader may be starting up: wake it once per period until it prompts. Paced, the
            // prompt is polled first, as the plain rhythm has it.
            const uint8_t wakeUp = LP::WakeUpChar(IsBlockMode(), m_port.IsUsb(), m_nDestination);
            if (!m_bPaced) {
                SendByte(wakeUp);
            }
            uint8_t byte = 0;
            while (Await(byte)) {
                if (byte != LP::kPrompt) {
                    continue;
                }
                switch (mode) {
                    case DownloadFirmware:
                        m_nState = State::EraseBank2;
                        break;
                    case UsbSettingsOnly:
                        m_nState = State::WriteUsbSettings;
                        break;
                    case ProgramFile:
                    case VerifyFile:
                        m_bCommandSent = false;
                        m_nState = State::GetVersion;
                        break;
                    default:
                        m_nState = State::WriteSerial;
                        break;
                }
                return Yield;
            }
            if (m_bPaced) {
                SendByte(wakeUp);
            }
            return Wait;
        }

        case State::WriteSerial:
            Log(Format("Writing serial number: %s...", serialText));
            DiscardInput();
            Send(LP::StoreSerialCommand(serialText));
            StartWait();
            m_nState = State::WaitSerialAnswer;
            return Continue;

        case State::WaitSerialAnswer:
            return AwaitAnswer(LP::kSerialStored, kSerialAnswerPolls, State::ReadSerial,
                               "ERROR: Serial number not written!");

        case State::ReadSerial:
            Log("Verifying serial number...");
            Send(LP::ReadSerialCommand());
            m_nState = State::CheckSerial;
            return Continue;

        case State::CheckSerial: {
            // The answer is one lead character and the stored serial text; the read ends as soon as
            // that much is in, or when the line stays quiet.
            ByteBuffer answer;
            uint32_t received = 0;
            const size_t expected = serialText.size() + 1;
            m_port.Read(answer, kSerialAnswerBytes, received,
                        [expected](std::span<const uint8_t> bytes) { return bytes.size() >= expected; });
            const std::string text = answer.ToText();
            // A reader that keeps an earlier serial number still answers '4'; only the read-back
            // tells whether the new one was stored.
            if (text.size() < 1 || text.substr(1) != serialText) {
                return Fail("ERROR: Reader already has a serial number!");
            }
            Log("Serial number written successful!");
            m_nState = mode == SerialAndUsbSettings ? State::WriteUsbSettings : State::Finished;
            return Continue;
        }

        case State::WriteUsbSettings:
            return WriteUsbSettings();

        case State::Finished:
            SetTimer(0);
            m_bSucceeded = true;
            if (mode == SerialAndUsbSettings || mode == SerialOnly || mode == SendFile ||
                mode == UsbSettingsOnly) {
                SendByte(LP::kLeaveLoader);
                m_nResult = ResultOk;
            } else {
                m_bDestinationEnabled = true;
                m_bNextEnabled = true;
                m_bClose = true;
                m_bCancelEnabled = true;
            }
            return Stop;

        case State::Failed:
            SetTimer(0);
            CloseFile();
            m_bClose = true;
            m_bDestinationEnabled = true;
            m_bNextEnabled = true;
            m_bCancelEnabled = true;
            if (!IsBlockMode()) {
                SendByte(LP::kLeaveLoader);
            }
            return Stop;

        case State::EraseBank2:
        case State::EraseBank3: {
            const bool bank2 = m_nState == State::EraseBank2;
            Log(Format("Erasing flash bank %d...", bank2 ? 2u : 3u));
            SendByte(bank2 ? LP::kEraseBank2 : LP::kEraseBank3);
            StartWait();
            m_nState = bank2 ? State::WaitBank2 : State::WaitBank3;
            return Continue;
        }

        case State::WaitBank2:
        case State::WaitBank3: {
            const bool bank2 = m_nState == State::WaitBank2;
            const std::string error = Format("ERROR: Could not erase flash bank %d!", bank2 ? 2u : 3u);
            uint8_t byte = 0;
            while (Await(byte)) {
                if (byte == LP::kBankErased) {
                    m_nState = bank2 ? State::EraseBank3 : State::StartDownload;
                    return Yield;
                }
                if (byte == LP::kBankNotErased) {
                    return Fail(error);
                }
            }
            return WaitExpired(kErasePolls) ? Fail(error) : Wait;
        }

        case State::StartDownload:
            Log("Starting download...");
            DiscardInput();
            SendByte(LP::kStartDownload);
            StartWait();
            m_nState = State::WaitDownloadReady;
            return Continue;

        case State::WaitDownloadReady:
            return AwaitAnswer(LP::kDownloadReady, kDownloadReadyPolls, State::OpenRawFile,
                               "ERROR: Could not download file!");

        case State::OpenRawFile:
            m_bCancelEnabled = false;
            if (!OpenFile()) {
                m_nState = State::Failed;
                return Yield;
            }
            SetTimer(kTransferPeriodMs);
            m_nState = State::SendRawChunk;
            return Continue;

        case State::SendRawChunk: {
            // One piece per period: a firmware image has no acknowledgement that could pace it.
            ByteBuffer chunk;
            const size_t n = m_pFile != nullptr ? std::fread(chunk.GetData(), 1, LP::kRawChunk, m_pFile) : 0;
            chunk.SetCount(static_cast<uint32_t>(n));
            m_qwBytesSent += n;
            if (n > 0) {
                Send(chunk);
            }
            if (n == 0 && m_qwBytesSent < m_qwFileLength) {
                CloseFile();
                return Fail("Cannot read the file " + m_inputs.filePath + ": " + std::strerror(errno));
            }
            if (m_qwBytesSent >= m_qwFileLength) {
                m_nState = State::TransferDone;
                return Continue;
            }
            return Wait;
        }

        case State::TransferDone:
            SetTimer(kSlowPeriodMs);
            CloseFile();
            switch (mode) {
                case SendFile:
                    Log("File sent successful!");
                    m_nState = State::Finished;
                    break;
                case ProgramFile:
                case VerifyFile:
                    Log(mode == ProgramFile ? "File is successfully programmed!"
                                            : "File is successfully verified!");
                    m_bCommandSent = false;
                    m_nState = State::CheckCrc;
                    break;
                default:
                    Log("Firmware downloaded successful!");
                    m_nState = State::Finished;
                    break;
            }
            return Continue;

        case State::Idle:
            return Wait;

        case State::GetVersion: {
            if (!m_bCommandSent) {
                Send(LP::BinaryHeader(LP::kGetVersion, 0));
                m_version.Clear();
                m_bCommandSent = true;
                StartWait();
            }
            uint8_t byte = 0;
            while (Await(byte)) {
                if (byte == LP::kAck) {
                    Log("Get Version: " + m_version.ToText());
                    m_bCommandSent = false;
                    m_nState = State::ResetCrc;
                    return Yield;
                }
                m_version.Append(byte);  // past the buffer's capacity, bytes are dropped
            }
            return WaitExpired(kVersionPolls) ? Fail("Get Version error: Timeout") : Wait;
        }

        case State::ResetCrc: {
            const Flow flow =
                BinaryExchange(LP::BinaryHeader(LP::kResetCrc, 0), kResetCrcPolls, State::OpenBlockFile,
                               "Reset CRC: OK", "Reset CRC error: No ACK", "Reset CRC error: timeout");
            if (m_nState == State::OpenBlockFile) {
                m_wCrc = Crc16::kShiftInInit;
            }
            return flow;
        }

        case State::OpenBlockFile:
            m_bDestinationEnabled = false;
            m_bCancelEnabled = false;
            if (!CheckBlockFile() || !OpenFile()) {
                m_nState = State::Failed;
                return Yield;
            }
            Log((mode == ProgramFile ? "Programming file: " : "Verifying file: ") +
                FileName(m_inputs.filePath));
            SetTimer(kTransferPeriodMs);
            m_nState = State::SendBlock;
            return Continue;

        case State::SendBlock: {
            ByteBuffer block;
            const size_t n = std::fread(block.GetData(), 1, LP::kBlockSize, m_pFile);
            block.SetCount(static_cast<uint32_t>(n));
            if (n != LP::kBlockSize) {
                // The file changed under us since its length was taken.
                m_nState = State::BlockRefused;
                return Continue;
            }
            Send(
                LP::BinaryHeader(mode == ProgramFile ? LP::kProgramBlock : LP::kVerifyBlock, LP::kBlockSize));
            m_qwBytesSent += n;
            m_wCrc = Crc16::ShiftIn(m_wCrc, block.Bytes());
            Send(block);
            StartWait();
            m_nState = State::WaitBlockAck;
            return Continue;
        }

        case State::WaitBlockAck: {
            uint8_t byte = 0;
            if (Await(byte)) {
                if (byte != LP::kAck) {
                    m_nState = State::BlockRefused;
                    return Continue;
                }
                m_nState = m_qwBytesSent < m_qwFileLength ? State::SendBlock : State::TransferDone;
                return Yield;
            }
            if (WaitExpired(kBlockAckPolls)) {
                m_nState = State::BlockRefused;
                return Continue;
            }
            return Wait;
        }

        case State::CheckCrc: {
            const uint16_t crc = Crc16::Finish(m_wCrc);
            ByteBuffer command = LP::BinaryHeader(LP::kCheckCrc, 2);
            command.Append(static_cast<uint8_t>(crc >> 8));
            command.Append(static_cast<uint8_t>(crc));
            return BinaryExchange(command, kCheckCrcPolls, State::Reboot, "Verify CRC: OK",
                                  "Verify CRC error: no ACK", "Verify CRC error: timeout");
        }

        case State::Reboot:
            return BinaryExchange(LP::BinaryHeader(LP::kReboot, 0), kRebootPolls, State::Finished,
                                  "Reboot: OK", "Reboot error: no ACK", "Reboot error: timeout");

        case State::BlockRefused:
            Log(mode == ProgramFile ? "An error occured while programming!"
                                    : "An error occured while verifying!");
            CloseFile();
            m_nState = State::Failed;
            return Continue;
    }
    return Stop;
}

ProgrammingSequence::Flow ProgrammingSequence::WriteUsbSettings() {
    Log("Writing USB settings...");
    m_port.ReadEeprom();  // fills what the job does not set; a failure shows when programming
    UsbEepromRecord& record = m_port.GetEepromRecord();
    const auto flag = [](int value) {
        return value < 0 || value > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(value);
    };
    bool accepted =
        record.SetVendorId(0x0403) && record.SetProductId(m_inputs.productId) &&
        record.SetManufacturer(m_inputs.manufacturer) && record.SetManufacturerId(m_inputs.manufacturerId) &&
        record.SetDescription(m_inputs.description) && record.SetSerialNumber(m_inputs.usbSerial) &&
        record.SetMaxPower(flag(m_inputs.maxPower)) && record.SetPnP(flag(m_inputs.pnp)) &&
        record.SetSelfPowered(flag(m_inputs.selfPowered)) &&
        record.SetRemoteWakeup(flag(m_inputs.remoteWakeup));
    if (accepted) {
        record.SetRev4(0);
        record.SetIsoIn(0);
        record.SetIsoOut(0);
        record.SetPullDownEnable(0);
        record.SetSerNumEnable(0);
        record.SetUsbVersionEnable(0);
        accepted = record.SetUsbVersion(0x0110) && m_port.ProgramEeprom() == LR_OK;
    }
    if (!accepted) {
        return Fail("ERROR: USB settings not written!");
    }
    Log("USB settings written successful!");
    m_nState = State::Finished;
    return Continue;
}

bool ProgrammingSequence::OpenFile() {
    CloseFile();
    m_pFile = std::fopen(m_inputs.filePath.c_str(), "rb");
    struct stat status {};
    if (m_pFile != nullptr && fstat(fileno(m_pFile), &status) == 0 && S_ISDIR(status.st_mode)) {
        CloseFile();
        errno = EISDIR;
    }
    if (m_pFile == nullptr) {
        Log("Cannot open the file " + m_inputs.filePath + ": " + std::strerror(errno));
        return false;
    }
    std::fseek(m_pFile, 0, SEEK_END);
    const long length = std::ftell(m_pFile);
    std::fseek(m_pFile, 0, SEEK_SET);
    m_qwFileLength = length > 0 ? static_cast<uint64_t>(length) : 0;
    m_qwBytesSent = 0;
    return true;
}

bool ProgrammingSequence::CheckBlockFile() {
    if (!OpenFile()) {
        return false;
    }
    CloseFile();
    // A block file is whole blocks: from a short or empty one the reader would program a block of
    // which it never got all bytes.
    if (m_qwFileLength == 0 || m_qwFileLength % LP::kBlockSize != 0) {
        Log(Format("ERROR: The block file has %u bytes, not a whole number of 72-byte blocks!",
                   static_cast<unsigned>(m_qwFileLength)));
        return false;
    }
    return true;
}

void ProgrammingSequence::CloseFile() {
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}
