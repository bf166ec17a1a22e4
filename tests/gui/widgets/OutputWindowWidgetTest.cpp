#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>

#include "link/ReaderPort.h"
#include "link/Trace.h"
#include "widgets/COutputWindowWidget.h"

namespace {

// The real widget under the real trace, shown at a usual size.
class OutputWindowWidgetTest : public testing::Test {
protected:
    void SetUp() override {
        m_window.resize(500, 200);
        m_window.show();
        m_trace.SetOutputWindow(&m_window, true, TraceModeHex);
    }

    QTextCharFormat FormatOfLine(int line) {
        QTextCursor cursor(m_window.document()->findBlockByNumber(line));
        cursor.movePosition(QTextCursor::NextCharacter);
        return cursor.charFormat();
    }

    COutputWindowWidget m_window;
    Trace m_trace;
};

TEST_F(OutputWindowWidgetTest, ShowsEachLineKindInItsColourAndBold) {
    m_trace.Sent(ByteBuffer{0x02});
    m_trace.Received(ByteBuffer{0x10});
    m_trace.WriteStatusLine("<OK>");
    EXPECT_EQ(m_window.toPlainText(), ">> 02 \n<< 10 \n<OK>\n");
    const QColor colours[] = {QColor(0, 0, 0), QColor(255, 0, 0), QColor(0, 0, 255)};
    for (int line = 0; line < 3; ++line) {
        const QTextCharFormat format = FormatOfLine(line);
        EXPECT_EQ(format.foreground().color(), colours[line]) << line;
        EXPECT_EQ(format.fontWeight(), QFont::Bold) << line;
        EXPECT_FALSE(format.fontItalic() || format.fontUnderline() || format.fontStrikeOut());
    }
    // Readable beside the other controls: the fixed-width font at its normal size, not 8 points.
    EXPECT_EQ(m_window.font().pointSizeF(), QFontDatabase::systemFont(QFontDatabase::FixedFont).pointSizeF());
    const QString expected = QFontDatabase::hasFamily("Courier New")
                                 ? QString("Courier New")
                                 : QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    EXPECT_EQ(m_window.font().family(), expected);
}

TEST_F(OutputWindowWidgetTest, AppendsAtTheEndWhereverTheUserClickedAndKeepsTheirSelection) {
    m_trace.WriteStatusLine("first");
    m_trace.WriteStatusLine("second");
    QTextCursor user = m_window.textCursor();
    user.setPosition(1);
    user.setPosition(3, QTextCursor::KeepAnchor);
    m_window.setTextCursor(user);
    m_trace.WriteStatusLine("<OK>");
    EXPECT_EQ(m_window.toPlainText(), "first\nsecond\n<OK>\n");
    EXPECT_EQ(m_window.textCursor().selectedText(), "ir");
    m_window.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), "ir");
}

TEST_F(OutputWindowWidgetTest, IsReadOnlyForTheUser) {
    m_trace.WriteStatusLine("<OK>");
    m_window.setFocus();
    QTest::keyClicks(&m_window, "xyz");
    QTest::keyClick(&m_window, Qt::Key_Backspace);
    EXPECT_EQ(m_window.toPlainText(), "<OK>\n");
}

TEST_F(OutputWindowWidgetTest, KeepsTheNewestLineInView) {
    for (int i = 0; i < 300; ++i) {
        m_trace.WriteStatusLine("line " + std::to_string(i));
    }
    // The window scrolls when the event loop next paints it.
    QApplication::processEvents();
    QScrollBar* bar = m_window.verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_GT(bar->maximum(), 0);
}

TEST_F(OutputWindowWidgetTest, TheNewestLineStaysInViewAfterAResizeAndInALowWindow) {
    QScrollBar* bar = m_window.verticalScrollBar();
    for (int i = 0; i < 300; ++i) {
        m_trace.WriteStatusLine("line " + std::to_string(i));
    }
    QApplication::processEvents();
    // Lower than the trace's margin of lines, then back: the end stays in view, with new lines too.
    for (int height : {60, 200, 60}) {
        SCOPED_TRACE(height);
        m_window.resize(500, height);
        QApplication::processEvents();
        EXPECT_EQ(bar->value(), bar->maximum());
        m_trace.WriteStatusLine("one more");
        QApplication::processEvents();
        EXPECT_EQ(bar->value(), bar->maximum());
    }
    // A user who scrolled back to read is left there by a resize.
    bar->setValue(10);
    m_window.resize(500, 150);
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), 10);
}

TEST_F(OutputWindowWidgetTest, AFullWindowIsCutToAnEmptyLineAndTheNewest511) {
    for (int i = 0; i < LineWindow::kMaxLines; ++i) {
        m_trace.WriteStatusLine("line " + std::to_string(i));
    }
    EXPECT_EQ(m_window.GetLineCount(), 1025);
    m_trace.WriteStatusLine("newest");

    const QStringList lines = m_window.toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 1 + 511 + 1 + 1);  // empty line, the newest 511, the new one, empty end
    EXPECT_EQ(lines.front(), "");
    EXPECT_EQ(lines[1], "line 513");
    EXPECT_EQ(lines[511], "line 1023");
    EXPECT_EQ(lines[512], "newest");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(FormatOfLine(512).foreground().color(), QColor(0, 0, 255));
    EXPECT_FALSE(m_window.document()->isUndoAvailable());
    QApplication::processEvents();
    QScrollBar* bar = m_window.verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(OutputWindowWidgetTest, ClearEmptiesTheWindow) {
    m_trace.WriteStatusLine("<OK>");
    m_trace.ClearOutput();
    EXPECT_EQ(m_window.toPlainText(), "");
    EXPECT_EQ(m_window.GetLineCount(), 1);
}

}  // namespace
