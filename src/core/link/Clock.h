#pragma once

#include <cstdint>

// The tick count in milliseconds, 32 bits wide and wrapping; take differences unsigned
// (now - start), which stays right across the wrap.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t GetTickCount() = 0;

    // The clock of the machine (monotonic).
    static Clock& System();
};

class SystemClock final : public Clock {
public:
    uint32_t GetTickCount() override;
};

// A clock for tests and the in-process simulator: it moves only when told to.
class FakeClock final : public Clock {
public:
    explicit FakeClock(uint32_t start = 0) : m_dwNow(start) {}
    uint32_t GetTickCount() override { return m_dwNow; }
    void Advance(uint32_t ms) { m_dwNow += ms; }
    void Set(uint32_t ms) { m_dwNow = ms; }

private:
    uint32_t m_dwNow;
};
