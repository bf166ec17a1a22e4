#include "widgets/CContReadStatisticsWidget.h"

#include <algorithm>
#include <cmath>

#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QFontMetricsF>
#include <QFormLayout>
#include <QFrame>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QStyle>
#include <QVBoxLayout>
#include <QValueAxis>

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
    m_pAttemptedRate = AddFigure(form, tr("Cycles per second:"));
    m_pRate = AddFigure(form, tr("Completed per second:"));
    m_pSuccess = AddFigure(form, tr("Success rate:"));
    m_pElapsed = AddFigure(form, tr("Elapsed:"));
    for (int step : kFailingSteps) {
        m_failures[step] =
            AddFigure(form, tr("Failed at %1:").arg(QString::fromLatin1(ContReadStepName(step))));
    }
    // The texts below the figures and the plot, where a status text of any length fits.
    // Texts from the reader are shown as they are, never taken for markup.
    m_pLastFailure = new QLabel(this);
    m_pLastFailure->setTextFormat(Qt::PlainText);
    m_pLastFailure->setWordWrap(true);
    m_pLastFailure->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Why most cycles fail, set apart from the figures as a note, not as an alarm: the reader is
    // doing what it was asked.
    m_pHintFrame = new QFrame(this);
    m_pHintFrame->setObjectName(QStringLiteral("hint"));
    m_pHintFrame->setStyleSheet(QStringLiteral(
        "QFrame#hint { background-color: #eef4fb; border: 1px solid #a9c4e2; border-radius: 3px; }"
        "QFrame#hint QLabel { color: #14304d; background: transparent; border: none; }"));
    auto* hintIcon = new QLabel(m_pHintFrame);
    const int iconSize = style()->pixelMetric(QStyle::PM_SmallIconSize);
    hintIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(iconSize, iconSize));
    hintIcon->setAlignment(Qt::AlignTop);
    m_pHint = new QLabel(m_pHintFrame);
    m_pHint->setTextFormat(Qt::PlainText);
    m_pHint->setWordWrap(true);
    m_pHint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* hintLayout = new QHBoxLayout(m_pHintFrame);
    hintLayout->setContentsMargins(6, 4, 6, 4);
    hintLayout->addWidget(hintIcon);
    hintLayout->addWidget(m_pHint, 1);
    m_pHintFrame->hide();
    m_pNotice = new QLabel(this);
    m_pNotice->setTextFormat(Qt::PlainText);
    m_pNotice->setWordWrap(true);
    m_pNotice->hide();

    m_pAttemptedSeries = new QLineSeries;
    m_pAttemptedSeries->setName(tr("Cycles/s"));
    m_pSuccessSeries = new QLineSeries;
    m_pSuccessSeries->setName(tr("Success %"));
    m_pChart = new QChart;
    m_pChart->addSeries(m_pAttemptedSeries);
    m_pChart->addSeries(m_pSuccessSeries);
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
    m_pAttemptedSeries->attachAxis(m_pTimeAxis);
    m_pAttemptedSeries->attachAxis(m_pRateAxis);

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
    layout->addWidget(m_pHintFrame);
    layout->addWidget(m_pNotice);

    ReserveFigureWidth();
    Show(ContReadFigures{});
}

void CContReadStatisticsWidget::ReserveFigureWidth() {
    // The widest text a figure takes in a run of days, in the font the panel has now (the sheet
    // enlarges it after construction): the plot beside the figures keeps its place as they grow.
    // Digits are as wide as each other; a pixel more for the rounding of other figures' widths.
    const QFontMetricsF metrics(m_pCycles->font());
    qreal widest = 0;
    for (const QString& text :
         {tr("%1 (%2 completed)").arg(QStringLiteral("000000000"), QStringLiteral("000000000")),
          tr("stopping..."), QStringLiteral("00000.0"), QStringLiteral("100.0 %"),
          QStringLiteral("0000:00:00.0")}) {
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    m_pCycles->setMinimumWidth(static_cast<int>(std::ceil(widest)) + 1);
}

QSize CContReadStatisticsWidget::sizeHint() const {
    // The hint comes and goes with the figures: room for two lines of it, so that a page that
    // reserves this much shows it without growing.
    QSize size = QWidget::sizeHint();
    if (m_pHintFrame->isHidden()) {
        size.rheight() +=
            layout()->spacing() + m_pHintFrame->sizeHint().height() + fontMetrics().lineSpacing();
    }
    return size;
}

void CContReadStatisticsWidget::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange && m_pCycles != nullptr) {
        ReserveFigureWidth();
    }
}

QLabel* CContReadStatisticsWidget::AddFigure(QFormLayout* form, const QString& name) {
    auto* value = new QLabel(this);
    value->setObjectName(name);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(name, value);
    return value;
}

void CContReadStatisticsWidget::StartRun(const ContReadOptions& options) {
    m_options = options;
    m_attempted.clear();
    m_dwSampleMs = 0;
    m_nSampleCycles = 0;
    m_dwIntervalMs = ContReadStatistics::kFirstIntervalMs;
    m_bStopping = false;
}

void CContReadStatisticsWidget::SetStopping(bool stopping) {
    m_bStopping = stopping;
    ShowState();
}

void CContReadStatisticsWidget::ShowState() {
    m_pState->setText(!m_bRunning ? tr("stopped") : m_bStopping ? tr("stopping...") : tr("running"));
}

QString CContReadStatisticsWidget::Figure(const QString& name) const {
    if (name == QLatin1String("Last failure")) {
        return m_pLastFailure->text();
    }
    if (name == QLatin1String("Hint")) {
        return m_pHintFrame->isHidden() ? QString() : m_pHint->text();
    }
    const auto* label = findChild<QLabel*>(name);
    return label != nullptr ? label->text() : QString();
}

void CContReadStatisticsWidget::Show(const ContReadFigures& figures) {
    m_bRunning = figures.bRunning;
    ShowState();
    m_pCycles->setText(tr("%1 (%2 completed)").arg(figures.nCycles).arg(figures.nCompleted));
    const double attempted =
        figures.dwElapsedMs == 0 ? 0 : 1000.0 * static_cast<double>(figures.nCycles) / figures.dwElapsedMs;
    m_pAttemptedRate->setText(QString::number(attempted, 'f', 1));
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
    const QString hint = QString::fromStdString(ContReadHint(figures, m_options));
    m_pHint->setText(hint);
    m_pHintFrame->setVisible(!hint.isEmpty());

    SampleAttempted(figures);
    QList<QPointF> success;
    success.reserve(static_cast<qsizetype>(figures.samples.size()));
    for (const ContReadSample& sample : figures.samples) {
        success.append(QPointF(sample.dwElapsedMs / 1000.0, sample.dSuccessPercent));
    }
    m_pSuccessSeries->replace(success);
    m_pAttemptedSeries->replace(m_attempted);
    // The rate axis follows the figures from the first update on, before the first point is in.
    double highestRate = attempted;
    for (const QPointF& point : m_attempted) {
        highestRate = std::max(highestRate, point.y());
    }
    m_pTimeAxis->setRange(0, std::max(10.0, RoundUp(figures.dwElapsedMs / 1000.0)));
    const double rateEnd = RoundUp(highestRate * 1.1);
    m_pRateAxis->setRange(0, rateEnd);
    // Whole numbers unless the rate is too low for them to tell the ticks apart.
    m_pRateAxis->setLabelFormat(rateEnd < 10 ? QStringLiteral("%.1f") : QStringLiteral("%.0f"));
}

void CContReadStatisticsWidget::SampleAttempted(const ContReadFigures& figures) {
    // Another run's figures (a page that did not say so): start over.
    if (figures.dwElapsedMs < m_dwSampleMs || figures.nCycles < m_nSampleCycles) {
        StartRun(m_options);
    }
    const uint32_t span = figures.dwElapsedMs - m_dwSampleMs;
    if (span < m_dwIntervalMs) {
        return;  // a part of an interval, also at the stop, would be a ragged last point
    }
    const uint64_t cycles = figures.nCycles - m_nSampleCycles;
    m_attempted.append(QPointF(figures.dwElapsedMs / 1000.0, 1000.0 * static_cast<double>(cycles) / span));
    m_dwSampleMs = figures.dwElapsedMs;
    m_nSampleCycles = figures.nCycles;
    // As the run's own series does: a run of days plots whole in a bounded number of points.
    if (static_cast<size_t>(m_attempted.size()) >= ContReadStatistics::kMaxSamples) {
        QList<QPointF> merged;
        merged.reserve(m_attempted.size() / 2);
        for (qsizetype i = 0; i + 1 < m_attempted.size(); i += 2) {
            merged.append(QPointF(m_attempted[i + 1].x(), (m_attempted[i].y() + m_attempted[i + 1].y()) / 2));
        }
        m_attempted = merged;
        m_dwIntervalMs *= 2;
    }
}

void CContReadStatisticsWidget::SetNotice(const QString& text) {
    m_pNotice->setText(text);
    m_pNotice->setVisible(!text.isEmpty());
}
