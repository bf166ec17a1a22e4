#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "production/DeviceProfiles.h"
#include "production/Ledger.h"
#include "production/ProductionForm.h"
#include "production/ProductionRecord.h"

class ReaderPort;

// The options of "produce": a series of readers run headless as the production page's
// "Program range..." runs it.
struct CliProduceOptions {
    bool bEnabled = false;
    std::string strProfile;
    std::string strProfiles;  // the profile file; empty: beside the program, then the usual places
    bool bHasSerial = false;
    uint32_t dwSerial = 0;  // the first MIFARE serial number of a serial profile
    bool bHasUsbSerial = false;
    uint32_t dwUsbSerial = 0;  // the first USB serial number of a USB profile
    uint32_t dwCount = 0;      // readers to handle; 0 until Ctrl-C
    std::string strRecord;     // empty: the default production record
    bool bProgramSettings = true;
    bool bProgramSerial = true;
    std::string strLedger;   // empty: the profile file's [Ledger] Location=, then the default file
    std::string strStation;  // empty: the profile file's Station=, then the host name
    bool bNoLedger = false;  // chosen by the user: no ledger is asked or written
};

// Parses the options behind "produce" from args[i] on, advancing i; false with a message.
bool ParseProduce(const std::vector<std::string>& args, size_t& i, CliProduceOptions& options,
                  std::string& error);
std::string ProduceUsage();

// Ctrl-C during a series: the reader being programmed is finished (or its wait cancelled), then
// the series ends. Safe to call from a signal handler.
void RequestProduceStop();
bool IsProduceStopRequested();

// A series of readers on each port. Prepare checks, before any port is opened, that the profile,
// the numbers, the ledger and the record allow a series; Run then runs one series on each open
// port, at the same time: for each reader it reserves the number in the ledger, waits for the
// loader's prompt, runs the job, writes the run's end to the ledger, appends the record's line,
// prints one line and counts the number up.
class CliProduce {
public:
    CliProduce(const CliProduceOptions& options, std::ostream& out, std::ostream& err);
    ~CliProduce();

    // ports: how many series will run at once, each with its own connection to the ledger. False
    // with the reason printed.
    bool Prepare(size_t ports = 1);
    // 0 when every reader succeeded, 1 when one failed, the ledger refused or a line could not be
    // recorded. Several ports: one thread each, lines prefixed with the port.
    int Run(ReaderPort& port, Clock& clock);
    int Run(const std::vector<ReaderPort*>& ports, Clock& clock);

private:
    bool Fail(const std::string& message);
    void SetNumber(uint32_t number);
    bool PrintOpenRuns();

    const CliProduceOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    DeviceProfiles m_profiles;
    ProductionForm m_form;
    ProductionForm::ProgramRequest m_request;
    ProductionRecord m_record;
    std::vector<std::unique_ptr<Ledger>> m_ledgers;  // one per series
};
