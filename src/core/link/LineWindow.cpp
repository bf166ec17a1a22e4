#include "link/LineWindow.h"

void LineWindow::Append(std::string_view text, const TraceFormat* format, int margin) {
    if (GetLineCount() > kMaxLines) {
        // Keep the line break that ends the last cut line, so that an empty line stays on top.
        DeleteText(0, LineIndex(kCutLastLine + 1) - 1);
        EmptyUndoBuffer();
    }
    AppendText(text, format);
    const int behind = GetLineCount() - margin - GetFirstVisibleLine();
    if (behind > 0) {
        ScrollLines(behind);
    }
}
