#pragma once

#include <signal.h>

// While it lives, Ctrl-C calls handler (which sets a flag the running mode reads between steps)
// instead of ending the program; then what was there before is back.
class CliInterruptGuard {
public:
    explicit CliInterruptGuard(void (*handler)(int)) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_previous);
    }
    ~CliInterruptGuard() { sigaction(SIGINT, &m_previous, nullptr); }
    CliInterruptGuard(const CliInterruptGuard&) = delete;
    CliInterruptGuard& operator=(const CliInterruptGuard&) = delete;

private:
    struct sigaction m_previous {};
};
