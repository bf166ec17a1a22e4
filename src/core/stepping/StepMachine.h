#pragma once

#include <cstdint>

// What one step of a machine left to its driver.
struct StepOutcome {
    bool bEnded = false;         // the machine ended by itself
    uint32_t dwNextDelayMs = 0;  // when the next step is due: 0 at once
    // The step left something to show before the next one runs (a notice, an error to confirm).
    // False lets a driver that shows steps elsewhere go straight on to a step that is due at once.
    bool bWorthShowing = true;
};

// A mode or a job that runs one step at a time on the thread that owns the reader: continuous
// read, wait-for-card, a programming job. A driver runs its steps, waits the delay each asks for
// and passes on the user's stop; it never runs two calls at once.
class StepMachine {
public:
    virtual ~StepMachine() = default;

    // Runs the step that is due.
    virtual StepOutcome Advance() = 0;
    // The user wants it to end: it ends its own way (a switch-off, a Reset) and says true, or says
    // false when it cannot stop now (a file transfer runs to its end); the driver asks again later.
    virtual bool RequestStop() = 0;
    // The program is closing: as RequestStop, but a machine may leave out an exchange with a reader
    // that stopped answering, which would only hold the close up for the link's full time-out.
    virtual void StopForClose() { RequestStop(); }
};
