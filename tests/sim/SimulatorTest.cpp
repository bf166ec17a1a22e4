#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "sim/Simulator.h"

namespace {

constexpr uint8_t STX = 0x02, ETX = 0x03, DLE = 0x10;

std::set<std::string> Threads() {
    std::set<std::string> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ids.insert(entry->d_name);
            }
        }
        closedir(dir);
    }
    return ids;
}

// The thread's blocked signals, from its SigBlk line (a hexadecimal mask, bit n-1 for signal n).
unsigned long long BlockedSignals(const std::string& thread) {
    std::ifstream status("/proc/self/task/" + thread + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0) {
            return std::strtoull(line.c_str() + 7, nullptr, 16);
        }
    }
    ADD_FAILURE() << "no SigBlk for thread " << thread;
    return 0;
}

bool Blocks(unsigned long long mask, int signal) {
    return (mask >> (signal - 1)) & 1;
}

// A Ctrl-C must reach the front end's thread: every thread the simulator starts blocks SIGINT and
// SIGTERM, while the thread that started it keeps the mask it had (here one with SIGUSR1 blocked).
TEST(SimulatorTest, ItsThreadsLeaveInterruptsToTheFrontEnd) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigset_t original;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &original), 0);
    const std::set<std::string> before = Threads();
    std::string error;
    auto sim = Simulator::Start(error);
    sigset_t after;
    pthread_sigmask(SIG_SETMASK, &original, &after);
    ASSERT_TRUE(sim) << error;
    EXPECT_TRUE(sigismember(&after, SIGUSR1));
    EXPECT_FALSE(sigismember(&after, SIGINT));
    EXPECT_FALSE(sigismember(&after, SIGTERM));

    int started = 0;
    for (const std::string& thread : Threads()) {
        if (before.count(thread) == 0) {
            ++started;
            const unsigned long long mask = BlockedSignals(thread);
            EXPECT_TRUE(Blocks(mask, SIGINT)) << thread;
            EXPECT_TRUE(Blocks(mask, SIGTERM)) << thread;
        }
    }
    EXPECT_GE(started, 1);
}

// The program ends while both ways to the reader are busy: the bridge is open with a request on
// its way, and a client writes to the pseudo-terminal without pause, so its thread is handing bytes
// to the reader (and through the reader's listeners telling the bridge) while the simulator goes.
// No endpoint may call into one that is already gone.
TEST(SimulatorTest, TearsDownCleanlyWhileBothEndpointsCarryTraffic) {
    uint8_t request[] = {STX, 0x00, 0x41, 0x01, 0x00, 0x40, DLE, ETX};
    for (int round = 0; round < 100; ++round) {
        std::string error;
        auto sim = Simulator::Start(error);
        ASSERT_TRUE(sim) << error;
        const int client = open(sim->PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(client, 0);

        // The bridge's table only: the simulator holds the one reference, as in the program.
        const D2xxTable& table = sim->UsbProvider()->Table();
        FT_HANDLE handle = nullptr;
        ASSERT_EQ(table.FT_Open(0, &handle), FT_OK);
        uint32_t written = 0;
        EXPECT_EQ(table.FT_Write(handle, request, sizeof request, &written), FT_OK);

        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop) {
                if (write(client, request, sizeof request) < 0) {
                    uint8_t answers[256];  // a full line: take the reader's answers and go on
                    while (read(client, answers, sizeof answers) > 0) {
                    }
                }
            }
        });
        for (int i = 0; i < 4; ++i) {
            std::this_thread::yield();  // let the line fill
        }
        sim.reset();
        stop = true;
        writer.join();
        close(client);
    }
}

}  // namespace
