#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "conformance/ConformanceSuite.h"
#include "link/Clock.h"
#include "stepping/BlockingStepDriver.h"

class ReaderPort;

// The options of "conformance": the reader conformance suite run headless, with its reports.
struct CliConformanceOptions {
    bool bEnabled = false;
    ConformanceOptions suite;
    std::string strJUnit;   // empty: no JUnit XML report
    std::string strReport;  // empty: no Markdown report
};

// Parses the options behind "conformance" from args[i] on, advancing i; false with a message.
// The suite's own check of the options runs here, so that a wrong id is a usage error.
bool ParseConformance(const std::vector<std::string>& args, size_t& i, CliConformanceOptions& options,
                      std::string& error);
std::string ConformanceUsage();

// Runs the suite on a connected reader. Prepare checks, before any port is opened, that the
// report files can be written; Run then runs every check, shows which one runs (progress: on a
// terminal, one line rewritten in place), prints the table and the summary and writes the reports.
// Ctrl-C ends the check that runs at its next wait; a second one ends the program at once.
class CliConformance {
public:
    CliConformance(const CliConformanceOptions& options, std::ostream& out, std::ostream& err, bool progress);

    // False with the reason printed.
    bool Prepare();
    // line: the connection as the reports name it ("/dev/pts/3 at 115200 baud"); the procedure is
    // added. pause: how the driver waits between steps (by default it sleeps).
    // 0 when every check that ran passed and at least one ran; 1 otherwise, when stopped, or when a
    // report could not be written.
    int Run(ReaderPort& port, Clock& clock, uint32_t linkMode, const std::string& line,
            BlockingStepDriver::Pause pause = {});

private:
    void ShowProgress(const ConformanceSuite& suite);
    void ClearProgress();
    void PrintTable(const ConformanceSuite& suite);
    bool WriteReport(const std::string& path, const char* what, const std::string& text);

    const CliConformanceOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_bProgress;
    bool m_bProgressShown = false;
};
