#include "conformance/ConformanceReport.h"

#include <algorithm>
#include <cstdio>

#include "commands/HexText.h"

namespace {

// A failure's message attribute is a headline; its whole text is in the element.
constexpr size_t kMessageLimit = 300;

std::string Seconds(uint32_t ms, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, ms / 1000.0);
    return text;
}

// The first limit bytes of clean text, cut before a character rather than inside one.
std::string Cut(const std::string& text, size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) {
        --end;
    }
    return text.substr(0, end) + "...";
}

std::string OneLine(const std::string& text) {
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\t', ' ');
    return line;
}

std::string GroupOf(const std::string& id) {
    return id.substr(0, id.find('.'));
}

const ConformanceResult& ResultOf(const std::vector<ConformanceResult>& results, size_t n) {
    static const ConformanceResult notRun;
    return n < results.size() ? results[n] : notRun;
}

// A skipped check's reason; a check the run never came to was stopped before it.
std::string SkipReason(const ConformanceResult& result) {
    if (result.verdict == ConformanceResult::NotRun) {
        return result.reason.empty() ? "not run: stopped" : "not run: " + result.reason;
    }
    return result.reason.empty() ? "skipped" : result.reason;
}

// --- XML

// Escaped for text and attribute values alike. In an attribute, line breaks and tabs go as
// references, which it keeps (a parser turns a literal one into a blank).
std::string Xml(std::string_view text, bool attribute = true) {
    std::string escaped;
    for (const char c : ConformanceCleanText(text, true)) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            case '\n':
                escaped += attribute ? "&#10;" : "\n";
                break;
            case '\t':
                escaped += attribute ? "&#9;" : "\t";
                break;
            default:
                escaped += c;
                break;
        }
    }
    return escaped;
}

// "2026-12-11 09:14:03" as ISO 8601; empty when the date is not of that form.
std::string IsoTimestamp(const std::string& date) {
    static constexpr std::string_view kForm = "dddd-dd-dd dd:dd:dd";
    if (date.size() != kForm.size()) {
        return {};
    }
    for (size_t i = 0; i < kForm.size(); ++i) {
        const bool digit = date[i] >= '0' && date[i] <= '9';
        if (kForm[i] == 'd' ? !digit : date[i] != kForm[i]) {
            return {};
        }
    }
    std::string iso = date;
    iso[10] = 'T';
    return iso;
}

std::string Property(const std::string& name, const std::string& value, const char* indent) {
    return std::string(indent) + "<property name=\"" + Xml(name) + "\" value=\"" + Xml(value) + "\"/>\n";
}

// --- Markdown

// Text for a table cell or a line of prose: on one line, with the characters that would end a
// cell, open a code span, an HTML tag, a link or emphasis escaped.
std::string MdInline(std::string_view text) {
    const std::string clean = ConformanceCleanText(text, false);
    const auto alnum = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    std::string escaped;
    for (size_t i = 0; i < clean.size(); ++i) {
        const char c = clean[i];
        if (c == '\n') {
            escaped += "<br>";
        } else if (c == '_' && i > 0 && i + 1 < clean.size() && alnum(clean[i - 1]) && alnum(clean[i + 1])) {
            escaped += c;  // inside a word, as in figure names: no emphasis can start there
        } else if (std::string_view("\\`|<>[]*_&").find(c) != std::string_view::npos) {
            escaped += '\\';
            escaped += c;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// A fenced block the text cannot close: its fence is longer than any run of backticks in it.
std::string MdFence(std::string_view text) {
    const std::string clean = ConformanceCleanText(text, false);
    size_t longest = 0;
    size_t run = 0;
    for (const char c : clean) {
        run = c == '`' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    const std::string fence(std::max<size_t>(3, longest + 1), '`');
    std::string block = fence + "text\n" + clean;
    if (!clean.empty() && clean.back() != '\n') {
        block += '\n';
    }
    return block + fence + "\n";
}

std::string MdFigures(const std::vector<ConformanceFigure>& figures) {
    std::string text;
    for (const ConformanceFigure& figure : figures) {
        text += (text.empty() ? "" : ", ") + figure.name + " = " + figure.value;
    }
    return text;
}

}  // namespace

std::string ConformanceCleanText(std::string_view text, bool keepTab) {
    std::string clean;
    clean.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const Utf8CodePoint point = DecodeUtf8(text, i);
        const uint32_t c = point.value;
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
        const bool allowed = point.length != 0 && (!control || c == '\n' || (keepTab && c == '\t')) &&
                             c != 0xFFFE && c != 0xFFFF;
        if (allowed) {
            clean.append(text.substr(i, point.length));
            i += point.length;
            continue;
        }
        // One escape for each byte: a whole sequence XML refuses, or the one byte that is no sequence.
        const size_t length = std::max<size_t>(point.length, 1);
        for (size_t k = 0; k < length; ++k) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i + k]));
            clean += escaped;
        }
        i += length;
    }
    return clean;
}

ConformanceTally TallyConformance(const std::vector<ConformanceCheck>& checks,
                                  const std::vector<ConformanceResult>& results) {
    ConformanceTally tally;
    for (size_t n = 0; n < checks.size(); ++n) {
        switch (ResultOf(results, n).verdict) {
            case ConformanceResult::Passed:
                ++tally.passed;
                break;
            case ConformanceResult::Failed:
                ++tally.failed;
                break;
            case ConformanceResult::Skipped:
                ++tally.skipped;
                break;
            case ConformanceResult::NotRun:
                ++tally.notRun;
                break;
        }
    }
    return tally;
}

std::string ConformanceSummary(const ConformanceTally& tally, uint32_t elapsedMs) {
    std::string summary = std::to_string(tally.passed) + " passed, " + std::to_string(tally.failed) +
                          " failed, " + std::to_string(tally.skipped) + " skipped";
    if (tally.notRun != 0) {
        summary += ", " + std::to_string(tally.notRun) + " not run";
    }
    return summary + " in " + Seconds(elapsedMs, 1) + " s";
}

std::string ConformanceJUnitXml(const std::vector<ConformanceCheck>& checks,
                                const std::vector<ConformanceResult>& results,
                                const ConformanceRunInfo& info) {
    const ConformanceTally tally = TallyConformance(checks, results);
    const std::string counts = " tests=\"" + std::to_string(checks.size()) + "\" failures=\"" +
                               std::to_string(tally.failed) + "\" errors=\"0\" skipped=\"" +
                               std::to_string(tally.skipped + tally.notRun) + "\" time=\"" +
                               Seconds(info.elapsedMs, 3) + "\"";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + counts + ">\n";
    xml += "  <testsuite name=\"reader-conformance\"" + counts;
    if (const std::string timestamp = IsoTimestamp(info.date); !timestamp.empty()) {
        xml += " timestamp=\"" + timestamp + "\"";
    }
    xml += ">\n    <properties>\n";
    xml += Property("reader", info.infoText, "      ");
    xml += Property("line", info.line, "      ");
    xml += Property("date", info.date, "      ");
    xml += Property("tagbench_version", info.version, "      ");
    xml += "    </properties>\n";

    for (size_t n = 0; n < checks.size(); ++n) {
        const ConformanceCheck& check = checks[n];
        const ConformanceResult& result = ResultOf(results, n);
        xml += "    <testcase classname=\"conformance." + Xml(GroupOf(check.id)) + "\" name=\"" +
               Xml(check.id) + "\" time=\"" + Seconds(result.durationMs, 3) + "\">\n";
        if (!result.figures.empty()) {
            xml += "      <properties>\n";
            for (const ConformanceFigure& figure : result.figures) {
                xml += Property(figure.name, figure.value, "        ");
            }
            xml += "      </properties>\n";
        }
        switch (result.verdict) {
            case ConformanceResult::Failed: {
                const std::string message =
                    "expected " + OneLine(result.expected) + "; seen " + OneLine(result.seen);
                xml += "      <failure message=\"" +
                       Xml(Cut(ConformanceCleanText(message, false), kMessageLimit)) +
                       "\" type=\"nonconformant\">" +
                       Xml("Expected: " + result.expected + "\nSeen: " + result.seen, false) + "</failure>\n";
                break;
            }
            case ConformanceResult::Skipped:
            case ConformanceResult::NotRun:
                xml += "      <skipped message=\"" + Xml(SkipReason(result)) + "\"/>\n";
                break;
            case ConformanceResult::Passed:
                break;
        }
        std::string out = check.title + "\nSends: " + check.sends + "\nExpects: " + check.expects + "\n";
        if (!result.figures.empty()) {
            out += "Figures:\n";
            for (const ConformanceFigure& figure : result.figures) {
                out += "  " + figure.name + " = " + figure.value + "\n";
            }
        }
        if (!result.transcript.empty()) {
            out += "Transcript:\n" + result.transcript;
        }
        xml += "      <system-out>" + Xml(out, false) + "</system-out>\n";
        xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

std::string ConformanceMarkdown(const std::vector<ConformanceCheck>& checks,
                                const std::vector<ConformanceResult>& results,
                                const ConformanceRunInfo& info) {
    const ConformanceTally tally = TallyConformance(checks, results);
    std::string md = "# Reader conformance report\n\n";
    md += "| | |\n|:--|:--|\n";
    md += "| Reader | " + (info.infoText.empty() ? std::string("(no Info text)") : MdInline(info.infoText)) +
          " |\n";
    md += "| Line | " + MdInline(info.line) + " |\n";
    md += "| Date | " + MdInline(info.date) + " |\n";
    md += "| Tagbench version | " + MdInline(info.version) + " |\n";
    md += "| Result | " + ConformanceSummary(tally, info.elapsedMs) + " |\n\n";

    md += "## Checks\n\n| Check id | Title | Result | Figures |\n|:--|:--|:--|:--|\n";
    for (size_t n = 0; n < checks.size(); ++n) {
        const ConformanceResult& result = ResultOf(results, n);
        const std::string verdict = VerdictName(result.verdict);
        md += "| " + MdInline(checks[n].id) + " | " + MdInline(checks[n].title) + " | " +
              (result.verdict == ConformanceResult::Failed ? "**" + verdict + "**" : verdict) + " | " +
              MdInline(MdFigures(result.figures)) + " |\n";
    }

    if (tally.failed != 0) {
        md += "\n## Failures\n";
        for (size_t n = 0; n < checks.size(); ++n) {
            const ConformanceResult& result = ResultOf(results, n);
            if (result.verdict != ConformanceResult::Failed) {
                continue;
            }
            const ConformanceCheck& check = checks[n];
            md += "\n### " + MdInline(check.id) + ": " + MdInline(check.title) + "\n\n";
            md += "- Sends: " + MdInline(check.sends) + "\n";
            md += "- Expected: " + MdInline(result.expected) + "\n";
            md += "- Seen: " + MdInline(result.seen) + "\n";
            if (!result.figures.empty()) {
                md += "- Figures: " + MdInline(MdFigures(result.figures)) + "\n";
            }
            md += result.transcript.empty() ? "\n(no transcript)\n" : "\n" + MdFence(result.transcript);
        }
    }

    if (tally.skipped + tally.notRun != 0) {
        md += "\n## Skipped\n\n";
        for (size_t n = 0; n < checks.size(); ++n) {
            const ConformanceResult& result = ResultOf(results, n);
            if (result.verdict == ConformanceResult::Skipped || result.verdict == ConformanceResult::NotRun) {
                md += "- " + MdInline(checks[n].id) + ": " + MdInline(SkipReason(result)) + "\n";
            }
        }
    }
    return md;
}
