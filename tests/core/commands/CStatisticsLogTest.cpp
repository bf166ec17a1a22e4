// The statistics log's file: records appended after what is there, one writer at a time, and the
// file errors the user sees.
#include "commands/CStatisticsLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

class StatisticsLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "statistics_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(path.c_str());
    }
    std::string Content() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string path;
    std::string error;
};

TEST_F(StatisticsLogTest, RecordFormat) {
    const struct {
        uint32_t ms;
        int step;
        LinkResult result;
        const char* line;
    } cases[] = {
        {0, 7, 0, "0;7;00000000\n"},
        {1234, 1, 0x200000C9, "1234;1;200000C9\n"},
        {0x7FFFFFFF, 3, 0x2000003D, "2147483647;3;2000003D\n"},
        {0x80000000, 0, 5, "-2147483648;0;00000005\n"},  // past about 24.8 days
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CStatisticsLog::FormatRecord(c.ms, c.step, c.result), c.line);
    }
}

TEST_F(StatisticsLogTest, AnExistingLogKeepsItsRecordsAndTheNewOnesFollow) {
    std::ofstream(path) << "10;7;00000000\n";
    for (int run = 0; run < 2; ++run) {  // two runs choosing the same file
        CStatisticsLog log;
        ASSERT_TRUE(log.Open(path, error)) << error;
        EXPECT_TRUE(log.WriteRecord(20 + run, 1, 0x200000C9, error)) << error;
        EXPECT_EQ(Content().substr(0, 14), "10;7;00000000\n") << "never truncated";
    }
    EXPECT_EQ(Content(), "10;7;00000000\n20;1;200000C9\n21;1;200000C9\n")
        << "each record is in the file at once";
}

TEST_F(StatisticsLogTest, ALogWhoseLastLineWasCutOffGetsItsLineEndBeforeTheFirstRecord) {
    std::ofstream(path) << "old";
    CStatisticsLog log;
    ASSERT_TRUE(log.Open(path, error)) << error;
    EXPECT_TRUE(log.WriteRecord(1, 1, 0x200000C9, error)) << error;
    EXPECT_TRUE(log.WriteRecord(2, 7, 0, error)) << error;
    EXPECT_EQ(Content(), "old\n1;1;200000C9\n2;7;00000000\n");
}

// Paths that would block the program, or that no record can reach, say so at once.
TEST_F(StatisticsLogTest, AFifoIsRefusedAndAFullDeviceIsAWriteError) {
    const std::string fifo = path + ".fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    CStatisticsLog log;
    EXPECT_FALSE(log.Open(fifo, error)) << "opening a FIFO must neither block nor succeed";
    EXPECT_EQ(error, "Cannot open " + fifo + ": not a regular file");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(log.Open(fifo, error));
    EXPECT_EQ(error, "Cannot open " + fifo + ": not a regular file");
    ::close(reader);
    std::remove(fifo.c_str());

    ASSERT_TRUE(log.Open("/dev/full", error)) << error;
    EXPECT_FALSE(log.WriteRecord(1, 1, 0, error));
    EXPECT_EQ(error, "Cannot write to /dev/full: No space left on device");
}

TEST_F(StatisticsLogTest, FilesThatCannotTakeRecordsAreRefusedWithTheirDescription) {
    CStatisticsLog first;
    ASSERT_TRUE(first.Open(path, error)) << error;
    CStatisticsLog second;
    EXPECT_FALSE(second.Open(path, error));
    EXPECT_EQ(error, "Cannot open " + path + ": another program is writing to it");
    first.Close();
    EXPECT_TRUE(second.Open(path, error)) << "the lock goes with the close";
    second.Close();

    chmod(path.c_str(), 0444);
    EXPECT_FALSE(second.Open(path, error));
    EXPECT_EQ(error, "Cannot open " + path + ": the file is read-only");
    EXPECT_FALSE(second.IsOpen());

    EXPECT_FALSE(second.Open(::testing::TempDir() + "no/such/dir.log", error));
    EXPECT_EQ(error, "Cannot open " + ::testing::TempDir() + "no/such/dir.log: No such file or directory");
}

TEST_F(StatisticsLogTest, PromptAndOpenShowsAnOpenErrorButNotACancel) {
    CStatisticsLog log;
    std::vector<std::string> shown;
    const auto show = [&](const std::string& text) { shown.push_back(text); };
    EXPECT_FALSE(log.PromptAndOpen([] { return std::nullopt; }, show));
    EXPECT_TRUE(shown.empty());

    EXPECT_FALSE(log.PromptAndOpen([] { return std::string("/proc/no-such-log"); }, show));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_FALSE(log.IsOpen());

    EXPECT_TRUE(log.PromptAndOpen([&] { return path; }, show));
    EXPECT_TRUE(log.IsOpen());
    EXPECT_EQ(shown.size(), 1u);
}

}  // namespace
