// tagbench-sim: the simulated MIFARE reader on a pseudo-terminal, for trying Tagbench (or any
// program that speaks to such a reader) without hardware. Prints the port name on its first line.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/Clock.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

const char* const kUsage =
    "Usage: tagbench-sim [options]\n"
    "Runs a simulated MIFARE card reader on a pseudo-terminal and prints the port's name\n"
    "(e.g. /dev/pts/5) on the first line. Open that port in Tagbench; end with Ctrl-C.\n"
    "\n"
    "Port:\n"
    "  --link PATH            also make a symbolic link PATH to the port (removed at the end)\n"
    "  --baud N               send at the pace of an N baud line (10 bits a byte)\n"
    "  --framed               speak the DLE-framed procedure instead of 3964R\n"
    "  --lenient              give way when the PC sends while an answer awaits its\n"
    "                         acknowledgement (by default the reader insists and repeats it)\n"
    "Cards (UIDs in hexadecimal). Without --card, --enter or --no-card the field holds one card\n"
    "12345678 with sample data: key A A0A1A2A3A4A5 in sector 0, FFFFFFFFFFFF for every other key,\n"
    "a text in block 1 and a value block of 100 in block 4. The cards of --card and --enter are\n"
    "blank, with the keys FFFFFFFFFFFF.\n"
    "  --card UID             a card in the field from the start (may be repeated)\n"
    "  --no-card              start with an empty field\n"
    "  --block UID:N:HEX      block N (0..63) of that card holds the 16 bytes HEX (32 digits)\n"
    "  --enter UID@MS         a card enters the field MS milliseconds after the start\n"
    "  --leave UID@MS         a card leaves the field MS milliseconds after the start\n"
    "  --serial TEXT          the serial number the loader holds already\n"
    "  --series               play a series of readers: a reader that leaves its loader is\n"
    "                         unplugged, and the next wake-up comes from a fresh reader (with\n"
    "                         --serial's number already stored, to show the refusal; else none);\n"
    "                         prints \"reader N: serial TEXT, USB TEXT\" as each one leaves\n"
    "Faults:\n"
    "  --drop-out N           lose the N-th byte sent to the PC\n"
    "  --corrupt-out N        invert the N-th byte sent to the PC\n"
    "  --drop-in N            miss the N-th byte from the PC\n"
    "  --corrupt-in N         invert the N-th byte from the PC\n"
    "  --drop-rate F          lose a fraction F (0..1) of all bytes\n"
    "  --corrupt-rate F       invert a fraction F of all bytes\n"
    "  --seed N               seed for the two rates (default 1)\n"
    "  --wrong-bcc N          the next N answers carry a wrong block check\n"
    "  --wrong-seq N          the next N answers carry a wrong sequence number\n"
    "  --delay MS             answers start MS milliseconds late\n"
    "  --silent               take nothing and answer nothing\n"
    "  --refuse CMDS          refuse these loader commands: any of @ # D S G, or 1..7 for the\n"
    "                         binary commands (erase answers 3, the others NAK)\n"
    "Conformance faults (each breaks one rule a reader firmware could break):\n"
    "  --late-stx-ack MS      acknowledge the PC's STX MS milliseconds late (3964R)\n"
    "  --late-telegram-ack MS acknowledge a request telegram MS milliseconds late (3964R)\n"
    "  --keep-request-dle     take a doubled DLE among a request's parameters or as its block\n"
    "                         check as two bytes\n"
    "  --no-answer-dle        send answers without doubling their DLE bytes\n"
    "  --wrong-length         give every answer a length byte one too high\n"
    "  --no-repeat-after-nak  drop an answer the PC refuses with NAK instead of repeating it\n"
    "  --endless-repeat       repeat an answer the PC leaves unacknowledged without limit\n"
    "  --accept-bad-bcc       take a request with a wrong block check as if it were right\n"
    "  --lock-after-broken MS take nothing and send nothing for MS milliseconds after a\n"
    "                         request that stops before its end\n"
    "  --lock-after-collision MS\n"
    "                         the same after the PC's STX meets the reader's own, and drop\n"
    "                         the answer\n"
    "  --char-gap MS          send the bytes of an answer MS milliseconds apart\n"
    "  --no-framed-start      send framed answers without their opening DLE STX\n"
    "  --short-anticollision  answer anticollision with 3 bytes of the serial number\n"
    "  --hang-without-card    answer nothing to request, anticollision and select when no\n"
    "                         card answers\n"
    "  --info-controls        put control characters in the info text\n"
    "  --ignore-write         answer block writes as done but leave the block as it was\n"
    "Other:\n"
    "  --help                 this text\n";

// How long a conformance fault may make the reader wait, so that sums of delays stay far from
// the clock's wrap.
constexpr uint32_t kMaxFaultMs = 600000;

// The conformance fault an option with a time sets; null for other options.
uint32_t SimFaults::*FaultTime(const std::string& option) {
    static const std::pair<const char*, uint32_t SimFaults::*> kTimes[] = {
        {"--late-stx-ack", &SimFaults::lateStxAckMs},
        {"--late-telegram-ack", &SimFaults::lateTelegramAckMs},
        {"--lock-after-broken", &SimFaults::lockAfterBrokenMs},
        {"--lock-after-collision", &SimFaults::lockAfterCollisionMs},
        {"--char-gap", &SimFaults::charGapMs},
    };
    for (const auto& [name, field] : kTimes) {
        if (option == name) {
            return field;
        }
    }
    return nullptr;
}

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
}

bool ParseUnsigned(const std::string& text, uint32_t& value, int base = 10) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX || text[0] == '-') {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseFraction(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0 && value <= 1;
}

// "UID@MS"
bool ParseTimed(const std::string& text, uint32_t& uid, uint32_t& ms) {
    const size_t at = text.find('@');
    return at != std::string::npos && ParseUnsigned(text.substr(0, at), uid, 16) &&
           ParseUnsigned(text.substr(at + 1), ms);
}

struct BlockContents {
    uint32_t uid;
    uint32_t block;
    SimCard::Block data;
};

// "UID:N:HEX"
bool ParseBlock(const std::string& text, BlockContents& contents) {
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos || !ParseUnsigned(text.substr(0, first), contents.uid, 16) ||
        !ParseUnsigned(text.substr(first + 1, second - first - 1), contents.block) ||
        contents.block >= SimCard::kBlockCount) {
        return false;
    }
    const std::string hex = text.substr(second + 1);
    if (hex.size() != 2 * SimCard::kBlockSize) {
        return false;
    }
    for (size_t i = 0; i < SimCard::kBlockSize; ++i) {
        uint32_t byte;
        if (!ParseUnsigned(hex.substr(2 * i, 2), byte, 16)) {
            return false;
        }
        contents.data[i] = static_cast<uint8_t>(byte);
    }
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "tagbench-sim: %s\n", message.c_str());
    return 2;
}

// What the PC stored, shown without letting its bytes steer the terminal.
std::string Printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            shown += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        }
    }
    return shown.empty() ? "(none)" : shown;
}

}  // namespace

int main(int argc, char** argv) {
    std::string linkPath;
    uint32_t baud = 0;
    bool framed = false;
    bool lenient = false;
    bool series = false;
    bool anyCardOption = false;
    std::vector<uint32_t> cards;
    std::vector<BlockContents> blocks;
    std::vector<std::pair<uint32_t, uint32_t>> enters, leaves;
    std::string serial;
    SimFaults faults;

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string arg;
        uint32_t n = 0, uid = 0, ms = 0;
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (option == "--framed") {
            framed = true;
        } else if (option == "--lenient") {
            lenient = true;
        } else if (option == "--series") {
            series = true;
        } else if (option == "--no-card") {
            anyCardOption = true;
        } else if (option == "--silent") {
            faults.silent = true;
        } else if (option == "--keep-request-dle") {
            faults.keepRequestDle = true;
        } else if (option == "--no-answer-dle") {
            faults.noAnswerDoubling = true;
        } else if (option == "--wrong-length") {
            faults.wrongLength = true;
        } else if (option == "--no-repeat-after-nak") {
            faults.noRepeatAfterNak = true;
        } else if (option == "--endless-repeat") {
            faults.endlessRepeat = true;
        } else if (option == "--accept-bad-bcc") {
            faults.acceptBadBcc = true;
        } else if (option == "--no-framed-start") {
            faults.noFramedStart = true;
        } else if (option == "--short-anticollision") {
            faults.shortAnticollision = true;
        } else if (option == "--hang-without-card") {
            faults.hangWithoutCard = true;
        } else if (option == "--info-controls") {
            faults.infoControls = true;
        } else if (option == "--ignore-write") {
            faults.ignoreWrite = true;
        } else if (!value(arg)) {
            return Fail("unknown option or missing value: " + option + " (see --help)");
        } else if (option == "--link") {
            linkPath = arg;
        } else if (option == "--serial") {
            serial = arg;
        } else if (option == "--card" && ParseUnsigned(arg, uid, 16)) {
            anyCardOption = true;
            cards.push_back(uid);
        } else if (option == "--block") {
            BlockContents contents{};
            if (!ParseBlock(arg, contents)) {
                return Fail("--block wants UID:N:HEX with 32 hex digits, not " + arg);
            }
            blocks.push_back(contents);
        } else if ((option == "--enter" || option == "--leave") && ParseTimed(arg, uid, ms)) {
            anyCardOption = anyCardOption || option == "--enter";
            (option == "--enter" ? enters : leaves).emplace_back(uid, ms);
        } else if (option == "--refuse") {
            for (char c : arg) {
                faults.refusedLoaderCommands.insert(c >= '1' && c <= '7' ? static_cast<uint8_t>(c - '0')
                                                                         : static_cast<uint8_t>(c));
            }
        } else if (option == "--drop-rate" || option == "--corrupt-rate") {
            if (!ParseFraction(arg, option == "--drop-rate" ? faults.dropFraction : faults.corruptFraction)) {
                return Fail(option + " wants a fraction from 0 to 1, not " + arg);
            }
        } else if (uint32_t SimFaults::*field = FaultTime(option)) {
            if (!ParseUnsigned(arg, n) || n > kMaxFaultMs) {
                return Fail(option + " wants milliseconds up to " + std::to_string(kMaxFaultMs) + ", not " +
                            arg);
            }
            faults.*field = n;
        } else if (ParseUnsigned(arg, n)) {
            if (option == "--baud" && n != 0) {
                baud = n;
            } else if (option == "--drop-out") {
                faults.dropNthOut = n;
            } else if (option == "--corrupt-out") {
                faults.corruptNthOut = n;
            } else if (option == "--drop-in") {
                faults.dropNthIn = n;
            } else if (option == "--corrupt-in") {
                faults.corruptNthIn = n;
            } else if (option == "--seed") {
                faults.seed = n;
            } else if (option == "--wrong-bcc") {
                faults.wrongBccCount = n;
            } else if (option == "--wrong-seq") {
                faults.wrongSequenceCount = n;
            } else if (option == "--delay") {
                faults.answerDelayMs = n;
            } else {
                return Fail("unknown option or bad value: " + option + " " + arg + " (see --help)");
            }
        } else {
            return Fail("bad value for " + option + ": " + arg + " (see --help)");
        }
    }
    if (!anyCardOption) {
        cards.push_back(Simulator::kCardUid);
    }

    auto reader = std::make_shared<SimReader>(Clock::System());
    reader->SetLinkMode(framed ? SimLinkFramed : SimLink3964R);
    reader->SetStrict(!lenient);
    auto cardWithContents = [&](uint32_t uid) {
        SimCard card = anyCardOption ? SimCard(uid) : Simulator::SampleCard(uid);
        for (const BlockContents& contents : blocks) {
            if (contents.uid == uid) {
                card.SetBlock(contents.block, contents.data);
            }
        }
        return card;
    };
    for (uint32_t uid : cards) {
        reader->EnterCard(cardWithContents(uid));
    }
    for (const auto& [uid, at] : enters) {
        reader->ScheduleEnter(at, cardWithContents(uid));
    }
    for (const auto& [uid, at] : leaves) {
        reader->ScheduleLeave(at, uid);
    }
    reader->SetSerialText(serial);
    if (series) {
        reader->StartSeries(serial);
    }
    reader->SetFaults(faults);

    if (pipe2(g_signalPipe, O_CLOEXEC) != 0) {
        return Fail(std::string("pipe: ") + std::strerror(errno));
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::string error;
    std::unique_ptr<SimPtyEndpoint> pty = SimPtyEndpoint::Create(reader, baud, error);
    if (!pty) {
        std::fprintf(stderr, "tagbench-sim: %s\n", error.c_str());
        return 1;
    }
    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            unlink(linkPath.c_str());  // a link left behind by an earlier run
        }
        if (symlink(pty->PortName().c_str(), linkPath.c_str()) != 0) {
            std::fprintf(stderr, "tagbench-sim: cannot make the link %s: %s\n", linkPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", pty->PortName().c_str());
    std::fflush(stdout);

    // A series tells each reader as it leaves the loader, so that a production run can be checked
    // against what the readers really stored.
    pollfd fd{g_signalPipe[0], POLLIN, 0};
    size_t told = 0;
    const auto tell = [&] {
        const std::vector<SimSeriesReader> readers = reader->GetSeriesReaders();
        for (; told < readers.size(); ++told) {
            std::printf("reader %zu: serial %s, USB %s\n", told + 1,
                        Printable(readers[told].serialText).c_str(),
                        Printable(readers[told].eeprom.serialNumber).c_str());
        }
        std::fflush(stdout);
    };
    while (poll(&fd, 1, series ? 100 : -1) <= 0) {
        if (series) {
            tell();
        }
    }
    if (series) {
        tell();
    }
    pty.reset();
    if (!linkPath.empty()) {
        unlink(linkPath.c_str());
    }
    return 0;
}
