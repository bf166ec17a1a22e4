// The live statistics: figures per run, the series for the plot, and its bound on long runs.
#include "commands/ContReadStatistics.h"

#include <gtest/gtest.h>

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

}  // namespace
