#pragma once

#include <optional>
#include <string>
#include <vector>

#include "link/LineWindow.h"

// An output window held in memory: for tests, and wherever the trace is wanted as text.
// It remembers the format of every appended piece.
class MemoryOutputWindow : public LineWindow {
public:
    struct Piece {
        std::string text;
        std::optional<TraceFormat> format;  // empty: the window's current format
    };

    explicit MemoryOutputWindow(int visibleLines = 20) : m_nVisibleLines(visibleLines) {}

    int GetLineCount() const override;
    int LineIndex(int line) const override;
    void DeleteText(int first, int end) override;
    void EmptyUndoBuffer() override { ++m_nUndoEmptied; }
    void AppendText(std::string_view text, const TraceFormat* format) override;
    int GetFirstVisibleLine() const override { return m_nFirstVisible; }
    void ScrollLines(int lines) override;
    void SetDefaultFormat(std::string_view face, int pointSize, bool bold) override;
    void ClearAll() override;

    const std::string& Text() const { return m_strText; }
    // The text's lines without their line breaks (the empty last line included).
    std::vector<std::string> Lines() const;
    // Every piece appended since the last ClearAll (cuts do not remove pieces).
    const std::vector<Piece>& Pieces() const { return m_pieces; }
    int UndoEmptiedCount() const { return m_nUndoEmptied; }
    const std::string& DefaultFace() const { return m_strFace; }
    int DefaultPointSize() const { return m_nPointSize; }
    bool DefaultBold() const { return m_bBold; }

private:
    int m_nVisibleLines;
    int m_nFirstVisible = 0;
    int m_nUndoEmptied = 0;
    std::string m_strText;
    std::vector<Piece> m_pieces;
    std::string m_strFace;
    int m_nPointSize = 0;
    bool m_bBold = false;
};
