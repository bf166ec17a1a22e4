#include <gtest/gtest.h>

#include <QChart>
#include <QChartView>
#include <QCoreApplication>
#include <QLineSeries>
#include <QValueAxis>

#include "commands/ContReadStatistics.h"
#include "commands/ContinuousReadCycle.h"
#include "link/LinkResult.h"
#include "widgets/CContReadStatisticsWidget.h"

namespace {

constexpr LinkResult kKeyRefused = LR_READER_BASE + 4;

// The panel fed by the run's own statistics, four times a second as the page does.
class ContReadStatisticsWidgetTest : public testing::Test {
protected:
    void SetUp() override {
        m_statistics.Start(0);
        m_widget.StartRun(ContReadOptions{});
    }

    // One cycle every periodMs, ending at step with result, until untilMs.
    void Run(uint32_t untilMs, uint32_t periodMs, int step, LinkResult result) {
        for (; m_now < untilMs;) {
            m_now += 1;
            if (m_now % periodMs == 0) {
                m_statistics.RecordCycle(m_now, step, result);
            }
            if (m_now % 250 == 0) {
                m_widget.Show(m_statistics.Figures(m_now));
            }
        }
    }

    QLineSeries* Series(const QString& name) {
        for (QAbstractSeries* series : Chart()->series()) {
            if (series->name() == name) {
                return qobject_cast<QLineSeries*>(series);
            }
        }
        return nullptr;
    }
    QValueAxis* RateAxis() {
        for (QAbstractAxis* axis : Chart()->axes(Qt::Vertical)) {
            if (axis->titleText() == "cycles/s") {
                return qobject_cast<QValueAxis*>(axis);
            }
        }
        return nullptr;
    }
    QChart* Chart() { return m_widget.findChild<QChartView*>()->chart(); }

    ContReadStatistics m_statistics;
    CContReadStatisticsWidget m_widget;
    uint32_t m_now = 0;
};

// 500 cycles a second, all refused at Authenticate: a busy reader, not one standing still.
TEST_F(ContReadStatisticsWidgetTest, ARunWhereEveryCycleFailsPlotsTheCyclesItAttempts) {
    Run(4000, 2, ContReadAuthenticate, kKeyRefused);
    QLineSeries* attempted = Series("Cycles/s");
    QLineSeries* success = Series("Success %");
    ASSERT_NE(attempted, nullptr);
    ASSERT_NE(success, nullptr);
    EXPECT_EQ(attempted->points(), (QList<QPointF>{{1.0, 500.0}, {2.0, 500.0}, {3.0, 500.0}, {4.0, 500.0}}));
    ASSERT_EQ(success->count(), 4);
    for (const QPointF& point : success->points()) {
        EXPECT_EQ(point.y(), 0.0);
    }
    // The rate axis takes the figures in, with room above, not a 0 to 1 scale.
    ASSERT_NE(RateAxis(), nullptr);
    EXPECT_GT(RateAxis()->max(), 500.0);
    EXPECT_LE(RateAxis()->max(), 1000.0);
    EXPECT_EQ(m_widget.Figure("Cycles per second:"), "500.0");
    EXPECT_EQ(m_widget.Figure("Completed per second:"), "0.0");

    // The next run plots from its own start.
    m_statistics.Start(m_now);
    m_widget.StartRun(ContReadOptions{});
    m_widget.Show(m_statistics.Figures(m_now));
    EXPECT_EQ(attempted->count(), 0);
}

TEST_F(ContReadStatisticsWidgetTest, ALongRunPlotsWholeInABoundedNumberOfPoints) {
    Run(1200 * 1000, 100, ContReadSwitchOff, LR_OK);
    const QList<QPointF> points = Series("Cycles/s")->points();
    EXPECT_LT(points.size(), static_cast<qsizetype>(ContReadStatistics::kMaxSamples));
    EXPECT_GT(points.size(), 100);
    EXPECT_NEAR(points.back().x(), 1200.0, 4.0);
    for (const QPointF& point : points) {
        EXPECT_DOUBLE_EQ(point.y(), 10.0);
    }
}

// Released, a run still ends its last step and its switch-off: until then it shows as stopping,
// also through the refreshes meanwhile.
TEST_F(ContReadStatisticsWidgetTest, AStoppedRunShowsStoppingUntilItsFiguresSayStopped) {
    Run(1000, 2, ContReadSwitchOff, LR_OK);
    EXPECT_EQ(m_widget.Figure("Continuous read:"), "running");
    m_widget.SetStopping(true);
    EXPECT_EQ(m_widget.Figure("Continuous read:"), "stopping...");
    Run(1500, 2, ContReadSwitchOff, LR_OK);
    EXPECT_EQ(m_widget.Figure("Continuous read:"), "stopping...");
    m_statistics.Stop(m_now);
    m_widget.Show(m_statistics.Figures(m_now));
    EXPECT_EQ(m_widget.Figure("Continuous read:"), "stopped");
    m_widget.StartRun(ContReadOptions{});
    m_statistics.Start(m_now);
    m_widget.Show(m_statistics.Figures(m_now));
    EXPECT_EQ(m_widget.Figure("Continuous read:"), "running");
}

// The figures of a run of days take no more room than the first ones, in the font the panel is
// given after it was made (the sheet enlarges it): the plot beside them stays where it was.
TEST_F(ContReadStatisticsWidgetTest, ThePlotKeepsItsPlaceAsTheFiguresGrow) {
    QFont larger = m_widget.font();
    larger.setPointSizeF(larger.pointSizeF() * 1.1);
    m_widget.setFont(larger);
    m_widget.resize(800, 400);
    m_widget.show();
    Run(1000, 2, ContReadSwitchOff, LR_OK);
    QCoreApplication::processEvents();
    const auto* plot = m_widget.findChild<QChartView*>();
    const int x = plot->x();

    ContReadFigures days = m_statistics.Figures(m_now);
    days.nCycles = 999999999;
    days.nCompleted = 999999998;
    days.failuresByStep.fill(99999999);
    days.dwElapsedMs = 999u * 3600 * 1000;
    days.dCyclesPerSecond = 9999.9;
    days.dSuccessPercent = 100;
    m_widget.Show(days);
    QCoreApplication::processEvents();
    EXPECT_EQ(m_widget.Figure("Cycles:"), "999999999 (999999998 completed)");
    EXPECT_EQ(plot->x(), x);
}

}  // namespace
