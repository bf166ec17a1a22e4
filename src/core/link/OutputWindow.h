#pragma once

#include <cstdint>
#include <string_view>

// Character format of a trace line.
struct TraceFormat {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    bool bold = true;
    bool operator==(const TraceFormat&) const = default;
};

inline constexpr TraceFormat kSentFormat{0, 0, 0, true};
inline constexpr TraceFormat kReceivedFormat{255, 0, 0, true};
inline constexpr TraceFormat kStatusFormat{0, 0, 255, true};

// What the trace needs of a text control: the rich-edit operations it drives. The Qt widget, the
// in-memory window of tests and the command line's printer implement it. Lines are counted as a
// rich-edit control counts them: a text that ends in a line break has an empty last line.
class OutputWindow {
public:
    virtual ~OutputWindow() = default;

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
    // The control's default character format ("Courier New", 8 points, black, bold or not).
    virtual void SetDefaultFormat(std::string_view face, int pointSize, bool bold) = 0;
    // Removes all text and empties the undo buffer.
    virtual void ClearAll() = 0;
};
