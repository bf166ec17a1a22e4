#include "stepping/BlockingStepDriver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A machine that ends after a number of steps, each asking for its own delay, and that refuses
// a number of stops first (as a file transfer does). It writes what happened into a script.
class ScriptedMachine : public StepMachine {
public:
    ScriptedMachine(int steps, int refusals, std::vector<std::string>& script)
        : m_nSteps(steps), m_nRefusals(refusals), m_script(script) {}

    StepOutcome Advance() override {
        ++m_nDone;
        m_script.push_back("step " + std::to_string(m_nDone));
        return {m_nDone == m_nSteps, static_cast<uint32_t>(10 * m_nDone)};
    }
    bool RequestStop() override {
        const bool accepted = m_nRefusals-- <= 0;
        m_script.push_back(accepted ? "stop" : "stop refused");
        return accepted;
    }

private:
    int m_nSteps;
    int m_nRefusals;
    int m_nDone = 0;
    std::vector<std::string>& m_script;
};

struct Case {
    const char* name;
    int steps;
    int refusals;
    bool interruptAtStart;
    int stopAfterStep;  // stopWanted turns true after this step; 0 never
    BlockingStepDriver::End end;
    std::vector<std::string> script;
};

TEST(BlockingStepDriver, RunsPacesAndStopsAsAsked) {
    const std::vector<Case> cases = {
        {"ends by itself, waiting each step's delay but not after the last",
         3,
         0,
         false,
         0,
         BlockingStepDriver::End::Ended,
         {"step 1", "wait 10", "step 2", "wait 20", "step 3"}},
        {"an interrupt before the first step sends nothing",
         3,
         0,
         true,
         0,
         BlockingStepDriver::End::Stopped,
         {"stop"}},
        {"a stop wanted during a step does not wait for the next one's time",
         5,
         0,
         false,
         2,
         BlockingStepDriver::End::Stopped,
         {"step 1", "wait 10", "step 2", "stop"}},
        {"a refused stop is asked again while the machine goes on",
         5,
         2,
         false,
         1,
         BlockingStepDriver::End::Stopped,
         {"step 1", "stop refused", "wait 10", "stop refused", "step 2", "stop"}},
        {"a machine that ends while its stop is refused has ended",
         2,
         9,
         false,
         1,
         BlockingStepDriver::End::Ended,
         {"step 1", "stop refused", "wait 10", "stop refused", "step 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> script;
        ScriptedMachine machine(c.steps, c.refusals, script);
        std::atomic<bool> interrupt{c.interruptAtStart};
        int steps = 0;
        BlockingStepDriver driver(&interrupt,
                                  [&script](uint32_t ms) { script.push_back("wait " + std::to_string(ms)); });
        const auto end = driver.Run(
            machine, [&] { return c.stopAfterStep != 0 && steps >= c.stopAfterStep; }, [&] { ++steps; });
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(script, c.script);
    }
}

}  // namespace
