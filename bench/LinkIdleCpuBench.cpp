// CPU time the link spends while it waits on a silent reader: one Request, four attempts of
// waiting for the reader's DLE, over a pseudo-terminal that nobody answers. Goal: under 1% of one
// core, which holds only when every wait sleeps in the kernel.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "link/ReaderLink.h"
#include "link/ReaderPort.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    // The far end stays open and silent: the reader never acknowledges.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    ReaderPort port(nullptr, nullptr);
    ReaderLink link;
    if (port.OpenPortByName(ptsname(master)) != LR_OK || link.Connect(&port, 9600) != LR_OK) {
        std::fprintf(stderr, "cannot open the pseudo-terminal\n");
        return 1;
    }

    const double cpuStart = CpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    uint32_t cardType = 0;
    const LinkResult result = link.Request(0, cardType);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = CpuSeconds() - cpuStart;

    std::printf("silent reader, one Request: result 0x%08X after %.3f s wall, %.4f s CPU\n", result, wall,
                cpu);
    std::printf("CPU load while waiting: %.3f%% of one core (goal: under 1%%)\n", 100.0 * cpu / wall);
    port.ClosePort();
    close(master);
    return 0;
}
