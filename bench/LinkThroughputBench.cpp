// Request exchanges per second over a pseudo-terminal against the simulated reader paced at the
// line's baud rate, compared with the bound the bytes on the wire set: a Request exchange is 21
// bytes of 10 bits (PC: STX, 7 telegram bytes, 2 DLE; reader: 2 DLE, STX, 8 telegram bytes).
// Goals for bound / measured: 0.95 at 9600 baud, 0.85 at 115200.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

constexpr double kBytesPerExchange = 21;
constexpr double kReaderBytesPerExchange = 11;

bool Measure(uint32_t baud, int exchanges) {
    auto reader = std::make_shared<SimReader>(Clock::System());
    reader->EnterCard(Simulator::SampleCard());
    std::string error;
    const auto pty = SimPtyEndpoint::Create(reader, baud, error);
    if (!pty) {
        std::fprintf(stderr, "cannot start the simulated reader: %s\n", error.c_str());
        return false;
    }
    ReaderPort port(nullptr, nullptr);
    ReaderLink link;
    if (port.OpenPortByName(pty->PortName()) != LR_OK || link.Connect(&port, baud) != LR_OK) {
        std::fprintf(stderr, "cannot open %s\n", pty->PortName().c_str());
        return false;
    }
    uint32_t cardType = 0;
    for (int i = 0; i < 5; ++i) {
        link.Request(0, cardType);  // warm up
    }
    int failures = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < exchanges; ++i) {
        failures += link.Request(0, cardType) != LR_OK;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double perExchange = seconds / exchanges;
    const double bound = kBytesPerExchange * 10.0 / baud;
    const double readerBound = kReaderBytesPerExchange * 10.0 / baud;
    std::printf("%6u baud: %d Requests (%d failed), %.1f per second, %.3f ms each; wire bound %.3f ms\n",
                baud, exchanges, failures, 1.0 / perExchange, perExchange * 1e3, bound * 1e3);
    std::printf(
        "             bound / measured = %.3f  (the simulator paces only its own 11 bytes: %.3f ms, "
        "ratio %.3f)\n",
        bound / perExchange, readerBound * 1e3, readerBound / perExchange);
    port.ClosePort();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int scale = argc > 1 ? std::atoi(argv[1]) : 1;
    const bool ok = Measure(9600, 100 * scale) && Measure(115200, 1000 * scale);
    return ok ? 0 : 1;
}
