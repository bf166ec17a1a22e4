#include "link/Trace.h"

#include <gtest/gtest.h>

#include "link/MemoryOutputWindow.h"

namespace {

TEST(Trace, WithoutAWindowNothingHappens) {
    Trace trace;
    trace.WriteStatusLine("<OK>");
    trace.Sent(ByteBuffer{0x02});
    trace.Received(ByteBuffer{0x10});
    trace.ClearOutput();
    EXPECT_EQ(trace.GetOutputWindow(), nullptr);
}

TEST(Trace, HexModeLinesCarryTheirPrefixAndFormat) {
    MemoryOutputWindow window;
    Trace trace;
    trace.SetOutputWindow(&window, true, TraceModeHex);
    EXPECT_EQ(window.DefaultFace(), "Courier New");
    EXPECT_EQ(window.DefaultPointSize(), 8);
    EXPECT_TRUE(window.DefaultBold());

    trace.Sent(ByteBuffer{0x02});
    trace.Sent(ByteBuffer{});  // nothing written, no line
    trace.Received(ByteBuffer{0x10});
    trace.Received(ByteBuffer{});
    trace.WriteStatusLine("<OK>");

    EXPECT_EQ(window.Text(), ">> 02 \n<< 10 \n<OK>\n");
    ASSERT_EQ(window.Pieces().size(), 3u);
    EXPECT_EQ(window.Pieces()[0].format, kSentFormat);
    EXPECT_EQ(window.Pieces()[1].format, kReceivedFormat);
    EXPECT_EQ(window.Pieces()[2].format, kStatusFormat);
    EXPECT_EQ(kReceivedFormat, (TraceFormat{255, 0, 0, true}));
    EXPECT_EQ(kStatusFormat, (TraceFormat{0, 0, 255, true}));
}

TEST(Trace, TextModeShowsReadsAsATerminalWould) {
    MemoryOutputWindow window;
    Trace trace;
    trace.SetOutputWindow(&window, true, TraceModeText);
    EXPECT_FALSE(window.DefaultBold());
    trace.Sent(ByteBuffer{0x41});  // writes are not shown in text mode
    trace.Received(ByteBuffer{0x41, 0x0A, 0x0D, 0x42});
    trace.Received(ByteBuffer{0x41, 0x08, 0x42});
    trace.Received(ByteBuffer{0x00});
    EXPECT_EQ(window.Text(), "A\nBAB0");
    EXPECT_FALSE(window.Pieces()[0].format.has_value());
}

TEST(Trace, AFullWindowIsCutToAnEmptyLineAndTheNewest511) {
    MemoryOutputWindow window;
    Trace trace;
    trace.SetOutputWindow(&window, false, TraceModeHex);
    for (int i = 0; i < LineWindow::kMaxLines; ++i) {
        trace.WriteStatusLine("line " + std::to_string(i));
    }
    EXPECT_EQ(window.GetLineCount(), 1025);
    EXPECT_EQ(window.UndoEmptiedCount(), 0);

    trace.WriteStatusLine("newest");

    const auto lines = window.Lines();
    ASSERT_EQ(lines.size(), 1u + 511u + 1u + 1u);
    EXPECT_EQ(lines.front(), "");
    EXPECT_EQ(lines[1], "line 513");
    EXPECT_EQ(lines[511], "line 1023");
    EXPECT_EQ(lines[512], "newest");
    EXPECT_EQ(window.UndoEmptiedCount(), 1);
}

TEST(Trace, KeepsTheEndInView) {
    MemoryOutputWindow window(10);
    Trace trace;
    trace.SetOutputWindow(&window, false, TraceModeHex);
    for (int i = 0; i < 30; ++i) {
        trace.WriteStatusLine("x");
    }
    EXPECT_EQ(window.GetFirstVisibleLine(), window.GetLineCount() - 10);
}

TEST(Trace, ClearEmptiesTheWindow) {
    MemoryOutputWindow window;
    Trace trace;
    trace.SetOutputWindow(&window, false, TraceModeHex);
    trace.WriteStatusLine("<OK>");
    trace.ClearOutput();
    EXPECT_EQ(window.Text(), "");
}

}  // namespace
