#include "CliOutputWindow.h"

#include <string>

#include "commands/HexText.h"

namespace {

// Bold, in the format's colour; black is the terminal's own foreground so it shows on dark
// backgrounds too.
std::string Escape(const TraceFormat& format) {
    std::string code = format.bold ? "\033[1" : "\033[0";
    if (format.red != 0 || format.green != 0 || format.blue != 0) {
        const int colour =
            30 + (format.red != 0 ? 1 : 0) + (format.green != 0 ? 2 : 0) + (format.blue != 0 ? 4 : 0);
        code += ";" + std::to_string(colour);
    }
    return code + "m";
}

}  // namespace

void CliOutputWindow::Append(std::string_view raw, const TraceFormat* format, int /*margin*/) {
    if (m_bQuiet && (format == nullptr || *format != kStatusFormat)) {
        return;
    }
    // Status lines and the text trace carry the reader's own bytes: none may act on the terminal.
    const std::string text = m_timestamp.Stamp(EscapeControls(raw), m_bAtLineStart);
    if (!m_bColour || format == nullptr) {
        m_out << text;
    } else {
        // The reset goes before the line break so that a colour never runs into the next line.
        std::string_view body = text;
        const bool newline = !body.empty() && body.back() == '\n';
        if (newline) {
            body.remove_suffix(1);
        }
        m_out << Escape(*format) << body << "\033[0m" << (newline ? "\n" : "");
    }
    m_out.flush();
}
