// Wait-for-card against a reader whose report is any bytes, on the scripted USB bridge and the fake
// clock. The reader is armed as a well-behaved 3964R reader would be (or refuses, now and then);
// after that it sends the fuzzer's pieces of bytes at the fuzzer's times, and may lose the line.
//
// Input: flags (bit 0: the reader refuses to arm), the time each byte takes (0-49 ms), then
// pieces, each: a header byte (bits 0-5: tens of ms after the previous piece; bit 6: reads fail
// from then on; bit 7: the piece is a report built from the next six bytes, else a chunk of raw
// bytes with a U16 length in front).
//
// What must hold for every input:
//   - a serial number is taken only from a report whose status, length and check byte pass (as
//     recomputed here from the bytes collected after the reader's STX), and a well-formed report at
//     the start of those bytes is taken; a refused report leaves the serial number as it was;
//   - the reader's report is answered with DLE when taken, NAK when refused;
//   - no step runs longer than the reads it makes, collecting stops by the buffer's size, and once
//     reads fail the exchange ends within its quiet limit.
#include <memory>
#include <optional>
#include <vector>

#include "FuzzSupport.h"
#include "RecordingBridge.h"
#include "commands/WaitCardExchange.h"
#include "link/ReaderLink.h"

namespace {

constexpr uint32_t kReadTimeoutMs = 100;  // the normal read time-out of the USB kind
constexpr uint32_t kBaud = 9600;
constexpr uint32_t kSerialBefore = 0xCAFE0000;
// Nothing arrives and nothing fails for this long: the user would stop the exchange.
constexpr uint32_t kPatienceMs = 3000;
constexpr int kMaxSteps = 200000;

// A 3964R reader for the commands the PC sends: acknowledges the STX and the telegram, opens its
// answer with STX and sends the next answer once the PC acknowledges that.
struct Reader {
    void React(RecordingBridge& bridge, std::span<const uint8_t> w) {
        if (w.size() == 1 && w[0] == STX) {
            bridge.Send({DLE});
        } else if (w.size() > 2 && w[w.size() - 2] == DLE && w.back() == ETX) {
            bridge.Send({DLE});
            Open(bridge);
        } else if (w.size() == 1 && w[0] == DLE && answerOpened) {
            answerOpened = false;
            if (!answers.empty()) {
                bridge.Send(answers.front());
                answers.erase(answers.begin());
            }
        } else if (w.size() == 1 && w[0] == NAK) {
            Open(bridge);
        }
    }
    void Open(RecordingBridge& bridge) {
        if (!answers.empty()) {
            bridge.Send({STX});
            answerOpened = true;
        }
    }

    std::vector<std::vector<uint8_t>> answers;
    bool answerOpened = false;
};

// What the reader sends after arming: bytes at a time, and whether reads fail from then on.
struct Piece {
    uint32_t at = 0;
    std::vector<uint8_t> bytes;
    bool failAfter = false;
};

std::vector<Piece> ReadPieces(FuzzInput& input, uint32_t start) {
    std::vector<Piece> pieces;
    uint32_t at = start;
    while (!input.AtEnd()) {
        const uint8_t header = input.Byte();
        Piece piece;
        at += (header & 0x3F) * 10u;
        piece.at = at;
        piece.failAfter = (header & 0x40) != 0;
        if ((header & 0x80) != 0) {
            // A report as a reader builds it; the last byte may spoil status, length or check byte.
            std::vector<uint8_t> values = {input.Byte(), 0, 4};
            for (int i = 0; i < 4; ++i) {
                values.push_back(input.Byte());
            }
            const uint8_t spoil = input.Byte();
            if (spoil % 4 == 1) {
                values[1] = spoil;  // a status other than 0
            } else if (spoil % 4 == 2) {
                values[2] = spoil;  // a length other than 4
            }
            piece.bytes = ScriptedBridge::Telegram(values, spoil % 4 == 3);
        } else {
            const std::span<const uint8_t> chunk = input.Chunk(200);
            piece.bytes.assign(chunk.begin(), chunk.end());
        }
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

// The report in the collected bytes as described for the reader: values taken one by one (a DLE
// value followed by another DLE counts once) up to the first DLE ETX, where DLE pairs are read in
// twos. Its serial number when status is 0, length is 4 and the check byte is the XOR of the
// seven values before it.
std::optional<uint32_t> ReportSerial(std::span<const uint8_t> collected) {
    size_t end = 0;
    bool found = false;
    for (size_t i = 0; i + 1 < collected.size() && !found; ++i) {
        if (collected[i] == DLE) {
            found = collected[i + 1] == ETX;
            end = i;
            ++i;
        }
    }
    if (!found) {
        return std::nullopt;
    }
    std::vector<uint8_t> values;
    for (size_t i = 0; i < end; ++i) {
        values.push_back(collected[i]);
        if (collected[i] == DLE && i + 1 < end && collected[i + 1] == DLE) {
            ++i;
        }
    }
    if (values.size() != 8 || values[1] != 0 || values[2] != 4) {
        return std::nullopt;
    }
    uint8_t check = 0;
    for (size_t i = 0; i < 7; ++i) {
        check ^= values[i];
    }
    if (check != values[7]) {
        return std::nullopt;
    }
    return values[3] | values[4] << 8 | values[5] << 16 | static_cast<uint32_t>(values[6]) << 24;
}

// The same for a report that a reader sends exactly so: every DLE value doubled, nothing else
// after a DLE but DLE or the closing ETX.
std::optional<uint32_t> WellFormedReportSerial(std::span<const uint8_t> collected) {
    for (size_t i = 0; i + 1 < collected.size(); ++i) {
        if (collected[i] != DLE) {
            continue;
        }
        if (collected[i + 1] == ETX) {
            return ReportSerial(collected);
        }
        if (collected[i + 1] != DLE) {
            return std::nullopt;
        }
        ++i;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t flags = input.Byte();
    const uint32_t msPerByte = input.Byte() % 50;

    FakeClock clock(1000);
    auto bridge = std::make_shared<RecordingBridge>(clock);
    CountingOutputWindow window;
    SerialPortList ports;
    ReaderPort port{&window, bridge, &ports};
    port.SetOutputWindow(&window, false, TraceModeHex);
    FUZZ_CHECK(port.OpenPort(PortKindUsb, 0) == LR_OK, "the scripted bridge opens");
    // The probe: a 3964R reader acknowledges the lone STX, then drops it after its character delay.
    bridge->onWrite = [&](std::span<const uint8_t>) { bridge->Send({DLE, NAK}); };
    ReaderLink link{clock};
    FUZZ_CHECK(link.Connect(&port, kBaud) == LR_OK, "connect");
    port.SetReadMode(ReadModeNormal);

    Reader reader;
    bridge->onWrite = [&](std::span<const uint8_t> w) { reader.React(*bridge, w); };
    const uint8_t armStatus = (flags & 1) != 0 ? 1 : 0;
    reader.answers = {ScriptedBridge::Telegram({link.GetSequenceNumber(), armStatus, 0})};
    bridge->msPerByte = msPerByte;

    WaitCardExchange exchange{link, clock};
    exchange.SetCardSerial(kSerialBefore);
    exchange.Start();
    const std::vector<Piece> pieces = ReadPieces(input, clock.GetTickCount());

    // The longest a step may take: arming is one whole exchange of the link (four attempts of
    // acknowledgement waits and a receive phase); any other step one read, tried twice when it fails.
    const uint32_t oneRead = kReadTimeoutMs + WaitCardExchange::kReadSize * msPerByte;
    const uint32_t armLimit = 4 * (1000 + 2000 + 2000 + (2 * ByteBuffer::kCapacity + 4) * 10 * 1000 / kBaud +
                                   220 + 4 * (kReadTimeoutMs + 64 * msPerByte));
    const uint32_t stepLimit = 2 * oneRead;

    size_t next = 0;
    std::optional<uint32_t> failedAt;
    uint32_t lastEvent = clock.GetTickCount();
    std::optional<size_t> collectStart;
    std::optional<size_t> collectEnd;
    int steps = 0;
    while (exchange.IsRunning()) {
        FUZZ_CHECK(++steps < kMaxSteps, "%d steps", steps);
        for (; next < pieces.size() && pieces[next].at <= clock.GetTickCount(); ++next) {
            bridge->Send(pieces[next].bytes);
            lastEvent = clock.GetTickCount();
            if (pieces[next].failAfter && !failedAt) {
                bridge->readStatus = FT_IO_ERROR;
                failedAt = clock.GetTickCount();
            }
        }
        const bool waiting = exchange.GetStep() == WaitCardAwaitStx || exchange.GetStep() == WaitCardCollect;
        if (waiting && next == pieces.size() && !failedAt && clock.GetTickCount() - lastEvent > kPatienceMs) {
            break;  // the exchange may wait for a card as long as the user lets it
        }
        if (failedAt) {
            const uint32_t since = clock.GetTickCount() - *failedAt;
            const uint32_t limit =
                armLimit + WaitCardExchange::kQuietLimitMs + 4 * (WaitCardExchange::kIdlePollMs + stepLimit);
            FUZZ_CHECK(since <= limit, "still running %u ms after reads began to fail (limit %u ms)", since,
                       limit);
        }

        const int stepBefore = exchange.GetStep();
        const size_t writtenBefore = bridge->written.size();
        const uint32_t start = clock.GetTickCount();
        const WaitCardReport report = exchange.Step();
        const uint32_t took = clock.GetTickCount() - start;
        const uint32_t limit = stepBefore == WaitCardArm ? armLimit : stepLimit;
        FUZZ_CHECK(took <= limit, "step %d took %u ms (limit %u ms)", stepBefore, took, limit);

        const int stepAfter = exchange.GetStep();
        if (stepBefore == WaitCardAwaitStx && stepAfter == WaitCardAckStx) {
            collectStart = bridge->taken.size();
        }
        if (stepBefore == WaitCardCollect && (stepAfter == WaitCardAccept || stepAfter == WaitCardRefuse)) {
            collectEnd = bridge->taken.size();
        }
        if (stepAfter == WaitCardCollect && collectStart) {
            const size_t collected = bridge->taken.size() - *collectStart;
            FUZZ_CHECK(collected <= ByteBuffer::kCapacity + WaitCardExchange::kReadSize,
                       "%zu bytes collected and no end", collected);
        }
        if (stepBefore == WaitCardAccept || stepBefore == WaitCardRefuse) {
            const uint8_t answer = stepBefore == WaitCardAccept ? DLE : NAK;
            FUZZ_CHECK(bridge->written.size() == writtenBefore + 1 && bridge->written.back() == answer,
                       "step %d answered the report with %zu bytes", stepBefore,
                       bridge->written.size() - writtenBefore);
        }
        clock.Advance(report.dwNextDelayMs);
    }
    const bool ended = !exchange.IsRunning();
    exchange.Stop();

    std::optional<uint32_t> serial;
    std::optional<uint32_t> wellFormed;
    if (collectStart && collectEnd) {
        const std::span<const uint8_t> collected(bridge->taken.data() + *collectStart,
                                                 *collectEnd - *collectStart);
        serial = ReportSerial(collected);
        wellFormed = WellFormedReportSerial(collected);
        if (wellFormed) {
            FUZZ_CHECK(exchange.IsCardAccepted(), "a well-formed report for %08X was refused: %s",
                       *wellFormed, HexOf(collected).c_str());
        }
    }
    if (exchange.IsCardAccepted()) {
        FUZZ_CHECK(ended && serial.has_value(), "a card was taken from a report that fails its checks");
        FUZZ_CHECK(exchange.GetCardSerial() == *serial, "serial %08X taken, the report says %08X",
                   exchange.GetCardSerial(), *serial);
    } else {
        FUZZ_CHECK(exchange.GetCardSerial() == kSerialBefore, "no card taken, but the serial is %08X",
                   exchange.GetCardSerial());
    }
    return 0;
}
