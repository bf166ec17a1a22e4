#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include <QSignalSpy>

#include "common/CReaderSession.h"
#include "link/Clock.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"
#include "link/ReaderPort.h"
#include "link/Trace.h"
#include "sim/SimD2xxProvider.h"
#include "sim/SimReader.h"
#include "sim/Simulator.h"

namespace {

// The simulated reader behind the simulated USB bridge, on the fake clock, not yet connected.
struct Bench {
    Bench() { reader->EnterCard(Simulator::SampleCard()); }

    FakeClock clock;
    std::shared_ptr<SimReader> reader = std::make_shared<SimReader>(clock);
    std::shared_ptr<SimD2xxProvider> d2xx = std::make_shared<SimD2xxProvider>(reader, clock);
    ReaderPort port{nullptr, d2xx};
    ReaderLink link{clock};
    MemoryOutputWindow window;  // outlives the session, which may still deliver to it
    QObject context;
    CReaderSession session{port, link};
};

LinkResult RequestCard(ReaderPort&, ReaderLink& link) {
    uint32_t cardType = 0;
    return link.Request(0, cardType);
}

}  // namespace

TEST(ReaderSession, ThePageSeesThePortAsTheLastOperationLeftItUntilTheNextDelivers) {
    Bench bench;
    std::vector<std::pair<LinkResult, bool>> connected;
    ASSERT_TRUE(bench.session.Connect(
        &bench.context, {true, "", 115200},
        [&](LinkResult result, bool opened) { connected.emplace_back(result, opened); }));
    // Running: what the port was when the connect was posted, and no second operation beside it.
    EXPECT_FALSE(bench.session.Port().bOpen);
    EXPECT_FALSE(bench.session.Disconnect(&bench.context, {}));
    bench.session.WaitForIdle();
    ASSERT_EQ(connected, (std::vector<std::pair<LinkResult, bool>>{{LR_OK, true}}));
    const ReaderPortState open = bench.session.Port();
    EXPECT_TRUE(open.bOpen);
    EXPECT_TRUE(open.bUsb);
    EXPECT_EQ(open.dwBaudRate, 115200u);

    ASSERT_TRUE(bench.session.Disconnect(&bench.context, {}));
    EXPECT_TRUE(bench.session.Port().bOpen);
    bench.session.WaitForIdle();
    EXPECT_FALSE(bench.session.Port().bOpen);
    EXPECT_FALSE(bench.port.IsOpen());
}

TEST(ReaderSession, TheTraceIsSwitchedAfterTheRunningExchangeAndAlsoOnceTheWorkerHasStopped) {
    Bench bench;
    ASSERT_TRUE(bench.session.Connect(&bench.context, {true, "", 115200}, [](LinkResult, bool) {}));
    bench.session.WaitForIdle();

    // A traced exchange runs; the switch waits for it, so the exchange is traced whole.
    bench.session.SetTraceWindow(&bench.window, TraceModeHex, true);
    ASSERT_TRUE(bench.session.Post(&bench.context, RequestCard));
    bench.session.SetTraceWindow(nullptr, TraceModeHex);
    EXPECT_FALSE(bench.session.IsBusy());
    const std::string traced = bench.window.Text();
    EXPECT_NE(traced.find(">> 02"), std::string::npos) << traced;
    EXPECT_NE(traced.find("<OK>"), std::string::npos) << traced;
    EXPECT_FALSE(bench.session.TracesInto(&bench.window));

    ASSERT_TRUE(bench.session.Post(&bench.context, RequestCard));
    bench.session.WaitForIdle();
    EXPECT_EQ(bench.window.Text(), traced);

    // Closing: a page detaches its window after the worker is gone; nothing else uses the port.
    bench.session.Shutdown();
    EXPECT_FALSE(bench.session.Post(&bench.context, RequestCard));
    bench.session.SetTraceWindow(&bench.window, TraceModeHex);
    EXPECT_TRUE(bench.session.TracesInto(&bench.window));
    bench.session.ClearTrace();
    EXPECT_EQ(bench.window.Text(), "");
}

// A USB bridge that fails is re-opened; one that cannot be re-opened is gone. A background post
// (a mode's step, a terminal's poll) meets it as a command would.
TEST(ReaderSession, ABridgeThatCannotBeReopenedIsClosedAndReportedWithItsError) {
    Bench bench;
    ASSERT_TRUE(bench.session.Connect(&bench.context, {true, "", 115200}, [](LinkResult, bool) {}));
    bench.session.WaitForIdle();
    bench.session.SetTraceWindow(&bench.window, TraceModeHex);
    QSignalSpy lost(&bench.session, &CReaderSession::LineLost);
    QSignalSpy busy(&bench.session, &CReaderSession::BusyChanged);

    bench.d2xx->FailCall("FT_Read", FT_IO_ERROR, SimD2xxProvider::kForever);
    bench.d2xx->FailCall("FT_Open", FT_DEVICE_NOT_FOUND, SimD2xxProvider::kForever);
    LinkResult result = LR_OK;
    ASSERT_TRUE(bench.session.Post(
        &bench.context, RequestCard, [&result](LinkResult r) { result = r; }, true));
    bench.session.WaitForIdle();

    EXPECT_EQ(result, LR_D2XX_BASE + FT_IO_ERROR);
    const std::string text = "Connection to the USB reader lost: " + LinkResultText(result);
    ASSERT_EQ(lost.size(), 1);
    EXPECT_EQ(lost[0][0].toString().toStdString(), text);
    ASSERT_EQ(busy.size(), 1);
    EXPECT_FALSE(busy[0][0].toBool());
    EXPECT_FALSE(bench.session.Port().bOpen);
    EXPECT_EQ(bench.window.Text(), ">> 02 \n<" + text + ">\n");
}
