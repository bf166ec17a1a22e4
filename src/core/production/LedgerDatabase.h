#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// One value bound to a statement's placeholder.
using SqlValue = std::variant<std::nullptr_t, int64_t, std::string>;
// One row as the database returns it: every column as text, NULL as no value.
using SqlRow = std::vector<std::optional<std::string>>;

// What went wrong with a statement, in the terms the ledger acts on.
enum class SqlStatus {
    Ok,
    Unique,    // a uniqueness constraint refused a row
    Busy,      // another connection held the lock past the busy time-out
    ReadOnly,  // the file or the server refuses writes
    Full,      // no room left on the disk
    Corrupt,   // the file is not a database, or a damaged one
    Gone,      // the connection to the server broke
    Other,
};

struct SqlResult {
    SqlStatus status = SqlStatus::Ok;
    std::string message;  // the database's own text, when status is not Ok
    std::vector<SqlRow> rows;
    bool Ok() const { return status == SqlStatus::Ok; }
};

// One open connection to the ledger's database: the few calls the ledger needs, the same for the
// embedded file and for a line's server, so that every statement of the ledger is written once.
// Statements use the placeholders $1, $2, ... for their values.
class LedgerDatabase {
public:
    virtual ~LedgerDatabase() = default;

    // One statement, with its values. Rows come back as text.
    virtual SqlResult Exec(const std::string& sql, const std::vector<SqlValue>& values = {}) = 0;
    // Begins a transaction that holds the ledger's write lock until COMMIT or ROLLBACK, so that
    // looking for a free number and claiming it cannot interleave with another station's.
    virtual SqlResult BeginWrite() = 0;
    // The column type of an id that the database counts up by itself.
    virtual const char* IdColumn() const = 0;
    // Checks the database's own storage (pages, indexes); empty when it is sound, else one
    // problem per line.
    virtual std::vector<std::string> CheckStorage() = 0;
    // "file /home/op/.local/share/tagbench/production.sqlite", "server db.line:5432/tagbench".
    virtual std::string Describe() const = 0;
};

// The embedded ledger: one SQLite file in WAL mode with a busy time-out, so that several programs
// on one PC share it. The file is made when missing (its folder must exist). nullptr with the
// reason in error.
std::unique_ptr<LedgerDatabase> OpenSqliteLedger(const std::string& path, std::string& error);
// A line's ledger on a PostgreSQL server, named by a connection string ("postgresql://..." or
// "host=... dbname=..."). nullptr with the reason in error.
std::unique_ptr<LedgerDatabase> OpenPostgresLedger(const std::string& connection, std::string& error);
