#include "common/CReaderWorker.h"

#include <string>
#include <utility>
#include <vector>

#include "StringTable.h"
#include "link/OutputWindow.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"

// The window as the trace sees it from the worker thread: every change is queued for the window's
// thread and the worker goes on at once. The trace never asks the window anything, so the wire
// never waits for the window.
class CReaderWorker::RelayWindow final : public OutputWindow {
public:
    RelayWindow(CReaderWorker& worker, OutputWindow& window) : m_worker(worker), m_window(window) {}

    OutputWindow& Target() const { return m_window; }

    void Append(std::string_view text, const TraceFormat* format, int margin) override {
        Tell([this, copy = std::string(text), hasFormat = format != nullptr,
              lineFormat = format != nullptr ? *format : TraceFormat{},
              margin] { m_window.Append(copy, hasFormat ? &lineFormat : nullptr, margin); });
    }
    void SetDefaultFormat(std::string_view face, int pointSize, bool bold) override {
        Tell([this, copy = std::string(face), pointSize, bold] {
            m_window.SetDefaultFormat(copy, pointSize, bold);
        });
    }
    void ClearAll() override {
        Tell([this] { m_window.ClearAll(); });
    }
    void ReceivedBytes(std::span<const uint8_t> bytes) override {
        Tell([this, copy = std::vector<uint8_t>(bytes.begin(), bytes.end())] {
            m_window.ReceivedBytes(copy);
        });
    }

private:
    template <typename Call>
    void Tell(Call call) const {
        if (m_worker.OnWorkerThread()) {
            m_worker.CallOnWindowThread(std::move(call));
        } else {
            call();
        }
    }

    CReaderWorker& m_worker;
    OutputWindow& m_window;
};

ReaderPortState ReaderPortState::Of(const ReaderPort& port) {
    return {port.IsOpen(), port.IsUsb(), port.GetPortName(), port.GetBaudRate()};
}

CReaderWorker::CReaderWorker(ReaderPort& port, ReaderLink& link, QObject* parent)
    : QObject(parent), m_port(port), m_link(link), m_portState(ReaderPortState::Of(port)) {
    m_thread = std::thread([this] { Run(); });
    m_workerId = m_thread.get_id();
}

CReaderWorker::~CReaderWorker() {
    Shutdown();
}

bool CReaderWorker::Post(QObject* context, Operation operation, Completion done, bool background) {
    if (m_bBusy || !m_thread.joinable() || !operation || context == nullptr) {
        return false;
    }
    m_pContext = context;
    m_portState = ReaderPortState::Of(m_port);
    m_bBusy = true;
    m_bBackground = background;
    {
        std::lock_guard lock(m_mutex);
        m_operation = std::move(operation);
        m_completion = std::move(done);
    }
    m_wake.notify_one();
    if (!background) {
        emit BusyChanged(true);
    }
    return true;
}

bool CReaderWorker::PostWhenIdle(QObject* context, Operation operation, Completion done, bool background) {
    WaitForIdle();
    return Post(context, std::move(operation), std::move(done), background);
}

void CReaderWorker::Release(const QObject* context) {
    if (m_bBusy && m_pContext == context) {
        m_pContext = nullptr;
        WaitForIdle();
    }
}

ReaderPortState CReaderWorker::PortState() const {
    return m_bBusy ? m_portState : ReaderPortState::Of(m_port);
}

OutputWindow* CReaderWorker::Relay(OutputWindow* window) {
    if (window == nullptr) {
        return nullptr;
    }
    for (const auto& relay : m_relays) {
        if (&relay->Target() == window) {
            return relay.get();
        }
    }
    m_relays.push_back(std::make_unique<RelayWindow>(*this, *window));
    return m_relays.back().get();
}

void CReaderWorker::SetLineCheckPeriod(std::chrono::milliseconds period) {
    {
        std::lock_guard lock(m_mutex);
        m_lineCheckPeriod = period;
        m_bPeriodChanged = true;
    }
    m_wake.notify_all();
}

void CReaderWorker::Run() {
    for (;;) {
        Operation operation;
        Completion done;
        {
            std::unique_lock lock(m_mutex);
            const auto woken = [this] { return m_bStop || m_operation || m_bPeriodChanged; };
            bool looked = false;
            if (m_lineCheckPeriod.count() > 0) {
                looked = !m_wake.wait_for(lock, m_lineCheckPeriod, woken);
            } else {
                m_wake.wait(lock, woken);
            }
            if (std::exchange(m_bPeriodChanged, false) && !m_bStop && !m_operation) {
                continue;  // waits again, with the new period
            }
            if (looked) {
                lock.unlock();
                LookAtIdleLine();
                continue;
            }
            if (!m_operation) {
                return;
            }
            operation = std::move(m_operation);
            done = std::move(m_completion);
            m_operation = nullptr;
            m_completion = nullptr;
        }
        const LinkResult result = operation(m_port, m_link);
        std::string lost = CloseLostLine();
        // The last call of the operation: everything it traced is in the window before this runs.
        CallOnWindowThread([this, result, state = ReaderPortState::Of(m_port), done = std::move(done),
                            lost = std::move(lost)] {
            m_portState = state;
            m_bBusy = false;
            // The answer is of use only while its context lives (a page, a dialog).
            const QPointer<QObject> context = std::exchange(m_pContext, nullptr);
            // A line lost changes what every page may offer, also after a background post.
            if (!m_bBackground || !lost.empty()) {
                emit BusyChanged(false);
            }
            if (!lost.empty()) {
                emit LineLost(QString::fromStdString(lost));
            }
            if (done && context != nullptr) {
                done(result);
            }
        });
    }
}

std::string CReaderWorker::CloseLostLine() {
    const LinkResult lost = m_port.GetLineLost();
    if (lost == LR_OK) {
        return {};
    }
    const bool firstBridge = m_port.IsUsb() && m_port.GetUsbSerial().empty();
    const std::string text =
        LineLostText(firstBridge ? LoadString(IDS_THE_USB_READER) : m_port.GetPortName(), lost);
    // Closed at once: the pages then offer what they offer without a connection, and a device that
    // comes back under the same name can be connected again.
    m_port.ClosePort();
    m_port.WriteStatusLine("<" + text + ">");
    return text;
}

void CReaderWorker::LookAtIdleLine() {
    if (m_port.LineFault() == LR_OK) {
        return;
    }
    CallOnWindowThread([this] {
        // Refused while something runs: that operation meets the fault itself, or the next look does.
        (void)Post(
            this, [](ReaderPort& port, ReaderLink&) { return port.CheckLine(); }, {}, true);
    });
}

void CReaderWorker::CallOnWindowThread(std::function<void()> call) {
    bool postDrain = false;
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        postDrain = !m_bDrainPosted;
        m_bDrainPosted = true;
    }
    m_callsReady.notify_all();
    if (postDrain) {
        QMetaObject::invokeMethod(
            this, [this] { Drain(); }, Qt::QueuedConnection);
    }
}

std::function<void()> CReaderWorker::TakeCall(bool block) {
    std::unique_lock lock(m_mutex);
    if (block) {
        m_callsReady.wait(lock, [this] { return !m_calls.empty(); });
    }
    if (m_calls.empty()) {
        return {};
    }
    std::function<void()> call = std::move(m_calls.front());
    m_calls.pop_front();
    return call;
}

void CReaderWorker::Drain() {
    {
        std::lock_guard lock(m_mutex);
        m_bDrainPosted = false;
    }
    // One at a time: a call may open a nested event loop that drains the rest in order.
    while (std::function<void()> call = TakeCall(false)) {
        call();
    }
}

void CReaderWorker::WaitForIdle() {
    while (m_bBusy) {
        TakeCall(true)();
    }
}

void CReaderWorker::Shutdown() {
    if (!m_thread.joinable()) {
        return;
    }
    WaitForIdle();
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_one();
    m_thread.join();
    // Whatever the last operation left queued (nothing, normally) runs before the windows go.
    Drain();
}
