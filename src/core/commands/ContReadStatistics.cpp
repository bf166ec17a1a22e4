#include "commands/ContReadStatistics.h"

namespace {

double Percent(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

double PerSecond(uint64_t count, uint32_t ms) {
    return ms == 0 ? 0 : 1000.0 * static_cast<double>(count) / ms;
}

}  // namespace

void ContReadStatistics::Start(uint32_t now) {
    std::lock_guard lock(m_mutex);
    m_figures = ContReadFigures{};
    m_figures.bRunning = true;
    m_dwStartTick = now;
    m_dwIntervalMs = kFirstIntervalMs;
    m_dwIntervalStart = 0;
    m_nIntervalCycles = 0;
    m_nIntervalCompleted = 0;
}

void ContReadStatistics::CloseIntervals(uint32_t now) {
    const uint32_t elapsed = now - m_dwStartTick;
    while (elapsed - m_dwIntervalStart >= m_dwIntervalMs) {
        std::vector<ContReadSample>& samples = m_figures.samples;
        const uint32_t end = m_dwIntervalStart + m_dwIntervalMs;
        // A quiet interval (a reader that blocks) shows as a gap in neither figure: its success
        // rate is the last one known.
        const double success = m_nIntervalCycles != 0 ? Percent(m_nIntervalCompleted, m_nIntervalCycles)
                               : samples.empty()      ? 0
                                                      : samples.back().dSuccessPercent;
        samples.push_back({end, success, PerSecond(m_nIntervalCompleted, m_dwIntervalMs)});
        m_dwIntervalStart = end;
        m_nIntervalCycles = 0;
        m_nIntervalCompleted = 0;
        if (samples.size() >= kMaxSamples) {
            for (size_t i = 0; i < samples.size() / 2; ++i) {
                const ContReadSample& a = samples[2 * i];
                const ContReadSample& b = samples[2 * i + 1];
                samples[i] = {b.dwElapsedMs, (a.dSuccessPercent + b.dSuccessPercent) / 2,
                              (a.dCyclesPerSecond + b.dCyclesPerSecond) / 2};
            }
            samples.resize(samples.size() / 2);
            m_dwIntervalMs *= 2;
        }
    }
}

void ContReadStatistics::RecordCycle(uint32_t now, int step, LinkResult result) {
    std::lock_guard lock(m_mutex);
    CloseIntervals(now);
    ++m_figures.nCycles;
    ++m_nIntervalCycles;
    if (result == LR_OK) {
        ++m_figures.nCompleted;
        ++m_nIntervalCompleted;
        return;
    }
    if (step >= 0 && step < ContReadFigures::kSteps) {
        ++m_figures.failuresByStep[static_cast<size_t>(step)];
    }
    if (m_figures.lastFailure != result || m_figures.nLastFailureStep != step) {
        m_figures.strLastFailure = LinkResultText(result);
    }
    m_figures.nLastFailureStep = step;
    m_figures.lastFailure = result;
}

void ContReadStatistics::Stop(uint32_t now) {
    std::lock_guard lock(m_mutex);
    if (m_figures.bRunning) {
        CloseIntervals(now);
        m_figures.bRunning = false;
        m_dwStopTick = now;
    }
}

ContReadFigures ContReadStatistics::Figures(uint32_t now) const {
    std::lock_guard lock(m_mutex);
    ContReadFigures figures = m_figures;
    figures.dwElapsedMs = (figures.bRunning ? now : m_dwStopTick) - m_dwStartTick;
    figures.dCyclesPerSecond = PerSecond(figures.nCompleted, figures.dwElapsedMs);
    figures.dSuccessPercent = Percent(figures.nCompleted, figures.nCycles);
    return figures;
}
