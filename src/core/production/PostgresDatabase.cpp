#include <libpq-fe.h>

#include <strings.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "production/LedgerDatabase.h"

namespace {

// A station that cannot reach the server should say so within seconds, not hang on a dead route.
constexpr const char* kConnectTimeoutS = "10";
// Long enough for another station's reservation (a few short statements) to end, short enough
// that a station stuck in one shows up as a refusal rather than a frozen line.
constexpr const char* kSessionSettings =
    "SET lock_timeout = '10s'; SET statement_timeout = '60s'; "
    "SET idle_in_transaction_session_timeout = '60s'; SET client_encoding = 'UTF8'";
// pg_type's OID of bigint: an integer value is a bigint wherever the ledger puts it.
constexpr Oid kInt8Oid = 20;

// libpq's own texts end with a line break, may go on over several lines and may carry the
// server's severity ("FATAL:  terminating connection ..."); the first line without it says it.
std::string FirstLine(const char* text) {
    std::string line = text != nullptr ? text : "";
    line = line.substr(0, line.find('\n'));
    for (const char* severity : {"FATAL:  ", "ERROR:  ", "PANIC:  "}) {
        if (line.rfind(severity, 0) == 0) {
            line.erase(0, std::strlen(severity));
        }
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

SqlStatus StatusOf(const char* sqlstate) {
    if (sqlstate == nullptr) {
        return SqlStatus::Other;
    }
    const std::string code = sqlstate;
    if (code == "23505") {
        return SqlStatus::Unique;
    }
    if (code == "40001" || code == "40P01" || code == "55P03") {
        return SqlStatus::Busy;  // serialization failure, deadlock, lock_timeout
    }
    if (code == "25006" || code == "42501") {
        return SqlStatus::ReadOnly;  // a read-only transaction or standby; no right to write
    }
    if (code == "53100") {
        return SqlStatus::Full;
    }
    if (code == "XX001" || code == "XX002") {
        return SqlStatus::Corrupt;  // damaged table or index
    }
    // Class 08 is the connection's; 57P01..57P03 a server that shuts down or is not up yet.
    if (code.rfind("08", 0) == 0 || code == "57P01" || code == "57P02" || code == "57P03") {
        return SqlStatus::Gone;
    }
    return SqlStatus::Other;
}

// Notices ("relation already exists, skipping", "no transaction in progress") would go to
// stderr by default, into the command line's output; the ledger needs none of them.
void IgnoreNotice(void*, const char*) {}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresDatabase : public LedgerDatabase {
public:
    explicit PostgresDatabase(PGconn* conn) : m_conn(conn) {}
    ~PostgresDatabase() override { PQfinish(m_conn); }
    PostgresDatabase(const PostgresDatabase&) = delete;
    PostgresDatabase& operator=(const PostgresDatabase&) = delete;

    // The session's settings; after a connect and after a reconnect.
    bool Setup(std::string& error) {
        PQsetNoticeProcessor(m_conn, IgnoreNotice, nullptr);
        const Result result(PQexec(m_conn, kSessionSettings));
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
            error = Failure(result.get()).message;
            return false;
        }
        return true;
    }

    SqlResult Exec(const std::string& sql, const std::vector<SqlValue>& values) override {
        if (m_bLostInTransaction) {
            // The server ended that transaction with the connection: a rollback has nothing left
            // to do, and anything else would run outside the transaction it belongs to.
            if (IsRollback(sql)) {
                m_bLostInTransaction = false;
                return {};
            }
            return Lost();
        }
        if (SqlResult gone = Reconnect(); !gone.Ok()) {
            return gone;
        }
        std::vector<std::string> texts(values.size());
        std::vector<const char*> params(values.size(), nullptr);
        std::vector<Oid> types(values.size(), 0);
        for (size_t i = 0; i < values.size(); ++i) {
            if (const auto* number = std::get_if<int64_t>(&values[i])) {
                texts[i] = std::to_string(*number);
                types[i] = kInt8Oid;
                params[i] = texts[i].c_str();
            } else if (const auto* string = std::get_if<std::string>(&values[i])) {
                // Text goes over as a C string: a NUL would silently cut the value short.
                if (string->find('\0') != std::string::npos) {
                    return {
                        SqlStatus::Other, "value $" + std::to_string(i + 1) + " holds a NUL character", {}};
                }
                // Type 0: the server takes the column's or the operator's type, as SQLite would.
                params[i] = string->c_str();
            }
        }
        const bool inTransaction = PQtransactionStatus(m_conn) != PQTRANS_IDLE;
        const Result result(PQexecParams(m_conn, sql.c_str(), static_cast<int>(values.size()), types.data(),
                                         params.data(), nullptr, nullptr, 0));
        switch (PQresultStatus(result.get())) {
            case PGRES_COMMAND_OK:
                return {};
            case PGRES_TUPLES_OK:
                return Rows(result.get());
            default:
                break;
        }
        SqlResult failed = Failure(result.get());
        if (failed.status == SqlStatus::Gone && inTransaction) {
            m_bLostInTransaction = true;
        }
        return failed;
    }

    // The table lock conflicts with itself and with every write to the table, so one station at
    // a time looks for a free number and claims it; readers are not held up. The ledger creates
    // its tables before any write, so the table is there. One round trip for both statements.
    SqlResult BeginWrite() override {
        m_bLostInTransaction = false;
        if (SqlResult gone = Reconnect(); !gone.Ok()) {
            return gone;
        }
        const Result result(PQexec(m_conn, "BEGIN; LOCK TABLE numbers IN SHARE ROW EXCLUSIVE MODE"));
        if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) {
            return {};
        }
        SqlResult failed = Failure(result.get());
        if (PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
            // A failed begin leaves no transaction behind for the caller to end.
            PQclear(PQexec(m_conn, "ROLLBACK"));
        }
        return failed;
    }

    const char* IdColumn() const override { return "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"; }

    // The server looks after its own pages; there is no cheap check of them from a client. What
    // can fail from here is the server's answer itself.
    std::vector<std::string> CheckStorage() override {
        const SqlResult alive = Exec("SELECT 1", {});
        if (!alive.Ok()) {
            return {"the server did not answer: " + alive.message};
        }
        return {};
    }

    // Host, port and database only: the connection string may hold a password.
    std::string Describe() const override {
        const char* host = PQhost(m_conn);
        const char* port = PQport(m_conn);
        const char* db = PQdb(m_conn);
        std::string text = std::string("server ") + (host != nullptr ? host : "");
        if (port != nullptr && port[0] != '\0') {
            text += std::string(":") + port;
        }
        return text + "/" + (db != nullptr ? db : "");
    }

private:
    static bool IsRollback(const std::string& sql) {
        const size_t start = sql.find_first_not_of(" \t\r\n");
        return start != std::string::npos && strncasecmp(sql.c_str() + start, "ROLLBACK", 8) == 0;
    }

    SqlResult Lost() const {
        return {SqlStatus::Gone, "the connection to the server broke during a transaction", {}};
    }

    // A server that restarted between two jobs is reached again; a failure is Gone. Never inside
    // a transaction: its statements would run outside it (Exec guards that).
    SqlResult Reconnect() {
        if (PQstatus(m_conn) == CONNECTION_OK && !m_bBroken) {
            return {};
        }
        m_bBroken = false;
        PQreset(m_conn);
        std::string error;
        if (PQstatus(m_conn) != CONNECTION_OK) {
            return {SqlStatus::Gone, FirstLine(PQerrorMessage(m_conn)), {}};
        }
        if (!Setup(error)) {
            return {SqlStatus::Gone, error, {}};
        }
        return {};
    }

    SqlResult Failure(const PGresult* result) {
        SqlResult failed;
        const char* sqlstate = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        failed.status = StatusOf(sqlstate);
        // Without a SQLSTATE the error is libpq's own. A server that went away at once can leave
        // libpq's status good until the next call; asking for input shows the break now.
        if (PQstatus(m_conn) == CONNECTION_BAD || (sqlstate == nullptr && PQconsumeInput(m_conn) == 0)) {
            failed.status = SqlStatus::Gone;
            m_bBroken = true;
        }
        const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        failed.message = FirstLine(primary != nullptr ? primary : PQerrorMessage(m_conn));
        if (failed.message.empty()) {
            failed.message =
                result != nullptr ? PQresStatus(PQresultStatus(result)) : "no answer from the server";
        }
        return failed;
    }

    static SqlResult Rows(const PGresult* result) {
        SqlResult rows;
        const int count = PQntuples(result);
        const int columns = PQnfields(result);
        rows.rows.reserve(static_cast<size_t>(count));
        for (int r = 0; r < count; ++r) {
            SqlRow row;
            row.reserve(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(result, r, c)) {
                    row.emplace_back();
                } else {
                    row.emplace_back(std::string(PQgetvalue(result, r, c), PQgetlength(result, r, c)));
                }
            }
            rows.rows.push_back(std::move(row));
        }
        return rows;
    }

    PGconn* m_conn;
    bool m_bBroken = false;  // the connection broke: the next call connects anew
    bool m_bLostInTransaction = false;
};

}  // namespace

std::unique_ptr<LedgerDatabase> OpenPostgresLedger(const std::string& connection, std::string& error) {
    // Defaults come before dbname: what the connection string itself says wins over them.
    const char* const keywords[] = {"connect_timeout",  "keepalives",
                                    "keepalives_idle",  "keepalives_interval",
                                    "keepalives_count", "fallback_application_name",
                                    "dbname",           nullptr};
    const char* const values[] = {kConnectTimeoutS,   "1",    "30", "10", "3", "tagbench",
                                  connection.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (conn == nullptr) {
        error = "Could not reach the production ledger server: out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        error = "Could not reach the production ledger server: " + FirstLine(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    auto database = std::make_unique<PostgresDatabase>(conn);
    std::string reason;
    if (!database->Setup(reason)) {
        error = "The production ledger server refused the session's settings: " + reason;
        return nullptr;
    }
    return database;
}
