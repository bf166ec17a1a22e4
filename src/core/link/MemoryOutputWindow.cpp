#include "link/MemoryOutputWindow.h"

#include <algorithm>

int MemoryOutputWindow::GetLineCount() const {
    return 1 + static_cast<int>(std::count(m_strText.begin(), m_strText.end(), '\n'));
}

int MemoryOutputWindow::LineIndex(int line) const {
    size_t pos = 0;
    for (int i = 0; i < line; ++i) {
        pos = m_strText.find('\n', pos);
        if (pos == std::string::npos) {
            return static_cast<int>(m_strText.size());
        }
        ++pos;
    }
    return static_cast<int>(pos);
}

void MemoryOutputWindow::DeleteText(int first, int end) {
    const int size = static_cast<int>(m_strText.size());
    first = std::clamp(first, 0, size);
    end = std::clamp(end, first, size);
    m_strText.erase(static_cast<size_t>(first), static_cast<size_t>(end - first));
    m_nFirstVisible = std::min(m_nFirstVisible, GetLineCount() - 1);
}

void MemoryOutputWindow::AppendText(std::string_view text, const TraceFormat* format) {
    m_strText.append(text);
    Piece piece{std::string(text), std::nullopt};
    if (format != nullptr) {
        piece.format = *format;
    }
    m_pieces.push_back(std::move(piece));
}

void MemoryOutputWindow::ScrollLines(int lines) {
    m_nFirstVisible = std::clamp(m_nFirstVisible + lines, 0, std::max(0, GetLineCount() - m_nVisibleLines));
}

void MemoryOutputWindow::SetDefaultFormat(std::string_view face, int pointSize, bool bold) {
    m_strFace = face;
    m_nPointSize = pointSize;
    m_bBold = bold;
}

void MemoryOutputWindow::ClearAll() {
    m_strText.clear();
    m_pieces.clear();
    m_nFirstVisible = 0;
    ++m_nUndoEmptied;
}

std::vector<std::string> MemoryOutputWindow::Lines() const {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = m_strText.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(m_strText.substr(start));
            return lines;
        }
        lines.push_back(m_strText.substr(start, end - start));
        start = end + 1;
    }
}
