// What the production ledger costs a station, and how a station scales with readers.
//
// 1. Reserve + finish of one reader's serial number, many times, on a SQLite file and, when a
//    connection string is given, on that PostgreSQL server: milliseconds per reader.
// 2. One serial-number job against the simulated reader over a pseudo-terminal paced at 115200
//    baud, in real time: the reader's own programming time, and the ledger's share of it (goal:
//    under 5 %).
// 3. 1, 2, 4 and 8 readers programmed at once on one station (a thread, a paced pseudo-terminal and
//    a ledger connection each, all on one SQLite file) for a few seconds: readers per hour, and the
//    scaling against one reader (goal: 0.9 x N or better up to 4 readers on two cores).
//
//   build/default/bench/LedgerBench [seconds per scaling point] [postgresql connection string]
//
// Without a connection string the benchmark starts a throwaway server of its own when PostgreSQL
// is installed.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/ReaderPort.h"
#include "production/Ledger.h"
#include "production/LedgerJob.h"
#include "programming/ProgrammingSequence.h"
#include "sim/SimPtyEndpoint.h"
#ifdef TAGBENCH_BENCH_POSTGRES
#include "pg/PostgresServer.h"
#endif

namespace {

using Steady = std::chrono::steady_clock;
constexpr uint32_t kBaud = 115200;

std::unique_ptr<Ledger> OpenOrExit(const std::string& location, const std::string& station) {
    std::string error;
    std::unique_ptr<Ledger> ledger = Ledger::Open(location, LedgerStation::ThisProcess(station), error);
    if (!ledger) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return ledger;
}

// Milliseconds per reader for reserve + finish.
double LedgerCost(const std::string& location, const char* name, int readers) {
    std::unique_ptr<Ledger> ledger = OpenOrExit(location, "bench");
    const Steady::time_point start = Steady::now();
    for (int i = 0; i < readers; ++i) {
        LedgerRun run;
        std::string error;
        const LedgerRequest request{"Terminal", "SerialOnly", true, false, 0, false, 99999999, "", ""};
        if (ledger->ReserveRun(request, std::time(nullptr), run, error) != Ledger::Reserve::Reserved ||
            !ledger->FinishRun(run.nId, true, false, true, "", std::time(nullptr), error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(Steady::now() - start).count() / readers;
    std::printf("ledger %-10s: %4d readers, reserve + finish %.2f ms per reader\n", name, readers, ms);
    return ms;
}

// One station's reader: a simulated series on its own paced pseudo-terminal.
struct Line {
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(Clock::System());
    std::unique_ptr<SimPtyEndpoint> pty;
    ReaderPort port{nullptr, nullptr};

    Line() {
        reader->StartSeries("");
        std::string error;
        pty = SimPtyEndpoint::Create(reader, kBaud, error);
        if (pty == nullptr || port.OpenPortByName(pty->PortName()) != LR_OK ||
            port.InitPort(kBaud, 8, 0, 0, 0) != LR_OK) {
            std::fprintf(stderr, "pseudo-terminal: %s\n", error.c_str());
            std::exit(1);
        }
    }
    ~Line() { port.ClosePort(); }

    // Programs one reader with the next free number; its wall time in seconds, or < 0 on failure.
    double ProgramOne(Ledger* ledger) {
        const Steady::time_point start = Steady::now();
        ProgrammingInputs inputs;
        inputs.mode = SerialOnly;
        LedgerJob job;
        std::string error;
        if (ledger != nullptr && job.Reserve(*ledger, "Terminal", inputs, false, std::time(nullptr), error) !=
                                     Ledger::Reserve::Reserved) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return -1;
        }
        ProgrammingSequence sequence(port, Clock::System());
        sequence.SetInputs(inputs);
        sequence.Begin();
        while (sequence.IsRunning()) {
            sequence.Step();
            std::this_thread::sleep_for(std::chrono::milliseconds(sequence.GetNextStepDelay()));
        }
        if (ledger != nullptr && !job.Finish(*ledger, sequence, std::time(nullptr), error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return -1;
        }
        if (!sequence.Succeeded()) {
            std::fprintf(stderr, "run failed: %s\n", sequence.GetLog().back().c_str());
            return -1;
        }
        return std::chrono::duration<double>(Steady::now() - start).count();
    }
};

double ReaderTime(int readers) {
    Line line;
    double total = 0;
    for (int i = 0; i < readers; ++i) {
        const double seconds = line.ProgramOne(nullptr);
        if (seconds < 0) {
            std::exit(1);
        }
        total += seconds;
    }
    std::printf("reader at %u baud: serial-number job %.1f ms per reader (%d readers)\n", kBaud,
                1000 * total / readers, readers);
    return total / readers;
}

// Readers per hour with `count` readers at once, all drawing from one ledger.
double ReadersPerHour(const std::string& location, int count, double seconds) {
    std::vector<std::unique_ptr<Line>> lines;
    std::vector<std::unique_ptr<Ledger>> ledgers;
    for (int i = 0; i < count; ++i) {
        lines.push_back(std::make_unique<Line>());
        ledgers.push_back(OpenOrExit(location, "bench-" + std::to_string(i)));
    }
    std::atomic<int> done{0};
    std::atomic<bool> failed{false};
    const Steady::time_point end =
        Steady::now() + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
    const Steady::time_point start = Steady::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            while (Steady::now() < end && !failed) {
                if (lines[i]->ProgramOne(ledgers[i].get()) < 0) {
                    failed = true;
                    return;
                }
                ++done;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (failed) {
        std::exit(1);
    }
    const double elapsed = std::chrono::duration<double>(Steady::now() - start).count();
    return done * 3600.0 / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    std::string server = argc > 2 ? argv[2] : "";
#ifdef TAGBENCH_BENCH_POSTGRES
    PostgresServer throwaway;
    std::string why;
    if (server.empty() && PostgresServer::FindBinDir() && throwaway.Start(&why)) {
        server = throwaway.ConnectionString();
    } else if (server.empty()) {
        std::printf("no PostgreSQL server: %s\n", why.c_str());
    }
#endif
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tagbench-ledger-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "production.sqlite").string();

    const double readerSeconds = ReaderTime(20);
    const double sqliteMs = LedgerCost(file, "SQLite", 500);
    std::printf("  share of the reader's time: %.2f %%\n", 100 * sqliteMs / 1000 / readerSeconds);
    if (!server.empty()) {
        const double serverMs = LedgerCost(server, "PostgreSQL", 500);
        std::printf("  share of the reader's time: %.2f %%\n", 100 * serverMs / 1000 / readerSeconds);
    }

    double one = 0;
    for (int count : {1, 2, 4, 8}) {
        const double perHour = ReadersPerHour(file, count, seconds);
        one = count == 1 ? perHour : one;
        std::printf("%d reader(s) at once: %7.0f readers per hour, %.2f x one reader\n", count, perHour,
                    perHour / one);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
