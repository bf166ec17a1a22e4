#include "CliOutputWindow.h"

#include <gtest/gtest.h>

#include <sstream>

#include "link/Trace.h"

namespace {

// The lines as the trace appends them: sent, received, status.
std::string Print(bool colour, bool quiet) {
    std::ostringstream out;
    CliOutputWindow window(out, colour, quiet);
    Trace trace;
    trace.SetOutputWindow(&window, true, TraceModeHex);
    trace.Sent(ByteBuffer{0x02});
    trace.Received(ByteBuffer{0x10});
    trace.WriteStatusLine("<OK>");
    return out.str();
}

TEST(CliOutputWindow, PrintsTheWindowsLinesColouredOnlyOnATerminal) {
    EXPECT_EQ(Print(false, false), ">> 02 \n<< 10 \n<OK>\n");
    // Black bold is the terminal's own colour in bold, so that it shows on a dark background.
    EXPECT_EQ(Print(true, false), "\033[1m>> 02 \033[0m\n\033[1;31m<< 10 \033[0m\n\033[1;34m<OK>\033[0m\n");
    EXPECT_EQ(Print(false, true), "<OK>\n");
}

TEST(CliOutputWindow, TimestampsPrefixEveryLineOutsideTheColour) {
    FakeClock clock{5000};
    std::ostringstream out;
    CliOutputWindow window(out, false, false, TraceTimestamp::Elapsed, clock);
    Trace trace;
    trace.SetOutputWindow(&window, true, TraceModeHex);
    trace.Sent(ByteBuffer{0x02});
    clock.Advance(1234);
    trace.Received(ByteBuffer{0x10});
    clock.Advance(60000);
    trace.WriteStatusLine("<OK>");
    EXPECT_EQ(out.str(), "+0.000 >> 02 \n+1.234 << 10 \n+61.234 <OK>\n");

    TraceTimestamp timeOfDay(clock, [] { return uint32_t{((14 * 60 + 3) * 60 + 22) * 1000 + 7}; });
    timeOfDay.SetMode(TraceTimestamp::TimeOfDay);
    bool atLineStart = true;
    EXPECT_EQ(timeOfDay.Stamp("a\nb", atLineStart), "14:03:22.007 a\n14:03:22.007 b");
    EXPECT_FALSE(atLineStart) << "the line goes on in the next piece";
    EXPECT_EQ(timeOfDay.Stamp("c\n", atLineStart), "c\n");
}

}  // namespace
