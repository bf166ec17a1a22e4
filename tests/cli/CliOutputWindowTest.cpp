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

}  // namespace
