#include "stepping/BlockingStepDriver.h"

#include <chrono>
#include <thread>
#include <utility>

BlockingStepDriver::BlockingStepDriver(const std::atomic<bool>* interrupt, Pause pause)
    : m_pInterrupt(interrupt), m_pause(std::move(pause)) {
    if (!m_pause) {
        m_pause = [](uint32_t ms) {
            if (ms != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            }
        };
    }
}

BlockingStepDriver::End BlockingStepDriver::Run(StepMachine& machine, const std::function<bool()>& stopWanted,
                                                const std::function<void()>& afterStep) {
    const auto stop = [&] {
        const bool wanted = (m_pInterrupt != nullptr && m_pInterrupt->load()) || (stopWanted && stopWanted());
        return wanted && machine.RequestStop();
    };
    for (;;) {
        if (stop()) {
            return End::Stopped;
        }
        const StepOutcome outcome = machine.Advance();
        if (outcome.bEnded) {
            return End::Ended;
        }
        if (afterStep) {
            afterStep();
        }
        // A stop asked for during the step does not wait for the next step's time.
        if (stop()) {
            return End::Stopped;
        }
        m_pause(outcome.dwNextDelayMs);
    }
}
