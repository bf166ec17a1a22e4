#pragma once

#include <cstdint>
#include <string_view>

#include "link/ByteBuffer.h"
#include "link/OutputWindow.h"

enum TraceMode : uint32_t { TraceModeText = 0, TraceModeHex = 1 };

// The traffic trace: every byte written or read, and every status line, appended to the output
// window that the active page attached. With no window attached nothing is traced.
class Trace {
public:
    // Lines kept in view below a new line: a hex line needs less room than text from a terminal.
    static constexpr int kLineMargin = 7;
    static constexpr int kTextMargin = 22;

    void SetOutputWindow(OutputWindow* window, bool setFormat, uint32_t mode);
    OutputWindow* GetOutputWindow() const { return m_pWindow; }
    uint32_t GetTraceMode() const { return m_dwTraceMode; }

    void WriteStatusLine(std::string_view text);
    void ClearOutput();
    // A successful write: ">> " line in hexadecimal mode, nothing in text mode.
    void Sent(const ByteBuffer& written);
    // A successful read that delivered bytes: the whole destination buffer.
    void Received(const ByteBuffer& destination);

private:
    void AppendLine(std::string_view text, const TraceFormat* format, int margin);

    OutputWindow* m_pWindow = nullptr;
    uint32_t m_dwTraceMode = TraceModeText;
};
