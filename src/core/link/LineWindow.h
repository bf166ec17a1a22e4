#pragma once

#include "link/OutputWindow.h"

// A window that keeps its text as a rich-edit control does, at most kMaxLines lines, and follows
// its end. The Qt widget and the in-memory window of tests implement the control's operations.
// Lines are counted as a rich-edit control counts them: a text that ends in a line break has an
// empty last line.
class LineWindow : public OutputWindow {
public:
    // A window holds at most this many lines; the next line first cuts the oldest away.
    static constexpr int kMaxLines = 1024;
    // Lines 0 .. kCutLastLine go in a cut (all but the line break that ends the last of them).
    static constexpr int kCutLastLine = 512;

    void Append(std::string_view text, const TraceFormat* format, int margin) final;

    virtual int GetLineCount() const = 0;
    // Character index of the first character of line (0-based); the text's length past the end.
    virtual int LineIndex(int line) const = 0;
    // Deletes characters [first, end).
    virtual void DeleteText(int first, int end) = 0;
    virtual void EmptyUndoBuffer() = 0;
    // Inserts text at the end: in format when given, else in the control's current format.
    virtual void AppendText(std::string_view text, const TraceFormat* format) = 0;
    virtual int GetFirstVisibleLine() const = 0;
    virtual void ScrollLines(int lines) = 0;
};
