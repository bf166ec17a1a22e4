// The longest time the window's event loop is blocked while the commands page runs reader
// commands, measured with a 1 ms timer on the window's thread: the largest gap between two of its
// ticks. Runs offscreen on the simulated reader behind a pseudo-terminal; prints figures, asserts
// nothing.
//
//   build/default/bench/EventLoopBlockBench [paced|silent|idle|all] [commands] [baud]
//
//   paced   the reader answers at the pace of the line (default 9600 baud)
//   silent  the reader answers nothing: every command runs into the link's time-outs (4 s each)
//   idle    no commands, for [commands] seconds: what the machine's load alone makes of the gaps
// Each is measured twice: the Request button pressed on the page (the exchange runs on the
// worker), and for comparison the same command called on the window's thread, as a synchronous
// exchange would run.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include "app/CAllControlsSheet.h"
#include "common/ControlId.h"
#include "link/Clock.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

// The gaps between ticks of a 1 ms timer, from Start to Stop: the longest, and how many exceed
// 16 ms (a frame), which tells a steady block from a rare one (the machine is shared).
class LoopWatch {
public:
    LoopWatch() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Gap(); });
    }
    void Start() {
        m_longestNs = 0;
        m_nOverFrame = 0;
        m_clock.start();
        m_timer.start();
    }
    void Stop() {
        m_timer.stop();
        Gap();
    }
    double LongestMs() const { return static_cast<double>(m_longestNs) / 1e6; }
    int OverFrame() const { return m_nOverFrame; }

private:
    void Gap() {
        const qint64 gap = m_clock.nsecsElapsed();
        m_longestNs = std::max(m_longestNs, gap);
        m_nOverFrame += gap > 16'000'000 ? 1 : 0;
        m_clock.restart();
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longestNs = 0;
    int m_nOverFrame = 0;
};

void Run(const char* name, bool silent, int commands, uint32_t baud) {
    auto reader = std::make_shared<SimReader>(Clock::System());
    reader->EnterCard(Simulator::SampleCard());
    std::string error;
    const auto pty = SimPtyEndpoint::Create(reader, baud, error);
    if (!pty) {
        std::fprintf(stderr, "no pseudo-terminal: %s\n", error.c_str());
        std::exit(1);
    }
    SerialPortList::Shared().AddExtraPort(pty->PortName(), "bench");
    CAllControlsSheet sheet(QStringLiteral("Tagbench"), nullptr, 0, nullptr);
    sheet.GetConnectionDialog().SetPreferredPort(pty->PortName());
    sheet.AddPages();
    sheet.show();
    CReaderSession& worker = sheet.GetSession();
    qobject_cast<QPushButton*>(FindControl(&sheet, CConnectionDialog::IDC_CONNECT))->click();
    worker.WaitForIdle();
    sheet.GetTabControl()->setCurrentIndex(1);
    worker.WaitForIdle();
    if (!sheet.GetReaderPort().IsOpen()) {
        std::fprintf(stderr, "could not connect to %s\n", pty->PortName().c_str());
        std::exit(1);
    }
    SimFaults faults;
    faults.silent = silent;
    reader->SetFaults(faults);
    auto* request = qobject_cast<QPushButton*>(FindControl(&sheet, CMifareCommandsDlg::IDC_REQUEST));

    LoopWatch watch;
    QElapsedTimer total;
    QEventLoop loop;
    QObject::connect(&worker, &CReaderSession::BusyChanged, &loop, [&loop](bool busy) {
        if (!busy) {
            loop.quit();
        }
    });
    watch.Start();
    total.start();
    for (int i = 0; i < commands; ++i) {
        request->click();
        loop.exec();
    }
    watch.Stop();
    const double workerMs = watch.LongestMs();
    const int workerOver = watch.OverFrame();
    const double workerTotal = static_cast<double>(total.elapsed());

    // For comparison: the same exchange on the window's thread.
    ReaderLink& link = sheet.GetReaderLink();
    const int directCommands = silent ? std::min(commands, 3) : commands;
    watch.Start();
    total.start();
    for (int i = 0; i < directCommands; ++i) {
        uint32_t cardType = 0;
        link.Request(0, cardType);
        QApplication::processEvents();
    }
    watch.Stop();
    const double directMs = watch.LongestMs();
    const int directOver = watch.OverFrame();
    const double directTotal = static_cast<double>(total.elapsed());

    std::printf(
        "%-6s %3d commands on the worker:          longest event-loop block %8.2f ms, %3d blocks over "
        "16 ms, %7.1f ms per command\n",
        name, commands, workerMs, workerOver, workerTotal / commands);
    std::printf(
        "%-6s %3d commands on the window's thread: longest event-loop block %8.2f ms, %3d blocks over "
        "16 ms, %7.1f ms per command\n",
        name, directCommands, directMs, directOver, directTotal / directCommands);
    SerialPortList::Shared().RemoveExtraPort(pty->PortName());
}

void Idle(int seconds) {
    LoopWatch watch;
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    watch.Start();
    loop.exec();
    watch.Stop();
    std::printf(
        "idle   %3d s without commands:            longest event-loop block %8.2f ms, %3d blocks over 16 "
        "ms\n",
        seconds, watch.LongestMs(), watch.OverFrame());
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const std::string which = argc > 1 ? argv[1] : "all";
    const int commands = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    const uint32_t baud = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 9600;
    if (which == "paced" || which == "all") {
        Run("paced", false, commands, baud);
    }
    if (which == "silent" || which == "all") {
        Run("silent", true, commands, baud);
    }
    if (which == "idle") {
        Idle(commands);
    }
    return 0;
}
