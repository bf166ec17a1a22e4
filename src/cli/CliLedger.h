#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "production/DeviceProfiles.h"
#include "production/Ledger.h"

// Where the production ledger lives and under which station name this program writes to it.
struct CliLedgerPlace {
    std::string strLocation;
    std::string strStation;  // empty: the host name
    bool bDefault = false;   // the default file
};

// The option first, then the profile file's [Ledger] section, then the default file; the station
// likewise, then the host name.
CliLedgerPlace ResolveLedgerPlace(const std::string& location, const std::string& station,
                                  const LedgerSettings& fromFile);
// Opens one connection to the ledger; nullptr with the ledger's reason in error.
std::unique_ptr<Ledger> OpenCliLedger(const CliLedgerPlace& place, std::string& error);

// Text from a reader or a database row on one line: control characters escaped (EscapeControls),
// and line breaks and tabs too.
std::string OneLineText(const std::string& text);
// One run as a line of text: "run 17, MIFARE 00000042, station line-2, 2026-12-11 10:03:22".
std::string DescribeRun(const LedgerRun& run);
// The number "ledger release" takes for a run: its MIFARE serial number, else its USB one.
uint32_t ReleaseNumber(const LedgerRun& run);

// "tagbench-cli ledger ...": the ledger's runs, its export, its check and the release of a
// number whose run has an unknown outcome. Needs no reader.
struct CliLedgerOptions {
    enum Verb { None, List, Export, Check, Release };

    Verb verb = None;
    bool bHelp = false;
    std::string strLocation;  // --ledger
    std::string strStation;   // --station before the verb: who writes a release
    std::string strProfiles;  // --profiles: the file whose [Ledger] section names the ledger
    LedgerFilter filter;      // list
    std::string strCsv;       // export: a file, or "-" for the standard output
    uint32_t dwNumber = 0;    // release
    std::string strReason;
};

// Parses what follows "ledger" from args[i] on; false with a message.
bool ParseLedger(const std::vector<std::string>& args, size_t& i, CliLedgerOptions& options,
                 std::string& error);
std::string LedgerUsage();

// 0 when the verb did what was asked; 1 when the ledger could not be opened or read, "check"
// found a problem, or a release was refused. terminal: the standard output is a terminal, so that
// an export to "-" escapes what a row could carry.
int RunLedger(const CliLedgerOptions& options, std::ostream& out, std::ostream& err, bool terminal);
