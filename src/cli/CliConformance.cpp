#include "CliConformance.h"

#include "CliInterruptGuard.h"
#include "CliNumber.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "CliLedger.h"
#include "conformance/ConformanceReport.h"
#include "files/RegularFile.h"
#include "link/SerialLine.h"

#ifndef TAGBENCH_VERSION
#define TAGBENCH_VERSION "unknown"
#endif

namespace {

// Set by the signal handler, read by the driver and the suite: lock-free, hence safe in a handler.
std::atomic<bool> g_bStop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The first Ctrl-C ends the check at its next wait, which may take a few seconds with a reader that
// stopped answering; a second one does not wait for that.
void OnInterrupt(int signal) {
    if (g_bStop) {
        SerialLine::ReleaseAllForExit();
        _exit(128 + signal);
    }
    g_bStop = true;
}

// The longest texts the table shows of a check; the reports keep them whole.
constexpr size_t kFiguresShown = 72;
constexpr size_t kSeenShown = 240;

// Text of at most limit characters (not bytes), with "..." where it was cut.
std::string Shorten(const std::string& text, size_t limit) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0u) != 0x80u && characters++ == limit) {
            return text.substr(0, i) + "...";
        }
    }
    return text;
}

size_t Width(const std::string& text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u; }));
}

// Text of the suite on one line. The suite gives a reader's bytes as \xNN already; this keeps
// anything else from acting on the terminal without doubling the backslashes of those.
std::string Line(const std::string& text) {
    std::string line = ConformanceCleanText(text, false);
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
}

std::string Figures(const std::vector<ConformanceFigure>& figures) {
    std::string text;
    for (const ConformanceFigure& figure : figures) {
        text += (text.empty() ? "" : " ") + Line(figure.name) + "=" + Line(figure.value);
    }
    return Shorten(text, kFiguresShown);
}

std::string LocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Whether a report can be written to path: a regular file or none yet, in a folder that takes a
// new file (the report is written beside it and renamed over it). False with the reason.
bool CheckWritable(const std::string& path, std::string& reason) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            reason = "it is a folder";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            reason = "not a regular file";
            return false;
        }
    } else if (errno != ENOENT) {
        reason = std::strerror(errno);
        return false;
    }
    std::string folder = std::filesystem::path(path).parent_path().string();
    folder = folder.empty() ? "." : folder;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        reason = "there is no folder " + folder;
        return false;
    }
    std::string probe = path + ".XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

// The groups of the checks' ids ("handshake" of "handshake.stx-ack"), for --only.
bool IsGroup(const std::string& name) {
    const auto& checks = ConformanceSuite::Checks();
    return std::any_of(checks.begin(), checks.end(),
                       [&](const ConformanceCheck& check) { return check.id.rfind(name + ".", 0) == 0; });
}

bool IsCheck(const std::string& id) {
    const auto& checks = ConformanceSuite::Checks();
    return std::any_of(checks.begin(), checks.end(),
                       [&](const ConformanceCheck& check) { return check.id == id; });
}

bool ParseOnly(const std::string& value, std::vector<std::string>& only, std::string& error) {
    const auto add = [&only](const std::string& id) {
        if (std::find(only.begin(), only.end(), id) == only.end()) {
            only.push_back(id);
        }
    };
    for (size_t start = 0; start <= value.size();) {
        size_t comma = value.find(',', start);
        comma = comma == std::string::npos ? value.size() : comma;
        const std::string part = value.substr(start, comma - start);
        start = comma + 1;
        if (part.empty()) {
            error = "conformance --only needs check ids separated by commas, not " + value;
            return false;
        }
        if (part.find('.') == std::string::npos && IsGroup(part)) {
            for (const ConformanceCheck& check : ConformanceSuite::Checks()) {
                if (check.id.rfind(part + ".", 0) == 0) {
                    add(check.id);
                }
            }
        } else if (IsCheck(part)) {
            add(part);
        } else {
            error = "conformance --only: no check or group " + part + " (--help lists the checks)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseConformance(const std::vector<std::string>& args, size_t& i, CliConformanceOptions& o,
                      std::string& error) {
    o.bEnabled = true;
    while (i < args.size()) {
        auto [name, value, hasValue] = SplitOptionWord(args[i]);
        if (name != "--procedure" && name != "--repeat" && name != "--only" && name != "--write" &&
            name != "--junit" && name != "--report") {
            break;  // not ours: a connection option, or a word the command line refuses
        }
        ++i;
        if (!hasValue && i < args.size()) {
            value = args[i++];
        }
        if (value.empty()) {
            error = "conformance " + name + " needs a value";
            return false;
        }
        if (name == "--procedure") {
            if (value == "auto") {
                o.suite.procedure = ConformanceProcedure::Auto;
            } else if (value == "3964r" || value == "3964R") {
                o.suite.procedure = ConformanceProcedure::Procedure3964R;
            } else if (value == "framed") {
                o.suite.procedure = ConformanceProcedure::Framed;
            } else {
                error = "conformance --procedure takes auto, 3964r or framed, not " + value;
                return false;
            }
        } else if (name == "--repeat") {
            if (!ParseNumber<uint32_t>(value, 1, 1000, o.suite.repeat)) {
                error = "conformance --repeat needs a number from 1 to 1000, not " + value;
                return false;
            }
        } else if (name == "--only") {
            if (!ParseOnly(value, o.suite.only, error)) {
                return false;
            }
        } else if (name == "--write") {
            uint8_t block = 0;
            if (!ParseNumber<uint8_t>(value, 0, 255, block)) {
                error = "conformance --write needs a block number 0-255, not " + value;
                return false;
            }
            o.suite.writeBlock = block;
        } else {
            (name == "--junit" ? o.strJUnit : o.strReport) = value;
        }
    }
    if (!o.strJUnit.empty() && o.strJUnit == o.strReport) {
        error = "conformance --junit and --report name the same file " + o.strJUnit;
        return false;
    }
    std::string message;
    if (!ConformanceSuite::CheckOptions(o.suite, message)) {
        error = "conformance: " + message;
        return false;
    }
    return true;
}

std::string ConformanceUsage() {
    std::string usage =
        "Reader conformance (runs alone):\n"
        "  conformance [--procedure auto|3964r|framed] [--repeat N] [--only ID,...]\n"
        "              [--write BLOCK] [--junit FILE] [--report FILE]\n"
        "                     drives the reader through the link procedure's normal and faulty\n"
        "                     paths from the PC's side and measures its timing, one check after\n"
        "                     the other, then prints each check's result and the summary.\n"
        "                     --procedure: the one the connection found (auto, the default) or\n"
        "                     the one named. --repeat: exchanges for the timing figures (default\n"
        "                     20, 1-1000). --only: these checks, or every check of a group (e.g.\n"
        "                     --only framing,handshake.stx-ack). --write: the card block that\n"
        "                     commands.write writes and restores (not block 0 or a sector\n"
        "                     trailer); without it nothing is written to the card. --junit\n"
        "                     writes a JUnit XML report for CI systems, --report a Markdown\n"
        "                     report; both are checked before the run and written whole at its\n"
        "                     end. Ctrl-C ends the running check; a second Ctrl-C ends at once.\n"
        "                     The checks:\n";
    size_t width = 0;
    for (const ConformanceCheck& check : ConformanceSuite::Checks()) {
        width = std::max(width, check.id.size());
    }
    for (const ConformanceCheck& check : ConformanceSuite::Checks()) {
        usage += "    " + check.id + std::string(width - check.id.size() + 2, ' ') + check.title + "\n";
    }
    return usage;
}

CliConformance::CliConformance(const CliConformanceOptions& options, std::ostream& out, std::ostream& err,
                               bool progress)
    : m_options(options), m_out(out), m_err(err), m_bProgress(progress) {}

bool CliConformance::Prepare() {
    const struct {
        const std::string& path;
        const char* what;
    } reports[] = {{m_options.strJUnit, "JUnit report"}, {m_options.strReport, "report"}};
    for (const auto& report : reports) {
        std::string reason;
        if (!report.path.empty() && !CheckWritable(report.path, reason)) {
            m_err << "tagbench-cli: conformance: cannot write the " << report.what << " "
                  << OneLineText(report.path) << ": " << reason << "\n";
            return false;
        }
    }
    std::error_code ignored;
    if (!m_options.strJUnit.empty() && !m_options.strReport.empty() &&
        std::filesystem::weakly_canonical(m_options.strJUnit, ignored) ==
            std::filesystem::weakly_canonical(m_options.strReport, ignored)) {
        m_err << "tagbench-cli: conformance: --junit and --report name the same file\n";
        return false;
    }
    return true;
}

void CliConformance::ShowProgress(const ConformanceSuite& suite) {
    if (!m_bProgress || suite.IsDone()) {
        return;
    }
    const ConformanceCheck& check = suite.Selected()[suite.NextIndex()];
    const std::string line = "[" + std::to_string(suite.NextIndex() + 1) + "/" +
                             std::to_string(suite.Selected().size()) + "] " + Line(check.id) + ": " +
                             Line(check.title) + "...";
    // One line less than the terminal is wide: a line that wraps could not be rewritten in place.
    struct winsize size {};
    const size_t columns =
        ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10 ? size.ws_col : 80;
    m_out << "\r\033[K" << Shorten(line, columns - 4) << std::flush;
    m_bProgressShown = true;
}

void CliConformance::ClearProgress() {
    if (m_bProgressShown) {
        m_out << "\r\033[K" << std::flush;
        m_bProgressShown = false;
    }
}

void CliConformance::PrintTable(const ConformanceSuite& suite) {
    const std::vector<ConformanceCheck>& checks = suite.Selected();
    const std::vector<ConformanceResult>& results = suite.Results();
    size_t width = 0;
    for (const ConformanceCheck& check : checks) {
        width = std::max(width, Width(Line(check.id)));
    }
    for (size_t n = 0; n < checks.size(); ++n) {
        const ConformanceResult result = n < results.size() ? results[n] : ConformanceResult{};
        const std::string id = Line(checks[n].id);
        std::string verdict = VerdictName(result.verdict);
        std::string detail = result.verdict == ConformanceResult::Skipped
                                 ? Shorten(Line(result.reason), kSeenShown)
                                 : Figures(result.figures);
        std::string line = id + std::string(width - Width(id) + 2, ' ') + verdict;
        if (!detail.empty()) {
            line += std::string(9 - std::min<size_t>(verdict.size(), 8), ' ') + detail;
        }
        m_out << line << "\n";
        if (result.verdict == ConformanceResult::Failed) {
            m_out << "    expected: " << Shorten(Line(result.expected), kSeenShown) << "\n"
                  << "    seen:     " << Shorten(Line(result.seen), kSeenShown) << "\n";
        }
    }
}

bool CliConformance::WriteReport(const std::string& path, const char* what, const std::string& text) {
    if (path.empty()) {
        return true;
    }
    std::string reason;
    if (!RegularFile::WriteWhole(path, text, reason)) {
        m_err << "tagbench-cli: conformance: cannot write the " << what << " " << OneLineText(path) << ": "
              << reason << "\n";
        return false;
    }
    m_out << "Wrote the " << what << " " << OneLineText(path) << ".\n";
    return true;
}

int CliConformance::Run(ReaderPort& port, Clock& clock, uint32_t linkMode, const std::string& line,
                        BlockingStepDriver::Pause pause) {
    ConformanceRunInfo info;
    info.date = LocalTime();
    info.version = TAGBENCH_VERSION;

    ConformanceSuite suite(port, clock, linkMode, m_options.suite);
    g_bStop = false;
    const CliInterruptGuard interrupt(OnInterrupt);
    suite.SetInterrupt(&g_bStop);
    ShowProgress(suite);
    BlockingStepDriver(&g_bStop, std::move(pause)).Run(suite, {}, [&] { ShowProgress(suite); });
    ClearProgress();
    const bool stopped = g_bStop || !suite.IsDone();

    info.infoText = suite.GetInfoText();
    info.line = line + (suite.IsFramed() ? ", DLE-framed procedure" : ", 3964R procedure");
    info.elapsedMs = suite.GetElapsedMs();
    m_out << "Reader: " << (info.infoText.empty() ? "(no Info text)" : Line(info.infoText)) << "\n"
          << "Line:   " << Line(info.line) << "\n\n";
    PrintTable(suite);
    const ConformanceTally tally = TallyConformance(suite.Selected(), suite.Results());
    m_out << "\n" << ConformanceSummary(tally, info.elapsedMs) << "\n";
    m_out.flush();
    if (stopped) {
        m_err << "tagbench-cli: conformance stopped before its end\n";
    }

    // A stopped run is reported too: the checks it did not come to are marked as not run.
    bool written = WriteReport(m_options.strJUnit, "JUnit report",
                               ConformanceJUnitXml(suite.Selected(), suite.Results(), info));
    written = WriteReport(m_options.strReport, "report",
                          ConformanceMarkdown(suite.Selected(), suite.Results(), info)) &&
              written;
    m_out.flush();
    return suite.AllPassed() && !stopped && written ? 0 : 1;
}
