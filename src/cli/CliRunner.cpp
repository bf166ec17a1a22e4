#include "CliRunner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

#include <unistd.h>

#include "CliConformance.h"
#include "CliProduce.h"
#include "StringTable.h"
#include "commands/HexText.h"
#include "sim/Simulator.h"

namespace {

std::string Hex32(uint32_t value, int digits = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

}  // namespace

CliRunner::CliRunner(const CliOptions& options, std::ostream& out, std::ostream& err, bool colour,
                     Clock& clock)
    : m_options(options),
      m_out(out),
      m_err(err),
      m_clock(clock),
      m_window(out, colour, options.IsQuiet(), options.GetTimestamps(), clock),
      m_link(clock) {}

CliRunner::~CliRunner() {
    for (const auto& port : m_extraPorts) {
        port->ClosePort();
    }
    if (m_pPort != nullptr && m_pPort->IsOpen()) {
        m_pPort->ClosePort();
    }
}

bool CliRunner::Connect() {
    std::shared_ptr<D2xxProvider> d2xx;
    CliReader first;
    std::string label;
    switch (m_options.GetConnection()) {
        case CliOptions::ConnectionPort:
        case CliOptions::ConnectionUsb:
            break;
        case CliOptions::ConnectionSimulateUsb:
        case CliOptions::ConnectionSimulateCom: {
            std::string error;
            m_pSimulator = Simulator::Start(error);
            if (m_pSimulator == nullptr) {
                m_err << "tagbench-cli: cannot start the simulated reader: " << error << "\n";
                return false;
            }
            if (m_options.GetProduce().bEnabled) {
                // Each reader that leaves its loader makes way for the next one of the series.
                m_pSimulator->Reader().StartSeries("");
            }
            if (m_simulatorSetup) {
                m_simulatorSetup(m_pSimulator->Reader());
            }
            first.bUsb = m_options.GetConnection() == CliOptions::ConnectionSimulateUsb;
            if (first.bUsb) {
                d2xx = m_pSimulator->UsbProvider();
                label = "the simulated reader (USB)";
            } else {
                first.strName = m_pSimulator->PortName();
                label = first.strName;
            }
            break;
        }
        case CliOptions::ConnectionNone:
            return false;
    }

    // --port and --usb: the first reader for the commands; produce runs a series on each.
    const std::vector<CliReader>& readers = m_options.GetReaders();
    const auto providerFor = [this](const CliReader& reader) -> std::shared_ptr<D2xxProvider> {
        if (!reader.bUsb) {
            return nullptr;
        }
        return m_d2xxFactory ? m_d2xxFactory() : CreateDefaultD2xx();
    };
    const auto labelOf = [](const CliReader& reader) {
        if (!reader.bUsb) {
            return reader.strName;
        }
        return reader.strName.empty() ? std::string("the first USB bridge")
                                      : "the USB bridge " + reader.strName;
    };
    if (m_pSimulator == nullptr) {
        first = readers.at(0);
        d2xx = providerFor(first);
        label = labelOf(first);
    }
    m_strLabel = label;
    m_pPort = std::make_unique<ReaderPort>(nullptr, d2xx);
    if (!ConnectPort(*m_pPort, m_link, first, label)) {
        return false;
    }
    // The link only sets each further line up.
    for (size_t n = 1; n < readers.size() && m_pSimulator == nullptr; ++n) {
        auto port = std::make_unique<ReaderPort>(nullptr, providerFor(readers[n]));
        ReaderLink link(m_clock);
        if (!ConnectPort(*port, link, readers[n], labelOf(readers[n]))) {
            return false;
        }
        m_extraPorts.push_back(std::move(port));
    }
    // As on the commands page: the connection's probe is not traced, the commands are, in
    // hexadecimal; and the probe may have left the USB kind polling, so commands read normally.
    m_pPort->SetOutputWindow(&m_window, true, TraceModeHex);
    m_pPort->SetReadMode(ReadModeNormal);
    return true;
}

bool CliRunner::ConnectPort(ReaderPort& port, ReaderLink& link, const CliReader& reader,
                            const std::string& label) {
    LinkResult result;
    if (!reader.bUsb) {
        result = port.OpenPortByName(reader.strName);
    } else if (reader.strName.empty()) {
        result = port.OpenPort(PortKindUsb, 0);
    } else {
        result = port.OpenUsbBySerial(reader.strName);
    }
    if (result == LR_OK) {
        result = link.Connect(&port, m_options.GetBaudRate());
    }
    if (result == LR_OK) {
        return true;
    }
    port.ClosePort();
    m_err << "tagbench-cli: cannot connect to " << label << ": " << LinkResultText(result) << " (0x"
          << Hex32(result) << ")";
    if (const std::string hint = LinkResultHint(result); !hint.empty()) {
        m_err << "." << hint;
    }
    m_err << "\n";
    return false;
}

int CliRunner::Run() {
    if (m_options.IsLedger()) {
        const bool terminal = &m_out == &std::cout && isatty(STDOUT_FILENO) != 0;
        return RunLedger(m_options.GetLedger(), m_out, m_err, terminal);
    }
    std::unique_ptr<CliProduce> produce;
    if (m_options.GetProduce().bEnabled) {
        produce = std::make_unique<CliProduce>(m_options.GetProduce(), m_out, m_err);
        if (!produce->Prepare(std::max<size_t>(m_options.GetReaders().size(), 1))) {
            return 1;
        }
    }
    std::unique_ptr<CliConformance> conformance;
    if (m_options.GetConformance().bEnabled) {
        const bool terminal = &m_out == &std::cout && isatty(STDOUT_FILENO) != 0;
        conformance = std::make_unique<CliConformance>(m_options.GetConformance(), m_out, m_err, terminal);
        // Reports that could not be written are refused before any byte goes to the reader.
        if (!conformance->Prepare()) {
            return 1;
        }
    }
    if (!Connect()) {
        return 1;
    }
    if (conformance) {
        // The suite's thousands of exchanges would flood the trace: its table tells what happened.
        m_pPort->SetOutputWindow(nullptr, false, TraceModeHex);
        return conformance->Run(*m_pPort, m_clock, m_link.GetLinkMode(),
                                m_strLabel + " at " + std::to_string(m_options.GetBaudRate()) + " baud");
    }
    if (produce) {
        // The wake-up characters of a series would flood the trace: only the readers' lines show.
        m_pPort->SetOutputWindow(nullptr, false, TraceModeHex);
        std::vector<ReaderPort*> ports{m_pPort.get()};
        for (const auto& port : m_extraPorts) {
            ports.push_back(port.get());
        }
        return produce->Run(ports, m_clock);
    }
    LinkResult firstFailure = LR_OK;
    std::string failedCommand;
    std::string failedJob;
    for (const CliCommand& command : m_options.GetCommands()) {
        m_pPort->Purge();
        const LinkResult result = RunCommand(command);
        if (result != LR_OK && firstFailure == LR_OK) {
            firstFailure = result;
            failedCommand = command.name;
            failedJob = command.verb == CliCommand::Programming ? m_strJobFailure : std::string();
        }
    }
    if (firstFailure == LR_OK && m_options.GetMode().nMode != CliModeOptions::ModeNone) {
        const bool terminal = &m_out == &std::cout && isatty(STDOUT_FILENO) != 0;
        return CliModes(m_link, m_clock, &m_window, m_out, m_err, terminal).Run(m_options.GetMode());
    }
    if (firstFailure != LR_OK) {
        m_err << "tagbench-cli: " << failedCommand << " failed: ";
        if (failedJob.empty()) {
            m_err << Hex32(firstFailure) << " " << LinkResultText(firstFailure);
        } else {
            m_err << EscapeControls(failedJob);
        }
        m_err << "\n";
        return 1;
    }
    return 0;
}

void CliRunner::PrintData(const std::string& label, const ByteBuffer& data, uint32_t expected) {
    std::string hex = data.ToHex();
    if (!hex.empty()) {
        hex.pop_back();  // the blank after the last byte
    }
    m_out << label << ": " << hex;
    if (data.GetCount() < expected) {
        m_out << (hex.empty() ? "" : " ") << "(" << data.GetCount() << " of " << expected
              << " bytes received)";
    }
    m_out << "\n";
    m_out.flush();
}

bool CliRunner::PrintIfShort(const std::string& label, uint32_t expected) {
    if (m_link.GetLastAnswer().GetCount() >= expected) {
        return false;
    }
    // The command left its value as it was: show what the reader did send, not that value.
    PrintData(label, m_link.GetLastAnswer(), expected);
    return true;
}

LinkResult CliRunner::RunCommand(const CliCommand& c) {
    const std::string block = "block " + std::to_string(c.block);
    switch (c.verb) {
        case CliCommand::Startup:
            return m_link.Startup();
        case CliCommand::Reset:
            return m_link.Reset(0);
        case CliCommand::Request: {
            uint32_t cardType = 0;
            const LinkResult result = m_link.Request(m_options.IsHitag2() ? 1 : 0, cardType);
            if (result == LR_OK && !PrintIfShort("card type", 1)) {
                m_out << "card type: " << Hex32(cardType, 4) << "\n";
            }
            return result;
        }
        case CliCommand::Anticollision: {
            const LinkResult result = m_link.Anticollision(m_dwCardSerial);
            if (result == LR_OK && !PrintIfShort("serial", 4)) {
                m_bHaveSerial = true;
                m_out << "serial: " << Hex32(m_dwCardSerial) << "\n";
            }
            return result;
        }
        case CliCommand::Select: {
            if (!c.hasSerial && !m_bHaveSerial) {
                m_err << "tagbench-cli: select: no card serial number yet; run anticollision first or give "
                         "one\n";
                return LR_BUILD_SELECT;
            }
            uint8_t selected = 0;
            const LinkResult result = m_link.Select(c.hasSerial ? c.serial : m_dwCardSerial, selected);
            if (result == LR_OK && !PrintIfShort("select", 1)) {
                m_out << "select: " << Hex32(selected, 2) << "\n";
            }
            return result;
        }
        case CliCommand::LoadKey:
            // The first six-byte group is not used by the reader; the key goes in the second.
            return m_link.LoadKey(c.mode, c.keyNumber, ByteBuffer{0, 0, 0, 0, 0, 0}, c.data);
        case CliCommand::Authenticate:
            return m_link.Authenticate(c.mode, c.keyNumber, c.block);
        case CliCommand::Read:
        case CliCommand::ReadValue: {
            ByteBuffer data;
            const LinkResult result = c.verb == CliCommand::Read ? m_link.ReadBlock(c.block, data)
                                                                 : m_link.ReadValueBlock(c.block, data);
            if (result == LR_OK) {
                PrintData(block, data, 16);
            }
            return result;
        }
        case CliCommand::Write:
            return m_link.WriteBlock(c.block, c.data);
        case CliCommand::Halt:
            return m_link.Halt();
        case CliCommand::MakeValue:
            return m_link.MakeValueBlock(c.block, c.address, c.value);
        case CliCommand::Increment:
            return m_link.Increment(c.block, c.value);
        case CliCommand::Decrement:
            return m_link.Decrement(c.block, c.value);
        case CliCommand::DecrementTransfer:
            return m_link.DecrementTransfer(c.block, c.value);
        case CliCommand::Restore:
            return m_link.Restore(c.block);
        case CliCommand::Transfer:
            return m_link.Transfer(c.block);
        case CliCommand::SetPort:
            return m_link.SetPort(c.mask);
        case CliCommand::Programming: {
            std::string failure;
            const bool progress = &m_out == &std::cout && isatty(STDOUT_FILENO) != 0;
            if (RunProgrammingJob(*m_pPort, m_clock, c.job, m_out, progress, failure)) {
                return LR_OK;
            }
            m_strJobFailure = failure;
            return LR_NO_ANSWER;  // stands for the job's failure; its own message is printed
        }
        case CliCommand::Info: {
            ByteBuffer answer;
            const LinkResult result = m_link.GetInfo(answer);
            if (result == LR_OK) {
                std::string text = answer.ToText();
                if (!text.empty()) {
                    text.pop_back();
                }
                m_out << "info: " << EscapeControls(text) << "\n";
            }
            return result;
        }
    }
    return LR_OK;
}
