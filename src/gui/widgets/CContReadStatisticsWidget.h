#pragma once

#include <array>

#include <QWidget>

#include "commands/ContReadStatistics.h"

class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QValueAxis;

// The live figures of continuous read: cycles, rate, success rate, failures by step with the last
// failure's text, elapsed time, and a plot of success rate and cycle rate over the run. It shows
// what it was last given; the page feeds it a few times a second and once more at the stop.
class CContReadStatisticsWidget : public QWidget {
    Q_OBJECT

public:
    explicit CContReadStatisticsWidget(QWidget* parent = nullptr);

    void Show(const ContReadFigures& figures);
    // A line under the figures for what the run says once (a silent PC beep); empty hides it.
    void SetNotice(const QString& text);

    // The texts shown, for tests: each figure by the name before it ("Cycles:"), and "Last failure".
    QString Figure(const QString& name) const;

private:
    QLabel* AddFigure(class QFormLayout* form, const QString& name);

    QLabel* m_pState = nullptr;
    QLabel* m_pCycles = nullptr;
    QLabel* m_pRate = nullptr;
    QLabel* m_pSuccess = nullptr;
    QLabel* m_pElapsed = nullptr;
    std::array<QLabel*, ContReadFigures::kSteps> m_failures{};
    QLabel* m_pLastFailure = nullptr;
    QLabel* m_pNotice = nullptr;
    QChart* m_pChart = nullptr;
    QChartView* m_pChartView = nullptr;
    QLineSeries* m_pSuccessSeries = nullptr;
    QLineSeries* m_pRateSeries = nullptr;
    QValueAxis* m_pTimeAxis = nullptr;
    QValueAxis* m_pRateAxis = nullptr;
};
