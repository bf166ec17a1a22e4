// The simulated reader's speed and idle cost:
//   - Request exchanges per second in process (ReaderPort of the USB kind, simulated bridge, fake clock);
//   - one Request exchange over the pseudo-terminal (median and 99th percentile, microseconds);
//   - CPU time the pseudo-terminal thread uses while idle, and while an armed wait has a card
//     scheduled far ahead.
//
//   build/default/bench/SimReaderBench [exchanges]

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "link/ReaderPort.h"
#include "sim/SimD2xxProvider.h"
#include "sim/Simulator.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr uint8_t STX = 0x02, ETX = 0x03, DLE = 0x10;

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool ReadExactly(ReaderPort& port, uint32_t n) {
    uint32_t total = 0;
    for (int i = 0; i < 50 && total < n; ++i) {
        ByteBuffer buffer;
        uint32_t received = 0;
        port.Read(buffer, n - total, received);
        total += received;
    }
    return total == n;
}

bool RequestExchange(ReaderPort& port, uint8_t sequence) {
    const uint8_t bcc = sequence ^ 0x41 ^ 0x01 ^ 0x00;
    ByteBuffer telegram{sequence, 0x41, 0x01, 0x00, bcc};
    if (sequence == DLE || bcc == DLE) {
        return true;  // skip the two sequence numbers whose frames need doubling; not what is measured
    }
    telegram.Append(DLE);
    telegram.Append(ETX);
    port.Write(ByteBuffer{STX});
    if (!ReadExactly(port, 1)) {
        return false;
    }
    port.Write(telegram);
    if (!ReadExactly(port, 2)) {
        return false;
    }
    port.Write(ByteBuffer{DLE});
    const bool ok = ReadExactly(port, 8);
    port.Write(ByteBuffer{DLE});
    return ok;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    const int exchanges = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;

    {
        FakeClock clock;
        auto reader = std::make_shared<SimReader>(clock);
        reader->EnterCard(Simulator::SampleCard());
        SerialPortList ports;
        ReaderPort port{nullptr, std::make_shared<SimD2xxProvider>(reader, clock), &ports};
        port.OpenPort(PortKindUsb, 1);
        port.InitPort(9600, 8, 0, 0, 0);
        const auto start = SteadyClock::now();
        for (int i = 0; i < exchanges; ++i) {
            if (!RequestExchange(port, static_cast<uint8_t>(i))) {
                std::fprintf(stderr, "exchange %d failed\n", i);
                return 1;
            }
        }
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        std::printf("in process (fake clock): %.0f Request exchanges/s\n", exchanges / seconds);
    }

    std::string error;
    auto sim = Simulator::Start(error);
    if (!sim) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ReaderPort port;
    port.OpenPortByName(sim->PortName());
    port.InitPort(115200, 8, 0, 0, 0);
    std::vector<double> micros;
    for (int i = 0; i < 2000; ++i) {
        const auto start = SteadyClock::now();
        if (!RequestExchange(port, static_cast<uint8_t>(i))) {
            std::fprintf(stderr, "exchange %d failed on the pseudo-terminal\n", i);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
    }
    std::printf("pseudo-terminal Request exchange (4 handshake steps): median %.0f us, p99 %.0f us\n",
                Percentile(micros, 0.5), Percentile(micros, 0.99));
    port.ClosePort();

    double before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("idle, 1 s: %.3f ms CPU\n", (CpuSeconds() - before) * 1000);
    sim->Reader().ScheduleEnter(60000, SimCard(0x01020304));
    before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("card scheduled in 60 s, 1 s: %.3f ms CPU\n", (CpuSeconds() - before) * 1000);
    return 0;
}
