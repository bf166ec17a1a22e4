#include "widgets/COutputWindowWidget.h"

#include <algorithm>

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

COutputWindowWidget::COutputWindowWidget(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // One trace line is one line of the window: no wrapping, a horizontal scroll bar instead.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Nobody can undo in a read-only window; recording the appends would only hold memory.
    setUndoRedoEnabled(false);
    m_defaultFormat.setForeground(Qt::black);
}

int COutputWindowWidget::GetLineCount() const {
    return document()->blockCount();
}

int COutputWindowWidget::LineIndex(int line) const {
    const QTextBlock block = document()->findBlockByNumber(line);
    if (!block.isValid()) {
        return document()->characterCount() - 1;
    }
    return block.position();
}

void COutputWindowWidget::DeleteText(int first, int end) {
    QTextCursor cursor(document());
    cursor.setPosition(first);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    if (m_nPendingFirstLine >= 0) {
        m_nPendingFirstLine = std::min(m_nPendingFirstLine, verticalScrollBar()->maximum());
    }
}

void COutputWindowWidget::EmptyUndoBuffer() {
    document()->clearUndoRedoStacks();
}

void COutputWindowWidget::AppendText(std::string_view text, const TraceFormat* format) {
    // A cursor of our own: the user's cursor and selection stay where the user put them.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat lineFormat = m_defaultFormat;
    if (format != nullptr) {
        lineFormat.setForeground(QColor(format->red, format->green, format->blue));
        lineFormat.setFontWeight(format->bold ? QFont::Bold : QFont::Normal);
        lineFormat.setFontItalic(false);
        lineFormat.setFontUnderline(false);
        lineFormat.setFontStrikeOut(false);
        lineFormat.setAnchor(false);
    }
    cursor.insertText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())), lineFormat);
}

int COutputWindowWidget::GetFirstVisibleLine() const {
    return m_nPendingFirstLine >= 0 ? m_nPendingFirstLine : verticalScrollBar()->value();
}

void COutputWindowWidget::ScrollLines(int lines) {
    const QScrollBar* bar = verticalScrollBar();
    const int target = std::clamp(GetFirstVisibleLine() + lines, bar->minimum(), bar->maximum());
    if (m_nPendingFirstLine < 0) {
        QMetaObject::invokeMethod(this, &COutputWindowWidget::ApplyScroll, Qt::QueuedConnection);
    }
    m_nPendingFirstLine = target;
}

void COutputWindowWidget::ApplyScroll() {
    if (m_nPendingFirstLine >= 0) {
        verticalScrollBar()->setValue(m_nPendingFirstLine);
        m_nPendingFirstLine = -1;
    }
}

void COutputWindowWidget::SetDefaultFormat(std::string_view face, int pointSize, bool bold) {
    const QString family = QString::fromUtf8(face.data(), static_cast<qsizetype>(face.size()));
    QFont font = QFontDatabase::hasFamily(family) ? QFont(family)
                                                  : QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::TypeWriter);
    // Hex lines need no shaping; skipping it keeps long traces fast.
    font.setStyleStrategy(QFont::PreferNoShaping);
    font.setPointSize(pointSize);
    font.setBold(bold);
    setFont(font);
    m_defaultFormat = QTextCharFormat();
    m_defaultFormat.setFont(font);
    m_defaultFormat.setForeground(Qt::black);
}

void COutputWindowWidget::ClearAll() {
    clear();
    EmptyUndoBuffer();
    m_nPendingFirstLine = -1;
}
