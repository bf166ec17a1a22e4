#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "stepping/StepMachine.h"

// Runs a machine on the calling thread, each step after the delay the last one asked for: the
// command line's driver. A stop is asked for before every step and after every step, before the
// wait, when the interrupt flag is set (by a signal handler) or stopWanted says so.
class BlockingStepDriver {
public:
    enum class End { Ended, Stopped };
    using Pause = std::function<void(uint32_t ms)>;

    // interrupt: may be null. pause: sleeps by default.
    explicit BlockingStepDriver(const std::atomic<bool>* interrupt, Pause pause = {});

    // afterStep runs after each step that did not end the machine (progress, counts).
    End Run(StepMachine& machine, const std::function<bool()>& stopWanted = {},
            const std::function<void()>& afterStep = {});

private:
    const std::atomic<bool>* m_pInterrupt;
    Pause m_pause;
};
