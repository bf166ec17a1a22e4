#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "production/Ledger.h"
#include "programming/ProgrammingSequence.h"

// One programming run's dealings with the ledger, the same for the page and the command line:
// the number(s) are reserved before the loader is woken, and the run's end is written after it.
class LedgerJob {
public:
    // What the ledger is asked for the job the form took. exact: the number was typed by the user
    // (refused when used) rather than counted up (the next free one from it).
    static LedgerRequest MakeRequest(const std::string& profile, const ProgrammingInputs& inputs, bool exact);

    // Reserves the job's number(s); on Reserved the inputs carry the reserved number (a USB
    // reader's MIFARE serial number follows its USB one). A job without numbers (firmware) is
    // recorded as running all the same.
    Ledger::Reserve Reserve(Ledger& ledger, const std::string& profile, ProgrammingInputs& inputs, bool exact,
                            std::time_t when, std::string& message);
    // The sequence ended: stored, failed or cancelled before a number went out, or unknown.
    bool Finish(Ledger& ledger, const ProgrammingSequence& sequence, std::time_t when, std::string& error);
    // The sequence never ran (a wait for the reader that the user ended): the numbers are free.
    bool Cancel(Ledger& ledger, std::time_t when, std::string& error);

    bool IsReserved() const { return m_bReserved; }
    const LedgerRun& Run() const { return m_run; }

private:
    LedgerRun m_run;
    bool m_bReserved = false;
};
