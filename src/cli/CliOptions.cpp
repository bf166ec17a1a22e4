#include "CliOptions.h"

#include "CliNumber.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "commands/HexText.h"
#include "link/SerialLine.h"

#ifndef TAGBENCH_VERSION
#define TAGBENCH_VERSION "unknown"
#endif

namespace {

struct VerbInfo {
    CliCommand::Verb verb;
    const char* arguments;  // for the usage and the "expects" message
    size_t count;           // required arguments
};

const std::map<std::string, VerbInfo>& Verbs() {
    static const std::map<std::string, VerbInfo> verbs = {
        {"startup", {CliCommand::Startup, "", 0}},
        {"reset", {CliCommand::Reset, "", 0}},
        {"request", {CliCommand::Request, "", 0}},
        {"anticollision", {CliCommand::Anticollision, "", 0}},
        {"select", {CliCommand::Select, "[SERIAL]", 0}},
        {"loadkey", {CliCommand::LoadKey, "A|B SET NUMBER KEY12HEX", 4}},
        {"authenticate", {CliCommand::Authenticate, "A|B SET NUMBER BLOCK", 4}},
        {"read", {CliCommand::Read, "BLOCK", 1}},
        {"write", {CliCommand::Write, "BLOCK DATA32HEX", 2}},
        {"halt", {CliCommand::Halt, "", 0}},
        {"makevalue", {CliCommand::MakeValue, "BLOCK ADDRESS VALUE", 3}},
        {"readvalue", {CliCommand::ReadValue, "BLOCK", 1}},
        {"increment", {CliCommand::Increment, "BLOCK VALUE", 2}},
        {"decrement", {CliCommand::Decrement, "BLOCK VALUE", 2}},
        {"decrement-transfer", {CliCommand::DecrementTransfer, "BLOCK VALUE", 2}},
        {"restore", {CliCommand::Restore, "BLOCK", 1}},
        {"transfer", {CliCommand::Transfer, "BLOCK", 1}},
        {"setport", {CliCommand::SetPort, "[green] [red] [buzzer] [beep]", 0}},
        {"info", {CliCommand::Info, "", 0}},
    };
    return verbs;
}

const std::map<std::string, uint8_t>& PortBits() {
    static const std::map<std::string, uint8_t> bits = {
        {"green", 0x01}, {"buzzer", 0x02}, {"beep", 0x04}, {"red", 0x10}};
    return bits;
}

// The checks of the parameter dialogs: a field's message, prefixed with what was typed.
class FieldChecker {
public:
    FieldChecker(const std::string& command, std::string& error) : m_command(command), m_error(error) {}

    bool Byte(const std::string& text, uint8_t min, uint8_t max, uint8_t& value) {
        std::string message;
        return ParseByteField(text, min, max, value, message) || Fail(text, message);
    }
    bool KeyType(const std::string& text, bool& keyB) {
        if (text == "A" || text == "a" || text == "B" || text == "b") {
            keyB = text == "B" || text == "b";
            return true;
        }
        return Fail(text, "The key type is A or B.");
    }
    bool MaxLength(const std::string& text, size_t maxLength) {
        return text.size() <= maxLength || Fail(text, LengthMessage(static_cast<int>(maxLength)));
    }
    bool Check(const std::string& text, uint32_t messageId, int length = 0) {
        return messageId == 0 || Fail(text, CheckMessage(messageId, length));
    }
    bool Fail(const std::string& text, const std::string& message) {
        m_error = m_command + " " + (text.empty() ? std::string("\"\"") : text) + ": " + message;
        return false;
    }

private:
    const std::string& m_command;
    std::string& m_error;
};

bool IsOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

}  // namespace

bool CliOptions::SetConnection(Connection connection, std::string& error) {
    // Serial ports and USB bridges may be mixed, for produce's series: checked at the end.
    const auto reader = [](Connection c) { return c == ConnectionPort || c == ConnectionUsb; };
    if (m_connection != ConnectionNone && m_connection != connection &&
        !(reader(m_connection) && reader(connection))) {
        error = "choose one connection: --port NAME, --usb[=SERIAL] or --simulate";
        return false;
    }
    if (m_connection == ConnectionNone) {
        m_connection = connection;
    }
    return true;
}

bool CliOptions::Parse(const std::vector<std::string>& args, std::string& error) {
    if (!args.empty() && args[0] == "ledger") {
        // The ledger's commands need no reader and take no connection.
        size_t i = 1;
        m_bLedger = true;
        if (!ParseLedger(args, i, m_ledger, error)) {
            return false;
        }
        m_bHelp = m_ledger.bHelp;
        return true;
    }
    for (size_t i = 0; i < args.size();) {
        const std::string& arg = args[i];
        if (const auto parsed = m_mode.Parse(args, i, error); parsed != CliModeOptions::NotMine) {
            if (parsed == CliModeOptions::Wrong) {
                return false;
            }
            continue;
        }
        if (!IsOption(arg)) {
            if (!ParseCommand(args, i, error)) {
                return false;
            }
            continue;
        }
        ++i;
        // --name VALUE and --name=VALUE both work for options with a value.
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (!hasValue && i < args.size()) {
                value = args[i++];
                hasValue = true;
            }
            if (!hasValue || value.empty()) {
                error = name + " needs a value";
                return false;
            }
            return true;
        };
        const bool flag = name == "--help" || name == "-h" || name == "--version" || name == "--hitag2" ||
                          name == "--quiet";
        if (flag && hasValue) {
            // A flag is there or not: --quiet=0 must not quietly mean --quiet.
            error = name + " takes no value";
            return false;
        }
        if (name == "--help" || name == "-h") {
            m_bHelp = true;
        } else if (name == "--version") {
            m_bVersion = true;
        } else if (name == "--port") {
            if (!takeValue()) {
                return false;
            }
            if (!SetConnection(ConnectionPort, error)) {
                return false;
            }
            for (const std::string& port : m_ports) {
                if (port == value) {
                    error = "--port " + value + " given twice";
                    return false;
                }
            }
            // Several ports are for produce, which may come later on the line: checked at the end.
            m_ports.push_back(value);
            m_readers.push_back({false, value});
            if (m_ports.size() == 1) {
                m_strPort = value;
            }
        } else if (name == "--usb") {
            // --usb=SERIAL only: "--usb SERIAL" could not be told from "--usb COMMAND".
            if (hasValue && value.empty()) {
                error = "--usb= needs the bridge's serial number (--usb alone: the first bridge)";
                return false;
            }
            if (!SetConnection(ConnectionUsb, error)) {
                return false;
            }
            const CliReader reader{true, value};
            if (std::find(m_readers.begin(), m_readers.end(), reader) != m_readers.end()) {
                if (hasValue) {
                    error = "--usb=" + value + " given twice";
                    return false;
                }
                continue;  // --usb twice is still the one first bridge
            }
            m_readers.push_back(reader);
        } else if (name == "--simulate") {
            Connection kind = ConnectionSimulateUsb;
            if (hasValue && value == "com") {
                kind = ConnectionSimulateCom;
            } else if (hasValue && value != "usb") {
                error = "--simulate takes usb or com, not " + value;
                return false;
            }
            if (!SetConnection(kind, error)) {
                return false;
            }
        } else if (name == "--baud") {
            if (!takeValue()) {
                return false;
            }
            if (!ParseNumber<uint32_t>(value, 1, UINT32_MAX, m_dwBaudRate)) {
                error = "--baud needs a positive whole number, not " + value;
                return false;
            }
        } else if (name == "--hitag2") {
            m_bHitag2 = true;
        } else if (name == "--quiet") {
            m_bQuiet = true;
        } else if (name == "--timestamps") {
            if (!hasValue || value == "elapsed") {
                m_nTimestamps = TraceTimestamp::Elapsed;
            } else if (value == "time") {
                m_nTimestamps = TraceTimestamp::TimeOfDay;
            } else {
                error = "--timestamps takes elapsed or time, not " + value;
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    m_mode.contRead.bHitag2 = m_bHitag2;
    const auto isUsb = [](const CliReader& reader) { return reader.bUsb; };
    const auto isFirstBridge = [](const CliReader& reader) { return reader.bUsb && reader.strName.empty(); };
    const size_t bridges = static_cast<size_t>(std::count_if(m_readers.begin(), m_readers.end(), isUsb));
    if (!m_bHelp && !m_bVersion && m_connection == ConnectionNone) {
        error = "choose a connection: --port NAME, --usb or --simulate";
        return false;
    }
    if (m_conformance.bEnabled &&
        (!m_commands.empty() || m_mode.nMode != CliModeOptions::ModeNone || m_produce.bEnabled)) {
        error = "conformance runs alone: no other command, contread, waitcard or produce with it";
        return false;
    }
    if (m_produce.bEnabled && (!m_commands.empty() || m_mode.nMode != CliModeOptions::ModeNone)) {
        error = "produce runs alone: no other command, contread or waitcard with it";
        return false;
    }
    if (m_readers.size() > 1 && !m_produce.bEnabled) {
        if (bridges == 0) {
            error = "--port given twice (" + m_ports[0] + " and " + m_ports[1] + "): choose one port";
        } else {
            error =
                "choose one connection: --port NAME, --usb[=SERIAL] or --simulate (several are for produce)";
        }
        return false;
    }
    if (bridges > 1 && std::any_of(m_readers.begin(), m_readers.end(), isFirstBridge)) {
        // The first bridge may well be one of those named: two series would share one reader.
        error = "--usb (the first bridge) and --usb=SERIAL together: name each bridge by its serial number";
        return false;
    }
    if (m_readers.size() > 1 && m_produce.bNoLedger) {
        // Each series counts on its own: only the ledger keeps them from giving out a number twice.
        error = "produce on several ports needs a ledger: --no-ledger would give readers the same numbers";
        return false;
    }
    // A serial line among the readers: its baud rate must be one a serial port can be set to.
    const bool serial = !m_ports.empty() || m_connection == ConnectionSimulateCom;
    for (const CliCommand& command : m_commands) {
        const ProgrammingMode mode = command.job.inputs.mode;
        if (serial && command.verb == CliCommand::Programming &&
            (mode == UsbSettingsOnly || mode == SerialAndUsbSettings)) {
            error = command.name + " programs the USB bridge's EEPROM: it needs --usb or --simulate";
            return false;
        }
    }
    if (serial && !SerialLine::SupportsBaudRate(m_dwBaudRate)) {
        error = "--baud " + std::to_string(m_dwBaudRate) +
                ": a serial port cannot be set to that rate (e.g. 9600, 19200, 38400, 57600, 115200)";
        return false;
    }
    return true;
}

bool CliOptions::ParseCommand(const std::vector<std::string>& args, size_t& i, std::string& error) {
    const std::string& name = args[i++];
    if (name == "produce") {
        if (m_produce.bEnabled) {
            error = "produce given twice";
            return false;
        }
        return ParseProduce(args, i, m_produce, error);
    }
    if (name == "conformance") {
        if (m_conformance.bEnabled) {
            error = "conformance given twice";
            return false;
        }
        return ParseConformance(args, i, m_conformance, error);
    }
    if (IsProgrammingVerb(name)) {
        CliCommand command;
        command.verb = CliCommand::Programming;
        command.name = name;
        if (!ParseProgrammingJob(name, args, i, command.job, error)) {
            return false;
        }
        m_commands.push_back(command);
        return true;
    }
    const auto found = Verbs().find(name);
    if (found == Verbs().end()) {
        error = "unknown command " + name;
        return false;
    }
    const VerbInfo& info = found->second;
    if (args.size() - i < info.count) {
        error = name + " expects " + info.arguments;
        return false;
    }
    CliCommand command;
    command.verb = info.verb;
    command.name = name;
    const std::string* arg = args.data() + i;
    i += info.count;
    FieldChecker check(name, error);

    // An empty value keeps the last value given, as the value dialogs keep theirs.
    uint32_t lastValue = 0;
    for (auto it = m_commands.rbegin(); it != m_commands.rend(); ++it) {
        if (it->verb == CliCommand::MakeValue || it->verb == CliCommand::Increment ||
            it->verb == CliCommand::Decrement || it->verb == CliCommand::DecrementTransfer) {
            lastValue = it->value;
            break;
        }
    }
    command.value = lastValue;

    switch (info.verb) {
        case CliCommand::Select:
            if (i < args.size() && !IsOption(args[i]) && Verbs().count(args[i]) == 0) {
                const std::string& serial = args[i++];
                if (!check.MaxLength(serial, 8) || !check.Check(serial, CheckHexString(serial))) {
                    return false;
                }
                if (!ScanHex32(serial, command.serial)) {
                    return check.Fail(serial, CheckMessage(IDS_HEX_VALUE));
                }
                command.hasSerial = true;
            }
            break;
        case CliCommand::LoadKey:
        case CliCommand::Authenticate: {
            // Checked in the order of the dialog's fields: number, set, type, then key or block.
            uint8_t keySet = 0;
            bool keyB = false;
            if (!check.Byte(arg[2], 0, 15, command.keyNumber) || !check.Byte(arg[1], 0, 2, keySet) ||
                !check.KeyType(arg[0], keyB)) {
                return false;
            }
            command.mode = static_cast<uint8_t>((keyB ? 4 : 0) | (keySet & 3));
            if (info.verb == CliCommand::Authenticate) {
                if (!check.Byte(arg[3], 0, 255, command.block)) {
                    return false;
                }
                break;
            }
            if (!check.MaxLength(arg[3], 12) || !check.Check(arg[3], CheckMifareKey(arg[3]))) {
                return false;
            }
            HexToBytes(arg[3], command.data);
            break;
        }
        case CliCommand::Read:
        case CliCommand::ReadValue:
        case CliCommand::Restore:
        case CliCommand::Transfer:
            if (!check.Byte(arg[0], 0, 255, command.block)) {
                return false;
            }
            break;
        case CliCommand::Write:
            if (!check.Byte(arg[0], 0, 255, command.block) || !check.MaxLength(arg[1], 32) ||
                !check.Check(arg[1], CheckHexStringLength(arg[1], 32), 32)) {
                return false;
            }
            HexToBytes(arg[1], command.data);
            break;
        case CliCommand::MakeValue: {
            // The dialog checks the address before the value.
            const std::string& address = arg[1];
            const std::string& value = arg[2];
            if (!check.Byte(arg[0], 0, 255, command.block) || !check.MaxLength(value, 8) ||
                !check.MaxLength(address, 2) || !check.Check(address, CheckHexString(address)) ||
                !check.Check(value, CheckHexString(value))) {
                return false;
            }
            uint32_t addressValue = 0;
            ScanHex32(address, addressValue);
            command.address = static_cast<uint8_t>(addressValue);
            ScanHex32(value, command.value);
            break;
        }
        case CliCommand::Increment:
        case CliCommand::Decrement:
        case CliCommand::DecrementTransfer:
            if (!check.Byte(arg[0], 0, 255, command.block) || !check.MaxLength(arg[1], 8) ||
                !check.Check(arg[1], CheckHexString(arg[1]))) {
                return false;
            }
            ScanHex32(arg[1], command.value);
            break;
        case CliCommand::SetPort:
            while (i < args.size() && PortBits().count(args[i]) != 0) {
                command.mask |= PortBits().at(args[i++]);
            }
            break;
        default:
            break;
    }
    m_commands.push_back(command);
    return true;
}

std::string CliOptions::VersionText() {
    return std::string("Tagbench ") + TAGBENCH_VERSION + "\n";
}

std::string CliOptions::Usage() {
    std::string usage =
        "Usage: tagbench-cli CONNECTION [OPTIONS] [COMMAND [ARGUMENTS]]...\n"
        "       tagbench-cli ledger [LEDGER OPTIONS] list|export|check|release ...\n"
        "\n"
        "Connects to one reader, runs the commands in order and prints the traffic as the\n"
        "output window shows it (>> from PC to reader, << from reader to PC, <...> status).\n"
        "\n"
        "Connection (one of):\n"
        "  --port NAME        a serial port by name (/dev/ttyUSB0, /dev/pts/3); produce takes\n"
        "                     several, one series on each\n"
        "  --usb              the first FTDI USB bridge\n"
        "  --usb=SERIAL       the FTDI USB bridge with that serial number (QV000042), never\n"
        "                     another; produce takes several, with --port too, one series on each\n"
        "  --simulate[=usb]   the built-in simulated reader over a simulated USB bridge\n"
        "  --simulate=com     the built-in simulated reader over a pseudo-terminal\n"
        "\n"
        "Options:\n"
        "  --baud N           baud rate (default 9600)\n"
        "  --hitag2           request sends mode 1 (HITAG 2 readers)\n"
        "  --quiet            print the status lines and read data only, not the traffic\n"
        "  --timestamps[=elapsed|time]\n"
        "                     start each traced line with the time since the first line\n"
        "                     (+12.345) or the time of day (14:03:22.123)\n"
        "  --help, -h         this text\n"
        "  --version          print the version and exit\n"
        "\n"
        "Commands (numbers are decimal, VALUE, ADDRESS, SERIAL, KEY and DATA hexadecimal):\n";
    for (const auto& [name, info] : Verbs()) {
        usage += "  " + name;
        if (info.arguments[0] != '\0') {
            usage += std::string(" ") + info.arguments;
        }
        usage += "\n";
    }
    usage += "\n" + ProgrammingUsage();
    usage += "\n" + ProduceUsage();
    usage += "\n" + ConformanceUsage();
    usage += "\n" + LedgerUsage();
    usage +=
        "\n"
        "select without SERIAL selects the card the last anticollision found. An empty VALUE (\"\")\n"
        "repeats the last value given. SET is the key set 0-2, NUMBER the key number 0-15.\n"
        "Read data is also printed for scripts: \"block 4: 00 11 ...\", \"serial: 1A2B3C4D\",\n"
        "\"card type: 0004\", \"select: 08\", \"info: V1\".\n"
        "\n" +
        CliModeOptions::Usage() +
        "\n"
        "Exit status: 0 when every command succeeded; 1 when one failed (the first failure is\n"
        "printed as its 8-digit code and meaning) or the connection failed; 2 for a bad argument.\n"
        "conformance: 0 only when every check that ran passed, 1 when one failed, none ran, the run\n"
        "was stopped or a report could not be written.\n";
    return usage;
}
