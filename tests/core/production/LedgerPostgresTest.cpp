// The ledger's behaviour on a line's server: the same scenario as on the embedded file, and what a
// station sees when the server goes away.
#include <gtest/gtest.h>

#include "core/production/LedgerTestScenario.h"
#include "pg/PostgresTest.h"

namespace {

class LedgerPostgresTest : public PostgresTest {};

TEST_F(LedgerPostgresTest, StationsShareTheServersNumbersAndALostServerIsARefusal) {
    RunLedgerScenario(NewDatabase("scenario"));
    RunConcurrentReservations(NewDatabase("concurrent"));

    const std::string location = NewDatabase("lost");
    std::unique_ptr<Ledger> ledger = OpenLedgerForTest(location, "line-1");
    ASSERT_TRUE(ledger);
    LedgerRun run;
    std::string error;
    ASSERT_EQ(ledger->ReserveRun(SerialRequest(7, true), 1000, run, error), Ledger::Reserve::Reserved)
        << error;
    server.Kill();
    // The job's end cannot be written: the caller must stop the series, not go on unrecorded.
    EXPECT_FALSE(ledger->FinishRun(run.nId, true, false, true, "", 1001, error));
    EXPECT_NE(error.find("The production ledger (server "), std::string::npos) << error;
    EXPECT_EQ(ledger->ReserveRun(SerialRequest(8, false), 1000, run, error), Ledger::Reserve::Failed);

    ASSERT_TRUE(server.Restart(&error)) << error;
    ledger = OpenLedgerForTest(location, "line-1");
    ASSERT_TRUE(ledger);
    std::vector<LedgerRun> open;
    ASSERT_TRUE(ledger->ListRuns({0, "", "", true}, open, error)) << error;
    ASSERT_EQ(open.size(), 1u) << "the run whose end was lost stays open, its number held";
    EXPECT_EQ(open[0].mifareSerial, 7u);
    EXPECT_EQ(ledger->NextFree(true, false, 7, 99999999, error), 8u);
}

}  // namespace
