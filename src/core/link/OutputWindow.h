#pragma once

#include <cstdint>
#include <span>
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

// Where the trace goes: it only appends, sets the default format and clears. Keeping the window
// to a number of lines and following its end are the window's own business (LineWindow), so that a
// trace written from another thread never has to ask the window anything.
class OutputWindow {
public:
    virtual ~OutputWindow() = default;

    // Appends text at the end: in format when given, else in the window's current format. A window
    // that scrolls keeps margin lines between the newest one and its top.
    virtual void Append(std::string_view text, const TraceFormat* format, int margin) = 0;
    // The default character format ("Courier New", 8 points, black, bold or not).
    virtual void SetDefaultFormat(std::string_view face, int pointSize, bool bold) = 0;
    // Removes all text and empties the undo buffer.
    virtual void ClearAll() = 0;
    // The bytes of a read as they came, just before the trace writes them as text: for a window
    // that also shows them in a form of its own (the monitor's hex view). Nothing by default.
    virtual void ReceivedBytes(std::span<const uint8_t> bytes) { (void)bytes; }
};
