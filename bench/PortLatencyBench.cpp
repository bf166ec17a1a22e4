// Latency from a byte written on the far side of a pseudo-terminal to ReaderPort::Read returning
// it, in each read mode. Prints median and 99th percentile in microseconds.
//
//   build/default/bench/PortLatencyBench [samples]

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "link/ReaderPort.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Mode {
    const char* name;
    int readMode;  // -1: the time-outs InitPort leaves
    uint32_t n;
};

int OpenMaster(std::string& slave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        return -1;
    }
    slave = ptsname(master);
    return master;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    const Mode modes[] = {
        {"normal (ReadModeNormal, 1 byte)", ReadModeNormal, 1},
        {"polling (ReadModePolling, 1 byte)", ReadModePolling, 1},
        {"after InitPort (1 byte)", -1, 1},
    };
    std::printf("%-36s %10s %10s %10s   (%d samples, goal: under 1000 us)\n", "read mode", "median us",
                "p99 us", "max us", samples);
    for (const Mode& mode : modes) {
        std::string slave;
        const int master = OpenMaster(slave);
        SerialPortList ports;
        ReaderPort port(nullptr, nullptr, &ports);
        if (master < 0 || port.OpenPortByName(slave) != LR_OK || port.InitPort(115200, 8, 0, 0, 0) != LR_OK) {
            std::fprintf(stderr, "cannot set up a pseudo-terminal\n");
            return 1;
        }
        if (mode.readMode >= 0) {
            port.SetReadMode(static_cast<uint32_t>(mode.readMode));
        }

        std::mutex mutex;
        std::condition_variable taken;
        int next = 0;  // the sample the writer may send
        SteadyClock::time_point sentAt;
        std::thread writer([&] {
            for (int i = 0; i < samples; ++i) {
                {
                    std::unique_lock lock(mutex);
                    taken.wait(lock, [&] { return next == i; });
                }
                // Let the reader settle into its wait, at a varying point of its read.
                std::this_thread::sleep_for(std::chrono::microseconds(200 + (i * 37) % 900));
                const uint8_t byte = static_cast<uint8_t>(i);
                {
                    std::lock_guard lock(mutex);
                    sentAt = SteadyClock::now();
                }
                if (write(master, &byte, 1) != 1) {
                    return;
                }
            }
        });

        std::vector<double> latencies;
        latencies.reserve(static_cast<size_t>(samples));
        for (int i = 0; i < samples; ++i) {
            ByteBuffer destination;
            uint32_t received = 0;
            while (received == 0) {
                if (port.Read(destination, mode.n, received) != LR_OK) {
                    std::fprintf(stderr, "read failed\n");
                    return 1;
                }
            }
            const auto now = SteadyClock::now();
            std::lock_guard lock(mutex);
            latencies.push_back(std::chrono::duration<double, std::micro>(now - sentAt).count());
            next = i + 1;
            taken.notify_one();
        }
        writer.join();
        port.ClosePort();
        close(master);
        std::printf("%-36s %10.1f %10.1f %10.1f\n", mode.name, Percentile(latencies, 0.5),
                    Percentile(latencies, 0.99), Percentile(latencies, 1.0));
    }
    return 0;
}
