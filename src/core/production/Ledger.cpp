#include "production/Ledger.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "production/ProductionRecord.h"

namespace {

constexpr uint32_t kMaxMifare = 99999999;
constexpr uint32_t kMaxUsb = 999999;

// The runs table's columns in the order ParseRun reads them.
constexpr const char* kRunColumns =
    "id, started, ended, station, host, pid, pid_start, profile, job, mifare_serial, usb_serial, "
    "usb_prefix, file, outcome, result, message";
constexpr size_t kRunColumnCount = 16;

const char* const kOutcomeNames[] = {"running", "stored", "failed", "cancelled", "unknown", "released"};

// The spaces a request takes, as SQL literals of our own, never of the user's.
std::string SpaceList(bool mifare, bool usb) {
    std::string list;
    if (mifare) {
        list = "'mifare'";
    }
    if (usb) {
        list += list.empty() ? "'usb'" : ", 'usb'";
    }
    return "(" + list + ")";
}

template <typename T>
bool ParseInteger(const std::optional<std::string>& text, T& value) {
    if (!text || text->empty()) {
        return false;
    }
    const char* end = text->data() + text->size();
    const auto [last, error] = std::from_chars(text->data(), end, value);
    return error == std::errc() && last == end;
}

bool ParseSerial(const std::optional<std::string>& text, uint32_t max, std::optional<uint32_t>& serial) {
    serial.reset();
    if (!text) {
        return true;
    }
    uint32_t value = 0;
    if (!ParseInteger(text, value) || value > max) {
        return false;
    }
    serial = value;
    return true;
}

// The text after "starttime" in /proc/PID/stat: the moment the process started, in clock ticks
// since boot. 0 when it cannot be read.
int64_t ProcessStart(int64_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks and parentheses: count fields after the last.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // State is field 3 and starttime field 22 of the whole line.
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22) {
            int64_t start = 0;
            return ParseInteger(std::optional<std::string>(field), start) ? start : 0;
        }
    }
    return 0;
}

std::string SerialText(NumberSpace space, uint32_t number) {
    char text[16];
    std::snprintf(text, sizeof text, space == NumberSpace::Usb ? "%06u" : "%08u", number);
    return text;
}

std::string SpaceTitle(const std::string& space) {
    return space == "usb" ? "USB serial number" : "Serial number";
}

// "USB serial number 000042", "Serial number 00000042".
std::string Numbered(const std::string& space, uint32_t number) {
    return SpaceTitle(space) + " " +
           SerialText(space == "usb" ? NumberSpace::Usb : NumberSpace::Mifare, number);
}

}  // namespace

const char* OutcomeName(LedgerOutcome outcome) {
    return kOutcomeNames[static_cast<int>(outcome)];
}

std::optional<LedgerOutcome> OutcomeFromName(const std::string& name) {
    for (size_t i = 0; i < std::size(kOutcomeNames); ++i) {
        if (name == kOutcomeNames[i]) {
            return static_cast<LedgerOutcome>(i);
        }
    }
    return std::nullopt;
}

const char* SpaceName(NumberSpace space) {
    return space == NumberSpace::Usb ? "usb" : "mifare";
}

LedgerStation LedgerStation::ThisProcess(const std::string& name) {
    LedgerStation station;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        std::snprintf(host, sizeof host, "localhost");
    }
    station.strHost = host;
    station.strName = name.empty() ? station.strHost : name;
    station.nPid = getpid();
    station.nPidStart = ProcessStart(station.nPid);
    return station;
}

bool LedgerStation::IsAlive() const {
    if (nPid <= 0 || (::kill(static_cast<pid_t>(nPid), 0) != 0 && errno != EPERM)) {
        return false;
    }
    // A pid that came back for another process is no proof of life.
    return nPidStart == 0 || ProcessStart(nPid) == nPidStart;
}

bool ParseRun(const SqlRow& row, LedgerRun& run) {
    if (row.size() != kRunColumnCount) {
        return false;
    }
    for (size_t column : {3u, 4u, 7u, 8u, 11u, 12u, 13u, 14u, 15u}) {
        if (!row[column]) {
            return false;
        }
    }
    const std::optional<LedgerOutcome> outcome = OutcomeFromName(*row[13]);
    if (!ParseInteger(row[0], run.nId) || !ParseInteger(row[1], run.tStarted) ||
        !(row[2] ? ParseInteger(row[2], run.tEnded) : (run.tEnded = 0, true)) ||
        !ParseInteger(row[5], run.nPid) || !ParseInteger(row[6], run.nPidStart) ||
        !ParseSerial(row[9], kMaxMifare, run.mifareSerial) || !ParseSerial(row[10], kMaxUsb, run.usbSerial) ||
        !outcome) {
        return false;
    }
    run.strStation = *row[3];
    run.strHost = *row[4];
    run.strProfile = *row[7];
    run.strJob = *row[8];
    run.strUsbPrefix = *row[11];
    run.strFile = *row[12];
    run.outcome = *outcome;
    run.strResult = *row[14];
    run.strMessage = *row[15];
    return true;
}

std::string LedgerExportHeader() {
    return std::string(ProductionRecord::kHeader) + ",station,outcome";
}

std::string LedgerExportLine(const LedgerRun& run) {
    ProductionRecord::Entry entry;
    entry.strTime = ProductionRecord::FormatTime(static_cast<std::time_t>(run.tStarted));
    entry.strProfile = run.strProfile;
    entry.strJob = run.strJob;
    if (run.mifareSerial) {
        entry.strMifareSerial = SerialText(NumberSpace::Mifare, *run.mifareSerial);
    }
    if (run.usbSerial) {
        entry.strUsbSerial = run.strUsbPrefix + SerialText(NumberSpace::Usb, *run.usbSerial);
    }
    entry.strResult = run.strResult;
    entry.strMessage = run.strMessage;
    entry.strFile = run.strFile;
    return ProductionRecord::FormatLine(entry) + "," + ProductionRecord::FormatField(run.strStation) + "," +
           OutcomeName(run.outcome);
}

std::string Ledger::DefaultPath() {
    // Beside the production record, in the user's data folder.
    return (std::filesystem::path(ProductionRecord::DefaultPath()).parent_path() / "production.sqlite")
        .string();
}

bool Ledger::IsServerLocation(const std::string& location) {
    if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) {
        return true;
    }
    // libpq's "host=... dbname=..." form: a keyword of letters and '_' before the first '='.
    size_t i = location.find_first_not_of(' ');
    const size_t start = i;
    while (i < location.size() &&
           (std::isalpha(static_cast<unsigned char>(location[i])) || location[i] == '_')) {
        ++i;
    }
    i = location.find_first_not_of(' ', i);
    return start != std::string::npos && i != start && i < location.size() && location[i] == '=';
}

std::unique_ptr<Ledger> Ledger::Open(const std::string& location, const LedgerStation& station,
                                     std::string& error) {
    std::unique_ptr<LedgerDatabase> database;
    std::string where = location;
    if (IsServerLocation(location)) {
        database = OpenPostgresLedger(location, error);
    } else {
        if (where.empty()) {
            // The default lives below the user's data folder, which a fresh account may lack.
            where = DefaultPath();
            std::error_code ignored;
            std::filesystem::create_directories(std::filesystem::path(where).parent_path(), ignored);
        }
        database = OpenSqliteLedger(where, error);
    }
    if (!database) {
        return nullptr;
    }
    auto ledger = std::make_unique<Ledger>(std::move(database), station, where);
    if (!ledger->Prepare(error) || !ledger->MarkDeadRuns(error)) {
        return nullptr;
    }
    return ledger;
}

Ledger::Ledger(std::unique_ptr<LedgerDatabase> database, const LedgerStation& station, std::string location)
    : m_db(std::move(database)), m_station(station), m_strLocation(std::move(location)) {}

std::string Ledger::Describe() const {
    return Location() + ", station " + m_station.strName;
}

bool Ledger::Fail(const SqlResult& result, std::string& error) {
    m_db->Exec("ROLLBACK");
    error = "The production ledger (" + m_db->Describe() + ") refused: " + result.message;
    return false;
}

bool Ledger::Prepare(std::string& error) {
    const std::string id = m_db->IdColumn();
    const std::string statements[] = {
        "CREATE TABLE IF NOT EXISTS ledger_schema (version INTEGER NOT NULL)",
        "CREATE TABLE IF NOT EXISTS runs (id " + id +
            ", started BIGINT NOT NULL, ended BIGINT, station TEXT NOT NULL, host TEXT NOT NULL, "
            "pid BIGINT NOT NULL, pid_start BIGINT NOT NULL, profile TEXT NOT NULL, job TEXT NOT NULL, "
            "mifare_serial BIGINT, usb_serial BIGINT, usb_prefix TEXT NOT NULL, file TEXT NOT NULL, "
            "outcome TEXT NOT NULL, result TEXT NOT NULL, message TEXT NOT NULL)",
        // A number is held by one run at a time, whatever the program does: the key says so.
        "CREATE TABLE IF NOT EXISTS numbers (space TEXT NOT NULL, number BIGINT NOT NULL, "
        "run_id BIGINT NOT NULL REFERENCES runs (id), PRIMARY KEY (space, number))",
        "CREATE INDEX IF NOT EXISTS numbers_run ON numbers (run_id)",
        "CREATE TABLE IF NOT EXISTS releases (id " + id +
            ", released BIGINT NOT NULL, station TEXT NOT NULL, space TEXT NOT NULL, number BIGINT NOT NULL, "
            "run_id BIGINT NOT NULL REFERENCES runs (id), reason TEXT NOT NULL)",
    };
    // Two stations that start on a new ledger at once both create it; the loser's statement
    // fails on the winner's tables and simply tries again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        SqlResult result = m_db->Exec("BEGIN");
        for (const std::string& sql : statements) {
            if (result.Ok()) {
                result = m_db->Exec(sql);
            }
        }
        SqlResult version;
        if (result.Ok()) {
            version = m_db->Exec("SELECT version FROM ledger_schema");
            result = version;
        }
        if (result.Ok() && version.rows.empty()) {
            result = m_db->Exec("INSERT INTO ledger_schema (version) VALUES ($1)", {int64_t{kSchemaVersion}});
        } else if (result.Ok()) {
            int found = 0;
            if (version.rows.size() != 1 || !ParseInteger(version.rows[0][0], found)) {
                m_db->Exec("ROLLBACK");
                error = "The production ledger (" + m_db->Describe() + ") has a damaged version table.";
                return false;
            }
            if (found > kSchemaVersion) {
                m_db->Exec("ROLLBACK");
                error = "The production ledger (" + m_db->Describe() +
                        ") was made by a newer Tagbench (schema " + std::to_string(found) +
                        ", this one knows " + std::to_string(kSchemaVersion) +
                        "): update Tagbench on this station.";
                return false;
            }
        }
        if (result.Ok()) {
            result = m_db->Exec("COMMIT");
        }
        if (result.Ok()) {
            return true;
        }
        if (result.status != SqlStatus::Unique || attempt == 2) {
            return Fail(result, error);
        }
        m_db->Exec("ROLLBACK");
    }
    return false;
}

bool Ledger::MarkDeadRuns(std::string& error) {
    const SqlResult running = m_db->Exec(
        "SELECT id, pid, pid_start FROM runs WHERE outcome = 'running' AND host = $1", {m_station.strHost});
    if (!running.Ok()) {
        return Fail(running, error);
    }
    for (const SqlRow& row : running.rows) {
        LedgerStation owner;
        int64_t id = 0;
        if (row.size() != 3 || !ParseInteger(row[0], id) || !ParseInteger(row[1], owner.nPid) ||
            !ParseInteger(row[2], owner.nPidStart) || owner.IsAlive()) {
            continue;
        }
        // Its job may have stored the number or not: the number stays used until someone looks.
        const SqlResult marked = m_db->Exec(
            "UPDATE runs SET outcome = 'unknown', result = 'failed', message = $2 WHERE id = $1 AND outcome "
            "= "
            "'running'",
            {id, std::string(
                     "The station stopped during the job: whether the reader got its number is unknown.")});
        if (!marked.Ok()) {
            return Fail(marked, error);
        }
    }
    return true;
}

std::optional<uint32_t> Ledger::FindFree(bool mifare, bool usb, uint32_t from, uint32_t max,
                                         SqlResult& result) {
    const std::string spaces = SpaceList(mifare, usb);
    // The first free number is the start itself or one past a held one.
    result = m_db->Exec(
        "SELECT MIN(c) FROM (SELECT CAST($1 AS BIGINT) AS c UNION SELECT number + 1 FROM numbers WHERE space "
        "IN " +
            spaces +
            " AND number >= $1) AS candidates WHERE c <= $2 AND NOT EXISTS (SELECT 1 FROM numbers "
            "WHERE number = candidates.c AND space IN " +
            spaces + ")",
        {int64_t{from}, int64_t{max}});
    uint32_t found = 0;
    if (result.Ok() && result.rows.size() == 1 && result.rows[0].size() == 1 &&
        ParseInteger(result.rows[0][0], found) && found >= from && found <= max) {
        return found;
    }
    return std::nullopt;
}

std::optional<uint32_t> Ledger::NextFree(bool mifare, bool usb, uint32_t from, uint32_t max,
                                         std::string& error) {
    error.clear();
    if (!mifare && !usb) {
        return from;
    }
    SqlResult result;
    const std::optional<uint32_t> found = FindFree(mifare, usb, from, max, result);
    if (!result.Ok()) {
        error = "The production ledger (" + m_db->Describe() + ") refused: " + result.message;
    }
    return found;
}

Ledger::Reserve Ledger::ReserveRun(const LedgerRequest& request, std::time_t when, LedgerRun& run,
                                   std::string& message) {
    message.clear();
    const bool numbered = request.bMifare || request.bUsb;
    uint32_t number = request.dwNumber;
    SqlResult result = m_db->BeginWrite();
    if (result.Ok() && numbered && request.bExact) {
        result =
            m_db->Exec("SELECT numbers.space, " + std::string(kRunColumns) +
                           " FROM numbers JOIN runs ON runs.id = numbers.run_id WHERE numbers.number = $1 "
                           "AND numbers.space IN " +
                           SpaceList(request.bMifare, request.bUsb) + " ORDER BY numbers.space DESC",
                       {int64_t{number}});
        if (result.Ok() && !result.rows.empty()) {
            m_db->Exec("ROLLBACK");
            LedgerRun used;
            const SqlRow& row = result.rows[0];
            const std::string space = row[0].value_or("");
            if (!ParseRun(SqlRow(row.begin() + 1, row.end()), used)) {
                message = Numbered(space, number) + " is held by a damaged row of the ledger.";
                return Reserve::Used;
            }
            message = Numbered(space, number) + " was given out on " +
                      ProductionRecord::FormatTime(static_cast<std::time_t>(used.tStarted)) + " at station " +
                      used.strStation + " (profile " + used.strProfile + ", run " + std::to_string(used.nId) +
                      ", " + OutcomeName(used.outcome) + ").";
            return Reserve::Used;
        }
    } else if (result.Ok() && numbered) {
        const std::optional<uint32_t> found =
            FindFree(request.bMifare, request.bUsb, number, request.dwMax, result);
        if (result.Ok() && !found) {
            m_db->Exec("ROLLBACK");
            const NumberSpace space = request.bUsb ? NumberSpace::Usb : NumberSpace::Mifare;
            message = "No free " + std::string(request.bUsb ? "USB serial number" : "serial number") +
                      " is left from " + SerialText(space, number) + " to " +
                      SerialText(space, request.dwMax) + ": the numbers of this space are used up.";
            return Reserve::Exhausted;
        }
        number = found.value_or(number);
    }
    if (result.Ok()) {
        const SqlValue none = nullptr;
        result = m_db->Exec(
            "INSERT INTO runs (started, ended, station, host, pid, pid_start, profile, job, mifare_serial, "
            "usb_serial, usb_prefix, file, outcome, result, message) VALUES ($1, NULL, $2, $3, $4, $5, $6, "
            "$7, $8, "
            "$9, $10, $11, 'running', '', '') RETURNING id",
            {int64_t{when}, m_station.strName, m_station.strHost, m_station.nPid, m_station.nPidStart,
             request.strProfile, request.strJob, request.bMifare ? SqlValue(int64_t{number}) : none,
             request.bUsb ? SqlValue(int64_t{number}) : none, request.strUsbPrefix, request.strFile});
    }
    int64_t id = 0;
    if (result.Ok() && (result.rows.size() != 1 || !ParseInteger(result.rows[0][0], id))) {
        result.status = SqlStatus::Other;
        result.message = "no id for the new run";
    }
    for (const NumberSpace space : {NumberSpace::Mifare, NumberSpace::Usb}) {
        const bool wanted = space == NumberSpace::Usb ? request.bUsb : request.bMifare;
        if (result.Ok() && wanted) {
            result = m_db->Exec("INSERT INTO numbers (space, number, run_id) VALUES ($1, $2, $3)",
                                {std::string(SpaceName(space)), int64_t{number}, id});
        }
    }
    if (result.Ok()) {
        result = m_db->Exec("COMMIT");
    }
    if (!result.Ok()) {
        Fail(result, message);
        return Reserve::Failed;
    }
    run = LedgerRun{};
    run.nId = id;
    run.tStarted = when;
    run.strStation = m_station.strName;
    run.strHost = m_station.strHost;
    run.nPid = m_station.nPid;
    run.nPidStart = m_station.nPidStart;
    run.strProfile = request.strProfile;
    run.strJob = request.strJob;
    if (request.bMifare) {
        run.mifareSerial = number;
    }
    if (request.bUsb) {
        run.usbSerial = number;
    }
    run.strUsbPrefix = request.strUsbPrefix;
    run.strFile = request.strFile;
    return Reserve::Reserved;
}

bool Ledger::FinishRun(int64_t id, bool succeeded, bool cancelled, bool numberSent,
                       const std::string& message, std::time_t when, std::string& error) {
    error.clear();
    const LedgerOutcome outcome = succeeded    ? LedgerOutcome::Stored
                                  : numberSent ? LedgerOutcome::Unknown
                                  : cancelled  ? LedgerOutcome::Cancelled
                                               : LedgerOutcome::Failed;
    // As the production record words it: a cancel after the number went out is no cancel.
    const char* resultText = succeeded                 ? "OK"
                             : cancelled && numberSent ? "unknown"
                             : cancelled               ? "cancelled"
                                                       : "failed";
    SqlResult result = m_db->BeginWrite();
    if (result.Ok()) {
        // A run that a restarted station took for dead still gets its real end.
        result = m_db->Exec(
            "UPDATE runs SET outcome = $2, result = $3, message = $4, ended = $5 WHERE id = $1 AND outcome "
            "IN "
            "('running', 'unknown') RETURNING id",
            {id, std::string(OutcomeName(outcome)), std::string(resultText), message, int64_t{when}});
    }
    if (result.Ok() && result.rows.empty()) {
        m_db->Exec("ROLLBACK");
        error = "The production ledger (" + m_db->Describe() + ") no longer holds run " + std::to_string(id) +
                " as running: it was released meanwhile.";
        return false;
    }
    if (result.Ok() && (outcome == LedgerOutcome::Failed || outcome == LedgerOutcome::Cancelled)) {
        result = m_db->Exec("DELETE FROM numbers WHERE run_id = $1", {id});
    }
    if (result.Ok()) {
        result = m_db->Exec("COMMIT");
    }
    return result.Ok() || Fail(result, error);
}

bool Ledger::ListRuns(const LedgerFilter& filter, std::vector<LedgerRun>& runs, std::string& error) {
    error.clear();
    runs.clear();
    std::string sql = "SELECT " + std::string(kRunColumns) +
                      " FROM runs WHERE ($1 = '' OR profile = $1) AND ($2 = '' OR station = $2)";
    if (filter.bOpenOnly) {
        sql += " AND outcome IN ('running', 'unknown')";
    }
    sql += " ORDER BY id DESC";
    if (filter.nLast > 0) {
        sql += " LIMIT " + std::to_string(filter.nLast);
    }
    const SqlResult result = m_db->Exec(sql, {filter.strProfile, filter.strStation});
    if (!result.Ok()) {
        return Fail(result, error);
    }
    for (const SqlRow& row : result.rows) {
        LedgerRun run;
        if (!ParseRun(row, run)) {
            error = "The production ledger (" + m_db->Describe() + ") holds a damaged run" +
                    (row.empty() || !row[0] ? std::string() : " (id " + *row[0] + ")") +
                    ": ledger check tells more.";
            runs.clear();
            return false;
        }
        runs.push_back(std::move(run));
    }
    return true;
}

bool Ledger::Release(uint32_t number, const std::string& reason, std::time_t when, std::string& message) {
    message.clear();
    SqlResult result = m_db->BeginWrite();
    if (result.Ok()) {
        result = m_db->Exec(
            "SELECT numbers.space, " + std::string(kRunColumns) +
                " FROM numbers JOIN runs ON runs.id = numbers.run_id WHERE numbers.number = $1 ORDER BY "
                "numbers.space DESC",
            {int64_t{number}});
    }
    if (!result.Ok()) {
        return Fail(result, message);
    }
    std::vector<std::pair<std::string, LedgerRun>> held;
    std::string refusal;
    for (const SqlRow& row : result.rows) {
        LedgerRun run;
        const std::string space = row[0].value_or("");
        if (!ParseRun(SqlRow(row.begin() + 1, row.end()), run)) {
            refusal =
                "Number " + std::to_string(number) + " is held by a damaged row: ledger check tells more.";
            break;
        }
        LedgerStation owner{run.strStation, run.strHost, run.nPid, run.nPidStart};
        if (run.outcome == LedgerOutcome::Stored) {
            refusal = Numbered(space, number) + " is stored in a reader (run " + std::to_string(run.nId) +
                      ", station " + run.strStation + "): it cannot be released.";
        } else if (run.outcome == LedgerOutcome::Running && run.strHost == m_station.strHost &&
                   owner.IsAlive()) {
            refusal = Numbered(space, number) + " is being programmed (run " + std::to_string(run.nId) +
                      ", station " + run.strStation + "): it cannot be released.";
        }
        if (!refusal.empty()) {
            break;
        }
        held.emplace_back(space, run);
    }
    if (refusal.empty() && held.empty()) {
        refusal =
            "Number " + std::to_string(number) + " is not held by any run: there is nothing to release.";
    }
    if (!refusal.empty()) {
        m_db->Exec("ROLLBACK");
        message = refusal;
        return false;
    }
    const std::string recorded = "Released by " + m_station.strName + ": " + reason;
    for (const auto& [space, run] : held) {
        if (result.Ok()) {
            result = m_db->Exec(
                "INSERT INTO releases (released, station, space, number, run_id, reason) VALUES ($1, $2, $3, "
                "$4, $5, $6)",
                {int64_t{when}, m_station.strName, space, int64_t{number}, run.nId, reason});
        }
        if (result.Ok()) {
            result = m_db->Exec("DELETE FROM numbers WHERE space = $1 AND number = $2 AND run_id = $3",
                                {space, int64_t{number}, run.nId});
        }
        if (result.Ok()) {
            result = m_db->Exec("UPDATE runs SET outcome = 'released', message = $2 WHERE id = $1",
                                {run.nId, recorded});
        }
    }
    if (result.Ok()) {
        result = m_db->Exec("COMMIT");
    }
    if (!result.Ok()) {
        return Fail(result, message);
    }
    for (const auto& [space, run] : held) {
        message += (message.empty() ? "" : "\n") + Numbered(space, number) + " of run " +
                   std::to_string(run.nId) + " (station " + run.strStation + ", " + OutcomeName(run.outcome) +
                   ") is free again: " + reason;
    }
    return true;
}

bool Ledger::Check(std::vector<std::string>& problems, std::string& error) {
    error.clear();
    problems = m_db->CheckStorage();
    const SqlResult version = m_db->Exec("SELECT version FROM ledger_schema");
    if (!version.Ok()) {
        return Fail(version, error);
    }
    if (version.rows.size() != 1) {
        problems.push_back("the version table holds " + std::to_string(version.rows.size()) +
                           " rows instead of one");
    }
    const SqlResult runs = m_db->Exec("SELECT " + std::string(kRunColumns) + " FROM runs ORDER BY id");
    if (!runs.Ok()) {
        return Fail(runs, error);
    }
    for (const SqlRow& row : runs.rows) {
        LedgerRun run;
        if (!ParseRun(row, run)) {
            problems.push_back("run " + row[0].value_or("?") + ": a damaged row");
        }
    }
    // Each rule is a query whose every row is one problem, told in its first column.
    const char* const rules[] = {
        "SELECT 'number ' || space || ' ' || CAST(number AS TEXT) || ' is held ' || CAST(COUNT(*) AS TEXT) "
        "|| "
        "' times' FROM numbers GROUP BY space, number HAVING COUNT(*) > 1",
        "SELECT 'number ' || n.space || ' ' || CAST(n.number AS TEXT) || ' is held by run ' || CAST(n.run_id "
        "AS TEXT) "
        "|| ', which does not exist' FROM numbers n LEFT JOIN runs r ON r.id = n.run_id WHERE r.id IS NULL",
        "SELECT 'number ' || n.space || ' ' || CAST(n.number AS TEXT) || ' is held by run ' || CAST(r.id AS "
        "TEXT) || "
        "', which does not claim it or has ended without it' FROM numbers n JOIN runs r ON r.id = n.run_id "
        "WHERE "
        "r.outcome NOT IN ('running', 'stored', 'unknown') OR (n.space = 'mifare' AND (r.mifare_serial IS "
        "NULL OR "
        "r.mifare_serial <> n.number)) OR (n.space = 'usb' AND (r.usb_serial IS NULL OR r.usb_serial <> "
        "n.number)) OR "
        "n.space NOT IN ('mifare', 'usb')",
        "SELECT 'run ' || CAST(r.id AS TEXT) || ' (' || r.outcome || ') does not hold its serial number ' || "
        "CAST(r.mifare_serial AS TEXT) FROM runs r WHERE r.outcome IN ('running', 'stored', 'unknown') AND "
        "r.mifare_serial IS NOT NULL AND NOT EXISTS (SELECT 1 FROM numbers n WHERE n.space = 'mifare' AND "
        "n.number = "
        "r.mifare_serial AND n.run_id = r.id)",
        "SELECT 'run ' || CAST(r.id AS TEXT) || ' (' || r.outcome || ') does not hold its USB serial number "
        "' || "
        "CAST(r.usb_serial AS TEXT) FROM runs r WHERE r.outcome IN ('running', 'stored', 'unknown') AND "
        "r.usb_serial IS NOT NULL AND NOT EXISTS (SELECT 1 FROM numbers n WHERE n.space = 'usb' AND n.number "
        "= "
        "r.usb_serial AND n.run_id = r.id)",
        "SELECT 'serial number ' || CAST(mifare_serial AS TEXT) || ' is in ' || CAST(COUNT(*) AS TEXT) || "
        "' readers' FROM runs WHERE outcome IN ('stored', 'unknown', 'running') AND mifare_serial IS NOT "
        "NULL GROUP "
        "BY mifare_serial HAVING COUNT(*) > 1",
        "SELECT 'USB serial number ' || CAST(usb_serial AS TEXT) || ' is in ' || CAST(COUNT(*) AS TEXT) || "
        "' readers' FROM runs WHERE outcome IN ('stored', 'unknown', 'running') AND usb_serial IS NOT NULL "
        "GROUP BY "
        "usb_serial HAVING COUNT(*) > 1",
    };
    for (const char* rule : rules) {
        const SqlResult found = m_db->Exec(rule);
        if (!found.Ok()) {
            return Fail(found, error);
        }
        for (const SqlRow& row : found.rows) {
            problems.push_back(row.empty() ? std::string("?") : row[0].value_or("?"));
        }
    }
    return true;
}
