#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QPointer>

#include "link/LinkResult.h"

class OutputWindow;
class ReaderLink;
class ReaderPort;

// The port as the last operation left it: what the window may show while the worker runs.
struct ReaderPortState {
    bool bOpen = false;
    bool bUsb = false;
    std::string strName;
    uint32_t dwBaudRate = 0;

    static ReaderPortState Of(const ReaderPort& port);
};

// Runs the reader exchanges off the window's thread, so that the window keeps painting and
// answering while a reader takes its time (up to seconds per command when it stays silent).
//
// One worker thread owns the reader port and the link and runs one operation at a time: a command,
// one step of a mode, connect, disconnect. The rules:
//
// - Post(context, operation, done) hands an operation to the worker thread and returns at once. It
//   refuses (returns false, runs nothing, queues nothing) while an earlier operation has not
//   delivered its result yet: callers disable what would post (IsBusy, BusyChanged) rather than
//   pile work up, and say so or try again when a post is refused. PostWhenIdle waits for the
//   running operation first, for work that must not be lost (a baud rate to restore).
// - operation(port, link) runs on the worker thread. It may use the port and the link freely and
//   must not touch widgets; it should capture by value what it needs from the page.
// - done(result) runs afterwards on the window's thread, as a queued call, while context lives:
//   write answers back into the page there. A context that goes away first calls Release(this) in
//   its destructor: its running operation ends and its completion is dropped, so that neither
//   touches what is being destroyed.
// - Trace lines: attach Relay(window) to the port instead of the window itself. What the trace does
//   to the relay on the worker thread is carried out on the real window on the window's thread, in
//   order, and all of it before done runs. On the window's thread the relay calls straight through.
// - While the worker is idle the window's thread may use the port and the link directly (IsOpen,
//   SetOutputWindow, ClearOutput); while it is busy only through the worker (IsPortOpen).
// - BusyChanged(true) is emitted by Post, BusyChanged(false) just before done runs. A background
//   post (the steps of a running mode, the monitor's polls and typed bytes) emits neither: such
//   posts follow each other many times a second, and the wait cursor and the disabled tab bar would
//   flicker. IsBackground() tells them apart while they run.
// - A line that goes away (the port marks it lost: a device gone, a hung-up line, a USB bridge that
//   could not be re-opened) is closed on the worker right after the operation that met it, with a
//   status line in the trace; BusyChanged(false) and LineLost(text) follow on the window's thread,
//   before done, also after a background post, so that every page re-derives its controls. While
//   no operation runs, the worker looks at the open line for a hang-up every LineCheckPeriod,
//   without reading from it, and closes it the same way.
// - WaitForIdle() blocks the window's thread until the running operation has delivered its trace
//   and its result; Shutdown() (and the destructor) does that and then stops the thread. Closing
//   the program therefore waits for an exchange, bounded by the link's own time-outs, and loses
//   nothing.
//
// Post, WaitForIdle, Shutdown and the signals belong to the thread that created the worker.
class CReaderWorker : public QObject {
    Q_OBJECT
public:
    using Operation = std::function<LinkResult(ReaderPort& port, ReaderLink& link)>;
    using Completion = std::function<void(LinkResult result)>;

    CReaderWorker(ReaderPort& port, ReaderLink& link, QObject* parent = nullptr);
    ~CReaderWorker() override;
    CReaderWorker(const CReaderWorker&) = delete;
    CReaderWorker& operator=(const CReaderWorker&) = delete;

    bool Post(QObject* context, Operation operation, Completion done = {}, bool background = false);
    // Post after the running operation has delivered; false only once the worker has shut down.
    bool PostWhenIdle(QObject* context, Operation operation, Completion done = {}, bool background = false);
    // For context's destructor: waits for its running operation and drops its completion.
    void Release(const QObject* context);
    bool IsBusy() const { return m_bBusy; }
    bool IsBackground() const { return m_bBusy && m_bBackground; }
    // The port's state: read directly while idle, as the last operation left it while busy.
    ReaderPortState PortState() const;
    bool IsPortOpen() const { return PortState().bOpen; }
    // The stand-in for window that the port traces into (one per window, owned by the worker).
    OutputWindow* Relay(OutputWindow* window);
    // How long the worker stays idle before it looks at the line; zero (the start) never looks.
    // The program looks every second; tests that drive the port from their own thread leave it off.
    void SetLineCheckPeriod(std::chrono::milliseconds period);

    void WaitForIdle();
    void Shutdown();

signals:
    void BusyChanged(bool busy);
    // The line went away and the port is closed: "Connection to /tmp/P lost: Input/output error".
    void LineLost(const QString& text);

private:
    class RelayWindow;

    void Run();
    // On the worker, after an operation: closes a line the port found lost and traces why; the
    // status text, or empty when the line stands.
    std::string CloseLostLine();
    // On the worker while idle: a look at the line that changes nothing; a fault is handed to
    // the window's thread, which posts the check that closes the line.
    void LookAtIdleLine();
    bool OnWorkerThread() const { return std::this_thread::get_id() == m_workerId; }
    // From the worker thread: queues call for the window's thread and returns at once.
    void CallOnWindowThread(std::function<void()> call);
    // Runs the calls queued so far (the queued slot on the window's thread).
    void Drain();
    // Takes the next queued call, waiting for one when block is set; empty when there is none.
    std::function<void()> TakeCall(bool block);

    ReaderPort& m_port;
    ReaderLink& m_link;
    bool m_bBusy = false;
    bool m_bBackground = false;
    ReaderPortState m_portState;
    // Whose completion the running operation delivers to; cleared when that owner goes.
    QPointer<QObject> m_pContext;
    std::vector<std::unique_ptr<RelayWindow>> m_relays;

    std::mutex m_mutex;
    std::condition_variable m_wake;        // the worker: an operation or the stop
    std::condition_variable m_callsReady;  // the window's thread: a call was queued
    Operation m_operation;
    Completion m_completion;
    bool m_bStop = false;
    std::chrono::milliseconds m_lineCheckPeriod{0};
    bool m_bPeriodChanged = false;
    bool m_bDrainPosted = false;
    std::deque<std::function<void()>> m_calls;
    std::thread m_thread;
    std::thread::id m_workerId;
};
