// The live statistics: figures per run, the series for the plot, and its bound on long runs.
#include "commands/ContReadStatistics.h"

#include <gtest/gtest.h>

#include "commands/ContinuousReadCycle.h"
#include "link/ReaderLink.h"

namespace {

TEST(ContReadStatistics, FiguresCountCyclesAndFreezeAtTheStop) {
    ContReadStatistics statistics;
    statistics.Start(1000);
    statistics.RecordCycle(1100, 7, LR_OK);
    statistics.RecordCycle(1200, 1, 0x200000C9);
    statistics.RecordCycle(1300, 7, LR_OK);
    statistics.RecordCycle(1400, 7, LR_OK);
    statistics.Stop(3000);
    const ContReadFigures f = statistics.Figures(9000);
    EXPECT_FALSE(f.bRunning);
    EXPECT_EQ(f.nCycles, 4u);
    EXPECT_EQ(f.nCompleted, 3u);
    EXPECT_EQ(f.failuresByStep[1], 1u);
    EXPECT_EQ(f.nLastFailureStep, 1);
    EXPECT_EQ(f.dwElapsedMs, 2000u) << "the figures stay as they were at the stop";
    EXPECT_DOUBLE_EQ(f.dCyclesPerSecond, 1.5);
    EXPECT_DOUBLE_EQ(f.dSuccessPercent, 75);
    ASSERT_EQ(f.samples.size(), 2u);
    EXPECT_EQ(f.samples[0].dwElapsedMs, 1000u);
    EXPECT_DOUBLE_EQ(f.samples[0].dSuccessPercent, 75);
    EXPECT_DOUBLE_EQ(f.samples[0].dCyclesPerSecond, 3);
    EXPECT_DOUBLE_EQ(f.samples[1].dSuccessPercent, 75) << "a quiet interval keeps the last rate";
    EXPECT_DOUBLE_EQ(f.samples[1].dCyclesPerSecond, 0);

    statistics.Start(10000);
    EXPECT_EQ(statistics.Figures(10000).nCycles, 0u) << "a new run starts from nothing";
}

TEST(ContReadStatistics, LongRunKeepsABoundedSeriesOverTheWholeRun) {
    ContReadStatistics statistics;
    statistics.Start(0);
    const uint32_t hours = 10 * 3600 * 1000;
    for (uint32_t t = 0; t < hours; t += 100) {
        statistics.RecordCycle(t, 7, LR_OK);
    }
    const ContReadFigures f = statistics.Figures(hours);
    EXPECT_LT(f.samples.size(), ContReadStatistics::kMaxSamples);
    EXPECT_GT(f.samples.size(), ContReadStatistics::kMaxSamples / 4);
    EXPECT_GT(f.samples.back().dwElapsedMs, hours - hours / 100);
    EXPECT_DOUBLE_EQ(f.samples.back().dCyclesPerSecond, 10);
}

// A run of ten cycles: `failing` of them end at step with result, then the rest complete.
ContReadFigures TenCycles(int step, LinkResult result, int failing) {
    ContReadStatistics statistics;
    statistics.Start(0);
    for (int i = 0; i < 10; ++i) {
        statistics.RecordCycle(i, i < failing ? step : ContReadSwitchOff, i < failing ? result : LR_OK);
    }
    return statistics.Figures(10);
}

TEST(ContReadHint, NamesTheStepThatEndsMostCyclesWithWhatToDo) {
    ContReadOptions blockFourKeyB3;
    blockFourKeyB3.nBlock = 4;
    blockFourKeyB3.bKeyB = true;
    blockFourKeyB3.nKeyNumber = 3;
    const ContReadOptions defaults;
    const auto status = [](uint32_t s) { return LR_READER_BASE + s; };
    const struct {
        int step;
        LinkResult result;
        const ContReadOptions& options;
        const char* hint;
    } cases[] = {
        {ContReadAuthenticate, status(4), defaults,
         "The card did not accept key A 0 of key set 0 for block 0: load the card's key with \"Load key...\" "
         "(new cards use FFFFFFFFFFFF)."},
        {ContReadAuthenticate, status(4), blockFourKeyB3,
         "The card did not accept key B 3 of key set 0 for block 4: load the card's key with \"Load key...\" "
         "(new cards use FFFFFFFFFFFF)."},
        {ContReadRequest, status(1), defaults, "No card answers in the field: put a card on the reader."},
        {ContReadAnticollision, status(1), defaults,
         "No card answers in the field: put a card on the reader."},
        {ContReadSelect, status(1), defaults,
         "The card stops answering at Select: keep one card still on the reader."},
        {ContReadAuthenticate, status(1), defaults,
         "The card stops answering at Authenticate: keep one card still on the reader."},
        {ContReadRead, status(10), blockFourKeyB3,
         "The card forgets its authentication before block 4 is read: keep it still on the reader."},
        {ContReadRead, status(18), blockFourKeyB3,
         "The card does not let key B read block 4: the sector's access conditions may want key A."},
        {ContReadReset, LR_NO_ANSWER, defaults, "The reader does not answer: check the connection."},
        {ContReadSelect, LR_NO_ANSWER, defaults, "The reader does not answer: check the connection."},
        {ContReadSwitchOff, LR_NO_ANSWER, defaults, "The reader does not answer: check the connection."},
        {ContReadRequest, LR_D2XX_BASE + 4, defaults,
         "The line to the reader fails at Request (USB bridge: I/O error (D2XX status 4)): check the "
         "connection."},
        {ContReadSelect, status(2), defaults,
         "Most cycles fail at Select: the reader answered with status 2 <Wrong CRC received from the card>."},
        {ContReadRead, status(99), defaults, "Most cycles fail at Read: the reader answered with status 99."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << ContReadStepName(c.step) << " " << std::hex << c.result);
        EXPECT_EQ(ContReadHint(TenCycles(c.step, c.result, 6), c.options), c.hint);
        EXPECT_EQ(ContReadHint(TenCycles(c.step, c.result, 5), c.options), "")
            << "half of the cycles is not most";
    }
}

TEST(ContReadHint, StaysSilentWithoutOneStepBehindMostCycles) {
    const ContReadOptions options;
    EXPECT_EQ(ContReadHint(ContReadFigures{}, options), "") << "before the first cycle";

    ContReadStatistics statistics;
    statistics.Start(0);
    statistics.RecordCycle(1, ContReadRequest, LR_READER_BASE + 1);
    statistics.RecordCycle(2, ContReadRequest, LR_READER_BASE + 1);
    EXPECT_EQ(ContReadHint(statistics.Figures(3), options), "") << "two failures are too few to judge";
    statistics.RecordCycle(3, ContReadRequest, LR_READER_BASE + 1);
    EXPECT_EQ(ContReadHint(statistics.Figures(3), options),
              "No card answers in the field: put a card on the reader.");

    // Every cycle fails, but no step ends more than half of them: no one thing to name.
    for (int i = 0; i < 2; ++i) {
        statistics.RecordCycle(4, ContReadSelect, LR_READER_BASE + 1);
        statistics.RecordCycle(4, ContReadAuthenticate, LR_READER_BASE + 4);
    }
    EXPECT_EQ(ContReadHint(statistics.Figures(5), options), "");

    // The hint speaks of the step's own last failure, not of another step's.
    for (int i = 0; i < 5; ++i) {
        statistics.RecordCycle(6, ContReadAuthenticate, LR_READER_BASE + 4);
    }
    statistics.RecordCycle(6, ContReadRequest, LR_NO_ANSWER);
    EXPECT_EQ(
        ContReadHint(statistics.Figures(7), options, ContReadHintVoice::CommandLine),
        "The card did not accept key A 0 of key set 0 for block 0: load the card's key with \"loadkey A 0 0 "
        "KEY\" (new cards use FFFFFFFFFFFF).");
}

}  // namespace
