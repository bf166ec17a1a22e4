// The programming jobs against a loader whose every answer comes from the fuzzer, behind the
// scripted USB bridge on the fake clock.
//
// Input: the job (0 serial number and USB settings, 1 serial number, 2 firmware, 3 raw file, 4 USB
// settings, 5 program and 6 verify a block file), flags (bit 0 paced, bit 1 auxiliary module, bit 2
// clock just before its wrap, bit 3 the larger file, bit 4 the EEPROM read fails, bit 5 programming
// the EEPROM fails, bit 6 an impatient user, bit 7 the other serial number), the time each answer
// byte takes (0-100 ms), the user's patience (1-32 steps), then for each write of the PC one
// action of the loader:
//   00LLLLLL  take the write, answer the L bytes that follow;
//   01LLLLLL  the same, then keep sending one byte (next byte) every 1-100 ms (the byte after)
//             until the PC writes again;
//   10xxxxxx  take the write, answer 64 + n bytes (n the next byte): answers longer than the
//             reads that drop stale input;
//   11SSSSSS  refuse the write with a bridge status.
// When the input ends the loader goes silent. The user cancels once the prompt has not come for
// the patience's steps (an impatient user presses Cancel after that many steps, whatever runs).
//
// What must hold for every input:
//   - a job succeeds only when the PC wrote exactly the job's commands and the file, each once and
//     in order, and what it read after each command was the answer that command needs: a prompt
//     after a wake-up, '4' after the serial number, the serial text after each read-back and then
//     a quiet line, '2' before any '3' after an erase, '5' after the download command, ACK after
//     the version request and first after each binary command and block, and the CRC sent is the
//     CRC-16 of the file. The line is a FIFO: bytes sent earlier and not yet read are part of the
//     answer the PC reads next, as on a real line;
//   - every wait ends within its limit (polls x period) plus one period and one read, counted on
//     the fake clock from its command's write;
//   - SerialSent() is true exactly when the serial number's store command or the EEPROM program
//     reached the bridge;
//   - the run ends by itself or by the user's Cancel within a bounded number of steps.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "core/link/ScriptedBridge.h"
#include "link/ReaderPort.h"
#include "programming/ProgrammingSequence.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kReadTimeoutMs = 100;  // the normal read time-out of the USB kind
constexpr uint32_t kSlowMs = ProgrammingSequence::kSlowPeriodMs;
constexpr uint32_t kTransferMs = ProgrammingSequence::kTransferPeriodMs;
constexpr uint32_t kUnbounded = UINT32_MAX;
constexpr int kMaxSteps = 4000;
constexpr uint8_t kAck = 0x06;
constexpr size_t kBlock = 72;
constexpr size_t kPiece = 64;

// The CRC-16 of a block file as the loader checks it: polynomial 0x1021 from 0x1D0F, not
// reflected, no final XOR, computed bit by bit here so that it does not share the product's code.
uint16_t FileCrc(const Bytes& bytes) {
    uint16_t crc = 0x1D0F;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>(crc ^ byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? crc << 1 ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

struct Files {
    std::filesystem::path dir;
    std::string firmware[2];
    Bytes firmwareBytes[2];
    std::string blocks[2];
    Bytes blockBytes[2];
};

Files* g_files = nullptr;

std::string WriteFile(const std::filesystem::path& path, const Bytes& content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return path.string();
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 37 + (i >> 3));
    }
    return bytes;
}

void RemoveFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(g_files->dir, ignored);
}

// One write of the PC and what the PC read after it, up to its next write.
struct Exchange {
    Bytes command;
    Bytes answer;
    bool endedQuiet = false;  // the last read after the write brought nothing
};

// The bridge of the test harness with the loader's write failures and an EEPROM, and a log of
// every write the bridge took and every byte the PC read.
class LoaderBridge : public ScriptedBridge {
public:
    explicit LoaderBridge(FakeClock& clock) : ScriptedBridge(clock), m_clock(clock) {
        auto write = m_table.FT_Write;
        m_table.FT_Write = [this, write](FT_HANDLE handle, void* buffer, uint32_t n,
                                         uint32_t* count) -> FT_STATUS {
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            lastAttempt.assign(bytes, bytes + n);
            lastAttemptAt = m_clock.GetTickCount();
            if (lastAttempt.size() > 8 && std::memcmp(bytes, "SSERIAL=", 8) == 0) {
                serialReached = true;
            }
            if (decide) {
                if (const FT_STATUS refusal = decide(); refusal != FT_OK) {
                    *count = 0;
                    return refusal;
                }
            }
            exchanges.push_back({lastAttempt, {}, false});
            return write(handle, buffer, n, count);
        };
        auto read = m_table.FT_Read;
        m_table.FT_Read = [this, read](FT_HANDLE handle, void* buffer, uint32_t n, uint32_t* count) {
            const FT_STATUS status = read(handle, buffer, n, count);
            if (!exchanges.empty()) {
                const auto* bytes = static_cast<const uint8_t*>(buffer);
                exchanges.back().answer.insert(exchanges.back().answer.end(), bytes, bytes + *count);
                exchanges.back().endedQuiet = *count == 0;
            }
            return status;
        };
        m_table.FT_EE_Read = [this](FT_HANDLE, FT_PROGRAM_DATA*) { return eeReadStatus; };
        m_table.FT_EE_Program = [this](FT_HANDLE, FT_PROGRAM_DATA* data) {
            serialReached = true;
            ++eePrograms;
            programmed = *data;
            manufacturer = data->Manufacturer;
            manufacturerId = data->ManufacturerId;
            description = data->Description;
            return eeProgramStatus;
        };
    }

    // Asked at each write: FT_OK takes it (and onWrite answers), anything else refuses it.
    std::function<FT_STATUS()> decide;
    std::vector<Exchange> exchanges;
    Bytes lastAttempt;
    uint32_t lastAttemptAt = 0;
    bool serialReached = false;
    FT_STATUS eeReadStatus = FT_OK;
    FT_STATUS eeProgramStatus = FT_OK;
    int eePrograms = 0;
    FT_PROGRAM_DATA programmed{};
    std::string manufacturer;
    std::string manufacturerId;
    std::string description;

private:
    FakeClock& m_clock;
};

ProgrammingInputs Job(ProgrammingMode mode, uint32_t serial) {
    ProgrammingInputs in;
    in.mode = mode;
    in.mifareSerial = serial;
    in.manufacturer = "QV Cardterminal";
    in.manufacturerId = "QV";
    in.description = "Desk reader";
    in.productId = "6001";
    in.usbSerial = 42;
    in.maxPower = 40;
    in.pnp = in.selfPowered = in.remoteWakeup = 1;
    return in;
}

Bytes Text(const std::string& text, bool zero) {
    Bytes bytes(text.begin(), text.end());
    if (zero) {
        bytes.push_back(0);
    }
    return bytes;
}

bool Contains(const Bytes& bytes, uint8_t byte) {
    return std::find(bytes.begin(), bytes.end(), byte) != bytes.end();
}

// How long the wait that a write starts may last: its poll limit in periods, plus one period and
// the one read that may overrun it. kUnbounded for the wake-up, which waits for the user.
uint32_t Allowance(ProgrammingMode mode, const Bytes& command, uint8_t wakeUp, size_t serialTextSize) {
    const auto wait = [](uint32_t polls, uint32_t period) {
        return polls * period + period + kReadTimeoutMs;
    };
    const bool block = mode == ProgramFile || mode == VerifyFile;
    if (command == Bytes{wakeUp}) {
        return kUnbounded;
    }
    if (command.size() > 8 && std::memcmp(command.data(), "SSERIAL=", 8) == 0) {
        return wait(10, kSlowMs);
    }
    if (command == Text("GSERIAL", true)) {
        // The read-back reads byte by byte until it is longer than the text could be, or quiet.
        return (static_cast<uint32_t>(serialTextSize) + 3) * kReadTimeoutMs;
    }
    if (command == Bytes{'@'} || command == Bytes{'#'}) {
        return wait(50, kSlowMs);
    }
    if (command == Bytes{'D'}) {
        return wait(10, kSlowMs);
    }
    if (block && command.size() == kBlock) {
        return wait(50, kTransferMs);
    }
    if (block && command.size() >= 2 && command.size() <= 4) {
        const uint8_t code = command[0];
        if (code == 0x05 || code == 0x03) {
            return wait(5, kSlowMs);
        }
        if (code == 0x04 || code == 0x07) {
            return wait(50, kSlowMs);
        }
    }
    // A file piece, a block's header or the leave command: the next step follows within a period.
    return wait(0, kSlowMs);
}

// Whether the run was a correct one: the commands, the file and the answers, as the header says.
// why says what was wrong.
bool RunWasRight(ProgrammingMode mode, const LoaderBridge& bridge, const Bytes& file,
                 const std::string& serialText, uint8_t wakeUp, std::string& why) {
    const std::vector<Exchange>& ex = bridge.exchanges;
    size_t i = 0;
    const auto next = [&](const char* what) -> const Exchange* {
        if (i >= ex.size()) {
            why = std::string("missing ") + what;
            return nullptr;
        }
        return &ex[i++];
    };
    const auto expect = [&](const Bytes& command, const char* what) -> const Exchange* {
        const Exchange* e = next(what);
        if (e != nullptr && e->command != command) {
            why = std::string(what) + ": wrote " + HexOf(e->command);
            return nullptr;
        }
        return e;
    };
    const auto firstIsAck = [&](const Exchange* e, const char* what) {
        if (e == nullptr) {
            return false;
        }
        if (e->answer.empty() || e->answer[0] != kAck) {
            why = std::string(what) + " answered " + HexOf(e->answer);
            return false;
        }
        return true;
    };
    const auto eepromRight = [&] {
        const FT_PROGRAM_DATA& d = bridge.programmed;
        if (bridge.eePrograms != 1 || bridge.eeProgramStatus != FT_OK || d.VendorId != 0x0403 ||
            d.ProductId != 0x6001 || bridge.manufacturer != "QV Cardterminal" ||
            bridge.manufacturerId != "QV" || bridge.description != "Desk reader") {
            why = "EEPROM programmed " + std::to_string(bridge.eePrograms) + " times, status " +
                  std::to_string(bridge.eeProgramStatus) + ", description " + bridge.description;
            return false;
        }
        return true;
    };
    // Pieces of at most n bytes that together are the file, once.
    const auto pieces = [&](size_t n) {
        size_t at = 0;
        while (at < file.size()) {
            const Exchange* e = next("file piece");
            if (e == nullptr) {
                return false;
            }
            const size_t count = e->command.size();
            if (count == 0 || count > n || at + count > file.size() ||
                !std::equal(e->command.begin(), e->command.end(),
                            file.begin() + static_cast<ptrdiff_t>(at))) {
                why = "file piece at " + std::to_string(at) + ": " + HexOf(e->command);
                return false;
            }
            at += count;
        }
        return true;
    };

    if (mode != SendFile) {
        size_t wakeUps = 0;
        while (i < ex.size() && ex[i].command == Bytes{wakeUp}) {
            ++i;
            ++wakeUps;
        }
        if (wakeUps == 0 || !Contains(ex[i - 1].answer, '>')) {
            why = "no prompt after " + std::to_string(wakeUps) + " wake-ups";
            return false;
        }
    }
    if (mode == SerialAndUsbSettings || mode == SerialOnly) {
        const Exchange* store = expect(Text("SSERIAL=" + serialText, true), "store serial");
        if (store == nullptr) {
            return false;
        }
        if (!Contains(store->answer, '4')) {
            why = "store serial answered " + HexOf(store->answer);
            return false;
        }
        for (int readBack = 0; readBack < 2; ++readBack) {
            const Exchange* read = expect(Text("GSERIAL", true), "read serial");
            if (read == nullptr) {
                return false;
            }
            const Bytes& a = read->answer;
            if (a.size() != serialText.size() + 1 ||
                !std::equal(a.begin() + 1, a.end(), serialText.begin()) || !read->endedQuiet) {
                why = "read-back " + std::to_string(readBack) + " was " + HexOf(a) +
                      (read->endedQuiet ? "" : " and went on");
                return false;
            }
        }
    }
    if ((mode == SerialAndUsbSettings || mode == UsbSettingsOnly) && !eepromRight()) {
        return false;
    }
    if (mode == SerialOnly && bridge.eePrograms != 0) {
        why = "EEPROM programmed by a serial-number job";
        return false;
    }
    if (mode == DownloadFirmware) {
        for (uint8_t erase : {'@', '#'}) {
            const Exchange* e = expect(Bytes{erase}, "erase");
            if (e == nullptr) {
                return false;
            }
            const auto answer = std::find_if(e->answer.begin(), e->answer.end(),
                                             [](uint8_t b) { return b == '2' || b == '3'; });
            if (answer == e->answer.end() || *answer != '2') {
                why = std::string("erase ") + static_cast<char>(erase) + " answered " + HexOf(e->answer);
                return false;
            }
        }
        const Exchange* download = expect(Bytes{'D'}, "download");
        if (download == nullptr) {
            return false;
        }
        if (!Contains(download->answer, '5')) {
            why = "download answered " + HexOf(download->answer);
            return false;
        }
    }
    if (mode == DownloadFirmware || mode == SendFile) {
        if (!pieces(kPiece)) {
            return false;
        }
    }
    if (mode == ProgramFile || mode == VerifyFile) {
        const Exchange* version = expect({0x05, 0x00}, "get version");
        if (version == nullptr) {
            return false;
        }
        if (!Contains(version->answer, kAck)) {
            why = "get version answered " + HexOf(version->answer);
            return false;
        }
        if (!firstIsAck(expect({0x03, 0x00}, "reset CRC"), "reset CRC")) {
            return false;
        }
        const uint8_t code = mode == ProgramFile ? 0x01 : 0x02;
        for (size_t at = 0; at < file.size(); at += kBlock) {
            if (expect({code, static_cast<uint8_t>(kBlock)}, "block header") == nullptr) {
                return false;
            }
            const Bytes content(file.begin() + static_cast<ptrdiff_t>(at),
                                file.begin() + static_cast<ptrdiff_t>(at + kBlock));
            if (!firstIsAck(expect(content, "block"), "block")) {
                return false;
            }
        }
        const uint16_t crc = FileCrc(file);
        const Bytes check = {0x04, 0x02, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
        if (!firstIsAck(expect(check, "CRC check"), "CRC check") ||
            !firstIsAck(expect({0x07, 0x00}, "reboot"), "reboot")) {
            return false;
        }
    } else if (mode != DownloadFirmware) {
        // The job is done whether or not the loader heard that it may leave.
        if (i == ex.size() ? bridge.lastAttempt != Bytes{'Q'} : expect({'Q'}, "leave loader") == nullptr) {
            why = "no leave command";
            return false;
        }
    }
    if (i != ex.size()) {
        why = "wrote more: " + HexOf(ex[i].command);
        return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FUZZ_CHECK(FileCrc(Text("123456789", false)) == 0xE5CC, "the oracle's CRC-16 is %04X",
               FileCrc(Text("123456789", false)));
    g_files = new Files;
    g_files->dir =
        std::filesystem::temp_directory_path() / ("tagbench-loader-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(g_files->dir);
    // Firmware: a piece and a bit, and exactly two pieces. Blocks: one, and three.
    const size_t firmwareSizes[2] = {kPiece + 5, 2 * kPiece};
    const size_t blockCounts[2] = {1, 3};
    for (int i = 0; i < 2; ++i) {
        g_files->firmwareBytes[i] = Pattern(firmwareSizes[i], static_cast<uint8_t>(0x11 * (i + 1)));
        g_files->firmware[i] =
            WriteFile(g_files->dir / ("reader" + std::to_string(i) + ".A07"), g_files->firmwareBytes[i]);
        g_files->blockBytes[i] = Pattern(blockCounts[i] * kBlock, static_cast<uint8_t>(0x5A + i));
        g_files->blocks[i] =
            WriteFile(g_files->dir / ("image" + std::to_string(i) + ".btl"), g_files->blockBytes[i]);
    }
    std::atexit(RemoveFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const auto mode = static_cast<ProgrammingMode>(input.Byte() % 7);
    const uint8_t flags = input.Byte();
    const bool paced = (flags & 1) != 0;
    const int destination = (flags >> 1) & 1;
    const int fileChoice = (flags >> 3) & 1;
    const bool impatient = (flags & 0x40) != 0;
    const uint32_t msPerByte = input.Byte() % (kReadTimeoutMs + 1);
    const int patience = 1 + input.Byte() % 32;

    FakeClock clock((flags & 4) != 0 ? 0xFFFFF000u : 1000u);
    auto bridge = std::make_shared<LoaderBridge>(clock);
    ReaderPort port{nullptr, bridge};
    FUZZ_CHECK(port.OpenPort(PortKindUsb, 0) == LR_OK, "the scripted bridge opens");
    FUZZ_CHECK(port.InitPort(9600, 8, 0, 0, 0) == LR_OK, "the scripted bridge takes its settings");
    bridge->msPerByte = msPerByte;
    bridge->eeReadStatus = (flags & 0x10) != 0 ? FT_EEPROM_READ_FAILED : FT_OK;
    bridge->eeProgramStatus = (flags & 0x20) != 0 ? FT_EEPROM_WRITE_FAILED : FT_OK;

    bridge->decide = [&]() -> FT_STATUS {
        if (input.AtEnd()) {
            bridge->streaming = false;
            return FT_OK;
        }
        const uint8_t action = input.Byte();
        switch (action >> 6) {
            case 3:
                return 1 + (action & 0x3F) % FT_OTHER_ERROR;
            case 2:
                bridge->streaming = false;
                bridge->Send(input.Take(64 + input.Byte()));
                return FT_OK;
            default:
                bridge->streaming = false;
                bridge->Send(input.Take(action & 0x3F));
                if ((action >> 6) == 1) {
                    bridge->streaming = true;
                    bridge->streamByte = input.Byte();
                    bridge->streamMs = 1 + input.Byte() % kReadTimeoutMs;
                }
                return FT_OK;
        }
    };

    const bool blockMode = mode == ProgramFile || mode == VerifyFile;
    ProgrammingInputs job = Job(mode, (flags & 0x80) != 0 ? 99999999u : 42u);
    Bytes file;
    if (mode == DownloadFirmware || mode == SendFile) {
        job.filePath = g_files->firmware[fileChoice];
        file = g_files->firmwareBytes[fileChoice];
    } else if (blockMode) {
        job.filePath = g_files->blocks[fileChoice];
        file = g_files->blockBytes[fileChoice];
    }
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "0x%08u", job.mifareSerial);
    const uint8_t wakeUp = !blockMode ? '~' : destination == 1 ? 'b' : 'y';

    ProgrammingSequence sequence{port, clock};
    sequence.SetInputs(job);
    sequence.SetPaced(paced);
    sequence.SetDestination(destination);
    sequence.Begin();
    bool cancelled = false;
    int promptSteps = 0;
    int steps = 0;
    for (; sequence.IsRunning() && steps < kMaxSteps; ++steps) {
        const bool waitingForPrompt = sequence.GetState() == ProgrammingState::WaitPrompt;
        promptSteps = waitingForPrompt ? promptSteps + 1 : 0;
        if (promptSteps > patience || (impatient && steps == patience)) {
            const bool accepted = sequence.Cancel();
            FUZZ_CHECK(accepted || !waitingForPrompt, "Cancel refused while waiting for the prompt");
            if (accepted) {
                cancelled = true;
                break;
            }
        }
        // The step after a failed or finished job only ends the run: no wait is left to bound.
        const ProgrammingState before = sequence.GetState();
        sequence.Step();
        const bool waiting = before != ProgrammingState::Failed && before != ProgrammingState::Finished;
        const uint32_t allowed = Allowance(mode, bridge->lastAttempt, wakeUp, std::strlen(serialText));
        const uint32_t waited = clock.GetTickCount() - bridge->lastAttemptAt;
        FUZZ_CHECK(!waiting || allowed == kUnbounded || waited <= allowed,
                   "%u ms after writing %s (allowed %u ms), job %u, paced %d, %u ms a byte, now in state %u",
                   waited, HexOf(bridge->lastAttempt).c_str(), allowed, mode, paced, msPerByte,
                   static_cast<unsigned>(sequence.GetState()));
        clock.Advance(sequence.GetNextStepDelay());
    }
    FUZZ_CHECK(!sequence.IsRunning(), "job %u still running after %d steps, in state %u", mode, steps,
               static_cast<unsigned>(sequence.GetState()));

    FUZZ_CHECK(sequence.SerialSent() == bridge->serialReached,
               "SerialSent() %d, but the store command or the EEPROM program reached the bridge: %d",
               sequence.SerialSent(), bridge->serialReached);
    if (sequence.Succeeded()) {
        FUZZ_CHECK(!cancelled, "a cancelled job succeeded");
        std::string why;
        FUZZ_CHECK(RunWasRight(mode, *bridge, file, serialText, wakeUp, why), "job %u succeeded, but %s",
                   mode, why.c_str());
        const bool closes =
            mode == SerialAndUsbSettings || mode == SerialOnly || mode == SendFile || mode == UsbSettingsOnly;
        FUZZ_CHECK(sequence.GetResult() ==
                       (closes ? ProgrammingSequence::ResultOk : ProgrammingSequence::ResultNone),
                   "job %u succeeded with result %d", mode, sequence.GetResult());
    }
    return 0;
}
