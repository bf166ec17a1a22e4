#pragma once

#include <memory>

#include <QPlainTextEdit>
#include <QTextCharFormat>

#include "link/LineWindow.h"
#include "link/TraceTimestamp.h"

// The output window of the pages: the trace's lines in their colours, read-only for the user but
// selectable and copyable. Lines always land at the end, wherever the user clicked; the trace cuts
// the oldest lines away. The newest line stays in view whatever the window's height: once the view
// is at the end it follows the end, through appends and resizes. Lines may carry a timestamp, and
// the contents can be saved as text.
class COutputWindowWidget : public QPlainTextEdit, public LineWindow {
    Q_OBJECT

public:
    explicit COutputWindowWidget(QWidget* parent = nullptr);

    int GetLineCount() const override;
    int LineIndex(int line) const override;
    void DeleteText(int first, int end) override;
    void EmptyUndoBuffer() override;
    void AppendText(std::string_view text, const TraceFormat* format) override;
    int GetFirstVisibleLine() const override;
    void ScrollLines(int lines) override;
    // The face when the system has it, else the system's fixed-width font, at the size of the
    // system's fixed-width font whatever pointSize says.
    void SetDefaultFormat(std::string_view face, int pointSize, bool bold) override;
    // The font of the trace: family when installed, else the system's fixed-width font; always at
    // the system fixed-width font's size.
    static QFont TraceFont(const QString& family = QString());
    void ClearAll() override;

    // Prefixes each line that starts from now on; the elapsed time counts from the next line.
    void SetTimestampMode(TraceTimestamp::Mode mode);
    TraceTimestamp::Mode GetTimestampMode() const { return m_timestamp->GetMode(); }
    // The clocks the timestamps read (the system's by default).
    void SetTimestampClocks(Clock& clock, TraceTimestamp::TimeOfDaySource timeOfDay);
    // The trace has cut older lines away since the window was last cleared.
    bool LinesCut() const { return m_bLinesCut; }
    // Writes the window's text to path, one line per trace line; false with the reason in error.
    bool SaveText(const QString& path, QString& error) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Whether the newest line is in view (or about to be brought there).
    bool AtEnd() const;
    // Brings the newest line into view when the event loop next runs.
    void ScrollToEndLater();
    void ApplyScroll();

    QTextCharFormat m_defaultFormat;
    // The first visible line that the trace asked for and the event loop has not shown yet: a scroll
    // moves pixels at once, so many lines appended in one go scroll once, when the window is painted.
    int m_nPendingFirstLine = -1;
    std::unique_ptr<TraceTimestamp> m_timestamp = std::make_unique<TraceTimestamp>();
    bool m_bAtLineStart = true;
    bool m_bLinesCut = false;
};
