// Lines per second that the trace appends to the Qt output window, and the process's memory as
// the window fills and is cut again and again. Runs offscreen; prints figures, asserts nothing.
//
//   build/default/bench/OutputWindowBench [lines]
//
// Two runs over hex lines of 20 bytes ("<< 30 31 ... 43 \n", 63 characters), alternating sent and
// received lines as a command exchange does:
//   1. the window repainted as a screen would refresh it (every 16 ms), over [lines] lines;
//   2. the window repainted after every 10 lines, about one command exchange each.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>

#include "ResidentMemory.h"
#include "link/ByteBuffer.h"
#include "link/Trace.h"
#include "widgets/COutputWindowWidget.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

long PeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

ByteBuffer TwentyBytes() {
    ByteBuffer line;
    for (uint8_t i = 0; i < 20; ++i) {
        line.Append(static_cast<uint8_t>(0x30 + i));
    }
    return line;
}

// Appends total lines; repaints every paintLines lines, or every 16 ms when paintLines is 0.
// Prints a row every tenth of the run. Returns lines per second.
double Run(Trace& trace, int total, int paintLines) {
    const ByteBuffer line = TwentyBytes();
    const int lap = total >= 10 ? total / 10 : total;
    const auto start = SteadyClock::now();
    auto lapStart = start;
    auto lastPaint = start;
    for (int n = 1; n <= total; ++n) {
        if (n % 2 == 0) {
            trace.Received(line);
        } else {
            trace.Sent(line);
        }
        const bool paint = paintLines > 0 ? n % paintLines == 0
                                          : SteadyClock::now() - lastPaint >= std::chrono::milliseconds(16);
        if (paint) {
            QApplication::processEvents();
            lastPaint = SteadyClock::now();
        }
        if (n % lap == 0) {
            const auto now = SteadyClock::now();
            const double seconds = std::chrono::duration<double>(now - lapStart).count();
            std::printf("%10d %12.0f %12ld %12ld\n", n, lap / seconds, PeakKiB(), ResidentKiB());
            lapStart = now;
        }
    }
    QApplication::processEvents();
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    return total / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int total = argc > 1 ? std::atoi(argv[1]) : 100000;

    COutputWindowWidget window;
    window.resize(700, 140);
    window.show();
    QApplication::processEvents();
    Trace trace;
    trace.SetOutputWindow(&window, true, TraceModeHex);

    const long peakBefore = PeakKiB();
    std::printf("peak memory before: %ld KiB (current %ld KiB)\n\n", peakBefore, ResidentKiB());
    std::printf("%10s %12s %12s %12s\n", "lines", "lines/s", "peak KiB", "current KiB");

    std::printf("-- repainted every 16 ms\n");
    const double refreshRate = Run(trace, total, 0);
    const long peakAfterRun1 = PeakKiB();
    std::printf("-- repainted every 10 lines\n");
    const int commandLines = total / 10 > 0 ? total / 10 : 1;
    const double commandRate = Run(trace, commandLines, 10);

    std::printf("\nrepainted every 16 ms:   %.0f lines/s over %d lines\n", refreshRate, total);
    std::printf("repainted every 10 lines: %.0f lines/s over %d lines\n", commandRate, commandLines);
    std::printf("peak memory: before %ld KiB, after run 1 %ld KiB, at the end %ld KiB\n", peakBefore,
                peakAfterRun1, PeakKiB());
    return 0;
}
