#include <sqlite3.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "production/LedgerDatabase.h"

namespace {

// Long enough for another station's reservation to end, short enough that a stuck one shows.
constexpr int kBusyTimeoutMs = 10000;

SqlStatus StatusOf(int code) {
    switch (code) {
        case SQLITE_CONSTRAINT_UNIQUE:
        case SQLITE_CONSTRAINT_PRIMARYKEY:
            return SqlStatus::Unique;
        default:
            break;
    }
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return SqlStatus::Busy;
        case SQLITE_READONLY:
            return SqlStatus::ReadOnly;
        case SQLITE_FULL:
            return SqlStatus::Full;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            return SqlStatus::Corrupt;
        default:
            return SqlStatus::Other;
    }
}

class SqliteDatabase : public LedgerDatabase {
public:
    SqliteDatabase(sqlite3* db, std::string path) : m_db(db), m_strPath(std::move(path)) {}
    ~SqliteDatabase() override { sqlite3_close_v2(m_db); }
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    SqlResult Exec(const std::string& sql, const std::vector<SqlValue>& values) override {
        SqlResult result;
        // "$1" is a named parameter to SQLite; "?1" binds by its number, as the ledger means it.
        std::string text = sql;
        for (size_t i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == '$' && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
                text[i] = '?';
            }
        }
        sqlite3_stmt* statement = nullptr;
        int code = sqlite3_prepare_v2(m_db, text.c_str(), static_cast<int>(text.size()), &statement, nullptr);
        for (size_t i = 0; code == SQLITE_OK && i < values.size(); ++i) {
            const int index = static_cast<int>(i + 1);
            if (const auto* number = std::get_if<int64_t>(&values[i])) {
                code = sqlite3_bind_int64(statement, index, *number);
            } else if (const auto* string = std::get_if<std::string>(&values[i])) {
                code = sqlite3_bind_text(statement, index, string->data(), static_cast<int>(string->size()),
                                         SQLITE_TRANSIENT);
            } else {
                code = sqlite3_bind_null(statement, index);
            }
        }
        while (code == SQLITE_OK || code == SQLITE_ROW) {
            code = sqlite3_step(statement);
            if (code != SQLITE_ROW) {
                break;
            }
            SqlRow row;
            const int columns = sqlite3_column_count(statement);
            for (int column = 0; column < columns; ++column) {
                if (sqlite3_column_type(statement, column) == SQLITE_NULL) {
                    row.emplace_back();
                } else {
                    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
                    row.emplace_back(std::string(data, sqlite3_column_bytes(statement, column)));
                }
            }
            result.rows.push_back(std::move(row));
        }
        if (code != SQLITE_DONE) {
            result.status = StatusOf(sqlite3_extended_errcode(m_db));
            result.message = sqlite3_errmsg(m_db);
            result.rows.clear();
        }
        sqlite3_finalize(statement);
        return result;
    }

    // IMMEDIATE takes the write lock at once: a deferred transaction that reads first and writes
    // later could fail on a snapshot another writer made stale, without waiting.
    SqlResult BeginWrite() override { return Exec("BEGIN IMMEDIATE", {}); }
    const char* IdColumn() const override { return "INTEGER PRIMARY KEY"; }

    std::vector<std::string> CheckStorage() override {
        std::vector<std::string> problems;
        SqlResult check = Exec("PRAGMA integrity_check", {});
        if (!check.Ok()) {
            problems.push_back("integrity check: " + check.message);
        }
        for (const SqlRow& row : check.rows) {
            if (!row.empty() && row[0] && *row[0] != "ok") {
                problems.push_back("integrity check: " + *row[0]);
            }
        }
        SqlResult keys = Exec("PRAGMA foreign_key_check", {});
        for (const SqlRow& row : keys.rows) {
            problems.push_back("a row of " + row[0].value_or("?") + " refers to a missing row of " +
                               (row.size() > 2 ? row[2].value_or("?") : "?"));
        }
        return problems;
    }

    std::string Describe() const override { return "file " + m_strPath; }

private:
    sqlite3* m_db;
    std::string m_strPath;
};

}  // namespace

std::unique_ptr<LedgerDatabase> OpenSqliteLedger(const std::string& path, std::string& error) {
    const auto fail = [&](const std::string& reason) {
        error = "Could not open the production ledger " + path + ": " + reason + ".";
        return nullptr;
    };
    // A FIFO or a device would block or take garbage for pages; only a file (or none yet) will do.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            return fail(S_ISDIR(info.st_mode) ? "it is a folder" : "not a regular file");
        }
    } else if (errno != ENOENT) {
        return fail(std::strerror(errno));
    } else if (const std::filesystem::path parent = std::filesystem::path(path).parent_path();
               !parent.empty() && !std::filesystem::is_directory(parent)) {
        return fail("the folder " + parent.string() + " does not exist");
    }
    sqlite3* db = nullptr;
    const int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (code != SQLITE_OK) {
        std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
        sqlite3_close_v2(db);
        return fail(reason);
    }
    auto database = std::make_unique<SqliteDatabase>(db, path);
    if (sqlite3_db_readonly(db, "main") == 1) {
        return fail("the file is read-only");
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // WAL lets the other stations of this PC read while one reserves; FULL keeps a reservation
    // that was committed through a power cut, so that its number is never given out twice.
    for (const char* pragma :
         {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}) {
        const SqlResult result = database->Exec(pragma, {});
        if (!result.Ok()) {
            return fail(result.message);
        }
    }
    return database;
}
