#include "production/ProductionRecord.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

class ProductionRecordTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    std::string Contents(const fs::path& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

    fs::path dir = fs::temp_directory_path() / ("tagbench-record-" + std::to_string(::getpid()));
};

TEST_F(ProductionRecordTest, LinesAreAppendedBelowOneHeaderWithAwkwardFieldsQuoted) {
    const fs::path path = dir / "new folder" / "record.csv";
    ProductionRecord record(path.string());
    ASSERT_TRUE(record.Check()) << record.GetError();
    ProductionRecord::Entry entry{"2024-05-01 14:03:22",
                                  "Desk, \"big\"",
                                  "SerialOnly",
                                  "00000042",
                                  "",
                                  "failed",
                                  "ERROR: Serial number not written!",
                                  ""};
    ASSERT_TRUE(record.Append(entry));
    entry.strResult = "OK";
    entry.strMessage.clear();
    ASSERT_TRUE(ProductionRecord(path.string()).Append(entry)) << "a later run appends";
    EXPECT_EQ(
        Contents(path),
        "time,profile,job,mifare_serial,usb_serial,result,message,file\n"
        "2024-05-01 14:03:22,\"Desk, \"\"big\"\"\",SerialOnly,00000042,,failed,ERROR: Serial number not "
        "written!,\n"
        "2024-05-01 14:03:22,\"Desk, \"\"big\"\"\",SerialOnly,00000042,,OK,,\n");
}

TEST_F(ProductionRecordTest, ARecordThatCannotBeWrittenSaysWhereAndWhy) {
    fs::create_directories(dir);
    std::ofstream(dir / "file") << "x";
    ProductionRecord record((dir / "file" / "record.csv").string());
    EXPECT_FALSE(record.Check());
    EXPECT_FALSE(record.Append({}));
    EXPECT_EQ(record.GetError(), "Could not write the production record " +
                                     (dir / "file" / "record.csv").string() + ": Not a directory.");
    // A FIFO would hold the program until someone reads it.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    record.SetPath((dir / "fifo").string());
    EXPECT_FALSE(record.Check());
    EXPECT_EQ(record.GetError(), "Could not write the production record " + (dir / "fifo").string() +
                                     ": not a regular file.");
    // A line cut off by an earlier crash does not swallow the next one.
    std::ofstream(dir / "cut.csv") << "time,profile\n2024-05-01,Des";
    record.SetPath((dir / "cut.csv").string());
    EXPECT_TRUE(record.Append({}));
    EXPECT_EQ(Contents(dir / "cut.csv"), "time,profile\n2024-05-01,Des\n,,,,,,,\n");
    record.SetPath((dir / "ok.csv").string());
    EXPECT_TRUE(record.Append({}));
    EXPECT_EQ(record.GetError(), "");
}

}  // namespace
