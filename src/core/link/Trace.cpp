#include "link/Trace.h"

#include <string>

void Trace::SetOutputWindow(OutputWindow* window, bool setFormat, uint32_t mode) {
    m_pWindow = window;
    m_dwTraceMode = mode;
    if (window != nullptr && setFormat) {
        window->SetDefaultFormat("Courier New", 8, mode == TraceModeHex);
    }
}

void Trace::WriteStatusLine(std::string_view text) {
    if (m_pWindow == nullptr) {
        return;
    }
    std::string line(text);
    line += '\n';
    AppendLine(line, &kStatusFormat, kLineMargin);
}

void Trace::ClearOutput() {
    if (m_pWindow != nullptr) {
        m_pWindow->ClearAll();
    }
}

void Trace::Sent(const ByteBuffer& written) {
    if (m_pWindow == nullptr || m_dwTraceMode != TraceModeHex || written.IsEmpty()) {
        return;
    }
    AppendLine(">> " + written.ToHex() + "\n", &kSentFormat, kLineMargin);
}

void Trace::Received(const ByteBuffer& destination) {
    if (m_pWindow == nullptr || destination.IsEmpty()) {
        return;
    }
    m_pWindow->ReceivedBytes(destination.Bytes());
    if (m_dwTraceMode == TraceModeHex) {
        AppendLine("<< " + destination.ToHex() + "\n", &kReceivedFormat, kLineMargin);
        return;
    }
    // A terminal shows "\n\r" as one line break and ignores backspaces.
    const std::string raw = destination.ToText();
    std::string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\b') {
            continue;
        }
        text += raw[i];
        if (raw[i] == '\n' && i + 1 < raw.size() && raw[i + 1] == '\r') {
            ++i;
        }
    }
    AppendLine(text, nullptr, kTextMargin);
}

void Trace::AppendLine(std::string_view text, const TraceFormat* format, int margin) {
    m_pWindow->Append(text, format, margin);
}
