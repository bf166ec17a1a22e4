// Continuous read over a pseudo-terminal against the simulated reader paced at the line's baud
// rate: cycles per second compared with the bound the bytes of one cycle on the wire set (counted
// from one traced cycle), and the CPU the driving thread uses. Then the CPU wait-for-card uses
// while no card comes. Goals: bound / measured 0.85 or better at 9600 and 115200 baud; under 1 %
// of a core while waiting for a card.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "commands/CommandSet.h"
#include "commands/ContinuousReadCycle.h"
#include "commands/WaitCardExchange.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

using Seconds = std::chrono::duration<double>;

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The bytes on the wire of the traced lines: PC's and reader's.
void CountBytes(const MemoryOutputWindow& window, int& pc, int& reader) {
    pc = reader = 0;
    for (const std::string& line : window.Lines()) {
        const int bytes = static_cast<int>(line.size() / 3) - 1;  // "<< " then "%02X " per byte
        if (line.rfind(">> ", 0) == 0) {
            pc += bytes;
        } else if (line.rfind("<< ", 0) == 0) {
            reader += bytes;
        }
    }
}

// Steps as the command line does: the next step at once, or after the delay the mode asks for.
template <typename Mode>
auto StepPaced(Mode& mode) {
    const auto report = mode.Step();
    if (report.dwNextDelayMs != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(report.dwNextDelayMs));
    }
    return report;
}

bool MeasureCycle(uint32_t baud, int cycles, bool paced = true) {
    auto reader = std::make_shared<SimReader>(Clock::System());
    reader->EnterCard(Simulator::SampleCard());
    std::string error;
    const auto pty = SimPtyEndpoint::Create(reader, paced ? baud : 0, error);
    MemoryOutputWindow window(1000);
    ReaderPort port(nullptr, nullptr);
    ReaderLink link;
    if (!pty || port.OpenPortByName(pty->PortName()) != LR_OK || link.Connect(&port, baud) != LR_OK) {
        std::fprintf(stderr, "cannot start the simulated reader: %s\n", error.c_str());
        return false;
    }
    port.SetReadMode(ReadModeNormal);
    // The commands page's key, which opens sector 0 of the sample card.
    if (LoadDefaultKey(port, link, nullptr) != LR_OK) {
        std::fprintf(stderr, "the simulated reader does not take the key\n");
        return false;
    }
    ContReadOptions options;
    options.nBlock = 1;
    ContinuousReadCycle cycle(link, Clock::System());

    // One traced cycle gives the bytes on the wire.
    port.SetOutputWindow(&window, false, TraceModeHex);
    cycle.Start(options);
    while (!StepPaced(cycle).bCycleEnded) {
    }
    int pcBytes = 0;
    int readerBytes = 0;
    CountBytes(window, pcBytes, readerBytes);
    port.SetOutputWindow(nullptr, false, TraceModeHex);

    int completed = 0;
    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int ended = 0; ended < cycles;) {
        const ContReadReport report = StepPaced(cycle);
        if (report.bCycleEnded) {
            ++ended;
            completed += report.result == LR_OK && report.nStep == ContReadSwitchOff;
        }
    }
    const double wall = Seconds(std::chrono::steady_clock::now() - start).count();
    const double cpu = ThreadCpuSeconds() - cpuStart;
    cycle.Stop();
    port.ClosePort();

    const double perCycle = wall / cycles;
    if (!paced) {
        std::printf(
            "unpaced:     %d cycles (%d completed), %.3f ms each, CPU of the cycle's thread %.1f %% of a "
            "core: the cost of the software alone\n",
            cycles, completed, perCycle * 1e3, 100 * cpu / wall);
        return true;
    }
    const double bound = (pcBytes + readerBytes) * 10.0 / baud;
    const double readerBound = readerBytes * 10.0 / baud;
    std::printf(
        "%6u baud: %d cycles (%d completed), %.1f cycles/s, %.2f ms each; %d + %d bytes a cycle, "
        "wire bound %.2f ms\n",
        baud, cycles, completed, 1.0 / perCycle, perCycle * 1e3, pcBytes, readerBytes, bound * 1e3);
    std::printf(
        "             bound / measured = %.3f; the simulator paces only its own %d bytes (%.2f ms): "
        "ratio %.3f; CPU of the cycle's thread %.1f %% of a core\n",
        bound / perCycle, readerBytes, readerBound * 1e3, readerBound / perCycle, 100 * cpu / wall);
    return true;
}

void MeasureWait(const char* what, ReaderPort& port, ReaderLink& link, double seconds) {
    WaitCardExchange exchange(link, Clock::System());
    exchange.Start();
    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    int steps = 0;
    while (Seconds(std::chrono::steady_clock::now() - start).count() < seconds && exchange.IsRunning()) {
        StepPaced(exchange);
        ++steps;
    }
    const double wall = Seconds(std::chrono::steady_clock::now() - start).count();
    const double cpu = ThreadCpuSeconds() - cpuStart;
    std::printf(
        "wait-for-card, no card, %s: %.1f s, %d steps, CPU of the waiting thread %.2f %% of a core%s\n", what,
        wall, steps, 100 * cpu / wall, exchange.IsRunning() ? "" : " (ended early!)");
    exchange.Stop();
    port.ClosePort();
}

bool MeasureWaitCard(double seconds) {
    // Over the pseudo-terminal (the COM kind) ...
    auto reader = std::make_shared<SimReader>(Clock::System());
    std::string error;
    const auto pty = SimPtyEndpoint::Create(reader, 9600, error);
    ReaderPort port(nullptr, nullptr);
    ReaderLink link;
    if (!pty || port.OpenPortByName(pty->PortName()) != LR_OK || link.Connect(&port, 9600) != LR_OK) {
        std::fprintf(stderr, "cannot start the simulated reader: %s\n", error.c_str());
        return false;
    }
    port.SetReadMode(ReadModeNormal);
    MeasureWait("COM (pseudo-terminal)", port, link, seconds);

    // ... and through the simulated USB bridge.
    auto usbReader = std::make_shared<SimReader>(Clock::System());
    ReaderPort usbPort(nullptr, std::make_shared<SimD2xxProvider>(usbReader, Clock::System()));
    ReaderLink usbLink;
    if (usbPort.OpenPort(PortKindUsb, 0) != LR_OK || usbLink.Connect(&usbPort, 9600) != LR_OK) {
        std::fprintf(stderr, "cannot open the simulated bridge\n");
        return false;
    }
    usbPort.SetReadMode(ReadModeNormal);
    MeasureWait("USB (simulated bridge)", usbPort, usbLink, seconds);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int scale = argc > 1 ? std::atoi(argv[1]) : 1;
    const bool ok = MeasureCycle(9600, 20 * scale) && MeasureCycle(115200, 200 * scale) &&
                    MeasureCycle(115200, 1000 * scale, false) && MeasureWaitCard(3.0 * scale);
    return ok ? 0 : 1;
}
