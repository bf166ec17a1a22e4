#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "commands/ContinuousReadCycle.h"
#include "link/Clock.h"

class OutputWindow;
class ReaderLink;

// The command line's two modes, contread and waitcard, with their options.
struct CliModeOptions {
    enum Mode { ModeNone, ModeContRead, ModeWaitCard };

    Mode nMode = ModeNone;
    std::string strName;       // as typed, for messages
    ContReadOptions contRead;  // block, key, attempts, signals
    uint64_t nCycles = 0;      // stop after this many cycles; 0: no limit
    uint32_t dwSeconds = 0;    // stop after this long; 0: no limit
    std::string strLogPath;    // empty: no log
    // A loadkey command on the line: contread then reads with the key it loaded instead of
    // loading the commands page's default key into key 0 first.
    bool bCommandsLoadKey = false;

    // What the parser made of args[i]: not a word of the modes, taken (i moved past it), or wrong.
    enum Parsed { NotMine, Taken, Wrong };
    // The mode's word, and once a mode is named, its options (anywhere after the word).
    Parsed Parse(const std::vector<std::string>& args, size_t& i, std::string& error);

    static std::string Usage();
};

// Runs a mode on a connected link to its end, the user's Ctrl-C, or its limit.
class CliModes {
public:
    // window: the output window that continuous read detaches while it runs. progress: print a
    // live progress line (a terminal).
    CliModes(ReaderLink& link, Clock& clock, OutputWindow* window, std::ostream& out, std::ostream& err,
             bool progress);

    // The exit status: 0 when the mode did its work, 1 when it could not.
    int Run(const CliModeOptions& options);

private:
    int RunContRead(const CliModeOptions& options);
    int RunWaitCard(const CliModeOptions& options);
    void PrintProgress(const ContReadFigures& figures);
    void ClearProgress();
    void PrintTable(const ContReadFigures& figures, const ContReadOptions& options);

    ReaderLink& m_link;
    Clock& m_clock;
    OutputWindow* m_pWindow;
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_bProgress;
    bool m_bProgressShown = false;
};
