// The file jobs (firmware, raw file, program and verify a block file) with files of any content
// and length, and paths that are no regular file, against a loader that always answers right,
// behind the scripted USB bridge on the fake clock.
//
// Input: the job (0 firmware, 1 raw file, 2 program, 3 verify a block file), the path's kind
// (0-2 a regular file, 3 an empty file, 4 a FIFO, 5 a directory, 6 a missing path, 7 a sparse file
// one byte over the size limit), flags (bit 0 paced, bit 1 auxiliary module); the rest of the
// input is the regular file's content.
//
// What must hold for every input:
//   - a block file is refused unless its length is a positive multiple of 72, a firmware image
//     unless it has content, and any path that is no regular file of at most the limit: a refused
//     job sends nothing at all, not even the wake-up character;
//   - an accepted job succeeds, and after the loader's answer that it is ready the PC sends the
//     file whole and exactly: the raw bytes for firmware and raw files, each 72-byte block behind
//     its command for block files, then the CRC-16 of the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "core/link/ScriptedBridge.h"
#include "files/RegularFile.h"
#include "link/ReaderPort.h"
#include "programming/ProgrammingSequence.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kMaxSteps = 4000;
constexpr uint8_t kAck = 0x06;
constexpr size_t kBlock = 72;

// Bit by bit, so that the check does not share the product's code: polynomial 0x1021 from 0x1D0F,
// not reflected, no final XOR.
uint16_t FileCrc(std::span<const uint8_t> bytes) {
    uint16_t crc = 0x1D0F;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>(crc ^ byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? crc << 1 ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

struct Paths {
    std::filesystem::path dir;
    std::string regular;
    std::string empty;
    std::string fifo;
    std::string directory;
    std::string missing;
    std::string oversized;
};

Paths* g_paths = nullptr;

void RemovePaths() {
    std::error_code ignored;
    std::filesystem::remove_all(g_paths->dir, ignored);
}

// Always a new file: rewriting one in place makes some file systems flush it at each close, which
// would cost milliseconds a run.
bool WriteContent(const std::string& path, std::span<const uint8_t> content) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const ssize_t written = content.empty() ? 0 : ::write(fd, content.data(), content.size());
    ::close(fd);
    return written == static_cast<ssize_t>(content.size());
}

// The loader of a reader that works: it answers each command as it should, and acknowledges the
// CRC check only when the CRC is the one of the blocks it received.
struct Loader {
    void React(ScriptedBridge& bridge, std::span<const uint8_t> w) {
        if (expectBlock) {
            expectBlock = false;
            received.insert(received.end(), w.begin(), w.end());
            bridge.Send({kAck});
            return;
        }
        if (w.size() == 1) {
            switch (w[0]) {
                case '~':
                case 'y':
                case 'b':
                    bridge.Send({'>'});
                    break;
                case '@':
                case '#':
                    bridge.Send({'2'});
                    break;
                case 'D':
                    bridge.Send({'5'});
                    break;
                default:
                    break;
            }
            return;
        }
        if (w.size() == 2 && (w[0] == 0x01 || w[0] == 0x02) && w[1] == kBlock) {
            expectBlock = true;
        } else if (w.size() == 2 && w[0] == 0x05) {
            bridge.Send({'V', '2', kAck});
        } else if (w.size() == 2 && (w[0] == 0x03 || w[0] == 0x07)) {
            if (w[0] == 0x03) {
                received.clear();
            }
            bridge.Send({kAck});
        } else if (w.size() == 4 && w[0] == 0x04) {
            const uint16_t crc = FileCrc(received);
            const bool right = w[2] == (crc >> 8) && w[3] == (crc & 0xFF);
            bridge.Send({right ? kAck : uint8_t{0x15}});
        }
    }

    bool expectBlock = false;
    Bytes received;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_paths = new Paths;
    Paths& p = *g_paths;
    p.dir =
        std::filesystem::temp_directory_path() / ("tagbench-job-files-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p.dir / "folder.btl");
    p.regular = (p.dir / "image.btl").string();
    p.empty = (p.dir / "empty.A07").string();
    p.fifo = (p.dir / "fifo.A07").string();
    p.directory = (p.dir / "folder.btl").string();
    p.missing = (p.dir / "missing.A07").string();
    p.oversized = (p.dir / "oversized.A07").string();
    FUZZ_CHECK(WriteContent(p.empty, {}), "cannot create %s", p.empty.c_str());
    FUZZ_CHECK(::mkfifo(p.fifo.c_str(), 0600) == 0, "cannot create the FIFO %s", p.fifo.c_str());
    // Sparse: a size past the limit costs no disk and no writing.
    FUZZ_CHECK(WriteContent(p.oversized, {}) &&
                   ::truncate(p.oversized.c_str(), static_cast<off_t>(RegularFile::kDefaultLimit + 1)) == 0,
               "cannot create %s", p.oversized.c_str());
    std::atexit(RemovePaths);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static constexpr ProgrammingMode kModes[] = {DownloadFirmware, SendFile, ProgramFile, VerifyFile};
    FuzzInput input(data, size);
    const ProgrammingMode mode = kModes[input.Byte() % 4];
    const uint8_t kind = input.Byte() % 8;
    const uint8_t flags = input.Byte();
    const bool paced = (flags & 1) != 0;
    const int destination = (flags >> 1) & 1;
    const std::span<const uint8_t> rest = input.Rest();

    const Paths& p = *g_paths;
    std::string path;
    Bytes file;  // what the path holds when it can be used
    bool usable = true;
    switch (kind) {
        case 3:
            path = p.empty;
            break;
        case 4:
            path = p.fifo;
            usable = false;
            break;
        case 5:
            path = p.directory;
            usable = false;
            break;
        case 6:
            path = p.missing;
            usable = false;
            break;
        case 7:
            path = p.oversized;
            usable = false;
            break;
        default:
            path = p.regular;
            file.assign(rest.begin(), rest.end());
            FUZZ_CHECK(WriteContent(path, rest), "cannot write %s", path.c_str());
            break;
    }
    const bool blockMode = mode == ProgramFile || mode == VerifyFile;
    const bool accepted = usable && (blockMode                  ? !file.empty() && file.size() % kBlock == 0
                                     : mode == DownloadFirmware ? !file.empty()
                                                                : true);

    FakeClock clock(1000);
    auto bridge = std::make_shared<ScriptedBridge>(clock);
    ReaderPort port{nullptr, bridge};
    FUZZ_CHECK(port.OpenPort(PortKindUsb, 0) == LR_OK, "the scripted bridge opens");
    FUZZ_CHECK(port.InitPort(9600, 8, 0, 0, 0) == LR_OK, "the scripted bridge takes its settings");
    Loader loader;
    bridge->onWrite = [&](std::span<const uint8_t> w) { loader.React(*bridge, w); };

    ProgrammingInputs job;
    job.mode = mode;
    job.filePath = path;
    ProgrammingSequence sequence{port, clock};
    sequence.SetInputs(job);
    sequence.SetPaced(paced);
    sequence.SetDestination(destination);
    sequence.Begin();
    int steps = 0;
    // A job that never hears the prompt waits for the user: a working loader answers the first
    // wake-up, so a few steps are plenty before the user gives up.
    for (; sequence.IsRunning() && steps < kMaxSteps; ++steps) {
        if (sequence.GetState() == ProgrammingState::WaitPrompt && steps > 8) {
            sequence.Cancel();
            break;
        }
        sequence.Step();
        clock.Advance(sequence.GetNextStepDelay());
    }
    FUZZ_CHECK(!sequence.IsRunning(),
               "job %u with a file of %zu bytes still running after %d steps, in state %u", mode, file.size(),
               steps, static_cast<unsigned>(sequence.GetState()));

    if (path == p.regular) {
        ::unlink(path.c_str());
    }
    const Bytes& written = bridge->written;
    if (!accepted) {
        FUZZ_CHECK(written.empty() && !sequence.Succeeded(),
                   "job %u, path kind %u, %zu bytes: refused file, yet %zu bytes went out (%s), success %d",
                   mode, kind, file.size(), written.size(), HexOf(written).c_str(), sequence.Succeeded());
        return 0;
    }
    FUZZ_CHECK(sequence.Succeeded(), "job %u, path kind %u, %zu bytes: an accepted file failed: %s", mode,
               kind, file.size(), sequence.GetLog().empty() ? "" : sequence.GetLog().back().c_str());

    // What the PC must have written after the wake-up characters (none for a raw file).
    Bytes expected;
    switch (mode) {
        case DownloadFirmware:
            expected = {'@', '#', 'D'};
            expected.insert(expected.end(), file.begin(), file.end());
            break;
        case SendFile:
            expected = file;
            expected.push_back('Q');
            break;
        default: {
            expected = {0x05, 0x00, 0x03, 0x00};
            for (size_t at = 0; at < file.size(); at += kBlock) {
                expected.push_back(mode == ProgramFile ? 0x01 : 0x02);
                expected.push_back(kBlock);
                expected.insert(expected.end(), file.begin() + static_cast<ptrdiff_t>(at),
                                file.begin() + static_cast<ptrdiff_t>(at + kBlock));
            }
            const uint16_t crc = FileCrc(file);
            const Bytes tail = {0x04, 0x02, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc),
                                0x07, 0x00};
            expected.insert(expected.end(), tail.begin(), tail.end());
            break;
        }
    }
    const uint8_t wakeUp = !blockMode ? '~' : destination == 1 ? 'b' : 'y';
    size_t wakeUps = 0;
    while (mode != SendFile && wakeUps < written.size() && written[wakeUps] == wakeUp) {
        ++wakeUps;
    }
    FUZZ_CHECK(mode == SendFile || wakeUps > 0, "job %u: no wake-up before the commands", mode);
    const bool exact =
        written.size() - wakeUps == expected.size() &&
        std::equal(expected.begin(), expected.end(), written.begin() + static_cast<ptrdiff_t>(wakeUps));
    FUZZ_CHECK(exact, "job %u, %zu bytes: wrote %zu bytes after %zu wake-ups, expected %zu: %s", mode,
               file.size(), written.size() - wakeUps, wakeUps, expected.size(),
               HexOf(std::span<const uint8_t>(written).subspan(wakeUps)).c_str());
    return 0;
}
