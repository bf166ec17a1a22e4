#include "CliModes.h"

#include "CliInterruptGuard.h"
#include "CliNumber.h"

#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <memory>

#include "commands/CStatisticsLog.h"
#include "commands/CommandSet.h"
#include "commands/PcBeep.h"
#include "commands/WaitCardExchange.h"
#include "link/ReaderLink.h"
#include "stepping/BlockingStepDriver.h"

namespace {

constexpr uint32_t kProgressIntervalMs = 250;

// Set by the signal handler and read by the driver: lock-free, hence safe in a handler.
std::atomic<bool> g_bInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int) {
    g_bInterrupted = true;
}

std::string Format(const char* format, auto... values) {
    char line[160];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

}  // namespace

CliModeOptions::Parsed CliModeOptions::Parse(const std::vector<std::string>& args, size_t& i,
                                             std::string& error) {
    const std::string& arg = args[i];
    if (arg == "loadkey") {
        bCommandsLoadKey = true;  // the command's own parser takes it
        return NotMine;
    }
    if (arg == "contread" || arg == "waitcard") {
        if (nMode != ModeNone) {
            error = "choose one of contread and waitcard";
            return Wrong;
        }
        nMode = arg == "contread" ? ModeContRead : ModeWaitCard;
        strName = arg;
        ++i;
        return Taken;
    }
    if (nMode == ModeNone || arg.rfind("--", 0) != 0) {
        return NotMine;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const bool isContRead = nMode == ModeContRead;
    const bool flag = name == "--pc-beep";
    const bool known = name == "--seconds" ||
                       (isContRead && (flag || name == "--block" || name == "--key" || name == "--keynum" ||
                                       name == "--cycles" || name == "--max-attempts" || name == "--log" ||
                                       name == "--signal"));
    if (!known) {
        return NotMine;
    }
    size_t next = i + 1;
    std::string value;
    if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
    } else if (!flag && next < args.size()) {
        value = args[next++];
    }
    auto wrong = [&](const std::string& expected) {
        error = strName + " " + name + (expected.empty() ? "" : " " + expected);
        return Wrong;
    };
    if (flag) {
        if (eq != std::string::npos) {
            return wrong("takes no value");
        }
        contRead.bPcBeep = true;
    } else if (value.empty()) {
        return wrong("needs a value");
    } else if (name == "--block") {
        if (!ParseNumber<uint8_t>(value, 0, 255, contRead.nBlock)) {
            return wrong("needs a block number 0-255, not " + value);
        }
    } else if (name == "--key") {
        if (value != "A" && value != "a" && value != "B" && value != "b") {
            return wrong("takes A or B, not " + value);
        }
        contRead.bKeyB = value == "B" || value == "b";
    } else if (name == "--keynum") {
        if (!ParseNumber<uint8_t>(value, 0, 15, contRead.nKeyNumber)) {
            return wrong("needs a key number 0-15, not " + value);
        }
    } else if (name == "--cycles") {
        if (!ParseNumber<uint64_t>(value, 1, UINT64_MAX, nCycles)) {
            return wrong("needs a positive whole number, not " + value);
        }
    } else if (name == "--seconds") {
        if (!ParseNumber<uint32_t>(value, 1, UINT32_MAX / 1000, dwSeconds)) {
            return wrong("needs a positive whole number, not " + value);
        }
    } else if (name == "--max-attempts") {
        if (!ParseNumber<uint32_t>(value, 0, UINT32_MAX, contRead.nMaxAttempts)) {
            return wrong("needs a whole number (0: no limit), not " + value);
        }
    } else if (name == "--log") {
        strLogPath = value;
    } else {  // --signal
        contRead.bGreenLedFlash = contRead.bRedLedFlash = contRead.bReaderBeep = false;
        for (size_t start = 0; start <= value.size();) {
            size_t comma = value.find(',', start);
            comma = comma == std::string::npos ? value.size() : comma;
            const std::string part = value.substr(start, comma - start);
            if (part == "green") {
                contRead.bGreenLedFlash = true;
            } else if (part == "red") {
                contRead.bRedLedFlash = true;
            } else if (part == "buzzer") {
                contRead.bReaderBeep = true;
            } else {
                return wrong("takes green, red and buzzer, separated by commas, not " + value);
            }
            start = comma + 1;
        }
    }
    if (nCycles != 0 && dwSeconds != 0) {
        error = strName + " takes --cycles or --seconds, not both";
        return Wrong;
    }
    i = next;
    return Taken;
}

std::string CliModeOptions::Usage() {
    return "Modes (after the commands, which run first):\n"
           "  contread [--block N] [--key A|B] [--keynum N] [--cycles N | --seconds S]\n"
           "           [--max-attempts N] [--log FILE] [--signal green,red,buzzer] [--pc-beep]\n"
           "      reads the card over and over (reset, request, anticollision, select,\n"
           "      authenticate, read, signal, switch-off) until Ctrl-C or the limit, then prints\n"
           "      the statistics and, when one step ends most cycles, what to do about it.\n"
           "      It authenticates with key --key --keynum (default A 0) of key set 0. Unless\n"
           "      the line has a loadkey command, it first loads A0A1A2A3A4A5 into key A 0 of\n"
           "      key set 0, as Tagbench's commands page does. --max-attempts: failed resets\n"
           "      before it stops by itself (default 10, 0: never). --log appends one record\n"
           "      per cycle to FILE.\n"
           "  waitcard [--seconds S]\n"
           "      arms the reader and prints the serial number of the card that enters its\n"
           "      field; exit status 1 on time-out or Ctrl-C (the reader is reset).\n";
}

CliModes::CliModes(ReaderLink& link, Clock& clock, OutputWindow* window, std::ostream& out, std::ostream& err,
                   bool progress)
    : m_link(link), m_clock(clock), m_pWindow(window), m_out(out), m_err(err), m_bProgress(progress) {}

int CliModes::Run(const CliModeOptions& options) {
    switch (options.nMode) {
        case CliModeOptions::ModeContRead:
            return RunContRead(options);
        case CliModeOptions::ModeWaitCard:
            return RunWaitCard(options);
        case CliModeOptions::ModeNone:
            break;
    }
    return 0;
}

int CliModes::RunContRead(const CliModeOptions& options) {
    CStatisticsLog log;
    std::string error;
    if (!options.strLogPath.empty() && !log.Open(options.strLogPath, error)) {
        m_err << "tagbench-cli: " << error << "\n";
        return 1;
    }
    std::unique_ptr<PcBeep> beep;
    if (options.contRead.bPcBeep) {
        beep = std::make_unique<PcBeep>();
    }
    ReaderPort* port = m_link.GetPort();
    // As on the commands page: nothing is traced while the cycle runs.
    port->SetOutputWindow(nullptr, false, TraceModeHex);
    if (!options.bCommandsLoadKey) {
        // As the commands page does whenever it comes to the front, so that both read the same
        // card alike. A reader that does not take it fails the cycle, which says so.
        LoadDefaultKey(*port, m_link, nullptr);
    }

    ContinuousReadCycle cycle(m_link, m_clock);
    g_bInterrupted = false;
    const CliInterruptGuard interrupt(OnInterrupt);
    const uint32_t start = m_clock.GetTickCount();
    uint32_t lastProgress = start;
    uint64_t cycles = 0;
    uint64_t logErrors = 0;
    bool stoppedByItself = false;
    LinkResult lineLost = LR_OK;
    const auto reportStep = [&] {
        const ContReadReport& report = cycle.LastReport();
        if (!report.strNotice.empty()) {
            ClearProgress();
            m_err << "tagbench-cli: " << report.strNotice << "\n";
        }
        // The first failing record is shown; the count follows at the end.
        if (!report.strLogError.empty() && logErrors++ == 0) {
            ClearProgress();
            m_err << "tagbench-cli: " << report.strLogError << "\n";
        }
        cycles += report.bCycleEnded ? 1 : 0;
        const uint32_t now = m_clock.GetTickCount();
        if (m_bProgress && now - lastProgress >= kProgressIntervalMs) {
            lastProgress = now;
            PrintProgress(cycle.Statistics().Figures(now));
        }
    };
    const auto limitReached = [&] {
        return (options.nCycles != 0 && cycles >= options.nCycles) ||
               (options.dwSeconds != 0 && m_clock.GetTickCount() - start >= options.dwSeconds * 1000);
    };
    cycle.Start(options.contRead, log.IsOpen() ? &log : nullptr, beep.get());
    if (BlockingStepDriver(&g_bInterrupted).Run(cycle, limitReached, reportStep) ==
        BlockingStepDriver::End::Ended) {
        // The automatic stop: its step's notice and record error are reported like any step's.
        const ContReadReport& report = cycle.LastReport();
        reportStep();
        stoppedByItself = report.bStopped;
        lineLost = report.bLineLost ? report.result : LR_OK;
    }
    ClearProgress();
    port->SetOutputWindow(m_pWindow, true, TraceModeHex);
    PrintTable(cycle.Statistics().Figures(m_clock.GetTickCount()), options.contRead);

    int status = 0;
    if (lineLost != LR_OK) {
        m_err << "tagbench-cli: contread stopped: the line to the reader failed: " << LinkResultText(lineLost)
              << "\n";
        status = 1;
    } else if (stoppedByItself) {
        m_err << "tagbench-cli: contread stopped by itself after " << options.contRead.nMaxAttempts + 1
              << " failed resets\n";
        status = 1;
    }
    if (logErrors != 0) {
        m_err << "tagbench-cli: " << logErrors << " records could not be written to " << options.strLogPath
              << "\n";
        status = 1;
    }
    return status;
}

int CliModes::RunWaitCard(const CliModeOptions& options) {
    WaitCardExchange exchange(m_link, m_clock);
    g_bInterrupted = false;
    const CliInterruptGuard interrupt(OnInterrupt);
    const uint32_t start = m_clock.GetTickCount();
    const auto timedOut = [&] {
        return options.dwSeconds != 0 && m_clock.GetTickCount() - start >= options.dwSeconds * 1000;
    };
    exchange.Start();
    if (BlockingStepDriver(&g_bInterrupted).Run(exchange, timedOut) == BlockingStepDriver::End::Stopped) {
        m_err << "tagbench-cli: waitcard "
              << (timedOut() ? "saw no card within " + std::to_string(options.dwSeconds) + " s" : "stopped")
              << "\n";
        return 1;
    }
    if (!exchange.IsCardAccepted()) {
        m_err << "tagbench-cli: waitcard ended without a card\n";
        return 1;
    }
    m_out << Format("serial: %08X\n", exchange.GetCardSerial());
    return 0;
}

void CliModes::PrintProgress(const ContReadFigures& figures) {
    m_out << Format("\rcycles %llu  %.1f/s  %.1f %% read  %.1f s",
                    static_cast<unsigned long long>(figures.nCycles), figures.dCyclesPerSecond,
                    figures.dSuccessPercent, figures.dwElapsedMs / 1000.0)
          << std::flush;
    m_bProgressShown = true;
}

void CliModes::ClearProgress() {
    if (m_bProgressShown) {
        m_out << "\r\033[K" << std::flush;
        m_bProgressShown = false;
    }
}

void CliModes::PrintTable(const ContReadFigures& f, const ContReadOptions& options) {
    auto count = [](uint64_t n) { return static_cast<unsigned long long>(n); };
    m_out << Format("%-18s%10llu\n", "cycles", count(f.nCycles))
          << Format("%-18s%10llu  %.1f %%\n", "completed", count(f.nCompleted), f.dSuccessPercent)
          << Format("%-18s%10.1f cycles/s\n", "rate", f.dCyclesPerSecond)
          << Format("%-18s%10.1f s\n", "elapsed", f.dwElapsedMs / 1000.0) << "failures by step\n";
    for (int step = ContReadReset; step <= ContReadSwitchOff; ++step) {
        if (step != ContReadSignal) {  // the signal's result is not looked at
            m_out << Format("  %-16s%10llu\n", ContReadStepName(step), count(f.failuresByStep[step]));
        }
    }
    if (f.nLastFailureStep >= 0) {
        m_out << "last failure      " << ContReadStepName(f.nLastFailureStep) << ": " << f.strLastFailure
              << "\n";
    }
    if (const std::string hint = ContReadHint(f, options, ContReadHintVoice::CommandLine); !hint.empty()) {
        m_out << hint << "\n";
    }
    m_out.flush();
}
