#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "pg/PostgresTest.h"
#include "production/LedgerDatabase.h"

namespace {

class PostgresDatabaseTest : public PostgresTest {
protected:
    std::unique_ptr<LedgerDatabase> Open(const std::string& connection) {
        std::string error;
        std::unique_ptr<LedgerDatabase> db = OpenPostgresLedger(connection, error);
        EXPECT_NE(db, nullptr) << error;
        return db;
    }
};

TEST_F(PostgresDatabaseTest, ValuesComeBackAsTheyWentAndRefusalsInTheLedgersTerms) {
    const std::unique_ptr<LedgerDatabase> db = Open(server.ConnectionString());
    ASSERT_NE(db, nullptr);
    ASSERT_TRUE(
        db->Exec(std::string("CREATE TABLE t (id ") + db->IdColumn() + ", n BIGINT, s TEXT UNIQUE)").Ok());

    struct Case {
        SqlValue n;
        SqlValue s;
        std::optional<std::string> nText;
        std::optional<std::string> sText;
    };
    const Case cases[] = {
        {nullptr, nullptr, std::nullopt, std::nullopt},
        {int64_t{0}, std::string(), "0", ""},
        {std::numeric_limits<int64_t>::max(), std::string("it's \"quoted\" \\ $1"), "9223372036854775807",
         "it's \"quoted\" \\ $1"},
        {std::numeric_limits<int64_t>::min(), std::string("two\nlines\r\n\ttab"), "-9223372036854775808",
         "two\nlines\r\n\ttab"},
        {int64_t{99999999}, std::string("Grüße, Ωμέγα, 名前 ✓"), "99999999", "Grüße, Ωμέγα, 名前 ✓"},
        // A string where the column is a number: the server converts it, as SQLite would.
        {std::string("42"), std::string("text into a number column"), "42", "text into a number column"},
    };
    for (const Case& c : cases) {
        const SqlResult inserted =
            db->Exec("INSERT INTO t (n, s) VALUES ($1, $2) RETURNING id, n, s", {c.n, c.s});
        ASSERT_TRUE(inserted.Ok()) << inserted.message;
        ASSERT_EQ(inserted.rows.size(), 1u);
        const SqlResult read =
            db->Exec("SELECT n, s FROM t WHERE id = $1", {std::stoll(*inserted.rows[0][0])});
        ASSERT_TRUE(read.Ok()) << read.message;
        EXPECT_EQ(read.rows, std::vector<SqlRow>({SqlRow{c.nText, c.sText}}))
            << "row " << *inserted.rows[0][0];
    }
    // The ledger's own forms: a typed start, and "empty means any".
    const SqlResult cast = db->Exec("SELECT CAST($1 AS BIGINT) + 1, ($2 = '' OR s = $2) FROM t WHERE n = $1",
                                    {int64_t{99999999}, std::string()});
    ASSERT_TRUE(cast.Ok()) << cast.message;
    EXPECT_EQ(cast.rows, std::vector<SqlRow>({SqlRow{"100000000", "t"}}));
    const SqlResult ids = db->Exec("SELECT COUNT(DISTINCT id) FROM t");
    EXPECT_EQ(ids.rows, std::vector<SqlRow>({SqlRow{"6"}})) << "the id column counts by itself";

    struct Refusal {
        const char* sql;
        std::vector<SqlValue> values;
        SqlStatus status;
        const char* message;
    };
    const Refusal refusals[] = {
        {"INSERT INTO t (s) VALUES ($1)",
         {std::string("it's \"quoted\" \\ $1")},
         SqlStatus::Unique,
         "duplicate key value violates unique constraint \"t_s_key\""},
        {"SELEC 1", {}, SqlStatus::Other, "syntax error at or near \"SELEC\""},
        {"INSERT INTO t (n) VALUES ($1)",
         {std::string("not a number")},
         SqlStatus::Other,
         "invalid input syntax for type bigint: \"not a number\""},
        // A NUL would cut the text short on its way: refused rather than stored cut.
        {"INSERT INTO t (s) VALUES ($1)",
         {std::string("a\0b", 3)},
         SqlStatus::Other,
         "value $1 holds a NUL character"},
    };
    for (const Refusal& r : refusals) {
        const SqlResult result = db->Exec(r.sql, r.values);
        EXPECT_EQ(result.status, r.status) << r.sql << ": " << result.message;
        EXPECT_EQ(result.message, r.message) << r.sql;
        EXPECT_TRUE(result.rows.empty());
    }
    // A transaction that may not write: the server's refusal is ReadOnly.
    ASSERT_TRUE(db->Exec("BEGIN READ ONLY").Ok());
    const SqlResult readOnly = db->Exec("INSERT INTO t (s) VALUES ('x')");
    EXPECT_EQ(readOnly.status, SqlStatus::ReadOnly) << readOnly.message;
    EXPECT_EQ(readOnly.message, "cannot execute INSERT in a read-only transaction");
    ASSERT_TRUE(db->Exec("ROLLBACK").Ok());
    EXPECT_TRUE(db->CheckStorage().empty());
}

TEST_F(PostgresDatabaseTest, OneStationAtATimeHoldsTheWriteLockAndAnotherGivesUpBusy) {
    const std::string connection = server.ConnectionString();
    const std::unique_ptr<LedgerDatabase> a = Open(connection);
    const std::unique_ptr<LedgerDatabase> b = Open(connection);
    ASSERT_TRUE(a && b);
    // Before the ledger made its tables there is nothing to lock: refused, and no transaction left.
    const SqlResult early = a->BeginWrite();
    EXPECT_EQ(early.status, SqlStatus::Other);
    EXPECT_EQ(early.message, "relation \"numbers\" does not exist");
    ASSERT_TRUE(a->Exec("CREATE TABLE numbers (number BIGINT PRIMARY KEY)").Ok())
        << "outside any transaction";

    ASSERT_TRUE(a->BeginWrite().Ok());
    ASSERT_TRUE(a->Exec("INSERT INTO numbers VALUES ($1)", {int64_t{7}}).Ok());
    // The default waits 10 s for the lock; the test need not.
    ASSERT_TRUE(b->Exec("SET lock_timeout = '200ms'").Ok());
    const SqlResult blocked = b->BeginWrite();
    EXPECT_EQ(blocked.status, SqlStatus::Busy) << blocked.message;
    EXPECT_EQ(blocked.message, "canceling statement due to lock timeout");
    const SqlResult write = b->Exec("INSERT INTO numbers VALUES ($1)", {int64_t{8}});
    EXPECT_EQ(write.status, SqlStatus::Busy) << "a plain write waits for the lock too, outside BeginWrite";
    const SqlResult read = b->Exec("SELECT COUNT(*) FROM numbers");
    EXPECT_TRUE(read.Ok()) << "readers are not held up: " << read.message;
    EXPECT_EQ(read.rows, std::vector<SqlRow>({SqlRow{"0"}})) << "nor do they see the uncommitted claim";

    ASSERT_TRUE(a->Exec("COMMIT").Ok());
    ASSERT_TRUE(b->BeginWrite().Ok()) << "the failed attempt left no transaction behind";
    const SqlResult twice = b->Exec("INSERT INTO numbers VALUES ($1)", {int64_t{7}});
    EXPECT_EQ(twice.status, SqlStatus::Unique);
    EXPECT_TRUE(b->Exec("ROLLBACK").Ok());
}

TEST_F(PostgresDatabaseTest, ALostServerIsGoneAtOnceAndReachedAgainWhenItIsBack) {
    const std::string connection = server.ConnectionString();
    const std::unique_ptr<LedgerDatabase> db = Open(connection);
    ASSERT_NE(db, nullptr);
    ASSERT_TRUE(db->Exec("CREATE TABLE numbers (number BIGINT PRIMARY KEY)").Ok());
    const auto count = [&] { return db->Exec("SELECT COUNT(*) FROM numbers").rows; };
    std::string error;

    // Lost in the middle of a reservation.
    ASSERT_TRUE(db->BeginWrite().Ok());
    ASSERT_TRUE(db->Exec("INSERT INTO numbers VALUES ($1)", {int64_t{1}}).Ok());
    server.Kill();
    const SqlResult lost = db->Exec("INSERT INTO numbers VALUES ($1)", {int64_t{2}});
    EXPECT_EQ(lost.status, SqlStatus::Gone) << lost.message;
    EXPECT_EQ(lost.message, "server closed the connection unexpectedly");
    ASSERT_TRUE(server.Restart(&error)) << error;
    // The transaction died with the connection: its next statement must not run on a new
    // connection, outside it; ending it is all that is left to do.
    EXPECT_EQ(db->Exec("INSERT INTO numbers VALUES ($1)", {int64_t{3}}).status, SqlStatus::Gone);
    EXPECT_TRUE(db->Exec("ROLLBACK").Ok());
    EXPECT_EQ(count(), std::vector<SqlRow>({SqlRow{"0"}}))
        << "reached again, and nothing of the lost one stayed";
    EXPECT_EQ(db->Exec("SHOW lock_timeout").rows, std::vector<SqlRow>({SqlRow{"10s"}}))
        << "the new session has the settings";

    // Lost between two jobs, and still down.
    server.Kill();
    EXPECT_EQ(db->Exec("SELECT 1").status, SqlStatus::Gone);
    const SqlResult down = db->Exec("SELECT 1");
    EXPECT_EQ(down.status, SqlStatus::Gone);
    EXPECT_NE(down.message.find(server.Dir().string()), std::string::npos) << down.message;
    EXPECT_EQ(down.message.find('\n'), std::string::npos) << down.message;
    EXPECT_EQ(db->BeginWrite().status, SqlStatus::Gone);
    EXPECT_EQ(db->CheckStorage().size(), 1u);
    EXPECT_EQ(OpenPostgresLedger(connection, error), nullptr);
    EXPECT_EQ(error.rfind("Could not reach the production ledger server: connection to server on socket \"" +
                              server.Dir().string(),
                          0),
              0u)
        << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;

    ASSERT_TRUE(server.Restart(&error)) << error;
    const SqlResult back = db->BeginWrite();
    EXPECT_TRUE(back.Ok()) << "the next job reaches the server again: " << back.message;
    EXPECT_TRUE(db->Exec("INSERT INTO numbers VALUES ($1)", {int64_t{4}}).Ok());
    EXPECT_TRUE(db->Exec("COMMIT").Ok());
    EXPECT_EQ(count(), std::vector<SqlRow>({SqlRow{"1"}}));

    // An orderly shutdown tells its clients why.
    server.Stop();
    const SqlResult stopped = db->Exec("SELECT 1");
    EXPECT_EQ(stopped.status, SqlStatus::Gone);
    EXPECT_EQ(stopped.message, "terminating connection due to administrator command");
}

TEST_F(PostgresDatabaseTest, TheDescriptionAndTheErrorsNeverShowThePassword) {
    const std::string dir = server.Dir().string();
    const std::string expected = "server " + dir + ":5432/postgres";
    // Trust authentication takes any password: the connection works with one in it.
    for (const std::string& connection :
         {server.ConnectionString() + " password=s3cret",
          "postgresql://tagbench:s3cret@/postgres?host=" + dir + "&port=5432"}) {
        const std::unique_ptr<LedgerDatabase> db = Open(connection);
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(db->Describe(), expected) << connection;
    }
    for (const std::string& connection :
         {server.ConnectionString("nosuchdb") + " password=s3cret",
          "postgresql://tagbench:s3cret@/nosuchdb?host=" + dir + "&port=5432",
          std::string("host= password=s3cret x"),
          "postgresql://tagbench:s3cret@/postgres?host=" + dir + "&port=5432&nosuchoption=1"}) {
        std::string error;
        EXPECT_EQ(OpenPostgresLedger(connection, error), nullptr) << connection;
        EXPECT_EQ(error.rfind("Could not reach the production ledger server: ", 0), 0u) << error;
        EXPECT_EQ(error.find("s3cret"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

}  // namespace
