#include "widgets/CContReadStatisticsWidget.h"

#include <algorithm>
#include <cmath>

#include <QChart>
#include <QChartView>
#include <QFormLayout>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QVBoxLayout>
#include <QValueAxis>

#include "commands/ContinuousReadCycle.h"
#include "link/LinkResult.h"

namespace {

// The steps that can end a cycle with a failure; the signal's result is never counted.
constexpr int kFailingSteps[] = {ContReadReset,        ContReadRequest, ContReadAnticollision, ContReadSelect,
                                 ContReadAuthenticate, ContReadRead,    ContReadSwitchOff};

QString Elapsed(uint32_t ms) {
    const uint32_t seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3.%4")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000 / 100);
}

// An axis end a little above value, on a round figure, so the plot does not rescale every update.
double RoundUp(double value) {
    if (value <= 0) {
        return 1;
    }
    const double step = std::pow(10.0, std::floor(std::log10(value)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (value <= factor * step) {
            return factor * step;
        }
    }
    return 10 * step;
}

}  // namespace

CContReadStatisticsWidget::CContReadStatisticsWidget(QWidget* parent) : QWidget(parent) {
    auto* figures = new QWidget(this);
    auto* form = new QFormLayout(figures);
    form->setContentsMargins(0, 0, 0, 0);
    form->setVerticalSpacing(1);
    m_pState = AddFigure(form, tr("Continuous read:"));
    m_pCycles = AddFigure(form, tr("Cycles:"));
    m_pRate = AddFigure(form, tr("Completed per second:"));
    m_pSuccess = AddFigure(form, tr("Success rate:"));
    m_pElapsed = AddFigure(form, tr("Elapsed:"));
    for (int step : kFailingSteps) {
        m_failures[step] =
            AddFigure(form, tr("Failed at %1:").arg(QString::fromLatin1(ContReadStepName(step))));
    }
    // The texts below the figures and the plot, where a status text of any length fits.
    m_pLastFailure = new QLabel(this);
    m_pLastFailure->setWordWrap(true);
    m_pLastFailure->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pNotice = new QLabel(this);
    m_pNotice->setWordWrap(true);
    m_pNotice->hide();

    m_pSuccessSeries = new QLineSeries;
    m_pSuccessSeries->setName(tr("Success %"));
    m_pRateSeries = new QLineSeries;
    m_pRateSeries->setName(tr("Cycles/s"));
    m_pChart = new QChart;
    m_pChart->addSeries(m_pSuccessSeries);
    m_pChart->addSeries(m_pRateSeries);
    m_pChart->legend()->setAlignment(Qt::AlignBottom);
    m_pChart->setMargins(QMargins(2, 2, 2, 2));
    m_pChart->layout()->setContentsMargins(0, 0, 0, 0);
    m_pChart->setBackgroundRoundness(0);

    m_pTimeAxis = new QValueAxis;
    m_pTimeAxis->setTitleText(tr("s"));
    m_pTimeAxis->setLabelFormat(QStringLiteral("%.0f"));
    m_pTimeAxis->setTickCount(6);  // the range is a round figure: fifths of it are too
    auto* successAxis = new QValueAxis;
    successAxis->setRange(0, 100);
    successAxis->setLabelFormat(QStringLiteral("%.0f%%"));
    successAxis->setTickCount(5);
    m_pRateAxis = new QValueAxis;
    m_pRateAxis->setTickCount(5);
    m_pRateAxis->setTitleText(tr("cycles/s"));
    m_pRateAxis->setLabelFormat(QStringLiteral("%.0f"));
    m_pChart->addAxis(m_pTimeAxis, Qt::AlignBottom);
    m_pChart->addAxis(successAxis, Qt::AlignLeft);
    m_pChart->addAxis(m_pRateAxis, Qt::AlignRight);
    m_pSuccessSeries->attachAxis(m_pTimeAxis);
    m_pSuccessSeries->attachAxis(successAxis);
    m_pRateSeries->attachAxis(m_pTimeAxis);
    m_pRateSeries->attachAxis(m_pRateAxis);

    m_pChartView = new QChartView(m_pChart, this);
    m_pChartView->setRenderHint(QPainter::Antialiasing);
    m_pChartView->setMinimumSize(220, 120);

    auto* top = new QHBoxLayout;
    top->addWidget(figures);
    top->addWidget(m_pChartView, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addLayout(top, 1);
    layout->addWidget(m_pLastFailure);
    layout->addWidget(m_pNotice);

    Show(ContReadFigures{});
}

QLabel* CContReadStatisticsWidget::AddFigure(QFormLayout* form, const QString& name) {
    auto* value = new QLabel(this);
    value->setObjectName(name);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(name, value);
    return value;
}

QString CContReadStatisticsWidget::Figure(const QString& name) const {
    if (name == QLatin1String("Last failure")) {
        return m_pLastFailure->text();
    }
    const auto* label = findChild<QLabel*>(name);
    return label != nullptr ? label->text() : QString();
}

void CContReadStatisticsWidget::Show(const ContReadFigures& figures) {
    m_pState->setText(figures.bRunning ? tr("running") : tr("stopped"));
    m_pCycles->setText(tr("%1 (%2 completed)").arg(figures.nCycles).arg(figures.nCompleted));
    m_pRate->setText(QString::number(figures.dCyclesPerSecond, 'f', 1));
    m_pSuccess->setText(QStringLiteral("%1 %").arg(figures.dSuccessPercent, 0, 'f', 1));
    m_pElapsed->setText(Elapsed(figures.dwElapsedMs));
    for (int step : kFailingSteps) {
        m_failures[step]->setText(QString::number(figures.failuresByStep[step]));
    }
    m_pLastFailure->setText(figures.nLastFailureStep < 0
                                ? tr("Last failure: none")
                                : tr("Last failure at %1: %2")
                                      .arg(QString::fromLatin1(ContReadStepName(figures.nLastFailureStep)),
                                           QString::fromStdString(figures.strLastFailure)));

    QList<QPointF> success;
    QList<QPointF> rate;
    success.reserve(static_cast<qsizetype>(figures.samples.size()));
    rate.reserve(static_cast<qsizetype>(figures.samples.size()));
    double highestRate = 0;
    for (const ContReadSample& sample : figures.samples) {
        const double seconds = sample.dwElapsedMs / 1000.0;
        success.append(QPointF(seconds, sample.dSuccessPercent));
        rate.append(QPointF(seconds, sample.dCyclesPerSecond));
        highestRate = std::max(highestRate, sample.dCyclesPerSecond);
    }
    m_pSuccessSeries->replace(success);
    m_pRateSeries->replace(rate);
    m_pTimeAxis->setRange(0, std::max(10.0, RoundUp(figures.dwElapsedMs / 1000.0)));
    const double rateEnd = RoundUp(highestRate * 1.1);
    m_pRateAxis->setRange(0, rateEnd);
    // Whole numbers unless the rate is too low for them to tell the ticks apart.
    m_pRateAxis->setLabelFormat(rateEnd < 10 ? QStringLiteral("%.1f") : QStringLiteral("%.0f"));
}

void CContReadStatisticsWidget::SetNotice(const QString& text) {
    m_pNotice->setText(text);
    m_pNotice->setVisible(!text.isEmpty());
}
