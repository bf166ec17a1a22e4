#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/ByteBuffer.h"
#include "link/Clock.h"
#include "link/LinkResult.h"
#include "stepping/StepMachine.h"

class ReaderPort;
class UsbEepromRecord;

// The seven jobs of the programming dialog.
enum ProgrammingMode : uint32_t {
    SerialAndUsbSettings = 0,
    SerialOnly = 1,
    DownloadFirmware = 2,
    SendFile = 3,
    UsbSettingsOnly = 4,
    ProgramFile = 5,
    VerifyFile = 6,
};

enum class ProgrammingState : uint32_t {
    Start = 0,
    WaitPrompt,
    WriteSerial,
    WaitSerialAnswer,
    ReadSerial,
    CheckSerial,
    WriteUsbSettings,
    Finished,
    Failed,
    EraseBank2,
    WaitBank2,
    EraseBank3,
    WaitBank3,
    StartDownload,
    WaitDownloadReady,
    OpenRawFile,
    SendRawChunk,
    TransferDone,
    Idle,
    GetVersion,
    ResetCrc,
    OpenBlockFile,
    SendBlock,
    WaitBlockAck,
    CheckCrc,
    Reboot,
    BlockRefused,
};

// What the caller fills in before the job runs; each mode uses its own part.
struct ProgrammingInputs {
    ProgrammingMode mode = SerialAndUsbSettings;
    std::string filePath;       // modes 2, 3, 5, 6
    uint32_t mifareSerial = 0;  // modes 0, 1: 0 to 99,999,999
    std::string description;    // modes 0, 4: the USB record's fields
    std::string manufacturer;
    std::string manufacturerId;
    std::string productId;   // four hexadecimal digits
    std::string vendorId;    // shown only: the vendor ID written is always 0403
    uint32_t usbSerial = 0;  // 0 to 999,999
    int maxPower = 0;        // mA
    int pnp = 0;
    int selfPowered = 0;
    int remoteWakeup = 0;
};

// The programming job as a state machine over the reader's raw port: the dialog's timer (or the
// command line's loop) calls Step, waits GetNextStepDelay() milliseconds, and calls it again while
// IsRunning(). The view shows the caption, the log lines, the progress and the buttons' states
// that the getters report, and forwards Next, Cancel and the destination choice.
//
// A wait keeps its limit as the time its polls allow (polls × timer period), but a step reacts to
// an answer as soon as it arrives: within one step a wait keeps polling for up to one timer period,
// and a step that got its answer asks for the next step at once. With SetPaced(true) the sequence
// keeps the plain rhythm instead: one poll per step and one step per timer period.
class ProgrammingSequence : public StepMachine {
public:
    enum Result { ResultNone, ResultOk, ResultCancel };

    static constexpr uint32_t kSlowPeriodMs = 200;
    static constexpr uint32_t kTransferPeriodMs = 10;

    ProgrammingSequence(ReaderPort& port, Clock& clock);
    ~ProgrammingSequence();
    ProgrammingSequence(const ProgrammingSequence&) = delete;
    ProgrammingSequence& operator=(const ProgrammingSequence&) = delete;

    void SetInputs(const ProgrammingInputs& inputs) { m_inputs = inputs; }
    const ProgrammingInputs& GetInputs() const { return m_inputs; }
    void SetPaced(bool paced) { m_bPaced = paced; }
    // Told about every log line as it is appended.
    void SetLogListener(std::function<void(const std::string&)> listener) { m_onLog = std::move(listener); }

    // The dialog opens: caption, first log line, timer at 200 ms.
    void Begin();
    // One timer tick.
    void Step();
    // "&Next": the same job again, on the next reader. Only when IsNextEnabled().
    void Next();
    // Button 2: ends the dialog with the Cancel result when the button is enabled; false otherwise.
    bool Cancel();
    // A timer tick for a driver; the user's stop is Cancel.
    StepOutcome Advance() override;
    bool RequestStop() override { return Cancel(); }
    // 0 "Reader", 1 "Aux. Module"; kept across Next.
    void SetDestination(int destination) { m_nDestination = destination; }
    int GetDestination() const { return m_nDestination; }

    bool IsRunning() const { return m_dwTimerPeriod != 0; }
    uint32_t GetTimerPeriod() const { return m_dwTimerPeriod; }
    uint32_t GetNextStepDelay() const { return m_dwNextDelay; }
    ProgrammingState GetState() const { return m_nState; }
    // ResultOk once a job of mode 0, 1, 3 or 4 succeeded: the dialog closes itself.
    Result GetResult() const { return m_nResult; }
    bool Succeeded() const { return m_bSucceeded; }
    // The store command of the MIFARE serial number, or the EEPROM with the USB serial number, went
    // out in this run: the number may be in the reader, whatever the run's end, and must not be
    // given to another one.
    bool SerialSent() const { return m_bSerialSent; }

    // Why the inputs of a job can never succeed, checked before anything is sent; empty when they
    // can. usbPort: the reader is connected through its USB bridge (the EEPROM jobs need it).
    static std::string CheckInputs(const ProgrammingInputs& inputs, bool usbPort);
    // Why the USB settings of these inputs would be refused by the record or do not fit the bridge's
    // EEPROM; empty when they are fine.
    static std::string CheckUsbSettings(const ProgrammingInputs& inputs);

    std::string GetCaption() const;
    const std::vector<std::string>& GetLog() const { return m_log; }
    bool IsProgressVisible() const;
    uint64_t GetProgressRange() const { return m_qwFileLength; }
    uint64_t GetProgressPosition() const { return m_qwBytesSent; }
    bool AreDestinationControlsVisible() const { return IsBlockMode(); }
    bool AreDestinationControlsEnabled() const { return m_bDestinationEnabled; }
    bool IsNextEnabled() const { return m_bNextEnabled; }
    bool IsCancelEnabled() const { return m_bCancelEnabled; }
    // "&Cancel" while a job runs, "&Close" once it ended.
    std::string GetCancelText() const { return m_bClose ? "&Close" : "&Cancel"; }
    // The file name the captions show: the path behind its last separator.
    static std::string FileName(const std::string& path);

private:
    // What a state asks for after it ran.
    enum Flow {
        Continue,  // the next state runs in the same step
        Yield,     // the step ends; the next one may come at once
        Wait,      // the step ends; the next one comes with the timer's rhythm
        Stop,      // the run ended
    };

    Flow RunState();
    bool IsBlockMode() const {
        return m_inputs.mode == ProgrammingMode::ProgramFile || m_inputs.mode == VerifyFile;
    }
    void Log(const std::string& line);
    Flow Fail(const std::string& message);
    // False when the port refused the bytes: the job cannot go on, since a lost piece of an image
    // has no answer that would show it.
    bool Send(const ByteBuffer& bytes);
    bool SendByte(uint8_t byte) { return Send(ByteBuffer{byte}); }
    Flow SendFailed();
    // Reads and drops up to 128 bytes the reader sent before the next command.
    void DiscardInput();
    // One byte from the reader, polling for the rest of this step's period however many bytes come;
    // paced, one poll per step, or with wholeAnswer until a poll brings nothing.
    bool Await(uint8_t& byte, bool wholeAnswer = false);
    // The wait began now; it gives up once more than polls × the timer period have passed.
    void StartWait();
    bool WaitExpired(uint32_t polls) const;
    // Waits for one answer byte; other bytes count as no answer. Fails with message on time-out.
    Flow AwaitAnswer(uint8_t answer, uint32_t polls, ProgrammingState next, const std::string& message);
    // The binary commands after the prompt: send once, then the ACK, a refusal or a time-out.
    Flow BinaryExchange(const ByteBuffer& command, uint32_t polls, ProgrammingState next, const char* okLine,
                        const char* refusedLine, const char* timeoutLine);
    Flow WriteUsbSettings();
    // Sets the job's USB settings in the record through its checked setters; the first refusal's
    // reason, or empty.
    static std::string SetUsbSettings(UsbEepromRecord& record, const ProgrammingInputs& in);
    // Reads the job's file whole before anything is sent; logs why it cannot be used.
    bool LoadFile();
    // The file's next piece of at most n bytes.
    ByteBuffer NextPiece(uint32_t n);
    void SetTimer(uint32_t period) { m_dwTimerPeriod = period; }
    void EndRun();

    ReaderPort& m_port;
    Clock& m_clock;
    ProgrammingInputs m_inputs;
    bool m_bPaced = false;
    std::function<void(const std::string&)> m_onLog;

    ProgrammingState m_nState = ProgrammingState::Start;
    uint32_t m_dwTimerPeriod = 0;
    uint32_t m_dwNextDelay = 0;
    uint32_t m_dwStepStart = 0;
    bool m_bSentThisStep = false;
    bool m_bCommandSent = false;  // the binary command of the current state went out
    uint32_t m_dwWaitStart = 0;
    bool m_bPolledThisStep = false;
    bool m_bSerialSent = false;
    bool m_bAnythingSent = false;
    uint32_t m_nReadBacks = 0;  // of the serial number that matched
    LinkResult m_nWriteResult = LR_OK;
    Result m_nResult = ResultNone;
    bool m_bSucceeded = false;
    int m_nDestination = 0;
    bool m_bDestinationEnabled = true;
    bool m_bNextEnabled = false;
    bool m_bCancelEnabled = true;
    bool m_bClose = false;
    std::vector<std::string> m_log;

    std::vector<uint8_t> m_file;
    uint64_t m_qwFileLength = 0;
    uint64_t m_qwBytesSent = 0;
    uint16_t m_wCrc = 0xFFFF;
    ByteBuffer m_version;
};
