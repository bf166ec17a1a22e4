// The conformance reports with text from a reader that sends anything.
//
// Input: the number of checks and of results (a stopped run has fewer results), the run's info
// text, line and date, then for each result its verdict, expected, seen, reason, figures and
// transcript, each a chunk of arbitrary bytes.
//
// What must hold for every input:
//   - the JUnit XML parses with a strict reader: no character XML forbids, every element closed
//     in order, one root; the reader's info text reads back as the cleaned text;
//   - its counts equal the verdicts: tests, failures, skipped (not-run ones included), and each
//     test case holds a failure exactly when its check failed, a skip exactly when it did not run;
//   - the Markdown holds no control character but the line feed, each row of the checks table has
//     exactly four cells, and every fence the report opens is closed by the report.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "conformance/ConformanceReport.h"
#include "core/conformance/TinyXml.h"

namespace {

std::string Text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The number of cells of a table row: the pipes that no backslash escapes, less one.
size_t Cells(const std::string& row) {
    size_t pipes = 0;
    for (size_t i = 0; i < row.size(); ++i) {
        if (row[i] == '\\') {
            ++i;
        } else if (row[i] == '|') {
            ++pipes;
        }
    }
    return pipes == 0 ? 0 : pipes - 1;
}

void CheckXml(const std::vector<ConformanceCheck>& checks, const std::vector<ConformanceResult>& results,
              const ConformanceRunInfo& info) {
    const std::string xml = ConformanceJUnitXml(checks, results, info);
    TinyXmlElement root;
    std::string error;
    FUZZ_CHECK(TinyXml::Parse(xml, root, error), "the XML does not parse: %s", error.c_str());
    FUZZ_CHECK(root.name == "testsuites" && root.children.size() == 1, "root %s", root.name.c_str());
    const TinyXmlElement& suite = root.children[0];
    const ConformanceTally tally = TallyConformance(checks, results);
    FUZZ_CHECK(suite.AttributeOr("tests") == std::to_string(checks.size()), "tests=%s",
               suite.AttributeOr("tests").c_str());
    FUZZ_CHECK(suite.AttributeOr("failures") == std::to_string(tally.failed), "failures=%s for %zu",
               suite.AttributeOr("failures").c_str(), tally.failed);
    FUZZ_CHECK(suite.AttributeOr("skipped") == std::to_string(tally.skipped + tally.notRun), "skipped=%s",
               suite.AttributeOr("skipped").c_str());
    const TinyXmlElement* properties = suite.Child("properties");
    FUZZ_CHECK(properties != nullptr && !properties->children.empty(), "no properties");
    const std::string reader = properties->children[0].AttributeOr("value");
    FUZZ_CHECK(reader == ConformanceCleanText(info.infoText, true), "the info text reads back as [%s]",
               reader.c_str());

    const std::vector<const TinyXmlElement*> cases = suite.Children("testcase");
    FUZZ_CHECK(cases.size() == checks.size(), "%zu test cases for %zu checks", cases.size(), checks.size());
    size_t failures = 0;
    size_t skips = 0;
    for (size_t n = 0; n < cases.size(); ++n) {
        const ConformanceResult::Verdict verdict =
            n < results.size() ? results[n].verdict : ConformanceResult::NotRun;
        const bool failed = cases[n]->Child("failure") != nullptr;
        const bool skipped = cases[n]->Child("skipped") != nullptr;
        FUZZ_CHECK(failed == (verdict == ConformanceResult::Failed), "case %zu: failure for verdict %d", n,
                   verdict);
        FUZZ_CHECK(skipped == (verdict == ConformanceResult::Skipped || verdict == ConformanceResult::NotRun),
                   "case %zu: skip for verdict %d", n, verdict);
        failures += failed ? 1 : 0;
        skips += skipped ? 1 : 0;
    }
    FUZZ_CHECK(failures == tally.failed && skips == tally.skipped + tally.notRun,
               "cases disagree with counts");
}

void CheckMarkdown(const std::vector<ConformanceCheck>& checks, const std::vector<ConformanceResult>& results,
                   const ConformanceRunInfo& info) {
    const std::string md = ConformanceMarkdown(checks, results, info);
    for (size_t i = 0; i < md.size(); ++i) {
        const auto c = static_cast<unsigned char>(md[i]);
        FUZZ_CHECK((c >= 0x20 && c != 0x7F) || c == '\n', "control character %02X at %zu", c, i);
    }
    std::string fence;  // the fence of the open block, if any
    size_t rows = 0;
    bool inChecks = false;
    for (size_t at = 0; at < md.size();) {
        const size_t end = md.find('\n', at);
        FUZZ_CHECK(end != std::string::npos, "the report does not end with a line feed");
        const std::string line = md.substr(at, end - at);
        at = end + 1;
        if (!fence.empty()) {
            // Inside a block only the report's own closing fence ends it: a line of as many
            // backticks or more, up to three blanks before them and blanks only after.
            const size_t indent = std::min(line.find_first_not_of(' '), line.size());
            const size_t ticks =
                indent > 3 ? 0 : std::min(line.find_first_not_of('`', indent), line.size()) - indent;
            if (ticks >= fence.size() && line.find_first_not_of(' ', indent + ticks) == std::string::npos) {
                FUZZ_CHECK(line == fence, "reader text closes the block: %s", line.c_str());
                fence.clear();
            }
            continue;
        }
        if (line.rfind("```", 0) == 0) {
            fence = line.substr(0, line.find_first_not_of('`'));
            FUZZ_CHECK(line == fence + "text", "an opening fence [%s]", line.c_str());
            continue;
        }
        if (line == "| Check id | Title | Result | Figures |") {
            inChecks = true;
        } else if (line.empty()) {
            inChecks = false;
        } else if (inChecks && line.rfind("|:--", 0) != 0) {
            FUZZ_CHECK(Cells(line) == 4, "a checks row of %zu cells: %s", Cells(line), line.c_str());
            ++rows;
        }
    }
    FUZZ_CHECK(fence.empty(), "a fence left open");
    FUZZ_CHECK(rows == checks.size(), "%zu rows for %zu checks", rows, checks.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const size_t checkCount = input.Byte() % 9;
    const size_t resultCount = std::min<size_t>(input.Byte() % 10, checkCount);
    ConformanceRunInfo info;
    info.infoText = Text(input.Chunk(80));
    info.line = Text(input.Chunk(40));
    info.date = Text(input.Chunk(24));
    info.version = "1.27.0";
    info.elapsedMs = static_cast<uint32_t>(input.U16()) * 1000u + input.U16();

    std::vector<ConformanceCheck> checks;
    for (size_t n = 0; n < checkCount; ++n) {
        const std::string id = "group" + std::to_string(n % 3) + ".check" + std::to_string(n);
        checks.push_back({id, "Title " + std::to_string(n), "what it sends", "what a reader does"});
    }
    std::vector<ConformanceResult> results(resultCount);
    for (ConformanceResult& result : results) {
        result.verdict = static_cast<ConformanceResult::Verdict>(input.Byte() % 4);
        result.expected = Text(input.Chunk(40));
        result.seen = Text(input.Chunk(80));
        result.reason = Text(input.Chunk(40));
        for (size_t f = input.Byte() % 4; f > 0; --f) {
            result.figures.push_back({Text(input.Chunk(16)), Text(input.Chunk(16))});
        }
        result.transcript = Text(input.Chunk(400));
        result.durationMs = static_cast<uint32_t>(input.U16()) << 8;
    }
    CheckXml(checks, results, info);
    CheckMarkdown(checks, results, info);
    return 0;
}
