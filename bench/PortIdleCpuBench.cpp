// CPU time that ReaderPort spends waiting on a quiet line: a 2-second wait built from polling
// reads (as the link does while it waits for an acknowledgement), a loop of normal-mode reads, and
// one long read with the time-outs InitPort leaves. Prints CPU time as a percentage of one core.
//
//   build/default/bench/PortIdleCpuBench [seconds]

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "link/ReaderPort.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs body at least minReads times and until `seconds` have passed; prints CPU time per wall time and the
// number of reads.
void Measure(const char* name, double seconds, const std::function<void()>& body, long minReads = 0) {
    const auto start = SteadyClock::now();
    const double cpuStart = CpuSeconds();
    long reads = 0;
    while (reads < minReads || std::chrono::duration<double>(SteadyClock::now() - start).count() < seconds) {
        body();
        ++reads;
    }
    const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("%-40s %8.3f %% of one core  (%.3f s CPU in %.3f s, %ld reads)\n", name, 100.0 * cpu / wall,
                cpu, wall, reads);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    SerialPortList ports;
    ReaderPort port(nullptr, nullptr, &ports);
    if (port.OpenPortByName(ptsname(master)) != LR_OK || port.InitPort(9600, 8, 0, 0, 0) != LR_OK) {
        std::fprintf(stderr, "cannot open the port\n");
        return 1;
    }
    std::printf("goal: under 1 %% of one core\n");
    ByteBuffer destination;
    uint32_t received = 0;

    // One long read with the InitPort time-outs: n * 10 + 100 ms.
    const uint32_t n = static_cast<uint32_t>((seconds * 1000 - 100) / 10);
    Measure(
        "one read after InitPort (n*10+100 ms)", 0.0, [&] { port.Read(destination, n, received); }, 1);

    port.SetReadMode(ReadModePolling);
    Measure("polling reads (1 byte each)", seconds, [&] { port.Read(destination, 1, received); });

    port.SetReadMode(ReadModeNormal);
    Measure("normal-mode reads (1 byte each)", seconds, [&] { port.Read(destination, 1, received); });

    // For comparison: what the kernel alone costs per 1 ms wake-up on this machine.
    Measure("floor: bare poll() with 1 ms time-out", seconds, [&] {
        pollfd entry{master, POLLIN, 0};
        poll(&entry, 1, 1);
    });

    port.ClosePort();
    close(master);
    return 0;
}
