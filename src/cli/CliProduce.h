#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "production/DeviceProfiles.h"
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
};

// Parses the options behind "produce" from args[i] on, advancing i; false with a message.
bool ParseProduce(const std::vector<std::string>& args, size_t& i, CliProduceOptions& options,
                  std::string& error);
std::string ProduceUsage();

// Ctrl-C during a series: the reader being programmed is finished (or its wait cancelled), then
// the series ends. Safe to call from a signal handler.
void RequestProduceStop();
bool IsProduceStopRequested();

// A series of readers. Prepare checks, before any port is opened, that the profile, the numbers
// and the record allow a series; Run then runs it on the open port: for each reader it waits for
// the loader's prompt, runs the job, appends the record's line, prints one line and counts the
// number up.
class CliProduce {
public:
    CliProduce(const CliProduceOptions& options, std::ostream& out, std::ostream& err)
        : m_options(options), m_out(out), m_err(err) {}

    // False with the reason printed.
    bool Prepare();
    // 0 when every reader succeeded, 1 when one failed or its line could not be recorded.
    int Run(ReaderPort& port, Clock& clock);

private:
    bool Fail(const std::string& message);

    const CliProduceOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    DeviceProfiles m_profiles;
    ProductionForm m_form;
    ProductionForm::ProgramRequest m_request;
    ProductionRecord m_record;
};
