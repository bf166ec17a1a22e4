// Soak run of the link against the simulated reader on a faulty line: a fraction of all bytes, in
// both directions, is dropped, inverted or delayed (a third each). Every exchange is one command of
// a read cycle (request, anticollision, select, authenticate, three block reads, version), each
// preceded by a purge as the commands page does. Prints successes, failures by code, answers accepted
// that differ from the card's (must be 0), the longest exchange against the link's limit, and memory
// at start and end.
//
// First over the in-process USB bridge on a fake clock (time-outs cost no time), then with fewer
// exchanges over a pseudo-terminal in real time.
//
//   build/default/bench/LinkSoakBench [bridge exchanges (100000)] [pty exchanges (300)] [fault fraction
//   (0.01)]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ResidentMemory.h"
#include "link/LinkResult.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/Simulator.h"

namespace {

struct Step {
    const char* name;
    uint8_t command;
    ByteBuffer parameters;
};

// Reads only, so that the card's answers stay the same however often a command reaches it.
std::vector<Step> Cycle() {
    ByteBuffer serial;
    serial.AppendU32(Simulator::kCardUid);
    return {
        {"request", kCmdRequest, {0}},  {"anticollision", kCmdAnticollision, {0, 0, 0, 0, 0}},
        {"select", kCmdSelect, serial}, {"authenticate", kCmdAuthenticate, {0, 0, 4}},
        {"read 4", kCmdReadBlock, {4}}, {"read 5", kCmdReadBlock, {5}},
        {"read 6", kCmdReadBlock, {6}}, {"info", kCmdGetInfo, {}},
    };
}

// The longest an exchange may take: four attempts of the STX and telegram acknowledgement waits,
// the wait for the reader's STX and a receive phase bounded by the longest telegram at the baud
// rate plus the character delay; each wait may overrun by one read time-out (100 ms).
uint32_t LinkLimitMs(uint32_t baud) {
    const uint32_t receive = (2 * ByteBuffer::kCapacity + 4) * 10 * 1000 / baud + 1 + 220;
    return 4 * (1000 + 2000 + 2000 + receive + 4 * 100);
}

// Runs the cycle exchanges times with the faults on. truth holds the card's answer to each step,
// taken before the faults are switched on.
// Whether the answer differs from the truth only by bytes with all bits inverted. Such bytes cancel
// in pairs in the block check (the other of a pair may be the length or the check byte).
bool InvertedOnly(const ByteBuffer& answer, const ByteBuffer& truth) {
    if (answer.GetCount() != truth.GetCount()) {
        return false;
    }
    for (uint32_t i = 0; i < answer.GetCount(); ++i) {
        const uint8_t difference = answer.Bytes()[i] ^ truth.Bytes()[i];
        if (difference != 0 && difference != 0xFF) {
            return false;
        }
    }
    return true;
}

void Soak(const char* title, ReaderLink& link, ReaderPort& port, Clock& clock, SimReader& reader,
          int exchanges, double faultFraction) {
    const std::vector<Step> cycle = Cycle();
    std::vector<ByteBuffer> truth;
    for (const Step& step : cycle) {
        uint8_t status = 0;
        ByteBuffer answer;
        port.Purge();
        if (link.Transact(step.command, step.parameters, status, answer) != LR_OK || status != 0) {
            std::printf("%s: %s fails without faults (status %u)\n", title, step.name, status);
            return;
        }
        truth.push_back(answer);
    }

    SimFaults faults;
    faults.dropFraction = faultFraction / 3;
    faults.corruptFraction = faultFraction / 3;
    faults.delayFraction = faultFraction / 3;
    faults.delayMs = 300;  // beyond the PC's read time-out and the reader's character delay
    faults.seed = 12345;
    reader.SetFaults(faults);

    const long memoryStart = ResidentKiB();
    const auto wallStart = std::chrono::steady_clock::now();
    int successes = 0;
    int wrong = 0;
    int shorter = 0;
    int invisible = 0;
    int loaderWakeUps = 0;
    uint32_t longest = 0;
    std::map<LinkResult, int> failures;
    for (int i = 0; i < exchanges; ++i) {
        const Step& step = cycle[static_cast<size_t>(i) % cycle.size()];
        // A stray byte of a broken telegram can be one of the loader's wake-up characters ('x' is
        // 0x78, a byte of the card's serial number); the reader then sits in its loader, which
        // answers every STX with NAK. Send it the loader's quit, as a user would restart the reader.
        if (reader.InLoader()) {
            ++loaderWakeUps;
            port.Write(ByteBuffer{'Q'});
        }
        uint8_t status = 0;
        ByteBuffer answer;
        port.Purge();
        const uint32_t start = clock.GetTickCount();
        const LinkResult result = link.Transact(step.command, step.parameters, status, answer);
        longest = std::max(longest, clock.GetTickCount() - start);
        reader.ClearRequests();  // the simulator's record of requests, kept for tests
        if (result != LR_OK) {
            ++failures[result];
        } else if (status != 0) {
            ++failures[StatusToResult(status)];  // e.g. a card that lost its selection to a fault
        } else {
            ++successes;
            const ByteBuffer& expected = truth[static_cast<size_t>(i) % cycle.size()];
            if (!(answer == expected)) {
                ++wrong;
                shorter += answer.GetCount() < expected.GetCount() ? 1 : 0;
                invisible += InvertedOnly(answer, expected) ? 1 : 0;
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    reader.SetFaults(SimFaults{});

    std::printf("%s: %d exchanges, %.1f%% of bytes faulty, %.1f s\n", title, exchanges, faultFraction * 100,
                seconds);
    std::printf("  succeeded:            %d\n", successes);
    for (const auto& [code, count] : failures) {
        std::printf("  failed %08X:      %d  (%s)\n", code, count, LinkResultText(code).c_str());
    }
    // The simulator corrupts a byte by inverting all its bits, so two corrupted bytes of one
    // telegram cancel in the XOR block check: no check the protocol has can tell that answer from
    // the truth.
    std::printf(
        "  wrong answers taken:  %d (%d shorter than the card's; %d only by inverted bytes that\n"
        "                        cancel in pairs in the block check)\n",
        wrong, shorter, invisible);
    std::printf("  loader woken by faults: %d\n", loaderWakeUps);
    std::printf("  longest exchange:     %u ms (limit %u ms at %u baud)\n", longest,
                LinkLimitMs(port.GetBaudRate()), port.GetBaudRate());
    std::printf("  resident memory:      %ld kB at start, %ld kB at end\n", memoryStart, ResidentKiB());
}

bool LoadShippingKey(ReaderLink& link) {
    const ByteBuffer key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return link.LoadKey(0, 0, key, key) == LR_OK;
}

}  // namespace

int main(int argc, char** argv) {
    const int bridgeExchanges = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int ptyExchanges = argc > 2 ? std::atoi(argv[2]) : 300;
    const double faultFraction = argc > 3 ? std::atof(argv[3]) : 0.01;

    {
        FakeClock clock;
        auto reader = std::make_shared<SimReader>(clock);
        reader->EnterCard(Simulator::SampleCard());
        SerialPortList ports;
        ReaderPort port{nullptr, std::make_shared<SimD2xxProvider>(reader, clock), &ports};
        ReaderLink link{clock};
        if (port.OpenPort(PortKindUsb, 0) != LR_OK || link.Connect(&port, 9600) != LR_OK ||
            !LoadShippingKey(link)) {
            std::fprintf(stderr, "the simulated bridge does not connect\n");
            return 1;
        }
        port.SetReadMode(ReadModeNormal);
        Soak("USB bridge, fake clock", link, port, clock, *reader, bridgeExchanges, faultFraction);
    }

    if (ptyExchanges > 0) {
        auto reader = std::make_shared<SimReader>(Clock::System());
        reader->EnterCard(Simulator::SampleCard());
        std::string error;
        const std::unique_ptr<SimPtyEndpoint> pty = SimPtyEndpoint::Create(reader, 0, error);
        if (!pty) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        SerialPortList ports;
        ReaderPort port{nullptr, nullptr, &ports};
        ReaderLink link;
        if (port.OpenPortByName(pty->PortName()) != LR_OK || link.Connect(&port, 115200) != LR_OK ||
            !LoadShippingKey(link)) {
            std::fprintf(stderr, "the pseudo-terminal does not connect\n");
            return 1;
        }
        Soak("pseudo-terminal, real time", link, port, Clock::System(), *reader, ptyExchanges, faultFraction);
    }
    return 0;
}
