// The link's exchange against a reader whose every byte comes from the fuzzer, in both procedures,
// on the scripted USB bridge and the fake clock.
//
// Input: flags (bit 0 DLE-framed, bits 1-2 baud rate, bit 3 clock just before its wrap, bits 4-5 the
// operation), the time each byte of the reader takes (0-100 ms), the sequence number, the command
// code, then per write of the PC one chunk (U16 length, bytes) that the reader sends in reply.
//
// What must hold for every input:
//   - an accepted answer is one that a well-formed telegram among the reader's bytes carried;
//   - a failed exchange sets the serial-error status;
//   - the exchange ends within its waits (four attempts of acknowledgement waits and a receive
//     phase bounded by the longest telegram's time on the line), on the fake clock;
//   - the trace grows in proportion to the bytes on the line, not faster.
#include <array>
#include <memory>

#include "FuzzSupport.h"
#include "core/link/ScriptedBridge.h"
#include "link/ReaderLink.h"

namespace {

constexpr uint32_t kBauds[] = {9600, 19200, 57600, 115200};
constexpr size_t kMaxChunk = 3000;
constexpr uint32_t kReadTimeoutMs = 100;  // the normal read time-out of the USB kind
constexpr uint32_t kReadSize = 64;        // bytes one receive read may take
constexpr uint32_t kCharDelayMs = 220;

// Whether the telegram that starts at wire[start] is well formed and carries exactly status and
// answer: it ends in the end mark, fits one buffer, has a zero XOR, a length byte that counts the
// answer and (3964R) the request's sequence number. The bytes are compared as they are taken, so a start that
// cannot match ends at once.
bool CarriesAnswerAt(const std::vector<uint8_t>& wire, size_t start, bool framed, uint8_t sequence,
                     uint8_t status, std::span<const uint8_t> answer) {
    // Sequence number (framed: the STX of the reader's DLE STX), status, length, answer, BCC.
    const size_t length = 4 + answer.size();
    if (length > ByteBuffer::kCapacity) {
        return false;
    }
    size_t stored = 0;
    uint8_t bcc = 0;
    bool dle = false;
    for (size_t i = start; i < wire.size(); ++i) {
        const uint8_t byte = wire[i];
        bool store = true;
        if (byte == DLE) {
            store = dle;
            dle = !dle;
        } else if (byte == ETX && dle) {
            return stored == length && bcc == 0;
        } else if (framed) {
            dle = false;
        }
        if (!store) {
            continue;
        }
        const bool fits = stored == 0           ? framed || byte == sequence
                          : stored == 1         ? byte == status
                          : stored == 2         ? byte == static_cast<uint8_t>(answer.size())
                          : stored < length - 1 ? byte == answer[stored - 3]
                                                : stored == length - 1;
        if (!fits) {
            return false;
        }
        // The XOR covers the sequence number, not the opener of the framed procedure.
        if (stored > 0 || !framed) {
            bcc ^= byte;
        }
        ++stored;
    }
    return false;
}

bool CarriedByTheWire(const std::vector<uint8_t>& wire, bool framed, uint8_t sequence, uint8_t status,
                      const ByteBuffer& answer) {
    for (size_t start = 0; start < wire.size(); ++start) {
        if (CarriesAnswerAt(wire, start, framed, sequence, status, answer.Bytes())) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t flags = input.Byte();
    const bool framed = (flags & 1) != 0;
    const uint32_t baud = kBauds[(flags >> 1) & 3];
    const uint32_t msPerByte = input.Byte() % (kReadTimeoutMs + 1);

    FakeClock clock((flags & 8) != 0 ? 0xFFFFF000u : 1000u);
    auto bridge = std::make_shared<ScriptedBridge>(clock);
    CountingOutputWindow window;
    SerialPortList ports;
    ReaderPort port{&window, bridge, &ports};
    port.SetOutputWindow(&window, false, TraceModeHex);
    FUZZ_CHECK(port.OpenPort(PortKindUsb, 0) == LR_OK, "the scripted bridge opens");

    // The probe: a 3964R reader acknowledges the lone STX, then drops it after its character delay.
    bridge->onWrite = [&](std::span<const uint8_t>) {
        if (!framed) {
            bridge->Send({DLE, NAK});
        }
    };
    ReaderLink link{clock};
    FUZZ_CHECK(link.Connect(&port, baud) == LR_OK, "connect");
    FUZZ_CHECK(link.GetLinkMode() == (framed ? LinkModeDleFramed : LinkMode3964R), "probe found %u",
               link.GetLinkMode());
    port.SetReadMode(ReadModeNormal);
    bridge->written.clear();
    const size_t tracedBefore = window.AppendedChars();

    std::vector<uint8_t> wire;  // everything the reader sent
    bridge->onWrite = [&](std::span<const uint8_t>) {
        const std::span<const uint8_t> chunk = input.Chunk(kMaxChunk);
        wire.insert(wire.end(), chunk.begin(), chunk.end());
        bridge->Send(chunk);
    };
    bridge->msPerByte = msPerByte;

    const uint8_t sequence = input.Byte();
    link.SetSequenceNumber(sequence);
    const uint8_t command = input.Byte();
    const uint32_t start = clock.GetTickCount();
    switch ((flags >> 4) & 3) {
        case 0: {
            uint8_t status = 0;
            ByteBuffer answer;
            const LinkResult result = link.Transact(command, ByteBuffer{command}, status, answer);
            if (result == LR_OK) {
                FUZZ_CHECK(CarriedByTheWire(wire, framed, sequence, status, answer),
                           "accepted status %02X answer %s: no well-formed telegram carried it", status,
                           HexOf(answer.Bytes()).c_str());
            } else {
                FUZZ_CHECK(status == kStatusSerialError, "failed with status %02X", status);
            }
            const uint8_t next = framed ? sequence : static_cast<uint8_t>(sequence + 1);
            FUZZ_CHECK(link.GetSequenceNumber() == next, "sequence number %u after %u",
                       link.GetSequenceNumber(), sequence);
            break;
        }
        case 1: {
            ByteBuffer info;
            link.GetInfo(info);
            break;
        }
        case 2: {
            ByteBuffer block;
            link.ReadValueBlock(command, block);
            break;
        }
        default: {
            uint32_t serial = 0;
            link.Anticollision(serial);
            break;
        }
    }
    const uint32_t elapsed = clock.GetTickCount() - start;

    // Each wait may overrun its limit by the read it is in: one read time-out, or a read whose bytes
    // trickle in one by one.
    const uint32_t overrun = kReadTimeoutMs + kReadSize * msPerByte;
    const uint32_t longestTelegram = (2 * ByteBuffer::kCapacity + 4) * 10 * 1000 / baud + 1;
    const uint32_t receivePhase = longestTelegram + kCharDelayMs;
    const uint32_t attempt = 1000 + 2000 + 2000 + receivePhase + 4 * overrun;
    FUZZ_CHECK(elapsed <= 4 * attempt, "the exchange took %u ms (limit %u ms) at %u baud, %u ms a byte",
               elapsed, 4 * attempt, baud, msPerByte);

    const size_t lineBytes = wire.size() + bridge->written.size();
    const size_t traced = window.AppendedChars() - tracedBefore;
    FUZZ_CHECK(traced <= 4096 + 16 * lineBytes, "%zu characters traced for %zu bytes on the line", traced,
               lineBytes);
    return 0;
}
