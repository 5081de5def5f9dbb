// The archive delete list: every regular file of the archive log directory when the full
// backup started, one full path per line, for the log backup to delete afterwards.

#include "TempHostHome.h"

#include "pgulo/PostGreFsBackupInterface.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

using pgulo::test::TempHostHome;

namespace fs = std::filesystem;

std::set<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::set<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

class ArchiveDeleteListTest : public ::testing::Test {
protected:
    void SetUp() override {
        archive_ = home_.file("archive");
        results_ = home_.file("results");
        fs::create_directories(archive_ + "/subdir");
        fs::create_directories(results_);
        for (const char* name : {"000000010000000000000001", "000000010000000000000002",
                                 "000000010000000000000002.00000028.backup", "00000002.history"})
            std::ofstream(archive_ + "/" + name) << "wal";
        fs::create_symlink(archive_ + "/000000010000000000000001", archive_ + "/link");
        ::mkfifo((archive_ + "/fifo").c_str(), 0600);
    }

    TempHostHome home_;
    std::string archive_;
    std::string results_;
};

TEST_F(ArchiveDeleteListTest, ListsOnlyTheRegularFiles) {
    ASSERT_EQ(GenerateArchDelFileList(results_, archive_), 0);
    EXPECT_EQ(Lines(results_ + "/PGArchDelList.kxf"),
              (std::set<std::string>{archive_ + "/000000010000000000000001",
                                     archive_ + "/000000010000000000000002",
                                     archive_ + "/000000010000000000000002.00000028.backup",
                                     archive_ + "/00000002.history"}));
}

TEST_F(ArchiveDeleteListTest, ReplacesAnEarlierList) {
    std::ofstream(results_ + "/PGArchDelList.kxf") << "/old/entry\n/another\n/third\n";
    ASSERT_EQ(DumpDirContent(archive_, results_ + "/PGArchDelList.kxf"), 0);
    EXPECT_EQ(Lines(results_ + "/PGArchDelList.kxf").count("/old/entry"), 0U);
    EXPECT_EQ(Lines(results_ + "/PGArchDelList.kxf").size(), 4U);
}

TEST_F(ArchiveDeleteListTest, AnEmptyArchiveGivesAnEmptyList) {
    fs::create_directories(home_.file("empty"));
    ASSERT_EQ(DumpDirContent(home_.file("empty"), results_ + "/list"), 0);
    EXPECT_TRUE(fs::exists(results_ + "/list"));
    EXPECT_EQ(fs::file_size(results_ + "/list"), 0U);
}

TEST_F(ArchiveDeleteListTest, AMissingDirectoryOrListLocationFails) {
    EXPECT_EQ(DumpDirContent(home_.file("missing"), results_ + "/list"), -1);
    EXPECT_FALSE(fs::exists(results_ + "/list"));
    EXPECT_EQ(DumpDirContent(archive_, home_.file("missing/list")), -1);
    EXPECT_EQ(GenerateArchDelFileList(home_.file("missing"), archive_), -1);
}

} // namespace
