#include "widgets/COutputWindowWidget.h"

#include <algorithm>

#include <QFile>
#include <QFontDatabase>
#include <QResizeEvent>
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
    // Fixed-width from the start: the trace's own format arrives once the page is attached.
    setFont(TraceFont());
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
    m_bLinesCut = m_bLinesCut || (first == 0 && end > 0);
    if (m_nPendingFirstLine >= 0) {
        m_nPendingFirstLine = std::min(m_nPendingFirstLine, verticalScrollBar()->maximum());
    }
}

void COutputWindowWidget::EmptyUndoBuffer() {
    document()->clearUndoRedoStacks();
}

void COutputWindowWidget::AppendText(std::string_view text, const TraceFormat* format) {
    // The trace scrolls by a margin of lines, which a low window may not show: follow the end here.
    const bool follow = AtEnd();
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
    const std::string stamped = m_timestamp->Stamp(text, m_bAtLineStart);
    cursor.insertText(QString::fromLatin1(stamped.data(), static_cast<qsizetype>(stamped.size())),
                      lineFormat);
    if (follow) {
        ScrollToEndLater();
    }
}

bool COutputWindowWidget::AtEnd() const {
    return m_nPendingFirstLine >= 0 || verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

void COutputWindowWidget::ScrollToEndLater() {
    if (m_nPendingFirstLine < 0) {
        m_nPendingFirstLine = verticalScrollBar()->value();
        QMetaObject::invokeMethod(this, &COutputWindowWidget::ApplyScroll, Qt::QueuedConnection);
    }
}

void COutputWindowWidget::resizeEvent(QResizeEvent* event) {
    const bool follow = AtEnd();
    QPlainTextEdit::resizeEvent(event);
    if (follow) {
        ScrollToEndLater();
    }
}

int COutputWindowWidget::GetFirstVisibleLine() const {
    return m_nPendingFirstLine >= 0 ? m_nPendingFirstLine : verticalScrollBar()->value();
}

void COutputWindowWidget::ScrollLines(int lines) {
    const QScrollBar* bar = verticalScrollBar();
    const int target = std::clamp(GetFirstVisibleLine() + lines, bar->minimum(), bar->maximum());
    ScrollToEndLater();
    m_nPendingFirstLine = target;
}

void COutputWindowWidget::ApplyScroll() {
    // The trace only ever scrolls towards the newest line: show it, however few lines fit.
    if (m_nPendingFirstLine >= 0) {
        QScrollBar* bar = verticalScrollBar();
        bar->setValue(bar->maximum());
        m_nPendingFirstLine = -1;
    }
}

QFont COutputWindowWidget::TraceFont(const QString& family) {
    // The platform's fixed-width font at its normal size: the trace's 8 points were the size of
    // the dialogs' own font where it was first drawn, and are too small beside ours.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (!family.isEmpty() && QFontDatabase::hasFamily(family)) {
        font.setFamily(family);
    }
    font.setStyleHint(QFont::TypeWriter);
    // Hex lines need no shaping; skipping it keeps long traces fast.
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

void COutputWindowWidget::SetDefaultFormat(std::string_view face, int /*pointSize*/, bool bold) {
    QFont font = TraceFont(QString::fromUtf8(face.data(), static_cast<qsizetype>(face.size())));
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
    m_bAtLineStart = true;
    m_bLinesCut = false;
    m_timestamp->Restart();
}

void COutputWindowWidget::SetTimestampMode(TraceTimestamp::Mode mode) {
    m_timestamp->SetMode(mode);
}

void COutputWindowWidget::SetTimestampClocks(Clock& clock, TraceTimestamp::TimeOfDaySource timeOfDay) {
    const TraceTimestamp::Mode mode = m_timestamp->GetMode();
    m_timestamp = std::make_unique<TraceTimestamp>(clock, std::move(timeOfDay));
    m_timestamp->SetMode(mode);
}

bool COutputWindowWidget::SaveText(const QString& path, QString& error) const {
    QFile file(path);
    QByteArray text = toPlainText().toLatin1();
    if (!text.isEmpty() && !text.endsWith('\n')) {
        text.append('\n');
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() ||
        !file.flush()) {
        error = file.errorString();
        return false;
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString();
        return false;
    }
    return true;
}
