// The conformance suite against a reader whose every byte comes from the fuzzer, in both
// procedures, on the scripted USB bridge and the fake clock.
//
// Input: flags (bit 0 DLE-framed, bit 1 a block to write), three bytes that pick the checks (one
// bit each, in the suite's order; none picked runs the first), the time each byte of the reader
// takes (0-100 ms), then per write of the PC one chunk (U16 length, bytes) that the reader sends.
//
// What must hold for every input:
//   - the suite ends, each check within the limits of its exchanges, on the fake clock;
//   - every check that ran has a verdict, and a failed one says what was expected and seen;
//   - nothing the reader sent reaches a text as a control character (texts go to terminals and
//     reports), and transcripts stay bounded whatever the reader floods;
//   - a frame the suite decodes never holds more bytes than came over the line.
#include <memory>

#include "FuzzSupport.h"
#include "conformance/ConformanceSuite.h"
#include "core/link/ScriptedBridge.h"
#include "link/ReaderLink.h"
#include "stepping/BlockingStepDriver.h"

namespace {

constexpr size_t kMaxChunk = 3000;
// The longest one exchange may take: every wait of the wire at its limit, each overrun by a read.
constexpr uint32_t kExchangeMs = 3000 + 4000 + 4000 + 10000 + 4000 + 10000 + 6 * 100;
// The most exchanges a check runs (the sequence sweep) and what a check adds around them.
constexpr uint32_t kCheckMs = 260 * kExchangeMs + 60000;
constexpr size_t kTranscriptLimit = 700 * 400;

bool Printable(const std::string& text, bool newlines) {
    for (const char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if ((byte < 0x20 && !(newlines && byte == '\n')) || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t flags = input.Byte();
    const bool framed = (flags & 1) != 0;
    ConformanceOptions options;
    options.repeat = 3;
    if ((flags & 2) != 0) {
        options.writeBlock = 5;
    }
    uint32_t pick = input.Byte() | input.Byte() << 8 | input.Byte() << 16;
    const auto& checks = ConformanceSuite::Checks();
    for (size_t i = 0; i < checks.size(); ++i) {
        if ((pick >> i) & 1) {
            options.only.push_back(checks[i].id);
        }
    }
    if (options.only.empty()) {
        options.only.push_back(checks[0].id);
    }
    const uint32_t msPerByte = input.Byte() % 101;

    FakeClock clock(1000);
    auto bridge = std::make_shared<ScriptedBridge>(clock);
    SerialPortList ports;
    ReaderPort port{nullptr, bridge, &ports};
    FUZZ_CHECK(port.OpenPort(PortKindUsb, 0) == LR_OK, "the scripted bridge opens");
    FUZZ_CHECK(port.InitPort(115200, 8, 0, 0, 0) == LR_OK, "the scripted bridge takes its settings");
    bridge->onWrite = [&](std::span<const uint8_t>) {
        const std::span<const uint8_t> chunk = input.Chunk(kMaxChunk);
        bridge->Send(chunk);
    };
    bridge->msPerByte = msPerByte;

    ConformanceSuite suite(port, clock, framed ? LinkModeDleFramed : LinkMode3964R, options);
    BlockingStepDriver driver(nullptr, [&clock](uint32_t ms) { clock.Advance(ms); });
    uint32_t stepStart = clock.GetTickCount();
    driver.Run(suite, {}, [&] {
        const uint32_t took = clock.GetTickCount() - stepStart;
        FUZZ_CHECK(took <= kCheckMs + 100 * msPerByte * kMaxChunk, "one step took %u ms", took);
        stepStart = clock.GetTickCount();
    });
    FUZZ_CHECK(suite.IsDone(), "the suite ended with %zu of %zu checks run", suite.Results().size(),
               suite.Selected().size());
    FUZZ_CHECK(Printable(suite.GetInfoText(), false), "info text with a control character");
    for (size_t i = 0; i < suite.Results().size(); ++i) {
        const ConformanceResult& result = suite.Results()[i];
        const char* id = suite.Selected()[i].id.c_str();
        FUZZ_CHECK(result.verdict != ConformanceResult::NotRun, "%s has no verdict", id);
        if (result.verdict == ConformanceResult::Failed) {
            FUZZ_CHECK(!result.expected.empty() && !result.seen.empty(), "%s failed without saying why", id);
        }
        for (const std::string* text : {&result.expected, &result.seen, &result.reason}) {
            FUZZ_CHECK(Printable(*text, false), "%s: a control character in \"%s\"", id, text->c_str());
        }
        for (const ConformanceFigure& figure : result.figures) {
            FUZZ_CHECK(Printable(figure.name, false) && Printable(figure.value, false), "%s: figure %s", id,
                       figure.name.c_str());
        }
        FUZZ_CHECK(Printable(result.transcript, true), "%s: a control character in its transcript", id);
        FUZZ_CHECK(result.transcript.size() <= kTranscriptLimit, "%s: a transcript of %zu characters", id,
                   result.transcript.size());
    }

    // The decoder alone: on any bytes it keeps no more than came, and a frame built by the rules
    // decodes to its telegram, whole and clean.
    const std::vector<uint8_t> raw(data, data + size);
    FUZZ_CHECK(DecodeFrame(raw, framed).telegram.size() <= raw.size(), "decoded more than came");
    const std::vector<uint8_t> telegram(raw.begin(),
                                        raw.begin() + static_cast<long>(std::min<size_t>(raw.size(), 64)));
    const DecodedFrame frame = DecodeFrame(EncodeRequest(telegram, framed), framed);
    std::vector<uint8_t> withBcc = telegram;
    uint8_t bcc = 0;
    for (uint8_t byte : telegram) {
        bcc ^= byte;
    }
    withBcc.push_back(bcc);
    FUZZ_CHECK(frame.ended && !frame.undoubledDle && frame.framedStart == framed && frame.telegram == withBcc,
               "a frame built by the rules did not decode back (%zu bytes)", telegram.size());
    return 0;
}
