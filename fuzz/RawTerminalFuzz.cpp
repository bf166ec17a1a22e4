// The monitor's raw terminal against a reader that sends any bytes at any time, on the scripted USB
// bridge and the fake clock, while the user types any bytes.
//
// Input: a flags byte (bit 0: the terminal traces in text mode), then operations, each a header byte
// (bit 7: the user types a chunk, else the reader sends a chunk; both with a U16 length in front;
// bits 0-2: steps the terminal runs afterwards, 0-7; bit 6: reads fail from then on).
//
// What must hold for every input:
//   - the bytes the PC wrote are exactly the typed bytes, in order, each written once, a buffer's
//     worth at most per step, and typed bytes go out before any further poll;
//   - the chunks kept for the hex view are exactly the bytes the PC read, in order, none empty and
//     none longer than a poll asks for;
//   - a step asks for the next one at once only while typed bytes still wait;
//   - once the reader stops sending, the terminal drains what it sent in a bounded number of steps.
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "RecordingBridge.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderPort.h"
#include "link/SerialPortList.h"
#include "link/Trace.h"
#include "terminal/RawTerminal.h"

namespace {

struct Run {
    std::vector<uint8_t> typed;
    std::vector<uint8_t> shown;  // the kept chunks, one after the other
};

void Step(RawTerminal& terminal, RecordingBridge& bridge, Run& run) {
    const bool typedWaiting = terminal.HasTyped();
    const size_t writtenBefore = bridge.written.size();
    const size_t takenBefore = bridge.taken.size();
    const StepOutcome outcome = terminal.Advance();
    FUZZ_CHECK(!outcome.bEnded, "the terminal never ends by itself");
    const size_t wrote = bridge.written.size() - writtenBefore;
    if (typedWaiting) {
        FUZZ_CHECK(wrote > 0 && wrote <= ByteBuffer::kCapacity, "a step with typed bytes wrote %zu", wrote);
        FUZZ_CHECK(bridge.taken.size() == takenBefore, "no poll while typed bytes wait");
    } else {
        FUZZ_CHECK(wrote == 0, "nothing typed, yet %zu bytes written", wrote);
    }
    FUZZ_CHECK((outcome.dwNextDelayMs == 0) == terminal.HasTyped(), "at once only while typed bytes wait");
    for (const ByteBuffer& chunk : terminal.TakeReceived()) {
        FUZZ_CHECK(chunk.GetCount() > 0 && chunk.GetCount() <= RawTerminal::kPollBytes, "chunk of %u bytes",
                   chunk.GetCount());
        run.shown.insert(run.shown.end(), chunk.GetData(), chunk.GetData() + chunk.GetCount());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t flags = input.Byte();

    FakeClock clock(1000);
    auto bridge = std::make_shared<RecordingBridge>(clock);
    MemoryOutputWindow window;
    SerialPortList ports;
    ReaderPort port{&window, bridge, &ports};
    port.SetOutputWindow(&window, false, (flags & 1) != 0 ? TraceModeText : TraceModeHex);
    FUZZ_CHECK(port.OpenPort(PortKindUsb, 0) == LR_OK, "the scripted bridge opens");
    RawTerminal terminal(port);
    FUZZ_CHECK(terminal.Begin() == LR_OK, "polling reads");

    Run run;
    size_t sent = 0;
    while (!input.AtEnd()) {
        const uint8_t header = input.Byte();
        const std::span<const uint8_t> chunk = input.Chunk(3000);
        if ((header & 0x80) != 0) {
            terminal.Type(chunk);
            run.typed.insert(run.typed.end(), chunk.begin(), chunk.end());
        } else {
            bridge->Send(chunk);
            sent += chunk.size();
        }
        if ((header & 0x40) != 0) {
            bridge->readStatus = FT_IO_ERROR;
        }
        for (int i = 0; i < (header & 7); ++i) {
            Step(terminal, *bridge, run);
        }
    }
    // The reader falls quiet: everything typed goes out, everything sent is read (unless reads fail).
    const size_t bound = (run.typed.size() / ByteBuffer::kCapacity) + (sent / RawTerminal::kPollBytes) + 4;
    for (size_t i = 0; i < bound; ++i) {
        Step(terminal, *bridge, run);
    }
    FUZZ_CHECK(bridge->written == run.typed, "written %zu bytes, typed %zu", bridge->written.size(),
               run.typed.size());
    FUZZ_CHECK(run.shown == bridge->taken, "shown %zu bytes, read %zu", run.shown.size(),
               bridge->taken.size());
    if (bridge->readStatus == FT_OK) {
        FUZZ_CHECK(bridge->taken.size() == sent, "read %zu of %zu sent bytes", bridge->taken.size(), sent);
    }
    return 0;
}
