// The conformance suite's default list against the simulated reader in real time: over a
// pseudo-terminal paced at 9600 and 115200 baud (3964R) and over the simulated USB bridge (both
// procedures). Prints the wall time, the CPU time of the whole process (the reader's thread
// included) and each check's share, and whether every check that ran passed.
//
//   build/default/bench/ConformanceBench [--framed-only]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "conformance/ConformanceSuite.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"
#include "stepping/BlockingStepDriver.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void RunSuite(const char* label, ReaderPort& port, ReaderLink& link) {
    ConformanceSuite suite(port, Clock::System(), link.GetLinkMode(), ConformanceOptions{});
    BlockingStepDriver driver(nullptr);
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    driver.Run(suite);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("%-28s %6.1f s wall  %5.2f s CPU (%4.1f %%)  %s\n", label, wall, cpu, 100 * cpu / wall,
                suite.AllPassed() ? "all passed" : "NOT all passed");
    for (size_t i = 0; i < suite.Results().size(); ++i) {
        const ConformanceResult& result = suite.Results()[i];
        std::printf("    %-24s %-8s %6.2f s%s%s\n", suite.Selected()[i].id.c_str(),
                    VerdictName(result.verdict), result.durationMs / 1000.0, result.seen.empty() ? "" : "  ",
                    result.seen.c_str());
    }
}

void OverPty(uint32_t baud) {
    auto reader = std::make_shared<SimReader>(Clock::System());
    reader->EnterCard(Simulator::SampleCard());
    std::string error;
    const auto pty = SimPtyEndpoint::Create(reader, baud, error);
    ReaderPort port(nullptr, nullptr);
    ReaderLink link;
    if (!pty || port.OpenPortByName(pty->PortName()) != LR_OK || link.Connect(&port, baud) != LR_OK) {
        std::fprintf(stderr, "cannot start the simulated reader: %s\n", error.c_str());
        return;
    }
    RunSuite(("COM (pty), " + std::to_string(baud) + " baud").c_str(), port, link);
    port.ClosePort();
}

void OverUsb(SimLinkMode mode) {
    auto reader = std::make_shared<SimReader>(Clock::System());
    reader->EnterCard(Simulator::SampleCard());
    reader->SetLinkMode(mode);
    ReaderPort port(nullptr, std::make_shared<SimD2xxProvider>(reader, Clock::System()));
    ReaderLink link;
    if (port.OpenPort(PortKindUsb, 0) != LR_OK || link.Connect(&port, 115200) != LR_OK) {
        std::fprintf(stderr, "cannot open the simulated bridge\n");
        return;
    }
    RunSuite(mode == SimLinkFramed ? "USB (simulated), DLE-framed" : "USB (simulated), 3964R", port, link);
    port.ClosePort();
}

}  // namespace

int main(int argc, char** argv) {
    const bool framedOnly = argc > 1 && std::strcmp(argv[1], "--framed-only") == 0;
    if (!framedOnly) {
        OverPty(115200);
        OverPty(9600);
        OverUsb(SimLink3964R);
    }
    OverUsb(SimLinkFramed);
    return 0;
}
