// The production ledger's outside input: rows read back from its database, the location a user
// names, and a ledger file that someone else wrote (or damaged).
//
// Input: a mode byte, then
//   mode 0: a location text, then 16 columns (a null flag and a text each) of a runs row;
//   mode 1: the bytes of a ledger file as they stand.
//
// What must hold for every input:
//   - a row is taken only with its serial numbers inside their spaces and an outcome the ledger
//     knows, and the export line of a taken row reads back, field by field, as the run it came from;
//   - a location that starts with a server's scheme names a server, and one that starts with '/'
//     or '.' names a file;
//   - any file either opens or gives a message naming the file; once open, a counted reservation
//     gets a number from its start to its top that is then no longer free, and nothing crashes or
//     hangs whatever the file's tables hold.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "production/Ledger.h"
#include "production/ProductionRecord.h"

namespace {

std::string Text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The export's CSV read back: quoted fields may hold commas, quotes (doubled) and line breaks.
std::vector<std::string> ReadCsv(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"' && (quoted || fields.back().empty())) {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

void CheckRow(FuzzInput& input) {
    const std::string location = Text(input.Chunk(64));
    const bool server = Ledger::IsServerLocation(location);
    if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) {
        FUZZ_CHECK(server, "a server's scheme names no server: %s", location.c_str());
    }
    if (!location.empty() && (location[0] == '/' || location[0] == '.')) {
        FUZZ_CHECK(!server, "a path names a server: %s", location.c_str());
    }

    SqlRow row;
    const size_t columns = input.Byte() % 2 == 0 ? 16 : input.Byte() % 20;
    for (size_t i = 0; i < columns; ++i) {
        const bool null = input.Byte() % 8 == 0;
        const std::string text = Text(input.Chunk(40));
        row.push_back(null ? std::nullopt : std::optional<std::string>(text));
    }
    LedgerRun run;
    if (!ParseRun(row, run)) {
        return;
    }
    FUZZ_CHECK(!run.mifareSerial || *run.mifareSerial <= 99999999, "MIFARE %u", *run.mifareSerial);
    FUZZ_CHECK(!run.usbSerial || *run.usbSerial <= 999999, "USB %u", *run.usbSerial);
    FUZZ_CHECK(OutcomeFromName(OutcomeName(run.outcome)) == run.outcome, "outcome");

    const std::vector<std::string> fields = ReadCsv(LedgerExportLine(run));
    FUZZ_CHECK(fields.size() == 10, "%zu fields", fields.size());
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08u", run.mifareSerial.value_or(0));
    const std::string mifare = run.mifareSerial ? serial : "";
    std::snprintf(serial, sizeof serial, "%06u", run.usbSerial.value_or(0));
    const std::string usb = run.usbSerial ? run.strUsbPrefix + serial : "";
    const std::string expected[] = {ProductionRecord::FormatTime(static_cast<std::time_t>(run.tStarted)),
                                    run.strProfile,
                                    run.strJob,
                                    mifare,
                                    usb,
                                    run.strResult,
                                    run.strMessage,
                                    run.strFile,
                                    run.strStation,
                                    OutcomeName(run.outcome)};
    for (size_t i = 0; i < 10; ++i) {
        FUZZ_CHECK(fields[i] == expected[i], "field %zu: [%s] for [%s]", i, fields[i].c_str(),
                   expected[i].c_str());
    }
}

void CheckFile(FuzzInput& input) {
    static const std::string path = [] {
        char name[] = "/tmp/tagbench-ledger-fuzz.XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
        }
        return std::string(name);
    }();
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        unlink((path + suffix).c_str());
    }
    const std::span<const uint8_t> bytes = input.Rest();
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    FUZZ_CHECK(fd >= 0, "cannot write %s", path.c_str());
    FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "short write");
    close(fd);

    std::string error;
    std::unique_ptr<Ledger> ledger = Ledger::Open(path, LedgerStation::ThisProcess("fuzz"), error);
    if (!ledger) {
        FUZZ_CHECK(error.find(path) != std::string::npos || error.find("file " + path) != std::string::npos,
                   "a refusal that names no file: %s", error.c_str());
        return;
    }
    std::vector<LedgerRun> runs;
    ledger->ListRuns({5, "", "", false}, runs, error);
    std::vector<std::string> problems;
    ledger->Check(problems, error);
    const uint32_t from = bytes.empty() ? 0 : bytes[0] * 1000u;
    const LedgerRequest request{"p", "SerialOnly", true, false, from, false, 99999999, "", ""};
    LedgerRun run;
    if (ledger->ReserveRun(request, 1000, run, error) == Ledger::Reserve::Reserved) {
        FUZZ_CHECK(run.mifareSerial && *run.mifareSerial >= from && *run.mifareSerial <= 99999999, "number");
        const std::optional<uint32_t> next =
            ledger->NextFree(true, false, *run.mifareSerial, 99999999, error);
        FUZZ_CHECK(!next || *next != *run.mifareSerial, "reserved %u is still free", *run.mifareSerial);
        ledger->FinishRun(run.nId, false, false, true, "fuzz", 1001, error);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    if (input.Byte() % 2 == 0) {
        CheckRow(input);
    } else {
        CheckFile(input);
    }
    return 0;
}
