#include "link/TraceTimestamp.h"

#include <cstdio>

void TraceTimestamp::SetMode(Mode mode) {
    m_nMode = mode;
    m_bStarted = false;
}

std::string TraceTimestamp::Prefix() {
    char text[32];
    switch (m_nMode) {
        case None:
            return {};
        case Elapsed: {
            const uint32_t now = m_clock.GetTickCount();
            if (!m_bStarted) {
                m_bStarted = true;
                m_dwFirst = now;
            }
            const uint32_t ms = now - m_dwFirst;
            std::snprintf(text, sizeof text, "+%u.%03u ", ms / 1000, ms % 1000);
            return text;
        }
        case TimeOfDay: {
            const uint32_t ms = m_timeOfDay() % (24u * 3600 * 1000);
            std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u ", ms / 3600000, ms / 60000 % 60,
                          ms / 1000 % 60, ms % 1000);
            return text;
        }
    }
    return {};
}

std::string TraceTimestamp::Stamp(std::string_view text, bool& atLineStart) {
    if (m_nMode == None) {
        if (!text.empty()) {
            atLineStart = text.back() == '\n';
        }
        return std::string(text);
    }
    std::string stamped;
    stamped.reserve(text.size() + 16);
    for (const char c : text) {
        if (atLineStart) {
            stamped += Prefix();
            atLineStart = false;
        }
        stamped += c;
        atLineStart = c == '\n';
    }
    return stamped;
}

uint32_t TraceTimestamp::LocalTimeOfDayMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return static_cast<uint32_t>((local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000 +
                                 now.tv_nsec / 1000000);
}
