// The collect file manager: how collect files are named, how a path becomes one line, the
// 2 GB limit, and what the manager counts and reports.

#include "PGFailure.h"
#include "TempHostHome.h"
#include "TestFiles.h"
#include "fsbackup/CollectFileManager.h"
#include "pgulo/host/CollectLine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <list>
#include <string>

namespace {

using namespace pgulo::test;
namespace fs = std::filesystem;
using PGUlo::CollectFileManager;

TEST(CollectFileNaming, FollowsTypeNumberAndSuffix) {
    const struct {
        int type, number;
        bool newSuffix;
        const char* expected;
    } cases[] = {
        {1, 12, false, "/jr/CollectTot12.kxf"},    {1, 1, true, "/jr/CollectTot1.kxfNew"},
        {2, 3, false, "/jr/Collect_logfile3.kxf"}, {7, 1, false, "/jr/Collect_logfile1.kxf"},
        {2, 1, true, "/jr/Collect_logfile1.kxfNew"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CollectFileManager::CollectFileName("/jr", c.type, c.number, c.newSuffix),
                  c.expected);
}

TEST(CollectFileEscaping, EscapesOnlyLineBreaksAndPercent) {
    const std::pair<std::string, std::string> cases[] = {
        {"/data/base/1/1259", "/data/base/1/1259"}, {"", ""}, {"/a\nb", "/a%0Ab"},
        {"/x\r\n%", "/x%0D%0A%25"}, {"/caf\xC3\xA9 space\ttab", "/caf\xC3\xA9 space\ttab"},
        {"/already%0A", "/already%250A"},
    };
    for (const auto& [path, line] : cases)
        EXPECT_EQ(CollectLine::Encode(path), line);
    char text[] = "/var/lib/pgsql";
    CollectFileManager::removeUnixSlash(text);
    EXPECT_STREQ(text, "\\var\\lib\\pgsql");
    CollectFileManager::removeUnixSlash(nullptr);
}

class CollectFileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(results_);
        ASSERT_EQ(::lstat(results_.c_str(), &st_), 0);
    }

    TempHostHome home_;
    const std::string results_ = home_.file("jobresults");
    struct stat st_ {};
};

TEST_F(CollectFileManagerTest, WritesOneEscapedLinePerEntryIntoTheFirstCollectFile) {
    const std::string odd = results_ + "/odd\nname 100%";
    TestFiles::Write(odd, "x");
    TestFiles::Write(results_ + "/Failures.kxf", "old failures");
    {
        CollectFileManager manager(results_, 1, 42, 1, 0, false);
        EXPECT_FALSE(fs::exists(results_ + "/Failures.kxf"));
        EXPECT_GE(manager.RecordCount(), 1U);
        manager.WriteToCollect(results_.c_str(), &st_);
        manager.WriteToCollect(odd.c_str(), &st_);
        EXPECT_EQ(manager.GetCollectFileCount(), 1);
        EXPECT_EQ(manager.GetNoOfFilesToBackup(), 2U);
        manager.FlushCollectFiles();
        const std::string name = results_ + "/CollectTot1.kxf";
        EXPECT_EQ(manager.GetCurrentCollectFilePath(), name);
        EXPECT_EQ(manager.GetCurrentOffset(), static_cast<long long>(fs::file_size(name)));
        std::list<std::string> names{"earlier"};
        manager.GetCollectFileList(&names);
        EXPECT_EQ(names, (std::list<std::string>{"earlier", name}));
    }
    EXPECT_EQ(TestFiles::Read(results_ + "/CollectTot1.kxf"),
              results_ + "\n" + results_ + "/odd%0Aname 100%25\n");
}

TEST_F(CollectFileManagerTest, RestartsAndLogBackupsWriteTheirOwnFiles) {
    {
        CollectFileManager manager(results_, 1, 42, 1, 0, true);
        manager.WriteToCollect("/restarted", &st_);
    }
    EXPECT_EQ(TestFiles::Read(results_ + "/CollectTot1.kxfNew"), "/restarted\n");
    EXPECT_FALSE(fs::exists(results_ + "/CollectTot1.kxf"));
    {
        // The first current write opens the collect file of its device; current entries are
        // written as they are.
        CollectFileManager manager(results_, 2, 42, 1, 0, false);
        manager.WriteToCurrentCollect("/first", &st_);
        EXPECT_EQ(manager.GetCollectFileCount(), 1);
        manager.WriteToCollect("/arch/000000010000000000000003", &st_);
        manager.WriteToCurrentCollect("/arch/tmp 100%", nullptr);
        EXPECT_EQ(manager.GetNoOfFilesToBackup(), 3U);
    }
    EXPECT_EQ(TestFiles::Read(results_ + "/Collect_logfile1.kxf"),
              "/first\n/arch/000000010000000000000003\n/arch/tmp 100%\n");
}

TEST_F(CollectFileManagerTest, EntriesWithNowhereToGoFail) {
    CollectFileManager log(results_, 2, 42, 1, 0, false);
    EXPECT_NE(PGFailure([&] { log.WriteToCurrentCollect("/nowhere", nullptr); })
                  .find("Msg:[Error generating Collect file]"),
              std::string::npos);
    EXPECT_EQ(log.GetCollectFileCount(), 0);

    CollectFileManager unwritable(results_ + "/missing", 1, 42, 1, 0, false);
    EXPECT_NE(PGFailure([&] { unwritable.WriteToCollect("/x", &st_); })
                  .find("Msg:[Collect File open failed]"),
              std::string::npos);

    CollectFileManager manager(results_, 1, 42, 1, 0, false);
    struct stat foreign = st_;
    foreign.st_dev = static_cast<dev_t>(0x7fffffff);
    EXPECT_NE(PGFailure([&] { manager.WriteToCollect("/x", &foreign); })
                  .find("Msg:[Mount point info unavilable]"),
              std::string::npos);
    // Once a collect file is current, every later entry goes to it whatever its device.
    manager.WriteToCollect("/known", &st_);
    manager.WriteToCollect("/foreign", &foreign);
    EXPECT_EQ(manager.GetNoOfFilesToBackup(), 2U);
    EXPECT_EQ(manager.GetCollectFileCount(), 1);
    // Cleared, the next entry chooses its record again.
    manager.setcurCollectFileToNULL();
    EXPECT_EQ(manager.GetCurrentCollectFilePath(), "");
    EXPECT_NE(PGFailure([&] { manager.WriteToCollect("/x", &foreign); }), "");
}

TEST_F(CollectFileManagerTest, SizeCheckAcceptsUpToOneByteBelowTwoGigabytes) {
    const std::string path = results_ + "/CollectTot1.kxf";
    const std::string tooBig = "Msg:[Collect file size is more than 2GB.]";
    const std::pair<long long, std::string> cases[] = {
        {0, ""}, {2147483646LL, ""}, {2147483647LL, tooBig}, {2147483648LL, tooBig},
        {-1, "Msg:[Error reading file size for Collect File]"},
    };
    for (const auto& [size, message] : cases) {
        fs::remove(path);
        if (size >= 0) {
            TestFiles::Write(path, "");
            fs::resize_file(path, static_cast<std::uintmax_t>(size)); // sparse
        }
        const std::string failure = PGFailure([&] { CollectFileManager::CheckCollectFileSize(path); });
        EXPECT_EQ(failure.empty(), message.empty()) << size << failure;
        EXPECT_NE(failure.find(message), std::string::npos) << size;
    }
}

} // namespace
