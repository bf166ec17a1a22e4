#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <QTest>
#include <QThread>

#include "common/CReaderWorker.h"
#include "link/Clock.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

// An output window that notes whether every change reached it on the window's thread.
class ThreadCheckingWindow : public MemoryOutputWindow {
public:
    void AppendText(std::string_view text, const TraceFormat* format) override {
        m_bOffThread |= QThread::currentThread() != m_pThread;
        MemoryOutputWindow::AppendText(text, format);
    }
    void ScrollLines(int lines) override {
        m_bOffThread |= QThread::currentThread() != m_pThread;
        MemoryOutputWindow::ScrollLines(lines);
    }
    bool m_bOffThread = false;

private:
    QThread* m_pThread = QThread::currentThread();
};

// A reader on the fake clock behind the simulated USB bridge, connected, with its port tracing
// into the window.
struct Bench {
    explicit Bench(OutputWindow* (*attach)(Bench&)) {
        reader->EnterCard(Simulator::SampleCard());
        EXPECT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        EXPECT_EQ(link.Connect(&port, 115200), LR_OK);
        port.SetReadMode(ReadModeNormal);
        port.SetOutputWindow(attach(*this), true, TraceModeHex);
    }

    FakeClock clock;
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    ReaderPort port{nullptr, std::make_shared<SimD2xxProvider>(reader, clock)};
    ReaderLink link{clock};
    ThreadCheckingWindow window;  // outlives the worker, which may still deliver to it
    QObject context;              // what the completions belong to
    CReaderWorker worker{port, link};
};

OutputWindow* Direct(Bench& bench) {
    return &bench.window;
}
OutputWindow* Relayed(Bench& bench) {
    return bench.worker.Relay(&bench.window);
}

LinkResult RequestCard(ReaderPort&, ReaderLink& link) {
    uint32_t cardType = 0;
    return link.Request(0, cardType);
}

}  // namespace

TEST(ReaderWorker, APostWhileOneRunsIsRefusedAndNothingIsQueued) {
    Bench bench(Relayed);
    std::vector<bool> busy;
    QObject::connect(&bench.worker, &CReaderWorker::BusyChanged, [&busy](bool b) { busy.push_back(b); });
    std::vector<LinkResult> results;
    const auto record = [&results](LinkResult result) { results.push_back(result); };

    ASSERT_TRUE(bench.worker.Post(&bench.context, RequestCard, record));
    EXPECT_TRUE(bench.worker.IsBusy());
    // Refused until the first answer is in on this thread, however soon the reader answered.
    EXPECT_FALSE(bench.worker.Post(&bench.context, RequestCard, record));
    bench.worker.WaitForIdle();
    EXPECT_EQ(results, std::vector<LinkResult>{LR_OK});
    EXPECT_EQ(busy, (std::vector<bool>{true, false}));
    EXPECT_EQ(bench.reader->Requests().size(), 1u);

    EXPECT_TRUE(bench.worker.Post(&bench.context, RequestCard, record));
    bench.worker.WaitForIdle();
    EXPECT_EQ(results.size(), 2u);
    EXPECT_EQ(bench.reader->Requests().size(), 2u);

    // A background post (a mode's step, a poll) is refused the same way while it runs, but shows no
    // busy state: the cursor and the tab bar would flicker at the rate of the steps.
    busy.clear();
    ASSERT_TRUE(bench.worker.Post(&bench.context, RequestCard, record, true));
    EXPECT_TRUE(bench.worker.IsBackground());
    EXPECT_FALSE(bench.worker.Post(&bench.context, RequestCard, record));
    bench.worker.WaitForIdle();
    EXPECT_FALSE(bench.worker.IsBackground());
    EXPECT_EQ(results.size(), 3u);
    EXPECT_TRUE(busy.empty());
}

TEST(ReaderWorker, ALineReachesTheWindowWhileItsExchangeStillRuns) {
    Bench bench(Relayed);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ASSERT_TRUE(bench.worker.Post(&bench.context, [released](ReaderPort& port, ReaderLink&) {
        port.WriteStatusLine("<first>");
        released.wait();
        port.WriteStatusLine("<second>");
        return LR_OK;
    }));
    // The window's thread is free meanwhile: its event loop brings the first line in.
    const bool shown =
        QTest::qWaitFor([&] { return bench.window.Text().find("<first>") != std::string::npos; });
    release.set_value();
    bench.worker.WaitForIdle();
    EXPECT_TRUE(shown);
    EXPECT_EQ(bench.window.Text(), "<first>\n<second>\n");
}

TEST(ReaderWorker, TheWindowGetsTheSameTraceAsWithoutTheWorkerAllBeforeTheResult) {
    // Enough exchanges to fill the window past its limit: the cut and the scrolling ask the window
    // questions between changes, and every answer must match what the changes made of it.
    const auto manyRequests = [](ReaderPort& port, ReaderLink& link) {
        LinkResult result = LR_OK;
        for (int i = 0; i < 200 && result == LR_OK; ++i) {
            result = RequestCard(port, link);
        }
        return result;
    };
    Bench direct(Direct);
    ASSERT_EQ(manyRequests(direct.port, direct.link), LR_OK);

    Bench relayed(Relayed);
    std::string atResult;
    ASSERT_TRUE(relayed.worker.Post(&relayed.context, manyRequests,
                                    [&](LinkResult) { atResult = relayed.window.Text(); }));
    relayed.worker.WaitForIdle();

    ASSERT_GT(direct.window.UndoEmptiedCount(), 0);  // the window was cut
    EXPECT_EQ(relayed.window.Text(), direct.window.Text());
    EXPECT_EQ(relayed.window.GetFirstVisibleLine(), direct.window.GetFirstVisibleLine());
    EXPECT_EQ(relayed.window.UndoEmptiedCount(), direct.window.UndoEmptiedCount());
    EXPECT_EQ(atResult, relayed.window.Text());
    EXPECT_FALSE(relayed.window.m_bOffThread);
}

TEST(ReaderWorker, TheWireNeverWaitsForTheWindow) {
    // Five traced Requests while the window's thread does nothing but wait for them: they finish,
    // with the same bytes and the same time on the reader's clock as without a window.
    const auto fiveRequests = [](Bench& bench, uint32_t& elapsed) {
        return [&bench, &elapsed](ReaderPort& port, ReaderLink& link) {
            const uint32_t start = bench.clock.GetTickCount();
            LinkResult result = LR_OK;
            for (int i = 0; i < 5 && result == LR_OK; ++i) {
                result = RequestCard(port, link);
            }
            elapsed = bench.clock.GetTickCount() - start;
            return result;
        };
    };
    Bench untraced([](Bench&) -> OutputWindow* { return nullptr; });
    uint32_t untracedMs = 0;
    ASSERT_EQ(fiveRequests(untraced, untracedMs)(untraced.port, untraced.link), LR_OK);

    Bench traced(Relayed);
    uint32_t tracedMs = 0;
    std::promise<LinkResult> finished;
    std::future<LinkResult> result = finished.get_future();
    ASSERT_TRUE(traced.worker.Post(
        &traced.context, [&, run = fiveRequests(traced, tracedMs)](ReaderPort& port, ReaderLink& link) {
            const LinkResult r = run(port, link);
            finished.set_value(r);
            return r;
        }));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the exchanges waited for the window's thread";
    EXPECT_EQ(result.get(), LR_OK);
    EXPECT_TRUE(traced.window.Text().empty()) << "nothing reached the window while its thread was away";
    traced.worker.WaitForIdle();

    EXPECT_EQ(tracedMs, untracedMs);
    ASSERT_EQ(traced.reader->Requests().size(), untraced.reader->Requests().size());
    Bench direct(Direct);
    uint32_t directMs = 0;
    ASSERT_EQ(fiveRequests(direct, directMs)(direct.port, direct.link), LR_OK);
    EXPECT_EQ(traced.window.Text(), direct.window.Text());
}

TEST(ReaderWorker, ACompletionWhoseContextIsGoneIsDroppedAndReleaseWaitsForItsOperation) {
    Bench bench(Relayed);
    bool delivered = false;
    {
        QObject page;
        ASSERT_TRUE(bench.worker.Post(&page, RequestCard, [&delivered](LinkResult) { delivered = true; }));
    }
    bench.worker.WaitForIdle();
    EXPECT_FALSE(delivered) << "the answer reached a page that was gone";

    // Release: the page's destructor waits for the operation that uses the page's members.
    auto page = std::make_unique<QObject>();
    auto state = std::make_shared<int>(0);
    std::promise<void> running;
    ASSERT_TRUE(bench.worker.Post(
        page.get(),
        [&running, state](ReaderPort& port, ReaderLink& link) {
            running.set_value();
            const LinkResult result = RequestCard(port, link);
            *state = 1;
            return result;
        },
        [&delivered](LinkResult) { delivered = true; }));
    running.get_future().wait();
    bench.worker.Release(page.get());
    EXPECT_EQ(*state, 1) << "Release returned before the operation ended";
    EXPECT_FALSE(bench.worker.IsBusy());
    EXPECT_FALSE(delivered);
    // Another context's operation is not waited for.
    ASSERT_TRUE(bench.worker.Post(&bench.context, RequestCard));
    bench.worker.Release(page.get());
    EXPECT_TRUE(bench.worker.IsBusy());
    bench.worker.WaitForIdle();
}

TEST(ReaderWorker, ShuttingDownDuringAnExchangeWaitsForItAndLosesNothing) {
    Bench bench(Relayed);
    SimFaults silent;
    silent.silent = true;
    bench.reader->SetFaults(silent);
    const uint32_t start = bench.clock.GetTickCount();
    LinkResult result = LR_OK;
    ASSERT_TRUE(bench.worker.Post(&bench.context, RequestCard, [&result](LinkResult r) { result = r; }));
    bench.worker.Shutdown();

    EXPECT_EQ(result, LR_NO_ANSWER);
    // Every attempt's STX is in the window; the wait was the link's own: four attempts of at most
    // the longest handshake wait each.
    EXPECT_EQ(bench.window.Lines(), (std::vector<std::string>{">> 02 ", ">> 02 ", ">> 02 ", ">> 02 ", ""}));
    EXPECT_LE(bench.clock.GetTickCount() - start, 4u * 2000u);
    EXPECT_FALSE(bench.worker.Post(&bench.context, RequestCard));
}
