#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/LinkResult.h"

struct ContReadOptions;

// One point of the plot: the figures over one sampling interval.
struct ContReadSample {
    uint32_t dwElapsedMs = 0;  // end of the interval, from the start of the run
    double dSuccessPercent = 0;
    double dCyclesPerSecond = 0;  // completed cycles
};

// What the live statistics show at one moment.
struct ContReadFigures {
    static constexpr int kSteps = 8;

    bool bRunning = false;
    uint64_t nCycles = 0;     // cycles that ended, completed or not (one log record each)
    uint64_t nCompleted = 0;  // cycles that ended with the switch-off's success
    std::array<uint64_t, kSteps> failuresByStep{};
    std::array<LinkResult, kSteps> lastFailureByStep{};  // LR_OK for a step that has not failed
    int nLastFailureStep = -1;                           // -1 while nothing failed
    LinkResult lastFailure = LR_OK;
    std::string strLastFailure;
    uint32_t dwElapsedMs = 0;
    double dCyclesPerSecond = 0;  // completed cycles over the elapsed time
    double dSuccessPercent = 0;   // completed of all cycles
    std::vector<ContReadSample> samples;
};

// The live statistics of continuous read: the cycle records each cycle's end (from its own
// thread), a view takes the figures a few times a second. Recording costs a lock and a few
// additions; the series keeps at most kMaxSamples points by merging neighbours and doubling the
// interval when it is full, so a run of days still plots whole.
class ContReadStatistics {
public:
    static constexpr uint32_t kFirstIntervalMs = 1000;
    static constexpr size_t kMaxSamples = 512;

    void Start(uint32_t now);
    // A cycle ended at step with result (step 7 with 0: completed).
    void RecordCycle(uint32_t now, int step, LinkResult result);
    void Stop(uint32_t now);
    ContReadFigures Figures(uint32_t now) const;

private:
    void CloseIntervals(uint32_t now);

    mutable std::mutex m_mutex;
    ContReadFigures m_figures;
    uint32_t m_dwStartTick = 0;
    uint32_t m_dwStopTick = 0;
    uint32_t m_dwIntervalMs = kFirstIntervalMs;
    uint32_t m_dwIntervalStart = 0;  // ms from the start
    uint64_t m_nIntervalCycles = 0;
    uint64_t m_nIntervalCompleted = 0;
};

// Where a hint is read: the window names its buttons, the command line its commands.
enum class ContReadHintVoice { Window, CommandLine };

// A few failures say little: a card put on the reader late fails some cycles on its way.
inline constexpr uint64_t kContReadHintMinFailures = 3;

// Why most cycles fail and what to do about it, in one or two sentences, when one step ends more
// than half of all cycles (and at least kContReadHintMinFailures of them); empty while most cycles
// complete or the failures spread over several steps. options: what the run reads with.
std::string ContReadHint(const ContReadFigures& figures, const ContReadOptions& options,
                         ContReadHintVoice voice = ContReadHintVoice::Window);
