// Block-file programming against the simulated reader over the pseudo-terminal, in real time:
// the reader's answers leave at the line's pace, and each block's ACK comes no earlier than the
// block's own 74 bytes would have taken on the line (the flash time itself is 0). The bound is the
// bytes on the wire per block (header, 72 data bytes, ACK; 10 bits a byte); the figure printed is
// bound / measured, for the sequence that reacts to each ACK and for the plain rhythm of one step
// per timer tick.
//
//   build/default/bench/ProgrammingBench [blocks at 115200] [blocks at 9600]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/ReaderPort.h"
#include "programming/ProgrammingSequence.h"
#include "sim/SimPtyEndpoint.h"

namespace {

double Measure(uint32_t baud, uint32_t blocks, bool paced, const std::string& file) {
    auto reader = std::make_shared<SimReader>(Clock::System());
    SimLoader::Settings settings;
    settings.eraseMs = 0;
    settings.blockMs = 74 * 10 * 1000 / baud;  // the block's own time on the line, whole ms
    reader->SetLoaderSettings(settings);
    std::string error;
    auto pty = SimPtyEndpoint::Create(reader, baud, error);
    if (pty == nullptr) {
        std::fprintf(stderr, "pseudo-terminal: %s\n", error.c_str());
        std::exit(1);
    }
    ReaderPort port(nullptr, nullptr);
    if (port.OpenPortByName(pty->PortName()) != LR_OK || port.InitPort(baud, 8, 0, 0, 0) != LR_OK) {
        std::fprintf(stderr, "cannot open %s\n", pty->PortName().c_str());
        std::exit(1);
    }
    ProgrammingSequence sequence(port, Clock::System());
    ProgrammingInputs in;
    in.mode = ProgramFile;
    in.filePath = file;
    sequence.SetInputs(in);
    sequence.SetPaced(paced);
    using Steady = std::chrono::steady_clock;
    Steady::time_point first{}, last{};
    sequence.SetLogListener([&](const std::string& line) {
        if (line.starts_with("Programming file: ")) {
            first = Steady::now();
        } else if (line == "File is successfully programmed!") {
            last = Steady::now();
        }
    });
    sequence.Begin();
    while (sequence.IsRunning()) {
        sequence.Step();
        std::this_thread::sleep_for(std::chrono::milliseconds(sequence.GetNextStepDelay()));
    }
    port.ClosePort();
    if (!sequence.Succeeded()) {
        std::fprintf(stderr, "run failed: %s\n", sequence.GetLog().back().c_str());
        std::exit(1);
    }
    const double measured = std::chrono::duration<double>(last - first).count();
    const double bound = blocks * 75.0 * 10.0 / baud;
    std::printf("%6u baud, %4u blocks, %-13s: %8.3f s, bound %8.3f s, bound/measured %.2f\n", baud, blocks,
                paced ? "tick rhythm" : "react to ACK", measured, bound, bound / measured);
    return bound / measured;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t fastBlocks = argc > 1 ? std::atoi(argv[1]) : 910;  // 65,520 bytes: 64 KiB in whole blocks
    const uint32_t slowBlocks = argc > 2 ? std::atoi(argv[2]) : 64;
    const auto dir = std::filesystem::temp_directory_path();
    for (uint32_t blocks : {fastBlocks, slowBlocks}) {
        std::ofstream(dir / ("tagbench-bench-" + std::to_string(blocks) + ".btl"), std::ios::binary)
            << std::string(blocks * 72, '\x5A');
    }
    auto file = [&](uint32_t blocks) {
        return (dir / ("tagbench-bench-" + std::to_string(blocks) + ".btl")).string();
    };
    Measure(115200, fastBlocks, false, file(fastBlocks));
    Measure(115200, fastBlocks, true, file(fastBlocks));
    Measure(9600, slowBlocks, false, file(slowBlocks));
    Measure(9600, slowBlocks, true, file(slowBlocks));
    for (uint32_t blocks : {fastBlocks, slowBlocks}) {
        std::filesystem::remove(file(blocks));
    }
    return 0;
}
