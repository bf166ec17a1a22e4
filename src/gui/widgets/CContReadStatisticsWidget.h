#pragma once

#include <array>
#include <cstdint>

#include <QList>
#include <QPointF>
#include <QWidget>

#include "commands/ContReadStatistics.h"
#include "commands/ContinuousReadCycle.h"

class QChart;
class QChartView;
class QFrame;
class QLabel;
class QLineSeries;
class QValueAxis;

// The live figures of continuous read: cycles, rates, success rate, failures by step with the last
// failure's text and, when one step ends most cycles, why and what to do; elapsed time, and a plot
// of the cycles attempted per second and the success rate over the run, so that a reader that
// fails every cycle does not look like one standing still. It shows what it was last given; the
// page feeds it a few times a second and once more at the stop.
class CContReadStatisticsWidget : public QWidget {
    Q_OBJECT

public:
    explicit CContReadStatisticsWidget(QWidget* parent = nullptr);

    // A run starts: its plot begins empty, and the hint speaks of what it reads with.
    void StartRun(const ContReadOptions& options);
    void Show(const ContReadFigures& figures);
    // The user has stopped the run, whose last step and switch-off are still to end: a run that
    // is still running shows as stopping.
    void SetStopping(bool stopping);
    // A line under the figures for what the run says once (a silent PC beep); empty hides it.
    void SetNotice(const QString& text);

    // The texts shown, for tests: each figure by the name before it ("Cycles:"), "Last failure",
    // and "Hint" (empty while hidden).
    QString Figure(const QString& name) const;

    QSize sizeHint() const override;

protected:
    void changeEvent(QEvent* event) override;

private:
    void ReserveFigureWidth();
    QLabel* AddFigure(class QFormLayout* form, const QString& name);
    void ShowState();
    // Takes a point of the attempted rate when a whole interval has passed since the last one.
    void SampleAttempted(const ContReadFigures& figures);

    ContReadOptions m_options;
    // The cycles attempted per second: the run's own series counts completed cycles only, so the
    // panel samples the cycle count itself, at its own rate, on the same intervals.
    QList<QPointF> m_attempted;
    uint32_t m_dwSampleMs = 0;
    uint64_t m_nSampleCycles = 0;
    uint32_t m_dwIntervalMs = ContReadStatistics::kFirstIntervalMs;
    bool m_bStopping = false;
    bool m_bRunning = false;

    QLabel* m_pState = nullptr;
    QLabel* m_pCycles = nullptr;
    QLabel* m_pAttemptedRate = nullptr;
    QLabel* m_pRate = nullptr;
    QLabel* m_pSuccess = nullptr;
    QLabel* m_pElapsed = nullptr;
    std::array<QLabel*, ContReadFigures::kSteps> m_failures{};
    QLabel* m_pLastFailure = nullptr;
    QFrame* m_pHintFrame = nullptr;
    QLabel* m_pHint = nullptr;
    QLabel* m_pNotice = nullptr;
    QChart* m_pChart = nullptr;
    QChartView* m_pChartView = nullptr;
    QLineSeries* m_pSuccessSeries = nullptr;
    QLineSeries* m_pAttemptedSeries = nullptr;
    QValueAxis* m_pTimeAxis = nullptr;
    QValueAxis* m_pRateAxis = nullptr;
};
