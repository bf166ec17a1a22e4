// The conformance reports from hand-made results: the JUnit XML read back by a strict reader, the
// Markdown as a whole, and text from a hostile reader in every place it can reach.
#include "conformance/ConformanceReport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/conformance/TinyXml.h"

namespace {

using namespace std::string_literals;

// A stopped run: two checks ran and passed or failed, one was skipped, the last never ran.
class ConformanceReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        checks = {
            {"handshake.stx-ack", "Lone STX acknowledged", "STX", "DLE within 2 ms"},
            {"framing.sequence", "Sequence number echoed", "a request with sequence 5",
             "the answer echoes 5"},
            {"card.write", "Block written and restored", "write and read back", "the same 16 bytes"},
            {"timing.gap", "Character gaps", "20 requests", "no gap over 20 ms"},
        };
        ConformanceResult passed;
        passed.verdict = ConformanceResult::Passed;
        passed.figures = {{"stx_ack_max_ms", "4"}, {"exchanges", "20"}};
        passed.transcript = "+0 ms PC 02\n+3 ms RD 10\n";
        passed.durationMs = 1234;
        ConformanceResult failed;
        failed.verdict = ConformanceResult::Failed;
        failed.expected = "sequence 05";
        failed.seen = "sequence 06";
        failed.transcript = "+0 ms PC 02\n+2 ms RD 10\n+4 ms RD 02 06 00 00 06 10 03\n";
        failed.durationMs = 40;
        ConformanceResult skipped;
        skipped.verdict = ConformanceResult::Skipped;
        skipped.reason = "no --write block";
        results = {passed, failed, skipped};
        info = {"Desk reader V2.10", "/dev/pts/3 at 115200 baud, 3964R procedure", "2026-12-11 09:14:03",
                "1.27.0", 14200};
    }

    TinyXmlElement ParseXml() {
        TinyXmlElement root;
        std::string error;
        const std::string xml = ConformanceJUnitXml(checks, results, info);
        EXPECT_TRUE(TinyXml::Parse(xml, root, error)) << error << "\n" << xml;
        return root;
    }

    std::vector<ConformanceCheck> checks;
    std::vector<ConformanceResult> results;
    ConformanceRunInfo info;
};

TEST_F(ConformanceReportTest, JUnitCountsCasesFailuresAndSkipsAsCiSystemsReadThem) {
    const std::string xml = ConformanceJUnitXml(checks, results, info);
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites", 0), 0u);
    const TinyXmlElement root = ParseXml();
    ASSERT_EQ(root.name, "testsuites");
    ASSERT_EQ(root.children.size(), 1u);
    const TinyXmlElement& suite = root.children[0];
    EXPECT_EQ(suite.name, "testsuite");
    EXPECT_EQ(suite.attributes,
              (std::vector<std::pair<std::string, std::string>>{{"name", "reader-conformance"},
                                                                {"tests", "4"},
                                                                {"failures", "1"},
                                                                {"errors", "0"},
                                                                {"skipped", "2"},
                                                                {"time", "14.200"},
                                                                {"timestamp", "2026-12-11T09:14:03"}}));
    ASSERT_NE(suite.Child("properties"), nullptr);
    std::vector<std::string> properties;
    for (const TinyXmlElement* property : suite.Child("properties")->Children("property")) {
        properties.push_back(property->AttributeOr("name") + "=" + property->AttributeOr("value"));
    }
    EXPECT_EQ(properties, (std::vector<std::string>{"reader=Desk reader V2.10",
                                                    "line=/dev/pts/3 at 115200 baud, 3964R procedure",
                                                    "date=2026-12-11 09:14:03", "tagbench_version=1.27.0"}));

    const std::vector<const TinyXmlElement*> cases = suite.Children("testcase");
    ASSERT_EQ(cases.size(), 4u);
    const struct {
        const char* classname;
        const char* name;
        const char* time;
        const char* outcome;  // the element beside properties and system-out, if any
        const char* message;
    } expected[] = {
        {"conformance.handshake", "handshake.stx-ack", "1.234", "", ""},
        {"conformance.framing", "framing.sequence", "0.040", "failure",
         "expected sequence 05; seen sequence 06"},
        {"conformance.card", "card.write", "0.000", "skipped", "no --write block"},
        {"conformance.timing", "timing.gap", "0.000", "skipped", "not run: stopped"},
    };
    for (size_t n = 0; n < cases.size(); ++n) {
        SCOPED_TRACE(expected[n].name);
        const TinyXmlElement& testcase = *cases[n];
        EXPECT_EQ(testcase.AttributeOr("classname"), expected[n].classname);
        EXPECT_EQ(testcase.AttributeOr("name"), expected[n].name);
        EXPECT_EQ(testcase.AttributeOr("time"), expected[n].time);
        std::string outcome;
        for (const TinyXmlElement& child : testcase.children) {
            if (child.name != "properties" && child.name != "system-out") {
                EXPECT_TRUE(outcome.empty()) << "a second outcome " << child.name;
                outcome = child.name;
                EXPECT_EQ(child.AttributeOr("message"), expected[n].message);
            }
        }
        EXPECT_EQ(outcome, expected[n].outcome);
        ASSERT_NE(testcase.Child("system-out"), nullptr);
        EXPECT_EQ(testcase.Child("system-out")->text.rfind(checks[n].title + "\nSends: ", 0), 0u);
    }

    // The figures as properties of the case, and as text for tools that drop those.
    ASSERT_NE(cases[0]->Child("properties"), nullptr);
    const auto figures = cases[0]->Child("properties")->Children("property");
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_EQ(figures[0]->AttributeOr("name"), "stx_ack_max_ms");
    EXPECT_EQ(figures[0]->AttributeOr("value"), "4");
    EXPECT_NE(
        cases[0]
            ->Child("system-out")
            ->text.find(
                "Figures:\n  stx_ack_max_ms = 4\n  exchanges = 20\nTranscript:\n+0 ms PC 02\n+3 ms RD 10\n"),
        std::string::npos);
    const TinyXmlElement* failure = cases[1]->Child("failure");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->AttributeOr("type"), "nonconformant");
    EXPECT_EQ(failure->text, "Expected: sequence 05\nSeen: sequence 06");
    EXPECT_NE(cases[1]->Child("system-out")->text.find("+4 ms RD 02 06 00 00 06 10 03\n"), std::string::npos);
}

TEST_F(ConformanceReportTest, HostileReaderTextKeepsTheXmlWellFormedAndReadsBackEscaped) {
    const std::string hostile = "a\x1B[2J\x07|b]]></failure><x a=\"'&amp;\r\n\t\x00z"s +
                                "\xFF\xC3(\xED\xA0\x80\xEF\xBF\xBE\xF4\x90\x80\x80\xC2\x9B" +
                                "\xC3\xA9\xF0\x9F\x93\xA1";
    info.infoText = hostile;
    info.date = hostile;
    results[0].figures = {{hostile, hostile}};
    results[0].transcript = hostile;
    results[1].expected = hostile;
    results[1].seen = hostile;
    results[1].transcript = std::string(5000, 'x') + hostile;
    results[2].reason = hostile;
    const TinyXmlElement root = ParseXml();
    ASSERT_EQ(root.children.size(), 1u);
    const TinyXmlElement& suite = root.children[0];
    EXPECT_EQ(suite.Attribute("timestamp"), nullptr) << "a date of another form gives no timestamp";

    // Everything reads back as the cleaned text, tabs and line breaks included.
    const std::string clean = ConformanceCleanText(hostile, true);
    EXPECT_EQ(
        clean,
        "a\\x1B[2J\\x07|b]]></failure><x a=\"'&amp;\\x0D\n\t\\x00z\\xFF\\xC3(\\xED\\xA0\\x80\\xEF\\xBF\\xBE"
        "\\xF4\\x90\\x80\\x80\\xC2\\x9B\xC3\xA9\xF0\x9F\x93\xA1");
    EXPECT_EQ(suite.Child("properties")->Children("property")[0]->AttributeOr("value"), clean);
    const auto cases = suite.Children("testcase");
    ASSERT_EQ(cases.size(), 4u);
    const auto figure = cases[0]->Child("properties")->Children("property");
    ASSERT_EQ(figure.size(), 1u);
    EXPECT_EQ(figure[0]->AttributeOr("name"), clean);
    EXPECT_EQ(figure[0]->AttributeOr("value"), clean);
    EXPECT_NE(cases[0]->Child("system-out")->text.find("Transcript:\n" + clean), std::string::npos);
    EXPECT_EQ(cases[1]->Child("failure")->text, "Expected: " + clean + "\nSeen: " + clean);
    EXPECT_EQ(cases[2]->Child("skipped")->AttributeOr("message"), clean);
    // The headline is one line of bounded length, cut between characters.
    const std::string message = cases[1]->Child("failure")->AttributeOr("message");
    EXPECT_EQ(message.find('\n'), std::string::npos);
    EXPECT_LE(message.size(), 303u);
}

TEST_F(ConformanceReportTest, MarkdownStandsOnItsOwn) {
    EXPECT_EQ(ConformanceMarkdown(checks, results, info),
              "# Reader conformance report\n"
              "\n"
              "| | |\n"
              "|:--|:--|\n"
              "| Reader | Desk reader V2.10 |\n"
              "| Line | /dev/pts/3 at 115200 baud, 3964R procedure |\n"
              "| Date | 2026-12-11 09:14:03 |\n"
              "| Tagbench version | 1.27.0 |\n"
              "| Result | 1 passed, 1 failed, 1 skipped, 1 not run in 14.2 s |\n"
              "\n"
              "## Checks\n"
              "\n"
              "| Check id | Title | Result | Figures |\n"
              "|:--|:--|:--|:--|\n"
              "| handshake.stx-ack | Lone STX acknowledged | passed | stx_ack_max_ms = 4, exchanges = 20 |\n"
              "| framing.sequence | Sequence number echoed | **failed** |  |\n"
              "| card.write | Block written and restored | skipped |  |\n"
              "| timing.gap | Character gaps | not run |  |\n"
              "\n"
              "## Failures\n"
              "\n"
              "### framing.sequence: Sequence number echoed\n"
              "\n"
              "- Sends: a request with sequence 5\n"
              "- Expected: sequence 05\n"
              "- Seen: sequence 06\n"
              "\n"
              "```text\n"
              "+0 ms PC 02\n"
              "+2 ms RD 10\n"
              "+4 ms RD 02 06 00 00 06 10 03\n"
              "```\n"
              "\n"
              "## Skipped\n"
              "\n"
              "- card.write: no --write block\n"
              "- timing.gap: not run: stopped\n");
}

// The number of cells a GitHub table row splits into: pipes not escaped by a backslash.
size_t Cells(const std::string& row) {
    size_t pipes = 0;
    for (size_t i = 0; i < row.size(); ++i) {
        if (row[i] == '\\') {
            ++i;
        } else if (row[i] == '|') {
            ++pipes;
        }
    }
    return pipes - 1;
}

TEST_F(ConformanceReportTest, HostileReaderTextStaysInsideItsCellAndItsFence) {
    const std::string hostile =
        "x | y\\|z `code` <b>&amp; [l](u) *e* _f_ a_b\r\n# heading\n```\n````\x1B[1m\x00\t\xFF"s;
    info.infoText = hostile;
    results[0].figures = {{"name|x", hostile}};
    results[1].seen = hostile;
    results[1].transcript = hostile;
    results[2].reason = hostile;
    const std::string md = ConformanceMarkdown(checks, results, info);

    for (const char c : md) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte >= 0x20 || c == '\n') << "control character " << int(byte);
        EXPECT_NE(byte, 0x7F);
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < md.size();) {
        const size_t end = md.find('\n', at);
        lines.push_back(md.substr(at, end - at));
        at = end + 1;
    }
    size_t rows = 0;
    bool fenced = false;
    for (const std::string& line : lines) {
        if (line.rfind("`````", 0) == 0) {
            fenced = !fenced;
        }
        if (fenced) {
            continue;
        }
        if (line.rfind("| Reader ", 0) == 0) {
            EXPECT_EQ(Cells(line), 2u) << line;
            // Rendered, the text reads as cleaned: \x0D, not a line break.
            EXPECT_EQ(
                line,
                "| Reader | x \\| y\\\\\\|z \\`code\\` \\<b\\>\\&amp; \\[l\\](u) \\*e\\* \\_f\\_ "
                "a_b\\\\x0D<br># heading<br>\\`\\`\\`<br>\\`\\`\\`\\`\\\\x1B\\[1m\\\\x00\\\\x09\\\\xFF |");
        }
        if (line.rfind("| handshake.", 0) == 0 || line.rfind("| framing.", 0) == 0) {
            EXPECT_EQ(Cells(line), 4u) << line;
            ++rows;
        }
        EXPECT_NE(line.rfind("# heading", 0), 0u) << "reader text started a heading";
    }
    EXPECT_FALSE(fenced);
    EXPECT_EQ(rows, 2u);
    // The transcript's fence is longer than its longest run of backticks, so it ends where the
    // report ends it.
    const size_t open = md.find("`````text\n");
    ASSERT_NE(open, std::string::npos) << md;
    const size_t close = md.find("\n`````\n", open);
    ASSERT_NE(close, std::string::npos);
    EXPECT_EQ(md.substr(open + 10, close - open - 10), ConformanceCleanText(hostile, false));
    EXPECT_NE(md.find("\n- card.write: x \\| y"), std::string::npos);
}

TEST(ConformanceSummary, CountsEachVerdictAndTheTime) {
    const std::vector<ConformanceCheck> checks(20);
    std::vector<ConformanceResult> results(20);
    for (size_t n = 0; n < 20; ++n) {
        results[n].verdict = n < 17 ? ConformanceResult::Passed
                                    : (n == 17 ? ConformanceResult::Failed : ConformanceResult::Skipped);
    }
    EXPECT_EQ(ConformanceSummary(TallyConformance(checks, results), 14230),
              "17 passed, 1 failed, 2 skipped in 14.2 s");
    results.resize(15);
    EXPECT_EQ(ConformanceSummary(TallyConformance(checks, results), 940),
              "15 passed, 0 failed, 0 skipped, 5 not run in 0.9 s");
}

}  // namespace
