#pragma once

// What the fuzz targets share: a cursor that cuts the fuzzer's bytes into the fields a target needs,
// and a check that stops the run (so that libFuzzer saves the input) when a property fails.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "link/LineWindow.h"

// Like assert, but never compiled out, and with a message in printf style.
#define FUZZ_CHECK(condition, ...)                                         \
    do {                                                                   \
        if (!(condition)) {                                                \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s\n  ", #condition); \
            std::fprintf(stderr, __VA_ARGS__);                             \
            std::fputc('\n', stderr);                                      \
            std::abort();                                                  \
        }                                                                  \
    } while (0)

// Reads fields from the front of the input. Past the end every field is 0 or empty, so that any
// input, however short, is a complete case.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_bytes(data, size) {}

    bool AtEnd() const { return m_nAt >= m_bytes.size(); }
    uint8_t Byte() { return AtEnd() ? 0 : m_bytes[m_nAt++]; }
    // Two bytes, least significant first.
    uint16_t U16() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    // At most n bytes, fewer at the end.
    std::span<const uint8_t> Take(size_t n) {
        n = std::min(n, m_bytes.size() - std::min(m_nAt, m_bytes.size()));
        const std::span<const uint8_t> piece = m_bytes.subspan(std::min(m_nAt, m_bytes.size()), n);
        m_nAt += n;
        return piece;
    }
    // A piece with its length in front (U16, taken modulo limit + 1).
    std::span<const uint8_t> Chunk(size_t limit) { return Take(U16() % (limit + 1)); }
    std::span<const uint8_t> Rest() { return Take(m_bytes.size()); }

private:
    std::span<const uint8_t> m_bytes;
    size_t m_nAt = 0;
};

// The bytes as texts split at every zero byte (as a command line arrives).
inline std::vector<std::string> SplitAtZero(std::span<const uint8_t> bytes) {
    std::vector<std::string> texts(1);
    for (uint8_t byte : bytes) {
        if (byte == 0) {
            texts.emplace_back();
        } else {
            texts.back() += static_cast<char>(byte);
        }
    }
    return texts;
}

// Printable hexadecimal of a few bytes, for check messages.
inline std::string HexOf(std::span<const uint8_t> bytes, size_t max = 48) {
    std::string text;
    char cell[4];
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(cell, sizeof cell, "%02X ", bytes[i]);
        text += cell;
    }
    return bytes.size() > max ? text + "..." : text;
}

// An output window that keeps its text (so that the trace's cuts work as in a real window) and
// counts every character ever appended; it counts lines as it goes, so a long trace stays cheap.
class CountingOutputWindow : public LineWindow {
public:
    size_t AppendedChars() const { return m_nAppended; }
    const std::string& Text() const { return m_strText; }

    int GetLineCount() const override { return m_nLines; }
    int LineIndex(int line) const override {
        size_t at = 0;
        for (int i = 0; i < line; ++i) {
            at = m_strText.find('\n', at);
            if (at == std::string::npos) {
                return static_cast<int>(m_strText.size());
            }
            ++at;
        }
        return static_cast<int>(at);
    }
    void DeleteText(int first, int end) override {
        const auto from = m_strText.begin() + first;
        const auto to = m_strText.begin() + end;
        m_nLines -= static_cast<int>(std::count(from, to, '\n'));
        m_strText.erase(from, to);
    }
    void EmptyUndoBuffer() override {}
    void AppendText(std::string_view text, const TraceFormat*) override {
        m_strText += text;
        m_nAppended += text.size();
        m_nLines += static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }
    int GetFirstVisibleLine() const override { return m_nFirstVisible; }
    void ScrollLines(int lines) override { m_nFirstVisible = std::max(0, m_nFirstVisible + lines); }
    void SetDefaultFormat(std::string_view, int, bool) override {}
    void ClearAll() override {
        m_strText.clear();
        m_nLines = 1;
        m_nFirstVisible = 0;
    }

private:
    std::string m_strText;
    int m_nLines = 1;
    int m_nFirstVisible = 0;
    size_t m_nAppended = 0;
};
