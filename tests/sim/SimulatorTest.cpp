#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "sim/Simulator.h"

namespace {

constexpr uint8_t STX = 0x02, ETX = 0x03, DLE = 0x10;

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
