// Soak run of the write path: the programming jobs against the simulated reader's loader on a faulty
// line (a fraction of all bytes, in both directions, dropped, inverted or delayed, a third each). The
// jobs cycle through a block file programmed, the same file verified, a serial number (a fresh one
// each time), the USB settings (with and without a serial number, in turn; USB only, where the bridge's
// EEPROM calls fail now and then as well) and a firmware image of a few hundred random bytes. Each
// cycle runs on a reader fresh from the line; after each job the reader is left until it falls quiet
// (a firmware image ends with the line's pause), and a reader left in its loader is restarted before
// the next job, as a user would unplug it.
//
// Prints the jobs by kind and how many succeeded; the jobs that succeeded although the reader did not
// store exactly what they sent (flash blocks, serial text, firmware image, the bridge's EEPROM; for a
// verify: flash that differs from the file), with the seed and log of each; those no job could see
// are counted apart (a firmware image damaged on the line, which has no acknowledgement and no
// checksum; a serial text with a byte inverted on the way in and again in the read-back); serial
// numbers stored by a job that said none went out; failures by their last log line; the longest job
// of each kind from the prompt on against the sum of its waits' limits; memory at start and end.
//
// First over the in-process USB bridge on a fake clock (time-outs cost no time), then with fewer jobs
// over a pseudo-terminal in real time at 115200 baud, where the reader erases a flash bank faster than
// by default to keep the run short. --replay runs a bridge job again after the jobs of its cycle
// before it, on a fresh reader, and prints their logs.
//
//   build/default/bench/ProgrammingSoakBench [bridge jobs (10000)] [pty jobs (100)] [fault fraction
//   (0.01)]
//   build/default/bench/ProgrammingSoakBench --replay JOB [fault fraction (0.01)]

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ResidentMemory.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderPort.h"
#include "link/SerialPortList.h"
#include "programming/ProgrammingSequence.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"

namespace {

enum Kind : uint32_t { KindProgram, KindVerify, KindSerial, KindUsb, KindFirmware, kKindCount };
constexpr std::array<const char*, kKindCount> kKindNames = {"program", "verify", "serial", "usb", "firmware"};

constexpr uint32_t kBaseSeed = 12345;
constexpr uint32_t kPtySeedOffset = 1000000;
constexpr uint32_t kBlockSize = SimLoader::kBlockSize;
constexpr uint32_t kRawChunk = 64;
constexpr uint32_t kBaud = 115200;
constexpr uint32_t kPtyEraseMs = 20;
// The port's read time-out in the normal read mode; a read that waits for the reader may take it.
constexpr uint32_t kReadTimeoutMs = 100;
// A reader that has not prompted for this long is unplugged and plugged in again, as the log's
// "Please (re)connect the reader..." asks; after this many times the job is cancelled.
constexpr uint32_t kReplugAfterMs = 10000;
constexpr int kMaxReplugs = 3;
// No reader stays busy this long once the PC is silent (five answer repeats of 2 s each are the most).
constexpr uint32_t kSettleLimitMs = 60000;
constexpr size_t kCasesShown = 10;

// One reader fresh from the line, and the port that leads to it.
struct Rig {
    std::unique_ptr<FakeClock> fakeClock;  // null in real time
    Clock* clock = nullptr;
    std::shared_ptr<SimReader> reader;
    std::shared_ptr<SimD2xxProvider> bridge;  // null on the pseudo-terminal
    std::unique_ptr<SimPtyEndpoint> pty;
    SerialPortList ports;
    std::unique_ptr<ReaderPort> port;
    int source = 0;
};

std::unique_ptr<Rig> BridgeRig() {
    auto rig = std::make_unique<Rig>();
    rig->fakeClock = std::make_unique<FakeClock>(1000);
    rig->clock = rig->fakeClock.get();
    rig->reader = std::make_shared<SimReader>(*rig->clock);
    rig->bridge = std::make_shared<SimD2xxProvider>(rig->reader, *rig->clock);
    rig->port = std::make_unique<ReaderPort>(nullptr, rig->bridge, &rig->ports);
    rig->source = SimD2xxProvider::kSource;
    if (rig->port->OpenPort(PortKindUsb, 0) != LR_OK || rig->port->InitPort(kBaud, 8, 0, 0, 0) != LR_OK) {
        std::fprintf(stderr, "the simulated bridge does not open\n");
        return nullptr;
    }
    return rig;
}

std::unique_ptr<Rig> PtyRig() {
    auto rig = std::make_unique<Rig>();
    rig->clock = &Clock::System();
    rig->reader = std::make_shared<SimReader>(Clock::System());
    SimLoader::Settings settings;
    settings.eraseMs = kPtyEraseMs;
    rig->reader->SetLoaderSettings(settings);
    std::string error;
    rig->pty = SimPtyEndpoint::Create(rig->reader, kBaud, error);
    if (rig->pty == nullptr) {
        std::fprintf(stderr, "pseudo-terminal: %s\n", error.c_str());
        return nullptr;
    }
    rig->port = std::make_unique<ReaderPort>(nullptr, nullptr, &rig->ports);
    rig->source = SimPtyEndpoint::kSource;
    if (rig->port->OpenPortByName(rig->pty->PortName()) != LR_OK ||
        rig->port->InitPort(kBaud, 8, 0, 0, 0) != LR_OK) {
        std::fprintf(stderr, "cannot open %s\n", rig->pty->PortName().c_str());
        return nullptr;
    }
    return rig;
}

// Time passes: on the fake clock the reader runs what fell due.
void Pass(Rig& rig, uint32_t ms) {
    if (rig.fakeClock) {
        rig.fakeClock->Advance(ms);
        rig.reader->Tick();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// Leaves the reader alone until it waits for the PC alone: its answers, repeats and time-outs have
// run out, and a firmware image has ended with the line's pause. What it sent meanwhile is dropped.
void Settle(Rig& rig) {
    const uint32_t start = rig.clock->GetTickCount();
    while (rig.clock->GetTickCount() - start < kSettleLimitMs) {
        const std::optional<uint32_t> next = rig.reader->MsToNextEvent(rig.source);
        if (!next) {
            break;
        }
        Pass(rig, std::max<uint32_t>(*next, 1));
    }
    if (!rig.fakeClock) {
        // The pseudo-terminal's thread hands over what is due at the line's pace.
        for (int i = 0; i < 100 && rig.reader->PendingOutput(rig.source) != 0; ++i) {
            Pass(rig, 5);
        }
        Pass(rig, 5);
    }
    rig.port->Purge();
}

// Unplugged and plugged in again, the reader forgets a half-taken loader command and leaves its
// loader; on a quiet line, once the simulated reader has fallen quiet, the loader's quit does that.
void Restart(Rig& rig) {
    rig.reader->SetFaults(SimFaults{});
    Settle(rig);
    if (rig.reader->InLoader()) {
        rig.port->Write(ByteBuffer{'Q'});
        Settle(rig);
    }
}

SimFaults LineFaults(double fraction, uint32_t seed) {
    SimFaults faults;
    faults.dropFraction = fraction / 3;
    faults.corruptFraction = fraction / 3;
    faults.delayFraction = fraction / 3;
    faults.delayMs = 300;  // beyond the port's read time-out, within the loader's pause
    faults.seed = seed;
    return faults;
}

struct Job {
    Kind kind = KindProgram;
    int index = 0;
    uint32_t seed = 0;
    ProgrammingInputs in;
    std::vector<uint8_t> content;  // the block file or the firmware image
    bool failEepromRead = false;
    bool failEepromProgram = false;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Everything a job sends follows from its seed; a verify checks the file of its cycle's program job.
Job MakeJob(Kind kind, int index, int cycle, uint32_t seed, double faultFraction,
            const std::filesystem::path& dir, const std::vector<uint8_t>& programmed) {
    std::mt19937 random(seed);
    auto below = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); };
    auto bytes = [&](size_t n) {
        std::vector<uint8_t> v(n);
        for (uint8_t& b : v) {
            b = static_cast<uint8_t>(below(256));
        }
        return v;
    };
    Job job;
    job.kind = kind;
    job.index = index;
    job.seed = seed;
    ProgrammingInputs& in = job.in;
    switch (kind) {
        case KindProgram:
        case KindVerify:
            in.mode = kind == KindProgram ? ProgramFile : VerifyFile;
            job.content = kind == KindProgram ? bytes(kBlockSize * (1 + below(8))) : programmed;
            in.filePath = (dir / "blocks.btl").string();
            WriteFile(in.filePath, job.content);
            break;
        case KindSerial:
            in.mode = SerialOnly;
            in.mifareSerial = static_cast<uint32_t>(index + 1) % 100000000;
            break;
        case KindUsb: {
            static const std::array<const char*, 9> productIds = {"6001", "FB18", "fb19", "FB1A", "FB1B",
                                                                  "FB1C", "FB1D", "FB1E", "fb1f"};
            static const std::array<const char*, 4> makers = {"QV Cardterminal", "Tagbench", "ACME", ""};
            in.mode = cycle % 2 == 0 ? SerialAndUsbSettings : UsbSettingsOnly;
            in.mifareSerial = static_cast<uint32_t>(index + 1) % 100000000;
            in.vendorId = "0403";
            in.productId = productIds[below(productIds.size())];
            in.manufacturer = makers[below(makers.size())];
            in.manufacturerId = {static_cast<char>('A' + below(26)), static_cast<char>('A' + below(26))};
            in.description = "Soak reader " + std::to_string(index);
            in.usbSerial = static_cast<uint32_t>(index) % 1000000;
            in.maxPower = static_cast<int>(below(501));
            in.pnp = static_cast<int>(below(2));
            in.selfPowered = static_cast<int>(below(2));
            in.remoteWakeup = static_cast<int>(below(2));
            const auto draw = [&] {
                return std::uniform_real_distribution<double>(0, 1)(random) < faultFraction;
            };
            job.failEepromRead = draw();
            job.failEepromProgram = draw();
            break;
        }
        case KindFirmware:
            in.mode = DownloadFirmware;
            job.content = bytes(256 + below(257));
            in.filePath = (dir / "image.A07").string();
            WriteFile(in.filePath, job.content);
            break;
        case kKindCount:
            break;
    }
    return job;
}

bool StoresSerial(const Job& job) {
    return job.in.mode == SerialOnly || job.in.mode == SerialAndUsbSettings;
}

std::string SerialText(uint32_t number) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08u", number);
    return text;
}

// The sum of the limits of the waits a job meets after the prompt (polls × the timer period, the
// sequence's poll limits), and how much later each may end: one period and one read time-out.
struct Limit {
    uint32_t ms = 0;
    uint32_t overrunMs = 0;
};

Limit LimitOf(const Job& job) {
    constexpr uint32_t slow = ProgrammingSequence::kSlowPeriodMs;
    constexpr uint32_t fast = ProgrammingSequence::kTransferPeriodMs;
    Limit limit;
    auto wait = [&](uint32_t polls, uint32_t period) {
        limit.ms += polls * period;
        limit.overrunMs += period + kReadTimeoutMs;
    };
    auto read = [&] { limit.ms += kReadTimeoutMs; };  // a discarding or closing read
    const auto size = static_cast<uint32_t>(job.content.size());
    switch (job.kind) {
        case KindProgram:
        case KindVerify:
            wait(5, slow);  // version
            wait(5, slow);  // CRC reset
            for (uint32_t i = 0; i < size / kBlockSize; ++i) {
                wait(50, fast);  // the block's acknowledgement
            }
            wait(50, slow);  // CRC check
            wait(50, slow);  // reboot
            break;
        case KindSerial:
        case KindUsb:
            if (StoresSerial(job)) {
                read();
                wait(10, slow);  // the store's answer
                read();          // the serial number read back
            }
            break;
        case KindFirmware:
            wait(50, slow);  // bank 2
            wait(50, slow);  // bank 3
            read();
            wait(10, slow);                                         // ready for the image
            limit.ms += (size + kRawChunk - 1) / kRawChunk * fast;  // one piece per tick
            break;
        case kKindCount:
            break;
    }
    return limit;
}

// Whether the stored image is the sent one with some bytes lost and some inverted on the line: the
// damage a faulty line does to a download that has no acknowledgement and no checksum. Exactly
// sent.size() - stored.size() bytes were lost; reach[k] says whether the bytes so far can be matched
// with k of them lost.
bool LineDamageOnly(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& sent) {
    if (stored.size() > sent.size()) {
        return false;
    }
    const size_t lost = sent.size() - stored.size();
    std::vector<char> reach(lost + 1, 0);
    reach[0] = 1;
    for (size_t i = 0; i < sent.size(); ++i) {
        std::vector<char> next(lost + 1, 0);
        for (size_t k = 0; k <= lost; ++k) {
            if (!reach[k]) {
                continue;
            }
            if (k < lost) {
                next[k + 1] = 1;
            }
            const size_t j = i - k;
            if (j < stored.size() && (stored[j] == sent[i] || stored[j] == static_cast<uint8_t>(~sent[i]))) {
                next[k] = 1;
            }
        }
        reach.swap(next);
    }
    return reach[lost] != 0;
}

// The EEPROM fields that differ: the job's inputs, and for the rest what the job handed the bridge.
std::string EepromDifferences(const SimEeprom& stored, const ProgrammingInputs& in, UsbEepromRecord& sent) {
    std::string wrong;
    auto check = [&](bool same, const char* field) {
        if (!same) {
            wrong += wrong.empty() ? field : std::string(", ") + field;
        }
    };
    char serial[32];
    std::snprintf(serial, sizeof serial, "%s%06u", in.manufacturerId.c_str(), in.usbSerial);
    const FT_PROGRAM_DATA& d = *sent.Data();
    check(stored.vendorId == 0x0403, "vendor ID");
    check(stored.productId == static_cast<uint16_t>(std::stoul(in.productId, nullptr, 16)), "product ID");
    check(stored.manufacturer == in.manufacturer, "manufacturer");
    check(stored.manufacturerId == in.manufacturerId, "manufacturer ID");
    check(stored.description == in.description, "description");
    check(stored.serialNumber == serial, "serial number");
    check(stored.maxPower == in.maxPower, "max. power");
    check(stored.pnp == in.pnp, "plug 'n play");
    check(stored.selfPowered == in.selfPowered, "self powered");
    check(stored.remoteWakeup == in.remoteWakeup, "remote wakeup");
    check(stored.rev4 == d.Rev4 && stored.isoIn == d.IsoIn && stored.isoOut == d.IsoOut &&
              stored.pullDownEnable == d.PullDownEnable && stored.serNumEnable == d.SerNumEnable &&
              stored.usbVersionEnable == d.USBVersionEnable && stored.usbVersion == d.USBVersion,
          "chip flags");
    return wrong;
}

enum Unseen : uint32_t { UnseenNone, UnseenLineDamage, UnseenInvertedTwice };

// Whether the texts differ only by bytes with all bits inverted: the simulator corrupts a byte so,
// and a byte corrupted on the way in and again on the way out reads back as it was sent.
bool InvertedOnly(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && static_cast<uint8_t>(a[i]) != static_cast<uint8_t>(~b[i])) {
            return false;
        }
    }
    return true;
}

struct Outcome {
    bool succeeded = false;
    bool exact = false;  // the reader holds whole and exactly what the job sent
    // Why a job could not see what it stored wrongly: a firmware image damaged on the line (it has
    // no acknowledgement and no checksum), or a serial text whose bytes were inverted on the way in
    // and the same bytes again in the read-back.
    Unseen unseen = UnseenNone;
    bool serialLeak = false;  // the job's serial number is in the reader, yet it said none went out
    bool leftInLoader = false;
    bool cancelled = false;
    int replugs = 0;
    uint32_t promptMs = 0;
    uint32_t afterPromptMs = 0;
    std::string mismatch;
    std::vector<std::string> log;
};

void Check(Rig& rig, const Job& job, bool serialSent, Outcome& out) {
    std::vector<std::string> wrong;
    const ProgrammingInputs& in = job.in;
    if (job.kind == KindProgram || job.kind == KindVerify) {
        const std::vector<std::array<uint8_t, 72>> flash = rig.reader->GetFlashBlocks();
        const size_t blocks = job.content.size() / kBlockSize;
        bool same = flash.size() >= blocks;
        for (size_t i = 0; same && i < blocks; ++i) {
            same = std::equal(flash[i].begin(), flash[i].end(), job.content.begin() + i * kBlockSize);
        }
        if (!same) {
            wrong.push_back("the flash differs from the file");
        }
    }
    if (StoresSerial(job)) {
        const std::string stored = rig.reader->GetSerialText();
        const std::string expected = SerialText(in.mifareSerial);
        if (stored != expected) {
            if (InvertedOnly(stored, expected)) {
                out.unseen = UnseenInvertedTwice;
            }
            wrong.push_back("serial text \"" + stored + "\" for \"" + expected + "\"" +
                            (out.unseen == UnseenInvertedTwice ? " (bytes inverted only)" : ""));
        } else if (!serialSent) {
            out.serialLeak = true;
        }
    }
    if (job.kind == KindUsb) {
        const SimEeprom stored = rig.reader->GetEeprom();
        const std::string differences = EepromDifferences(stored, in, rig.port->GetEepromRecord());
        if (!differences.empty()) {
            wrong.push_back("EEPROM differs in " + differences);
        }
        char serial[32];
        std::snprintf(serial, sizeof serial, "%s%06u", in.manufacturerId.c_str(), in.usbSerial);
        out.serialLeak |= stored.serialNumber == serial && !serialSent;
    }
    if (job.kind == KindFirmware) {
        const std::vector<uint8_t> stored = rig.reader->GetFirmwareImage();
        if (stored != job.content) {
            out.unseen = LineDamageOnly(stored, job.content) ? UnseenLineDamage : UnseenNone;
            wrong.push_back(
                "firmware image of " + std::to_string(stored.size()) + " bytes for " +
                std::to_string(job.content.size()) +
                (out.unseen == UnseenLineDamage ? " (line damage only)" : " (not explained by line damage)"));
        }
    }
    out.exact = wrong.empty();
    for (const std::string& w : wrong) {
        out.mismatch += (out.mismatch.empty() ? "" : "; ") + w;
    }
}

Outcome RunJob(Rig& rig, const Job& job, double faultFraction) {
    Outcome out;
    Clock& clock = *rig.clock;
    if (rig.bridge) {
        if (job.failEepromRead) {
            rig.bridge->FailCall("FT_EE_Read", FT_IO_ERROR);
        }
        if (job.failEepromProgram) {
            rig.bridge->FailCall("FT_EE_Program", FT_EEPROM_WRITE_FAILED);
        }
    }
    // A serial number is written once: each job that stores one gets a reader without one, and the
    // EEPROM holds other settings than the job's, so that a job that wrote nothing cannot pass.
    if (StoresSerial(job)) {
        rig.reader->SetSerialText("");
    }
    if (job.kind == KindUsb) {
        rig.reader->SetEeprom(SimEeprom{});
    }
    rig.reader->SetFaults(LineFaults(faultFraction, job.seed));

    ProgrammingSequence sequence(*rig.port, clock);
    sequence.SetInputs(job.in);
    const uint32_t start = clock.GetTickCount();
    uint32_t promptWaitStart = start;
    std::optional<uint32_t> promptAt;
    sequence.Begin();
    while (sequence.IsRunning()) {
        if (!promptAt && clock.GetTickCount() - promptWaitStart > kReplugAfterMs) {
            if (out.replugs == kMaxReplugs) {
                sequence.Cancel();
                out.cancelled = true;
                break;
            }
            ++out.replugs;
            Restart(rig);
            rig.reader->SetFaults(LineFaults(faultFraction, job.seed + 7919u * out.replugs));
            promptWaitStart = clock.GetTickCount();
        }
        sequence.Step();
        const ProgrammingState state = sequence.GetState();
        if (!promptAt && state != ProgrammingState::Start && state != ProgrammingState::WaitPrompt) {
            promptAt = clock.GetTickCount();
        }
        if (rig.fakeClock) {
            rig.fakeClock->Advance(sequence.GetNextStepDelay());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(sequence.GetNextStepDelay()));
        }
    }
    const uint32_t end = clock.GetTickCount();
    out.promptMs = (promptAt ? *promptAt : end) - start;
    out.afterPromptMs = promptAt ? end - *promptAt : 0;

    rig.reader->SetFaults(SimFaults{});
    Settle(rig);
    out.leftInLoader = rig.reader->InLoader();
    if (out.leftInLoader) {
        Restart(rig);
    }
    if (rig.bridge) {
        rig.bridge->FailCall("FT_EE_Read", FT_OK, 0);
        rig.bridge->FailCall("FT_EE_Program", FT_OK, 0);
    }
    out.succeeded = sequence.Succeeded();
    out.log = sequence.GetLog();
    if (out.cancelled) {
        out.log.push_back("(cancelled: no prompt after " + std::to_string(kMaxReplugs) + " restarts)");
    }
    Check(rig, job, sequence.SerialSent(), out);
    return out;
}

std::string Printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        }
    }
    return shown;
}

struct KindStats {
    int jobs = 0;
    int succeeded = 0;
    int wrongStored = 0;          // succeeded, not stored whole and exactly
    std::array<int, 3> unseen{};  // ... by why the job could not see it
    int storedButFailed = 0;
    int leftInLoader = 0;
    int replugs = 0;
    int cancelled = 0;
    int overLimit = 0;
    uint32_t longestMs = 0;
    Limit longestLimit;
    uint32_t longestPromptMs = 0;
};

struct Case {
    Job job;
    Outcome out;
};

void PrintCase(const Case& c, bool replayable) {
    std::printf("    job %d (%s, seed %u)%s: %s, %s\n", c.job.index, kKindNames[c.job.kind], c.job.seed,
                replayable ? "" : " over the pseudo-terminal", c.out.succeeded ? "succeeded" : "failed",
                c.out.mismatch.empty() ? "stored exactly" : c.out.mismatch.c_str());
    if (c.out.serialLeak) {
        std::printf("      its serial number is in the reader, yet the job said none went out\n");
    }
    for (const std::string& line : c.out.log) {
        std::printf("      | %s\n", Printable(line).c_str());
    }
}

void Soak(const char* title, bool overPty, int jobs, double faultFraction) {
    std::vector<Kind> cycle = {KindProgram, KindVerify, KindSerial, KindUsb, KindFirmware};
    if (overPty) {
        cycle.erase(std::find(cycle.begin(), cycle.end(), KindUsb));  // the EEPROM is the bridge's
    }
    const uint32_t seedBase = kBaseSeed + (overPty ? kPtySeedOffset : 0);
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tagbench-soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);

    std::array<KindStats, kKindCount> stats;
    std::map<std::pair<std::string, uint32_t>, int> failures;  // last log line, kind
    std::vector<Case> cases;
    int wrongTotal = 0;
    int serialLeaks = 0;
    const long memoryStart = ResidentKiB();
    const auto wallStart = std::chrono::steady_clock::now();
    std::unique_ptr<Rig> rig;
    std::vector<uint8_t> programmed;
    for (int i = 0; i < jobs; ++i) {
        const size_t position = static_cast<size_t>(i) % cycle.size();
        if (position == 0) {
            rig.reset();
            rig = overPty ? PtyRig() : BridgeRig();
            if (!rig) {
                return;
            }
        }
        const int cycleNumber = i / static_cast<int>(cycle.size());
        const Job job = MakeJob(cycle[position], i, cycleNumber, seedBase + static_cast<uint32_t>(i),
                                faultFraction, dir, programmed);
        if (job.kind == KindProgram) {
            programmed = job.content;
        }
        Outcome out = RunJob(*rig, job, faultFraction);

        KindStats& s = stats[job.kind];
        ++s.jobs;
        s.leftInLoader += out.leftInLoader ? 1 : 0;
        s.replugs += out.replugs;
        s.cancelled += out.cancelled ? 1 : 0;
        s.longestPromptMs = std::max(s.longestPromptMs, out.promptMs);
        const Limit limit = LimitOf(job);
        if (out.afterPromptMs > limit.ms + limit.overrunMs) {
            ++s.overLimit;
        }
        if (out.afterPromptMs >= s.longestMs) {
            s.longestMs = out.afterPromptMs;
            s.longestLimit = limit;
        }
        serialLeaks += out.serialLeak ? 1 : 0;
        bool suspicious = out.serialLeak;
        if (out.succeeded) {
            ++s.succeeded;
            if (!out.exact) {
                ++s.wrongStored;
                ++wrongTotal;
                ++s.unseen[out.unseen];
                suspicious |= out.unseen != UnseenLineDamage;  // that one is the protocol's
            }
        } else {
            ++failures[{out.log.empty() ? std::string("(no log)") : out.log.back(), job.kind}];
            s.storedButFailed += out.exact ? 1 : 0;
        }
        if (suspicious) {
            cases.push_back({job, std::move(out)});
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    rig.reset();
    std::filesystem::remove_all(dir);

    std::printf("%s: %d jobs, %.1f%% of bytes faulty, %.1f s\n", title, jobs, faultFraction * 100, seconds);
    if (overPty) {
        std::printf("  (the reader erases a flash bank in %u ms here, %u ms by default)\n", kPtyEraseMs,
                    SimLoader::Settings{}.eraseMs);
    } else {
        std::printf(
            "  (the bridge's EEPROM read and program calls also fail in %.1f%% of the USB jobs each)\n",
            faultFraction * 100);
    }
    std::printf("  %-9s %6s %10s %13s %14s %10s %9s\n", "kind", "jobs", "succeeded", "not stored",
                "failed but", "left in", "restarts");
    std::printf("  %-9s %6s %10s %13s %14s %10s %9s\n", "", "", "", "exactly", "stored exactly", "loader",
                "prompting");
    for (Kind kind : cycle) {
        const KindStats& s = stats[kind];
        std::printf("  %-9s %6d %10d %13d %14d %10d %9d\n", kKindNames[kind], s.jobs, s.succeeded,
                    s.wrongStored, s.storedButFailed, s.leftInLoader, s.replugs);
    }
    std::array<int, 3> unseen{};
    for (const KindStats& s : stats) {
        for (size_t i = 0; i < unseen.size(); ++i) {
            unseen[i] += s.unseen[i];
        }
    }
    std::printf("  SUCCEEDED BUT NOT STORED WHOLE AND EXACTLY: %d\n", wrongTotal);
    std::printf(
        "    firmware images damaged only on the line after the '5' (the image has no\n"
        "    acknowledgement and no checksum, so no job can see it): %d\n",
        unseen[UnseenLineDamage]);
    std::printf(
        "    serial texts with bytes inverted on the way in whose read-back inverted the same\n"
        "    bytes again (the simulator inverts all bits of a corrupted byte): %d\n",
        unseen[UnseenInvertedTwice]);
    std::printf("    all others: %d\n", unseen[UnseenNone]);
    std::printf("  serial numbers stored while the job said none went out: %d\n", serialLeaks);
    int cancelled = 0;
    for (const KindStats& s : stats) {
        cancelled += s.cancelled;
    }
    std::printf("  jobs cancelled without a prompt: %d\n", cancelled);
    std::printf("  failures by last log line:\n");
    std::vector<std::pair<std::pair<std::string, uint32_t>, int>> sorted(failures.begin(), failures.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return a.first.second != b.first.second ? a.first.second < b.first.second : a.second > b.second;
    });
    for (const auto& [key, count] : sorted) {
        std::printf("    %6d  %-9s %s\n", count, kKindNames[key.second], Printable(key.first).c_str());
    }
    std::printf(
        "  longest job from the prompt on, against the sum of its waits' limits (each wait may end\n"
        "  one period and one read time-out late):\n");
    for (Kind kind : cycle) {
        const KindStats& s = stats[kind];
        std::printf(
            "    %-9s %6u ms  limit %6u ms (+%u ms)  over it: %d  longest wait for the prompt %u ms\n",
            kKindNames[kind], s.longestMs, s.longestLimit.ms, s.longestLimit.overrunMs, s.overLimit,
            s.longestPromptMs);
    }
    std::printf("  resident memory: %ld kB at start, %ld kB at end\n", memoryStart, ResidentKiB());
    if (!cases.empty()) {
        std::printf("  cases (%zu; the first %zu shown%s):\n", cases.size(),
                    std::min(cases.size(), kCasesShown), overPty ? "" : "; --replay JOB runs one again");
        for (size_t i = 0; i < cases.size() && i < kCasesShown; ++i) {
            PrintCase(cases[i], !overPty);
        }
    }
}

// The bridge job again, after the jobs of its cycle before it, on a fresh reader: the same bytes,
// faults and times as in the soak.
int Replay(int jobIndex, double faultFraction) {
    const int cycleLength = kKindCount;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tagbench-soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::unique_ptr<Rig> rig = BridgeRig();
    if (!rig) {
        return 1;
    }
    MemoryOutputWindow window(1000000);
    rig->port->SetOutputWindow(&window, false, TraceModeHex);
    std::vector<uint8_t> programmed;
    for (int i = jobIndex - jobIndex % cycleLength; i <= jobIndex; ++i) {
        window.ClearAll();
        const Job job = MakeJob(static_cast<Kind>(i % cycleLength), i, i / cycleLength,
                                kBaseSeed + static_cast<uint32_t>(i), faultFraction, dir, programmed);
        if (job.kind == KindProgram) {
            programmed = job.content;
        }
        const Outcome out = RunJob(*rig, job, faultFraction);
        PrintCase({job, out}, true);
        std::printf("      %u ms to the prompt, %u ms after it%s\n", out.promptMs, out.afterPromptMs,
                    out.leftInLoader ? "; left the reader in its loader" : "");
    }
    std::printf("    the port's trace of job %d (and of the restarts after it):\n", jobIndex);
    for (const std::string& line : window.Lines()) {
        std::printf("      %s\n", Printable(line).c_str());
    }
    rig.reset();
    std::filesystem::remove_all(dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--replay") {
        return Replay(std::atoi(argv[2]), argc > 3 ? std::atof(argv[3]) : 0.01);
    }
    const int bridgeJobs = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int ptyJobs = argc > 2 ? std::atoi(argv[2]) : 100;
    const double faultFraction = argc > 3 ? std::atof(argv[3]) : 0.01;
    if (bridgeJobs > 0) {
        Soak("USB bridge, fake clock", false, bridgeJobs, faultFraction);
    }
    if (ptyJobs > 0) {
        Soak("pseudo-terminal, real time", true, ptyJobs, faultFraction);
    }
    return 0;
}
