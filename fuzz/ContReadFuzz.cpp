// Continuous read against a reader that answers each step as the fuzzer says, on the scripted USB
// bridge and the fake clock, logging to a statistics log file.
//
// Input: the options (signals, attempt limit, Hitag2, key B, block, key number), then per step of
// the cycle: a byte that picks the reader's behaviour for that step's exchange (bits 0-1) and the
// time each byte takes (bits 2-6, 0-31 ms), followed by what that behaviour needs:
//   0  a well-behaved reader: status byte (values from 0xC0 give status value & 0x3F, others 0),
//      answer data (one length byte, at most 19, then the bytes);
//   1  raw bytes: a chunk (U16 length, bytes) in reply to each write of the PC;
//   2  silence;
//   3  the line fails: every read of the step fails.
// The run ends with the input or after kMaxSteps steps (the user's stop), or by itself.
//
// What must hold for every input:
//   - the live statistics agree with the log's records: as many cycles as records, as many
//     completed cycles as records with result 0 (all of them for the switch-off step), the same
//     failures per step and the same last failure; each step that reports a cycle's end wrote one
//     record, and no record failed to reach the file;
//   - each step ends within the waits of the exchanges it runs (one command, and the switch-off
//     when the mode stops), on the fake clock;
//   - the hint for the user, in both voices, holds no control character whatever the reader said.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "commands/CStatisticsLog.h"
#include "commands/ContinuousReadCycle.h"
#include "core/link/ScriptedBridge.h"
#include "link/ReaderLink.h"

namespace {

constexpr uint32_t kBaud = 9600;
constexpr uint32_t kReadTimeoutMs = 100;  // the normal read time-out of the USB kind
constexpr uint32_t kReadSize = 64;        // bytes one receive read may take
constexpr size_t kMaxChunk = 600;
// Five cycles: enough for every way a cycle ends and for the automatic stop, and few enough that
// an input runs in a moment.
constexpr int kMaxSteps = 40;

enum Behaviour { Good = 0, Raw = 1, Silent = 2, LineLost = 3 };

// A 3964R reader for the commands the PC sends, answering as the step's behaviour says.
struct Reader {
    void React(ScriptedBridge& bridge, std::span<const uint8_t> w) {
        if (behaviour == Raw) {
            const std::span<const uint8_t> chunk = input->Chunk(kMaxChunk);
            bridge.Send(chunk);
            return;
        }
        if (behaviour != Good) {
            return;
        }
        if (w.size() == 1 && w[0] == STX) {
            bridge.Send({DLE});
        } else if (w.size() > 2 && w[w.size() - 2] == DLE && w.back() == ETX) {
            std::vector<uint8_t> values = {w[0], status, static_cast<uint8_t>(data.size())};
            values.insert(values.end(), data.begin(), data.end());
            answer = ScriptedBridge::Telegram(values);
            bridge.Send({DLE, STX});
            answerOpened = true;
        } else if (w.size() == 1 && w[0] == DLE && answerOpened) {
            answerOpened = false;
            bridge.Send(answer);
        } else if (w.size() == 1 && w[0] == NAK) {
            bridge.Send({STX});
            answerOpened = true;
        }
    }

    FuzzInput* input = nullptr;
    Behaviour behaviour = Good;
    uint8_t status = 0;
    std::vector<uint8_t> data;
    std::vector<uint8_t> answer;
    bool answerOpened = false;
};

struct Record {
    int step = 0;
    LinkResult result = 0;
};

// The log file of this process, emptied for each input.
const std::string& LogPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string name = std::string(dir != nullptr && dir[0] == '/' ? dir : "/tmp") +
                           "/tagbench-fuzz-cont-read-" + std::to_string(::getpid()) + ".log";
        std::atexit([] { std::remove(LogPath().c_str()); });
        return name;
    }();
    return path;
}

std::vector<Record> ReadRecords(const std::string& path) {
    std::vector<Record> records;
    std::ifstream in(path);
    int32_t lastTime = 0;
    for (std::string line; std::getline(in, line);) {
        int32_t time = 0;
        int step = 0;
        unsigned result = 0;
        char end = 0;
        FUZZ_CHECK(std::sscanf(line.c_str(), "%d;%d;%8X%c", &time, &step, &result, &end) == 3,
                   "a record that is not one: '%s'", line.c_str());
        FUZZ_CHECK(time >= lastTime, "cycle time %d after %d", time, lastTime);
        lastTime = time;
        records.push_back({step, result});
    }
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t flags = input.Byte();
    ContReadOptions options;
    options.bReaderBeep = (flags & 1) != 0;
    options.bRedLedFlash = (flags & 2) != 0;
    options.bGreenLedFlash = (flags & 4) != 0;
    options.nMaxAttempts = (flags >> 3) & 3;
    options.bHitag2 = (flags & 0x20) != 0;
    options.bKeyB = (flags & 0x40) != 0;
    options.nBlock = input.Byte();
    options.nKeyNumber = input.Byte();

    // The bridge, the port and the link are set up once: connecting costs more than most inputs.
    // Each input starts them over from the same state.
    static FakeClock clock;
    static const auto bridge = std::make_shared<ScriptedBridge>(clock);
    static ReaderPort port{nullptr, bridge};
    static ReaderLink link{clock};
    [[maybe_unused]] static const bool connected = [] {
        FUZZ_CHECK(port.OpenPort(PortKindUsb, 0) == LR_OK, "the scripted bridge opens");
        // The probe: a 3964R reader acknowledges the lone STX, then drops it after its character delay.
        bridge->onWrite = [](std::span<const uint8_t>) { bridge->Send({DLE, NAK}); };
        FUZZ_CHECK(link.Connect(&port, kBaud) == LR_OK, "connect");
        port.SetReadMode(ReadModeNormal);
        return true;
    }();
    clock.Set((flags & 0x80) != 0 ? 0xFFFFF000u : 1000u);
    bridge->readStatus = FT_OK;
    port.Purge();
    bridge->written.clear();
    link.SetSequenceNumber(0);

    Reader reader;
    reader.input = &input;
    bridge->onWrite = [&](std::span<const uint8_t> w) { reader.React(*bridge, w); };

    const std::string& path = LogPath();
    std::ofstream(path, std::ios::trunc).close();
    CStatisticsLog log;
    std::string error;
    FUZZ_CHECK(log.Open(path, error), "the log opens: %s", error.c_str());

    ContinuousReadCycle cycle{link, clock};
    cycle.Start(options, &log);
    uint64_t cyclesEnded = 0;
    for (int steps = 0; cycle.IsRunning() && !input.AtEnd() && steps < kMaxSteps; ++steps) {
        const uint8_t behaviour = input.Byte();
        reader.behaviour = static_cast<Behaviour>(behaviour & 3);
        reader.answerOpened = false;
        bridge->msPerByte = (behaviour >> 2) % 32;
        bridge->readStatus = reader.behaviour == LineLost ? FT_IO_ERROR : FT_OK;
        if (reader.behaviour == Good) {
            const uint8_t status = input.Byte();
            reader.status = status >= 0xC0 ? status & 0x3F : 0;
            const std::span<const uint8_t> answerData = input.Take(input.Byte() % 20);
            reader.data.assign(answerData.begin(), answerData.end());
        }

        // One exchange: four attempts of acknowledgement waits and a receive phase, each wait
        // overrun by at most the read it is in. A step runs one, the automatic stop a second.
        const uint32_t overrun = kReadTimeoutMs + kReadSize * bridge->msPerByte;
        const uint32_t receivePhase = (2 * ByteBuffer::kCapacity + 4) * 10 * 1000 / kBaud + 1 + 220;
        const uint32_t exchange = 4 * (1000 + 2000 + 2000 + receivePhase + 4 * overrun);
        const int step = cycle.GetStep();
        const uint32_t start = clock.GetTickCount();
        const ContReadReport report = cycle.Step();
        const uint32_t took = clock.GetTickCount() - start;
        FUZZ_CHECK(took <= 2 * exchange, "step %d took %u ms (limit %u ms)", step, took, 2 * exchange);
        FUZZ_CHECK(report.strLogError.empty(), "a record was lost: %s", report.strLogError.c_str());
        cyclesEnded += report.bCycleEnded ? 1 : 0;
        clock.Advance(report.dwNextDelayMs);
    }
    reader.behaviour = Good;
    bridge->readStatus = FT_OK;
    cycle.Stop();
    bridge->onWrite = nullptr;  // the reader goes with this input
    FUZZ_CHECK(!log.IsOpen(), "the log is closed when the mode stops");

    const std::vector<Record> records = ReadRecords(path);
    const ContReadFigures figures = cycle.Statistics().Figures(clock.GetTickCount());
    FUZZ_CHECK(figures.nCycles == records.size() && cyclesEnded == records.size(),
               "%zu records, %llu cycles counted, %llu reported", records.size(),
               static_cast<unsigned long long>(figures.nCycles),
               static_cast<unsigned long long>(cyclesEnded));
    std::array<uint64_t, ContReadFigures::kSteps> failures{};
    uint64_t completed = 0;
    const Record* lastFailure = nullptr;
    for (const Record& record : records) {
        FUZZ_CHECK(record.step >= 0 && record.step < ContReadFigures::kSteps, "step %d", record.step);
        if (record.result == LR_OK) {
            FUZZ_CHECK(record.step == ContReadSwitchOff, "step %d recorded as completed", record.step);
            ++completed;
        } else {
            ++failures[static_cast<size_t>(record.step)];
            lastFailure = &record;
        }
    }
    FUZZ_CHECK(figures.nCompleted == completed, "%llu completed counted, %llu recorded",
               static_cast<unsigned long long>(figures.nCompleted),
               static_cast<unsigned long long>(completed));
    for (size_t step = 0; step < failures.size(); ++step) {
        FUZZ_CHECK(figures.failuresByStep[step] == failures[step],
                   "step %zu: %llu failures counted, %llu recorded", step,
                   static_cast<unsigned long long>(figures.failuresByStep[step]),
                   static_cast<unsigned long long>(failures[step]));
    }
    if (lastFailure != nullptr) {
        FUZZ_CHECK(
            figures.nLastFailureStep == lastFailure->step && figures.lastFailure == lastFailure->result,
            "last failure counted at step %d (%08X), recorded at step %d (%08X)", figures.nLastFailureStep,
            figures.lastFailure, lastFailure->step, lastFailure->result);
    } else {
        FUZZ_CHECK(figures.nLastFailureStep == -1, "a failure counted, none recorded");
    }
    for (const ContReadHintVoice voice : {ContReadHintVoice::Window, ContReadHintVoice::CommandLine}) {
        const std::string hint = ContReadHint(figures, options, voice);
        FUZZ_CHECK(std::none_of(hint.begin(), hint.end(),
                                [](char c) { return static_cast<uint8_t>(c) < 0x20 || c == 0x7F; }),
                   "a control character in the hint \"%s\"", hint.c_str());
    }
    return 0;
}
