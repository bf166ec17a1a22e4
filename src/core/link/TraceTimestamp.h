#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "link/Clock.h"

// The prefix that a kept trace puts before each line: nothing, the time since the first line
// ("+12.345 ", seconds with milliseconds) or the time of day ("14:03:22.123 "). The window and the
// command line share it, so a saved window and a captured terminal read alike.
class TraceTimestamp {
public:
    enum Mode : uint32_t { None = 0, Elapsed = 1, TimeOfDay = 2 };
    // Milliseconds since midnight, local time; replaceable for tests.
    using TimeOfDaySource = std::function<uint32_t()>;

    explicit TraceTimestamp(Clock& clock = Clock::System(), TimeOfDaySource timeOfDay = LocalTimeOfDayMs)
        : m_clock(clock), m_timeOfDay(std::move(timeOfDay)) {}

    void SetMode(Mode mode);
    Mode GetMode() const { return m_nMode; }
    // The elapsed time counts from the next line again.
    void Restart() { m_bStarted = false; }

    // The prefix of a line that starts now (empty in mode None).
    std::string Prefix();
    // The text with a prefix at the start of every line in it; atLineStart says whether the text
    // begins a line and is left saying whether the next text does.
    std::string Stamp(std::string_view text, bool& atLineStart);

    static uint32_t LocalTimeOfDayMs();

private:
    Clock& m_clock;
    TimeOfDaySource m_timeOfDay;
    Mode m_nMode = None;
    bool m_bStarted = false;
    uint32_t m_dwFirst = 0;
};
