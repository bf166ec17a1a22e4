#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliOutputWindow.h"
#include "link/Clock.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"

class Simulator;
class SimReader;

// Runs one command line: connects as the settings page does, then sends the commands in order as
// the commands page does, printing the output window's lines and the read data.
class CliRunner {
public:
    CliRunner(const CliOptions& options, std::ostream& out, std::ostream& err, bool colour,
              Clock& clock = Clock::System());
    ~CliRunner();

    // 0 when the connection and every command succeeded, else 1.
    int Run();

    // Tests: called with the simulated reader once --simulate has started it.
    void SetSimulatorSetup(std::function<void(SimReader&)> setup) { m_simulatorSetup = std::move(setup); }
    // Tests: where --usb finds its bridges instead of the default provider. Called once for each
    // USB reader, since each series' thread needs a table of its own.
    void SetD2xxFactory(std::function<std::shared_ptr<D2xxProvider>()> factory) {
        m_d2xxFactory = std::move(factory);
    }

private:
    bool Connect();
    // Opens one port and sets its line up; false with the reason printed.
    // reader: a serial port's name, or a USB bridge's serial number (empty: the first bridge).
    bool ConnectPort(ReaderPort& port, ReaderLink& link, const CliReader& reader, const std::string& label);
    LinkResult RunCommand(const CliCommand& command);
    // Data as hexadecimal bytes, saying so when the reader sent fewer than expected.
    void PrintData(const std::string& label, const ByteBuffer& data, uint32_t expected = 0);
    // When the last answer was shorter than expected, prints what came and returns true.
    bool PrintIfShort(const std::string& label, uint32_t expected);

    const CliOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    Clock& m_clock;
    CliOutputWindow m_window;
    std::unique_ptr<Simulator> m_pSimulator;
    std::function<void(SimReader&)> m_simulatorSetup;
    std::function<std::shared_ptr<D2xxProvider>()> m_d2xxFactory;
    std::unique_ptr<ReaderPort> m_pPort;
    std::vector<std::unique_ptr<ReaderPort>> m_extraPorts;  // produce's further ports
    ReaderLink m_link;
    uint32_t m_dwCardSerial = 0;
    bool m_bHaveSerial = false;   // a whole serial number came from anticollision
    std::string m_strJobFailure;  // the last failed programming job's last log line
    std::string m_strLabel;       // the first reader as messages name it
};
