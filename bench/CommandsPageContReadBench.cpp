// Continuous read and wait-for-card driven from the commands page, as the user runs them: each
// step on the worker thread, the next one from the page's timer, the live statistics refreshed as
// they are on screen. Compared with the same cycle driven by a plain loop over the same paced
// simulated reader, this shows what the page costs per cycle, and the CPU the window's thread and
// the whole program use meanwhile.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include "commands/CommandSet.h"
#include "commands/ContinuousReadCycle.h"
#include "common/CReaderSession.h"
#include "common/ControlId.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "pages/commands/CMifareCommandsDlg.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"
#include "widgets/CContReadStatisticsWidget.h"

namespace {

using Seconds = std::chrono::duration<double>;

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Reader {
    std::shared_ptr<SimReader> sim = std::make_shared<SimReader>(Clock::System());
    std::unique_ptr<SimPtyEndpoint> pty;
    ReaderPort port{nullptr, nullptr};
    ReaderLink link;

    bool Open(uint32_t baud, bool card) {
        if (card) {
            sim->EnterCard(Simulator::SampleCard());
        }
        std::string error;
        pty = SimPtyEndpoint::Create(sim, baud, error);
        if (!pty || port.OpenPortByName(pty->PortName()) != LR_OK || link.Connect(&port, baud) != LR_OK) {
            std::fprintf(stderr, "cannot start the simulated reader: %s\n", error.c_str());
            return false;
        }
        port.SetReadMode(ReadModeNormal);
        // The key the page loads when it comes to the front, which opens the sample card's block 0.
        return LoadDefaultKey(port, link, nullptr) == LR_OK;
    }
};

// Completed cycles per second of the plain loop, as the command line steps the cycle.
double LoopRate(uint32_t baud, double seconds) {
    Reader reader;
    if (!reader.Open(baud, true)) {
        return 0;
    }
    ContinuousReadCycle cycle(reader.link, Clock::System());
    cycle.Start(ContReadOptions{});
    const auto start = std::chrono::steady_clock::now();
    while (Seconds(std::chrono::steady_clock::now() - start).count() < seconds) {
        cycle.Step();
    }
    cycle.Stop();
    return cycle.Statistics().Figures(Clock::System().GetTickCount()).dCyclesPerSecond;
}

// Runs the event loop for the given time, sleeping while it has nothing to do, as the program does.
void Run(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

// Completed cycles per second of the page, from its figures after the stop; the CPU used meanwhile.
double PageRate(uint32_t baud, double seconds, double& windowCpu, double& processCpu) {
    Reader reader;
    if (!reader.Open(baud, true)) {
        return 0;
    }
    CReaderSession session(reader.port, reader.link);
    CMifareCommandsDlg page(session);
    page.OnInitDialog();
    page.resize(820, 520);
    page.show();
    auto* contRead = qobject_cast<QPushButton*>(FindControl(&page, CMifareCommandsDlg::IDC_CONT_READ));

    const double windowStart = CpuSeconds(RUSAGE_THREAD);
    const double processStart = CpuSeconds(RUSAGE_SELF);
    contRead->click();
    Run(seconds);
    windowCpu = (CpuSeconds(RUSAGE_THREAD) - windowStart) / seconds;
    processCpu = (CpuSeconds(RUSAGE_SELF) - processStart) / seconds;
    contRead->click();
    while (contRead->isChecked() || session.IsBusy()) {
        Run(0.01);
    }
    return page.GetStatisticsWidget()->Figure("Completed per second:").toDouble();
}

// The best of two runs each, alternating, since the machine may be busy with other work.
bool MeasurePage(uint32_t baud, double seconds) {
    double page = 0, loop = 0, windowCpu = 1, processCpu = 1;
    for (int run = 0; run < 2; ++run) {
        double window = 0, process = 0;
        const double rate = PageRate(baud, seconds, window, process);
        if (rate > page) {
            page = rate;
            windowCpu = window;
            processCpu = process;
        }
        loop = std::max(loop, LoopRate(baud, seconds));
    }
    if (page <= 0 || loop <= 0) {
        return false;
    }
    std::printf(
        "%6u baud: page %.1f completed cycles/s, plain loop %.1f: page / loop = %.3f; CPU while the page "
        "runs: window thread %.1f %%, whole program %.1f %% of a core\n",
        baud, page, loop, page / loop, 100 * windowCpu, 100 * processCpu);
    return true;
}

bool MeasureWaitCard(double seconds) {
    Reader reader;
    if (!reader.Open(9600, false)) {
        return false;
    }
    CReaderSession session(reader.port, reader.link);
    CMifareCommandsDlg page(session);
    page.OnInitDialog();
    page.show();
    auto* waitCard = qobject_cast<QPushButton*>(FindControl(&page, CMifareCommandsDlg::IDC_WAIT_CARD));
    waitCard->click();
    Run(0.2);  // armed
    const double processCpu = CpuSeconds(RUSAGE_SELF);
    Run(seconds);
    const double used = CpuSeconds(RUSAGE_SELF) - processCpu;
    std::printf(
        "wait-for-card from the page, no card: %.1f s, CPU of the whole program %.2f %% of a core%s\n",
        seconds, 100 * used / seconds, waitCard->isChecked() ? "" : " (ended early!)");
    waitCard->click();
    session.WaitForIdle();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const double scale = argc > 1 ? std::atof(argv[1]) : 1;
    const bool ok =
        MeasurePage(9600, 3 * scale) && MeasurePage(115200, 3 * scale) && MeasureWaitCard(3 * scale);
    return ok ? 0 : 1;
}
