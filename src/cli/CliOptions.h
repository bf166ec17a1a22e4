#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CliConformance.h"
#include "CliLedger.h"
#include "CliModes.h"
#include "CliProduce.h"
#include "CliProgramming.h"
#include "link/ByteBuffer.h"
#include "link/TraceTimestamp.h"

// One reader command of the command line, with its arguments checked and converted.
struct CliCommand {
    enum Verb {
        Startup,
        Reset,
        Request,
        Anticollision,
        Select,
        LoadKey,
        Authenticate,
        Read,
        Write,
        Halt,
        MakeValue,
        ReadValue,
        Increment,
        Decrement,
        DecrementTransfer,
        Restore,
        Transfer,
        SetPort,
        Info,
        Programming,  // a loader job: job holds it
    };

    Verb verb = Startup;
    std::string name;  // as typed, for messages
    uint8_t block = 0;
    uint8_t mode = 0;  // key B: 4, plus the key set
    uint8_t keyNumber = 0;
    uint8_t address = 0;
    uint8_t mask = 0;
    uint32_t value = 0;
    bool hasSerial = false;  // select without a serial takes the one anticollision found
    uint32_t serial = 0;
    ByteBuffer data;  // the key of loadkey, the block data of write
    CliProgrammingJob job;
};

// One reader the command line connects to: a serial port by name, or a USB bridge by its
// serial number (empty: the first bridge).
struct CliReader {
    bool bUsb = false;
    std::string strName;
    bool operator==(const CliReader&) const = default;
};

// The command line of tagbench-cli: one connection, then the commands in order.
class CliOptions {
public:
    enum Connection {
        ConnectionNone,
        ConnectionPort,
        ConnectionUsb,
        ConnectionSimulateUsb,
        ConnectionSimulateCom
    };

    // False on a bad argument, with the message in error. --help sets WantsHelp() and returns true.
    bool Parse(const std::vector<std::string>& args, std::string& error);

    static std::string Usage();
    // What --version prints: the product name and version, as the window's --version does.
    static std::string VersionText();

    bool WantsHelp() const { return m_bHelp; }
    bool WantsVersion() const { return m_bVersion; }
    Connection GetConnection() const { return m_connection; }
    const std::string& GetPortName() const { return m_strPort; }
    // Every --port given: one for reader commands, one or more for produce (a series on each).
    const std::vector<std::string>& GetPortNames() const { return m_ports; }
    // Every --port and --usb in the order given: one for reader commands, one or more for produce.
    // Empty for --simulate.
    const std::vector<CliReader>& GetReaders() const { return m_readers; }
    uint32_t GetBaudRate() const { return m_dwBaudRate; }
    bool IsHitag2() const { return m_bHitag2; }
    bool IsQuiet() const { return m_bQuiet; }
    TraceTimestamp::Mode GetTimestamps() const { return m_nTimestamps; }
    const std::vector<CliCommand>& GetCommands() const { return m_commands; }
    // contread or waitcard, which runs after the commands.
    const CliModeOptions& GetMode() const { return m_mode; }
    // produce, which runs alone.
    const CliProduceOptions& GetProduce() const { return m_produce; }
    // conformance, which runs alone.
    const CliConformanceOptions& GetConformance() const { return m_conformance; }
    // "tagbench-cli ledger ...": no reader, no connection.
    bool IsLedger() const { return m_bLedger; }
    const CliLedgerOptions& GetLedger() const { return m_ledger; }

private:
    bool ParseCommand(const std::vector<std::string>& args, size_t& i, std::string& error);
    bool SetConnection(Connection connection, std::string& error);

    bool m_bHelp = false;
    bool m_bVersion = false;
    Connection m_connection = ConnectionNone;
    std::string m_strPort;
    std::vector<std::string> m_ports;
    std::vector<CliReader> m_readers;
    uint32_t m_dwBaudRate = 9600;
    bool m_bHitag2 = false;
    bool m_bQuiet = false;
    TraceTimestamp::Mode m_nTimestamps = TraceTimestamp::None;
    std::vector<CliCommand> m_commands;
    CliModeOptions m_mode;
    CliProduceOptions m_produce;
    CliConformanceOptions m_conformance;
    bool m_bLedger = false;
    CliLedgerOptions m_ledger;
};
