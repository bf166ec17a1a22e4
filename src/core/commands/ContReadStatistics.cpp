#include "commands/ContReadStatistics.h"

#include <cstdio>

#include "commands/ContinuousReadCycle.h"

namespace {

// Reader statuses the hint tells apart.
constexpr uint32_t kStatusNoCard = 1;
constexpr uint32_t kStatusNoAuthentication = 4;
constexpr uint32_t kStatusNotAuthenticated = 10;
constexpr uint32_t kStatusReadFailed = 18;

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
        m_figures.lastFailureByStep[static_cast<size_t>(step)] = result;
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

std::string ContReadHint(const ContReadFigures& figures, const ContReadOptions& options,
                         ContReadHintVoice voice) {
    int step = -1;
    for (int s = 0; s < ContReadFigures::kSteps; ++s) {
        const uint64_t failures = figures.failuresByStep[static_cast<size_t>(s)];
        if (failures >= kContReadHintMinFailures && failures * 2 > figures.nCycles) {
            step = s;  // more than half of all cycles: no other step can be
        }
    }
    if (step < 0) {
        return {};
    }
    const LinkResult result = figures.lastFailureByStep[static_cast<size_t>(step)];
    const char* const name = ContReadStepName(step);
    const char key = options.bKeyB ? 'B' : 'A';
    const unsigned block = options.nBlock;
    char text[320];
    if (result == LR_NO_ANSWER) {
        return "The reader does not answer: check the connection.";
    }
    if (result <= LR_READER_BASE || result > LR_READER_BASE + 0xFF) {
        std::snprintf(text, sizeof text, "The line to the reader fails at %s (%s): check the connection.",
                      name, LinkResultText(result).c_str());
        return text;
    }
    const uint32_t status = result - LR_READER_BASE;
    if (status == kStatusNoCard && (step == ContReadRequest || step == ContReadAnticollision)) {
        return "No card answers in the field: put a card on the reader.";
    }
    if (status == kStatusNoCard && step >= ContReadSelect && step <= ContReadRead) {
        // The card answered Request and Anticollision a moment before.
        std::snprintf(text, sizeof text, "The card stops answering at %s: keep one card still on the reader.",
                      name);
        return text;
    }
    if (status == kStatusNoAuthentication && step == ContReadAuthenticate) {
        // The cycle authenticates with key set 0 whatever set the commands page last used.
        const unsigned number = options.nKeyNumber;
        if (voice == ContReadHintVoice::CommandLine) {
            std::snprintf(text, sizeof text,
                          "The card did not accept key %c %u of key set 0 for block %u: load the card's key "
                          "with \"loadkey %c 0 %u KEY\" (new cards use FFFFFFFFFFFF).",
                          key, number, block, key, number);
        } else {
            std::snprintf(text, sizeof text,
                          "The card did not accept key %c %u of key set 0 for block %u: load the card's key "
                          "with \"Load key...\" (new cards use FFFFFFFFFFFF).",
                          key, number, block);
        }
        return text;
    }
    if (status == kStatusNotAuthenticated && step == ContReadRead) {
        std::snprintf(
            text, sizeof text,
            "The card forgets its authentication before block %u is read: keep it still on the reader.",
            block);
        return text;
    }
    if (status == kStatusReadFailed && step == ContReadRead) {
        std::snprintf(
            text, sizeof text,
            "The card does not let key %c read block %u: the sector's access conditions may want key "
            "%c.",
            key, block, options.bKeyB ? 'A' : 'B');
        return text;
    }
    std::snprintf(text, sizeof text, "Most cycles fail at %s: %s.", name, LinkResultText(result).c_str());
    return text;
}
