#pragma once

#include <QByteArray>
#include <functional>

#include "link/TraceTimestamp.h"
#include "widgets/COutputWindowWidget.h"

// The monitor's terminal: shows what the reader sent (the port's text trace appends it) and hands
// every typed character to the page as the byte to send, instead of inserting it. Only what the
// reader sends back appears. With timestamps on, each line that a received chunk begins carries
// the time of day it arrived.
class CMonitorRichEdit : public COutputWindowWidget {
    Q_OBJECT
public:
    using TypedHandler = std::function<void(const QByteArray& bytes)>;

    explicit CMonitorRichEdit(QWidget* parent = nullptr);

    void SetTypedHandler(TypedHandler handler) { m_onTyped = std::move(handler); }
    void SetTimestamps(bool on);
    bool HasTimestamps() const { return m_stamp.GetMode() != TraceTimestamp::None; }
    // The prefix of a chunk arriving now (empty without timestamps).
    std::string Prefix() { return m_stamp.Prefix(); }

    void AppendText(std::string_view text, const TraceFormat* format) override;
    void ClearAll() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    TypedHandler m_onTyped;
    TraceTimestamp m_stamp;
    bool m_bAtLineStart = true;
};
