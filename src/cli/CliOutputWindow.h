#pragma once

#include <ostream>

#include "link/OutputWindow.h"
#include "link/TraceTimestamp.h"

// The output window of the command line: every trace line printed as it comes, coloured as the
// window colours it when the stream is a terminal. Quiet keeps the status lines only.
class CliOutputWindow : public OutputWindow {
public:
    CliOutputWindow(std::ostream& out, bool colour, bool quiet,
                    TraceTimestamp::Mode timestamps = TraceTimestamp::None, Clock& clock = Clock::System())
        : m_out(out), m_bColour(colour), m_bQuiet(quiet), m_timestamp(clock) {
        m_timestamp.SetMode(timestamps);
    }

    // Nothing is kept, so nothing is cut and nothing scrolls.
    void Append(std::string_view text, const TraceFormat* format, int margin) override;
    void SetDefaultFormat(std::string_view, int, bool) override {}
    void ClearAll() override {}

private:
    std::ostream& m_out;
    bool m_bColour;
    bool m_bQuiet;
    TraceTimestamp m_timestamp;
    bool m_bAtLineStart = true;
};
