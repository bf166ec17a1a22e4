#include "pages/monitor/CMonitorRichEdit.h"

#include <QKeyEvent>

#include "link/ByteBuffer.h"

CMonitorRichEdit::CMonitorRichEdit(QWidget* parent) : COutputWindowWidget(parent) {}

void CMonitorRichEdit::SetTimestamps(bool on) {
    m_stamp.SetMode(on ? TraceTimestamp::TimeOfDay : TraceTimestamp::None);
}

void CMonitorRichEdit::AppendText(std::string_view text, const TraceFormat* format) {
    if (!HasTimestamps()) {
        if (!text.empty()) {
            m_bAtLineStart = text.back() == '\n';
        }
        COutputWindowWidget::AppendText(text, format);
        return;
    }
    const std::string stamped = m_stamp.Stamp(text, m_bAtLineStart);
    COutputWindowWidget::AppendText(stamped, format);
}

void CMonitorRichEdit::ClearAll() {
    COutputWindowWidget::ClearAll();
    m_bAtLineStart = true;
}

void CMonitorRichEdit::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    if (text.isEmpty()) {
        // Keys without a character (arrows, page keys) move through what was received.
        COutputWindowWidget::keyPressEvent(event);
        return;
    }
    // Each character goes out as one byte, as often as the key repeated; a character beyond
    // Latin-1 has no byte of its own and goes as '?'.
    const QByteArray one = text.toLatin1();
    QByteArray bytes;
    const int repeats = std::max(1, event->count());
    for (int i = 0; i < repeats && bytes.size() + one.size() <= static_cast<qsizetype>(ByteBuffer::kCapacity);
         ++i) {
        bytes += one;
    }
    if (m_onTyped && !bytes.isEmpty()) {
        m_onTyped(bytes);
    }
    event->accept();
}
