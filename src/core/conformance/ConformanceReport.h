#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "conformance/ConformanceSuite.h"

// What a report says about the run beside the checks' results.
struct ConformanceRunInfo {
    std::string infoText;  // the reader's Info text (may be empty)
    std::string line;      // "/dev/pts/3 at 115200 baud, 3964R procedure"
    std::string date;      // "2026-12-11 09:14:03", local time
    std::string version;   // Tagbench's version
    uint32_t elapsedMs = 0;
};

// How the checks of a run ended. results may be shorter than checks (a stopped run): the rest
// count as not run.
struct ConformanceTally {
    size_t passed = 0;
    size_t failed = 0;
    size_t skipped = 0;
    size_t notRun = 0;
};
ConformanceTally TallyConformance(const std::vector<ConformanceCheck>& checks,
                                  const std::vector<ConformanceResult>& results);
// "17 passed, 1 failed, 2 skipped in 14.2 s" (", 3 not run" before " in" when some were not).
std::string ConformanceSummary(const ConformanceTally& tally, uint32_t elapsedMs);

// The run as JUnit XML, as CI systems read it: one test suite, one test case per check, a failure
// for each failed check and a skip for each skipped or not-run one. Whatever text came from the
// reader is escaped, and what XML does not allow is written as \xNN, so the document always parses.
std::string ConformanceJUnitXml(const std::vector<ConformanceCheck>& checks,
                                const std::vector<ConformanceResult>& results,
                                const ConformanceRunInfo& info);

// The run as a Markdown document that stands on its own: the run's facts, a table of the checks,
// then each failure with its transcript, then the reasons for the skipped ones. Holds no control
// character but the line feed.
std::string ConformanceMarkdown(const std::vector<ConformanceCheck>& checks,
                                const std::vector<ConformanceResult>& results,
                                const ConformanceRunInfo& info);

// Text from outside made printable for a report: bytes that are not UTF-8, control characters
// (all but the line feed, and the tab when keepTab), C1 controls and the code points U+FFFE and
// U+FFFF become \xNN, one for each byte. Everything else passes unchanged.
std::string ConformanceCleanText(std::string_view text, bool keepTab);
