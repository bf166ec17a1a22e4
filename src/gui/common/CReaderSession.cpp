#include "common/CReaderSession.h"

#include <QThread>
#include <memory>
#include <utility>

#include "link/ReaderLink.h"
#include "link/ReaderPort.h"

CReaderSession::CReaderSession(ReaderPort& port, ReaderLink& link, QObject* parent)
    : QObject(parent), m_port(port), m_link(link), m_worker(port, link) {
    connect(&m_worker, &CReaderWorker::BusyChanged, this, &CReaderSession::BusyChanged);
    connect(&m_worker, &CReaderWorker::LineLost, this, &CReaderSession::LineLost);
}

CReaderSession::~CReaderSession() {
    Shutdown();
}

void CReaderSession::AssertWindowThread() const {
    Q_ASSERT_X(QThread::currentThread() == thread(), "CReaderSession", "used off the window's thread");
}

bool CReaderSession::Post(QObject* context, Operation operation, Completion done, bool background) {
    AssertWindowThread();
    return m_worker.Post(context, std::move(operation), std::move(done), background);
}

bool CReaderSession::PostWhenIdle(QObject* context, Operation operation, Completion done, bool background) {
    AssertWindowThread();
    return m_worker.PostWhenIdle(context, std::move(operation), std::move(done), background);
}

void CReaderSession::Release(const QObject* context) {
    AssertWindowThread();
    m_worker.Release(context);
}

bool CReaderSession::IsBusy() const {
    AssertWindowThread();
    return m_worker.IsBusy();
}

bool CReaderSession::IsBackground() const {
    AssertWindowThread();
    return m_worker.IsBackground();
}

ReaderPortState CReaderSession::Port() const {
    AssertWindowThread();
    return m_worker.PortState();
}

bool CReaderSession::Connect(QObject* context, const ConnectRequest& request, Connected done) {
    auto opened = std::make_shared<bool>(false);
    const auto connect = [request, opened](ReaderPort& port, ReaderLink& link) {
        // By name, listed or typed: the list may have changed since the page showed it.
        LinkResult result =
            request.bUsb ? port.OpenPort(PortKindUsb, 0) : port.OpenPortByName(request.strPortName);
        *opened = result == LR_OK;
        if (*opened) {
            result = link.Connect(&port, request.dwBaudRate);
        }
        if (result != LR_OK) {
            port.ClosePort();
        }
        return result;
    };
    return Post(context, connect,
                [opened, done = std::move(done)](LinkResult result) { done(result, *opened); });
}

bool CReaderSession::Disconnect(QObject* context, Completion done) {
    return Post(
        context, [](ReaderPort& port, ReaderLink&) { return port.ClosePort(); }, std::move(done));
}

void CReaderSession::RunAndWait(const std::function<void(ReaderPort& port)>& work) {
    AssertWindowThread();
    const bool posted = m_worker.PostWhenIdle(
        this,
        [&work](ReaderPort& port, ReaderLink&) {
            work(port);
            return LR_OK;
        },
        {}, true);
    if (posted) {
        m_worker.WaitForIdle();
    } else {
        work(m_port);  // no worker thread any more: nothing else uses the port
    }
}

void CReaderSession::SetTraceWindow(OutputWindow* window, uint32_t mode, bool setFormat) {
    OutputWindow* target = TraceTarget(window);
    RunAndWait(
        [target, mode, setFormat](ReaderPort& port) { port.SetOutputWindow(target, setFormat, mode); });
}

void CReaderSession::FormatTraceWindow(OutputWindow* window, uint32_t mode) {
    OutputWindow* target = TraceTarget(window);
    RunAndWait([target, mode](ReaderPort& port) {
        OutputWindow* previous = port.GetOutputWindow();
        const uint32_t previousMode = port.GetTraceMode();
        port.SetOutputWindow(target, true, mode);
        port.SetOutputWindow(previous, false, previousMode);
    });
}

bool CReaderSession::TracesInto(OutputWindow* window) {
    OutputWindow* target = TraceTarget(window);
    bool into = false;
    RunAndWait(
        [target, &into](ReaderPort& port) { into = target != nullptr && port.GetOutputWindow() == target; });
    return into;
}

void CReaderSession::ClearTrace() {
    RunAndWait([](ReaderPort& port) { port.ClearOutput(); });
}

OutputWindow* CReaderSession::TraceTarget(OutputWindow* window) {
    AssertWindowThread();
    return m_worker.Relay(window);
}

SerialPortList& CReaderSession::PortList() {
    AssertWindowThread();
    return m_port.GetPortList();
}

Clock& CReaderSession::GetClock() const {
    return m_link.GetClock();
}

void CReaderSession::SetLineCheckPeriod(std::chrono::milliseconds period) {
    AssertWindowThread();
    m_worker.SetLineCheckPeriod(period);
}

void CReaderSession::WaitForIdle() {
    AssertWindowThread();
    m_worker.WaitForIdle();
}

void CReaderSession::Shutdown() {
    AssertWindowThread();
    m_worker.Shutdown();
}
