#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <QObject>

#include "common/CReaderWorker.h"
#include "link/LinkResult.h"

class Clock;
class OutputWindow;
class SerialPortList;

// What a page has of the reader: the one way to it from the window's thread.
//
// The session owns the worker thread that runs every exchange (see CReaderWorker for the rules of
// posting) and keeps the port and the link to itself: a page cannot call them (it does not include
// their headers), it posts work, reads the port's state as a snapshot and names the window the
// trace writes into. Work itself is core code (a command, a step machine, a form's port switch)
// that receives the port and the link on the worker thread.
//
// Everything here belongs to the thread that created the session (asserted in debug builds).
// Post and PostWhenIdle report a refusal; a caller says so to the user or tries again, never drops
// the work silently.
class CReaderSession : public QObject {
    Q_OBJECT
public:
    using Operation = CReaderWorker::Operation;
    using Completion = CReaderWorker::Completion;

    // Where to connect: the USB bridge, or a serial device by name, and the link's baud rate.
    struct ConnectRequest {
        bool bUsb = false;
        std::string strPortName;
        uint32_t dwBaudRate = 9600;
    };
    // After a connect: the result, and whether the port opened (the link may still have failed).
    using Connected = std::function<void(LinkResult result, bool opened)>;

    CReaderSession(ReaderPort& port, ReaderLink& link, QObject* parent = nullptr);
    ~CReaderSession() override;
    CReaderSession(const CReaderSession&) = delete;
    CReaderSession& operator=(const CReaderSession&) = delete;

    [[nodiscard]] bool Post(QObject* context, Operation operation, Completion done = {},
                            bool background = false);
    // After the running operation; false only once the session has shut down.
    [[nodiscard]] bool PostWhenIdle(QObject* context, Operation operation, Completion done = {},
                                    bool background = false);
    // For context's destructor: waits for its running operation and drops its completion.
    void Release(const QObject* context);
    bool IsBusy() const;
    bool IsBackground() const;
    ReaderPortState Port() const;

    [[nodiscard]] bool Connect(QObject* context, const ConnectRequest& request, Connected done);
    [[nodiscard]] bool Disconnect(QObject* context, Completion done);

    // The trace: window (or none) receives every byte from now on, in mode. setFormat gives the
    // window the trace's character format first. Runs on the worker, after what runs now.
    void SetTraceWindow(OutputWindow* window, uint32_t mode, bool setFormat = false);
    // Gives window the trace's format in mode and leaves the trace where it is.
    void FormatTraceWindow(OutputWindow* window, uint32_t mode);
    // Whether the trace writes into window now.
    bool TracesInto(OutputWindow* window);
    void ClearTrace();
    // What the port traces into from the worker thread in place of window: for work that switches
    // the trace itself (a quiet exchange in between).
    OutputWindow* TraceTarget(OutputWindow* window);

    // The serial devices the system has; refreshed by the caller.
    SerialPortList& PortList();
    Clock& GetClock() const;
    // For core objects that run on the worker (step machines): handed on, never called here.
    ReaderPort& PortForWork() { return m_port; }
    ReaderLink& LinkForWork() { return m_link; }

    // How long the worker stays idle before it looks at the line for a hang-up (see CReaderWorker).
    void SetLineCheckPeriod(std::chrono::milliseconds period);

    void WaitForIdle();
    void Shutdown();

signals:
    void BusyChanged(bool busy);
    // The line went away and the port has been closed; text says where and why ("Connection to
    // /tmp/P lost: Input/output error"), as the trace's status line does.
    void LineLost(const QString& text);

private:
    void AssertWindowThread() const;
    // Runs work on the worker and waits for it; straight on this thread once the worker has stopped.
    void RunAndWait(const std::function<void(ReaderPort& port)>& work);

    ReaderPort& m_port;
    ReaderLink& m_link;
    CReaderWorker m_worker;
};
