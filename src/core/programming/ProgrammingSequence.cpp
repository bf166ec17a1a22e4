#include "programming/ProgrammingSequence.h"

#include <algorithm>

#include "files/RegularFile.h"
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
constexpr uint32_t kSerialReadBacks = 2;

// An int input as the record's 16-bit field; a value that does not fit becomes one every setter
// refuses.
uint16_t Field16(int value) {
    return value < 0 || value > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(value);
}

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

ProgrammingSequence::~ProgrammingSequence() = default;

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
    m_bSerialSent = false;
    m_bAnythingSent = false;
    m_file.clear();
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

StepOutcome ProgrammingSequence::Advance() {
    Step();
    return {!IsRunning(), m_dwNextDelay};
}

bool ProgrammingSequence::Cancel() {
    if (!m_bCancelEnabled) {
        return false;
    }
    m_file.clear();
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

bool ProgrammingSequence::Send(const ByteBuffer& bytes) {
    m_bSentThisStep = true;
    m_bAnythingSent = true;
    m_nWriteResult = m_port.Write(bytes);
    return m_nWriteResult == LR_OK;
}

ProgrammingSequence::Flow ProgrammingSequence::SendFailed() {
    return Fail("ERROR: Could not send to the reader: " + LinkResultText(m_nWriteResult));
}

void ProgrammingSequence::DiscardInput() {
    ByteBuffer dropped;
    uint32_t received = 0;
    m_port.Read(dropped, kDiscardBytes, received);
}

bool ProgrammingSequence::Await(uint8_t& byte, bool wholeAnswer) {
    // Paced, a command's answer is polled from the next tick on, and a tick polls once, whatever
    // comes, except for an answer of many bytes, which is polled as long as bytes come.
    if (m_bPaced && (m_bSentThisStep || (m_bPolledThisStep && !wholeAnswer))) {
        return false;
    }
    // A step polls for one timer period at most, also when bytes keep coming: a reader that
    // trickles or floods wrong bytes cannot hold a wait past its limit.
    while (m_clock.GetTickCount() - m_dwStepStart < m_dwTimerPeriod || !m_bPolledThisStep) {
        m_bPolledThisStep = true;
        ByteBuffer answer;
        uint32_t received = 0;
        const LinkResult result = m_port.Read(answer, 1, received);
        if (received == 1 && answer.GetAt(0, byte)) {
            return true;
        }
        // A failing port returns at once: leave the retry to the next step instead of spinning.
        if (result != LR_OK || m_bPaced) {
            return false;
        }
    }
    return false;
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
        if (!Send(command)) {
            return SendFailed();
        }
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
    m_bPolledThisStep = false;
    Flow flow;
    while ((flow = RunState()) == Continue) {
    }
    if (flow == Stop || !IsRunning()) {
        m_dwNextDelay = 0;
        return;
    }
    const uint32_t spent = m_clock.GetTickCount() - m_dwStepStart;
    // A timer ticks on its own period, however long a tick's polls took; so does the next step.
    if (flow == Yield && !m_bPaced) {
        m_dwNextDelay = 0;
    } else {
        m_dwNextDelay = spent < m_dwTimerPeriod ? m_dwTimerPeriod - spent : 0;
    }
}

ProgrammingSequence::Flow ProgrammingSequence::RunState() {
    const ProgrammingMode mode = m_inputs.mode;
    const std::string serialText = LP::SerialText(m_inputs.mifareSerial);
    switch (m_nState) {
        case State::Start: {
            // Everything the job needs is checked before the loader is woken: a job that cannot
            // succeed must not erase a flash bank or store a serial number first.
            const std::string refusal = CheckInputs(m_inputs, m_port.IsUsb());
            if (!refusal.empty()) {
                return Fail(refusal);
            }
            const bool usesFile =
                mode == DownloadFirmware || mode == SendFile || mode == ProgramFile || mode == VerifyFile;
            if (usesFile && !LoadFile()) {
                m_nState = State::Failed;
                return Yield;
            }
            m_nState = mode == SendFile ? State::OpenRawFile : State::WaitPrompt;
            return Continue;
        }

        case State::WaitPrompt: {
            // The reader may be starting up: wake it once per period until it prompts. Paced, the
            // prompt is polled first, as the plain rhythm has it.
            const uint8_t wakeUp = LP::WakeUpChar(IsBlockMode(), m_port.IsUsb(), m_nDestination);
            if (!m_bPaced && !SendByte(wakeUp)) {
                return SendFailed();
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
            if (m_bPaced && !SendByte(wakeUp)) {
                return SendFailed();
            }
            return Wait;
        }

        case State::WriteSerial:
            Log(Format("Writing serial number: %s...", serialText));
            DiscardInput();
            m_bSerialSent = true;  // even a write that reports an error may have carried some of it
            if (!Send(LP::StoreSerialCommand(serialText))) {
                return SendFailed();
            }
            StartWait();
            m_nState = State::WaitSerialAnswer;
            return Continue;

        case State::WaitSerialAnswer:
            return AwaitAnswer(LP::kSerialStored, kSerialAnswerPolls, State::ReadSerial,
                               "ERROR: Serial number not written!");

        case State::ReadSerial:
            Log("Verifying serial number...");
            if (!Send(LP::ReadSerialCommand())) {
                return SendFailed();
            }
            m_nReadBacks = 0;
            m_nState = State::CheckSerial;
            return Continue;

        case State::CheckSerial: {
            // The answer is one lead character and the stored serial text, with no end mark: it
            // ends when the line falls quiet. It is compared whole, so an answer that merely starts
            // with the text (an older, longer serial number, or garbage behind it) is no success;
            // the read stops early once it is longer than the text could be.
            ByteBuffer answer;
            uint32_t received = 0;
            const size_t expected = serialText.size() + 1;
            m_port.Read(answer, kSerialAnswerBytes, received,
                        [expected](std::span<const uint8_t> bytes) { return bytes.size() > expected; });
            if (answer.IsEmpty()) {
                return Fail("ERROR: No answer when reading the serial number back!");
            }
            // A reader that keeps an earlier serial number still answers '4'; only the read-back
            // tells whether the new one was stored. The bytes are compared, not their text, in
            // which a zero byte would pass for the digit 0.
            const std::span<const uint8_t> bytes = answer.Bytes();
            if (bytes.size() != expected ||
                !std::equal(serialText.begin(), serialText.end(), bytes.begin() + 1)) {
                return Fail("ERROR: Reader already has a serial number!");
            }
            // A byte spoiled on its way in and spoiled back the same way on its way out would pass
            // one read-back with a wrong number stored; a second read-back cannot be spoiled alike.
            if (++m_nReadBacks < kSerialReadBacks) {
                if (!Send(LP::ReadSerialCommand())) {
                    return SendFailed();
                }
                return Continue;
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
                SendByte(LP::kLeaveLoader);  // the job is done whether or not the reader heard it
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
            m_file.clear();
            m_bClose = true;
            m_bDestinationEnabled = true;
            m_bNextEnabled = true;
            m_bCancelEnabled = true;
            // A job refused before anything went out leaves the reader alone.
            if (!IsBlockMode() && m_bAnythingSent) {
                SendByte(LP::kLeaveLoader);
            }
            return Stop;

        case State::EraseBank2:
        case State::EraseBank3: {
            const bool bank2 = m_nState == State::EraseBank2;
            Log(Format("Erasing flash bank %d...", bank2 ? 2u : 3u));
            if (!SendByte(bank2 ? LP::kEraseBank2 : LP::kEraseBank3)) {
                return SendFailed();
            }
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
            if (!SendByte(LP::kStartDownload)) {
                return SendFailed();
            }
            StartWait();
            m_nState = State::WaitDownloadReady;
            return Continue;

        case State::WaitDownloadReady:
            return AwaitAnswer(LP::kDownloadReady, kDownloadReadyPolls, State::OpenRawFile,
                               "ERROR: Could not download file!");

        case State::OpenRawFile:
            // The file was read whole before the loader was woken: what goes out is what was checked.
            m_bCancelEnabled = false;
            m_qwBytesSent = 0;
            SetTimer(kTransferPeriodMs);
            m_nState = State::SendRawChunk;
            return Continue;

        case State::SendRawChunk: {
            // One piece per period: a firmware image has no acknowledgement that could pace it.
            const ByteBuffer chunk = NextPiece(LP::kRawChunk);
            if (chunk.GetCount() > 0 && !Send(chunk)) {
                return SendFailed();
            }
            m_qwBytesSent += chunk.GetCount();
            if (m_qwBytesSent >= m_qwFileLength) {
                m_nState = State::TransferDone;
                return Continue;
            }
            return Wait;
        }

        case State::TransferDone:
            SetTimer(kSlowPeriodMs);
            m_file.clear();
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
                if (!Send(LP::BinaryHeader(LP::kGetVersion, 0))) {
                    return SendFailed();
                }
                m_version.Clear();
                m_bCommandSent = true;
                StartWait();
            }
            uint8_t byte = 0;
            while (Await(byte, true)) {
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
            m_qwBytesSent = 0;
            Log((mode == ProgramFile ? "Programming file: " : "Verifying file: ") +
                FileName(m_inputs.filePath));
            SetTimer(kTransferPeriodMs);
            m_nState = State::SendBlock;
            return Continue;

        case State::SendBlock: {
            const ByteBuffer block = NextPiece(LP::kBlockSize);
            if (!Send(LP::BinaryHeader(mode == ProgramFile ? LP::kProgramBlock : LP::kVerifyBlock,
                                       LP::kBlockSize)) ||
                !Send(block)) {
                return SendFailed();
            }
            m_qwBytesSent += block.GetCount();
            m_wCrc = Crc16::ShiftIn(m_wCrc, block.Bytes());
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
            m_file.clear();
            m_nState = State::Failed;
            return Continue;
    }
    return Stop;
}

std::string ProgrammingSequence::SetUsbSettings(UsbEepromRecord& record, const ProgrammingInputs& in) {
    // In the order the record needs: the serial number text takes the manufacturer ID's characters.
    if (!record.SetVendorId(0x0403) || !record.SetProductId(in.productId)) {
        return "The product ID " + in.productId + " is not 6001 or FB18 to FB1F.";
    }
    if (!record.SetManufacturer(in.manufacturer)) {
        return "The manufacturer has more than 40 characters.";
    }
    if (!record.SetManufacturerId(in.manufacturerId)) {
        return "The manufacturer ID " + in.manufacturerId + " is not 2 characters.";
    }
    if (!record.SetDescription(in.description)) {
        return "The description has more than 40 characters.";
    }
    if (!record.SetSerialNumber(in.usbSerial)) {
        return "The USB serial number " + std::to_string(in.usbSerial) + " is above 999999.";
    }
    if (!record.SetMaxPower(Field16(in.maxPower))) {
        return "The max. power " + std::to_string(in.maxPower) + " mA is above 500 mA.";
    }
    if (!record.SetPnP(Field16(in.pnp)) || !record.SetSelfPowered(Field16(in.selfPowered)) ||
        !record.SetRemoteWakeup(Field16(in.remoteWakeup))) {
        return "Plug 'n Play, self powered and remote wakeup must each be 0 or 1.";
    }
    record.SetRev4(0);
    record.SetIsoIn(0);
    record.SetIsoOut(0);
    record.SetPullDownEnable(0);
    record.SetSerNumEnable(0);
    record.SetUsbVersionEnable(0);
    if (!record.SetUsbVersion(0x0110)) {
        return "The USB version is refused.";
    }
    return {};
}

std::string ProgrammingSequence::CheckUsbSettings(const ProgrammingInputs& in) {
    // The setters that the job uses, on a record of its own, so that the verdict is theirs.
    UsbEepromRecord record;
    if (std::string refusal = SetUsbSettings(record, in); !refusal.empty()) {
        return refusal;
    }
    const size_t characters =
        in.manufacturer.size() + in.description.size() + record.GetSerialNumberText().size();
    if (characters > UsbEepromRecord::kMaxTextCharacters) {
        return "The manufacturer, the description and the serial number have " + std::to_string(characters) +
               " characters together; the bridge's EEPROM holds " +
               std::to_string(UsbEepromRecord::kMaxTextCharacters) + ".";
    }
    return {};
}

std::string ProgrammingSequence::CheckInputs(const ProgrammingInputs& in, bool usbPort) {
    if ((in.mode == SerialAndUsbSettings || in.mode == SerialOnly) && in.mifareSerial > 99999999) {
        return "ERROR: Serial number not written! " + std::to_string(in.mifareSerial) + " is above 99999999.";
    }
    if (in.mode != SerialAndUsbSettings && in.mode != UsbSettingsOnly) {
        return {};
    }
    const std::string refusal =
        usbPort ? CheckUsbSettings(in) : "The reader is not connected through its USB bridge.";
    return refusal.empty() ? refusal : "ERROR: USB settings not written! " + refusal;
}

ProgrammingSequence::Flow ProgrammingSequence::WriteUsbSettings() {
    Log("Writing USB settings...");
    m_port.ReadEeprom();  // fills what the job does not set; a failure shows when programming
    bool accepted = SetUsbSettings(m_port.GetEepromRecord(), m_inputs).empty();
    if (accepted) {
        m_bSerialSent = true;  // the USB serial number may reach the bridge even when programming fails
        accepted = m_port.ProgramEeprom() == LR_OK;
    }
    if (!accepted) {
        return Fail("ERROR: USB settings not written!");
    }
    Log("USB settings written successful!");
    m_nState = State::Finished;
    return Continue;
}

bool ProgrammingSequence::LoadFile() {
    std::string reason;
    if (!RegularFile::ReadAll(m_inputs.filePath, m_file, reason)) {
        Log("Cannot open the file " + m_inputs.filePath + ": " + reason);
        return false;
    }
    m_qwFileLength = m_file.size();
    m_qwBytesSent = 0;
    const ProgrammingMode mode = m_inputs.mode;
    // A block file is whole blocks: from a short or empty one the reader would program a block of
    // which it never got all bytes.
    if ((mode == ProgramFile || mode == VerifyFile) &&
        (m_qwFileLength == 0 || m_qwFileLength % LP::kBlockSize != 0)) {
        Log(Format("ERROR: The block file has %u bytes, not a whole number of 72-byte blocks!",
                   static_cast<unsigned>(m_qwFileLength)));
        return false;
    }
    // Both flash banks are erased before the image goes out: without an image that leaves a reader
    // with no firmware at all.
    if (mode == DownloadFirmware && m_qwFileLength == 0) {
        Log("ERROR: The firmware file " + m_inputs.filePath + " is empty!");
        return false;
    }
    return true;
}

ByteBuffer ProgrammingSequence::NextPiece(uint32_t n) {
    ByteBuffer piece;
    const uint64_t left = m_qwFileLength - std::min(m_qwBytesSent, m_qwFileLength);
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(n, left));
    std::copy_n(m_file.begin() + static_cast<std::ptrdiff_t>(m_qwBytesSent), count, piece.GetData());
    piece.SetCount(count);
    return piece;
}
