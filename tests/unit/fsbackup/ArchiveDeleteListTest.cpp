// The archive delete list: every regular file of the archive log directory when the full
// backup started, one full path per line, for the log backup to delete afterwards.

#include "TempHostHome.h"
#include "TestFiles.h"

#include "pgulo/PostGreFsBackupInterface.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using pgulo::test::TempHostHome;
using pgulo::test::TestFiles;

namespace fs = std::filesystem;

std::set<std::string> Lines(const std::string& path) {
    const std::vector<std::string> lines = pgulo::test::TestFiles::ReadLines(path);
    return std::set<std::string>(lines.begin(), lines.end());
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
            TestFiles::Write(archive_ + "/" + name, "wal");
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

TEST_F(ArchiveDeleteListTest, ReplacesAnEarlierListAndFailsWithoutDirectories) {
    const std::string list = results_ + "/PGArchDelList.kxf";
    TestFiles::Write(list, "/old/entry\n/another\n/third\n");
    ASSERT_EQ(DumpDirContent(archive_, list), 0);
    EXPECT_EQ(Lines(list).count("/old/entry"), 0U);
    EXPECT_EQ(Lines(list).size(), 4U);
    fs::create_directories(home_.file("empty"));
    ASSERT_EQ(DumpDirContent(home_.file("empty"), list), 0);
    EXPECT_EQ(TestFiles::Read(list), "");
    EXPECT_TRUE(fs::exists(list));

    EXPECT_EQ(DumpDirContent(home_.file("missing"), results_ + "/list"), -1);
    EXPECT_FALSE(fs::exists(results_ + "/list"));
    EXPECT_EQ(DumpDirContent(archive_, home_.file("missing/list")), -1);
    EXPECT_EQ(GenerateArchDelFileList(home_.file("missing"), archive_), -1);
}

} // namespace
