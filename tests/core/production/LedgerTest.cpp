#include "production/Ledger.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "core/production/LedgerTestScenario.h"

namespace {

namespace fs = std::filesystem;

class LedgerTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    void SetUp() override { fs::create_directories(dir); }

    // Runs one statement on the file behind the ledger's back, as a damaged or foreign file would.
    void Tamper(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    }

    fs::path dir = fs::temp_directory_path() / ("tagbench-ledger-" + std::to_string(::getpid()));
    std::string path = (dir / "production.sqlite").string();
};

TEST_F(LedgerTest, NumbersAreReservedOnceAndFreedOnlyWhenNothingWentOut) {
    RunLedgerScenario(path);
}

TEST_F(LedgerTest, StationsOnOnePcNeverShareANumber) {
    RunConcurrentReservations(path);
}

// A station killed mid-job leaves a running run; its next start cannot know whether the reader got
// the number, so the number stays used until an operator releases it.
TEST_F(LedgerTest, ADeadStationsRunBecomesUnknownAndOnlyAnOperatorFreesItsNumber) {
    std::string error;
    LedgerStation dead = LedgerStation::ThisProcess("line-1");
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    dead.nPid = child;
    {
        std::unique_ptr<Ledger> ledger = Ledger::Open(path, dead, error);
        ASSERT_TRUE(ledger) << error;
        LedgerRun run;
        LedgerRequest request{"Terminal", "SerialOnly", true, false, 42, true, 99999999, "", ""};
        ASSERT_EQ(ledger->ReserveRun(request, 1000, run, error), Ledger::Reserve::Reserved) << error;
    }
    std::unique_ptr<Ledger> ledger = Ledger::Open(path, LedgerStation::ThisProcess("line-1"), error);
    ASSERT_TRUE(ledger) << error;
    std::vector<LedgerRun> open;
    ASSERT_TRUE(ledger->ListRuns({0, "", "", true}, open, error)) << error;
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].outcome, LedgerOutcome::Unknown);
    EXPECT_EQ(open[0].mifareSerial, 42u);
    std::string next;
    EXPECT_EQ(ledger->NextFree(true, false, 42, 99999999, next), 43u);

    EXPECT_FALSE(ledger->Release(41, "typo", 2000, error));
    EXPECT_EQ(error, "Number 41 is not held by any run: there is nothing to release.");
    ASSERT_TRUE(ledger->Release(42, "reader 7 checked: blank", 2000, error)) << error;
    EXPECT_EQ(
        error,
        "Serial number 00000042 of run 1 (station line-1, unknown) is free again: reader 7 checked: blank");
    EXPECT_EQ(ledger->NextFree(true, false, 42, 99999999, next), 42u);
    ASSERT_TRUE(ledger->ListRuns({}, open, error));
    EXPECT_EQ(open[0].outcome, LedgerOutcome::Released);
    EXPECT_EQ(open[0].strMessage, "Released by line-1: reader 7 checked: blank");
    std::vector<std::string> problems;
    ASSERT_TRUE(ledger->Check(problems, error)) << error;
    EXPECT_TRUE(problems.empty()) << problems[0];
}

TEST_F(LedgerTest, AFileThatIsNoLedgerIsRefusedWithItsReason) {
    const fs::path corrupt = dir / "corrupt.sqlite";
    std::ofstream(corrupt) << std::string(4096, 'x');
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string location;
        std::string message;
    } cases[] = {
        {dir.string(), "Could not open the production ledger " + dir.string() + ": it is a folder."},
        {fifo.string(), "Could not open the production ledger " + fifo.string() + ": not a regular file."},
        {(dir / "none" / "l.sqlite").string(), "Could not open the production ledger " +
                                                   (dir / "none" / "l.sqlite").string() + ": the folder " +
                                                   (dir / "none").string() + " does not exist."},
        {corrupt.string(),
         "Could not open the production ledger " + corrupt.string() + ": file is not a database."},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(Ledger::Open(c.location, LedgerStation::ThisProcess(), error));
        EXPECT_EQ(error, c.message);
    }
    EXPECT_EQ(fs::file_size(corrupt), 4096u) << "a file that is no ledger is left as it was";

    std::string error;
    ASSERT_TRUE(Ledger::Open(path, LedgerStation::ThisProcess(), error)) << error;
    Tamper("UPDATE ledger_schema SET version = 7");
    EXPECT_FALSE(Ledger::Open(path, LedgerStation::ThisProcess(), error));
    EXPECT_EQ(error,
              "The production ledger (file " + path +
                  ") was made by a newer Tagbench (schema 7, this one knows 1): update Tagbench on this "
                  "station.");
}

TEST_F(LedgerTest, CheckFindsWhatTheConstraintsCannotKeep) {
    std::string error;
    {
        std::unique_ptr<Ledger> ledger = Ledger::Open(path, LedgerStation::ThisProcess("a"), error);
        ASSERT_TRUE(ledger) << error;
        LedgerRun run;
        for (uint32_t number : {5u, 6u}) {
            LedgerRequest request{"Terminal", "SerialOnly", true, false, number, true, 99999999, "", ""};
            ASSERT_EQ(ledger->ReserveRun(request, 1000, run, error), Ledger::Reserve::Reserved) << error;
            ASSERT_TRUE(ledger->FinishRun(run.nId, true, false, true, "", 1001, error)) << error;
        }
    }
    // A tool that edited the file: a stored number freed, another run claiming a stored number.
    Tamper("DELETE FROM numbers WHERE number = 5");
    Tamper("UPDATE runs SET mifare_serial = 6, outcome = 'stored' WHERE id = 1");
    Tamper("UPDATE runs SET pid = 'abc' WHERE id = 2");
    std::unique_ptr<Ledger> ledger = Ledger::Open(path, LedgerStation::ThisProcess("a"), error);
    ASSERT_TRUE(ledger) << error;
    std::vector<std::string> problems;
    ASSERT_TRUE(ledger->Check(problems, error)) << error;
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "run 2: a damaged row",
                            "run 1 (stored) does not hold its serial number 6",
                            "serial number 6 is in 2 readers",
                        }));
    std::vector<LedgerRun> runs;
    EXPECT_FALSE(ledger->ListRuns({}, runs, error));
    EXPECT_EQ(error, "The production ledger (file " + path +
                         ") holds a damaged run (id 2): ledger check tells more.");
}

TEST(LedgerLocation, ConnectionStringsNameAServerAndEverythingElseAFile) {
    for (const char* server : {"postgresql://line/tagbench", "postgres://u@h/db", "host=/tmp/x dbname=t",
                               " dbname = t", "service=line"}) {
        EXPECT_TRUE(Ledger::IsServerLocation(server)) << server;
    }
    for (const char* file : {"", "production.sqlite", "/data/a=b.sqlite", "=x", "./host=x", "postgresql:/x",
                             "C:\\ledger.sqlite"}) {
        EXPECT_FALSE(Ledger::IsServerLocation(file)) << file;
    }
}

}  // namespace
