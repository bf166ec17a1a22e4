#include "link/Clock.h"

#include <chrono>

uint32_t SystemClock::GetTickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

Clock& Clock::System() {
    static SystemClock clock;
    return clock;
}
