// The collect file manager: how collect files are named, how a path becomes one line, the
// 2 GB limit, and what the manager counts and reports.

#include "TempHostHome.h"

#include "TestFiles.h"
#include "fsbackup/CollectFileManager.h"
#include "pgulo/PGException.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <list>
#include <sstream>
#include <string>

namespace {

using pgulo::test::TempHostHome;
using pgulo::test::TestFiles;

namespace fs = std::filesystem;
using PGUlo::CollectFileManager;

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// What a thrown exception says, or "" when nothing was thrown.
template <class Body> std::string FailureOf(Body&& body) {
    try {
        body();
    } catch (const PGException& e) {
        return e.what();
    }
    return "";
}

class CollectFileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        results_ = home_.file("jobresults");
        fs::create_directories(results_);
    }

    TempHostHome home_;
    std::string results_;
};

TEST(CollectFileNaming, FollowsTypeNumberAndSuffix) {
    struct Case {
        int type;
        int number;
        bool newSuffix;
        const char* expected;
    } const cases[] = {
        {1, 1, false, "/jr/CollectTot1.kxf"},      {1, 12, false, "/jr/CollectTot12.kxf"},
        {1, 1, true, "/jr/CollectTot1.kxfNew"},    {2, 3, false, "/jr/Collect_logfile3.kxf"},
        {7, 1, false, "/jr/Collect_logfile1.kxf"}, {2, 1, true, "/jr/Collect_logfile1.kxfNew"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CollectFileManager::CollectFileName("/jr", c.type, c.number, c.newSuffix),
                  c.expected);
    }
}

TEST(CollectFileEscaping, EscapesOnlyLineBreaksAndPercent) {
    struct Case {
        std::string path;
        std::string line;
    } const cases[] = {
        {"/data/base/1/1259", "/data/base/1/1259"},
        {"", ""},
        {"/a\nb", "/a%0Ab"},
        {"/a\rb", "/a%0Db"},
        {"/100%", "/100%25"},
        {"%%", "%25%25"},
        {"/x\r\n%", "/x%0D%0A%25"},
        {"/caf\xC3\xA9 space\ttab", "/caf\xC3\xA9 space\ttab"},
        {"/already%0A", "/already%250A"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CollectFileManager::removeSpecialChar(c.path), c.line);
}

TEST(CollectFileEscaping, HexDigitsUseTheLowFourBits) {
    const char* const digits = "0123456789ABCDEF";
    for (int value = 0; value < 16; ++value)
        EXPECT_EQ(CollectFileManager::getHexDig(value), digits[value]);
    EXPECT_EQ(CollectFileManager::getHexDig(0x1A), 'A');
    EXPECT_EQ(CollectFileManager::getHexDig(0x25), '5');
    EXPECT_EQ(CollectFileManager::getHexDig(-1), 'F');
}

TEST(CollectFileEscaping, RemoveUnixSlashTurnsSlashesAround) {
    char text[] = "/var/lib/pgsql";
    CollectFileManager::removeUnixSlash(text);
    EXPECT_STREQ(text, "\\var\\lib\\pgsql");
    CollectFileManager::removeUnixSlash(nullptr);
}

TEST_F(CollectFileManagerTest, WritesOneEscapedLinePerEntryIntoTheFirstCollectFile) {
    const std::string odd = results_ + "/odd\nname 100%";
    std::ofstream(odd) << "x";
    const struct stat st = StatOf(results_);
    std::ofstream(results_ + "/Failures.kxf") << "old failures";
    {
        CollectFileManager manager(results_, 1, 42, 1, 0, false);
        EXPECT_FALSE(fs::exists(results_ + "/Failures.kxf"));
        EXPECT_EQ(manager.GetCollectFileCount(), 0);
        EXPECT_EQ(manager.GetNoOfFilesToBackup(), 0U);
        EXPECT_EQ(manager.GetCurrentOffset(), 0);
        EXPECT_GE(manager.RecordCount(), 1U);

        manager.WriteToCollect(results_.c_str(), &st);
        EXPECT_EQ(manager.GetCollectFileCount(), 1);
        manager.WriteToCollect(odd.c_str(), &st);
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

TEST_F(CollectFileManagerTest, ARestartedBackupWritesTheNewFile) {
    const struct stat st = StatOf(results_);
    {
        CollectFileManager manager(results_, 1, 42, 1, 0, true);
        manager.WriteToCollect("/restarted", &st);
    }
    EXPECT_EQ(TestFiles::Read(results_ + "/CollectTot1.kxfNew"), "/restarted\n");
    EXPECT_FALSE(fs::exists(results_ + "/CollectTot1.kxf"));
}

TEST_F(CollectFileManagerTest, ALogBackupWritesItsOwnNamesAndUnescapedCurrentEntries) {
    const struct stat st = StatOf(results_);
    {
        CollectFileManager manager(results_, 2, 42, 1, 0, false);
        manager.WriteToCollect("/arch/000000010000000000000003", &st);
        manager.WriteToCurrentCollect("/arch/tmp 100%", nullptr);
        EXPECT_EQ(manager.GetNoOfFilesToBackup(), 2U);
    }
    EXPECT_EQ(TestFiles::Read(results_ + "/Collect_logfile1.kxf"),
              "/arch/000000010000000000000003\n/arch/tmp 100%\n");
}

TEST_F(CollectFileManagerTest, TheFirstCurrentWriteOpensTheCollectFileOfItsDevice) {
    const struct stat st = StatOf(results_);
    {
        CollectFileManager manager(results_, 2, 42, 1, 0, false);
        manager.WriteToCurrentCollect("/first", &st);
        EXPECT_EQ(manager.GetCollectFileCount(), 1);
    }
    EXPECT_EQ(TestFiles::Read(results_ + "/Collect_logfile1.kxf"), "/first\n");
}

TEST_F(CollectFileManagerTest, ACurrentWriteWithNothingOpenAndNoStatusFails) {
    CollectFileManager manager(results_, 2, 42, 1, 0, false);
    EXPECT_NE(FailureOf([&] {
                  manager.WriteToCurrentCollect("/nowhere", nullptr);
              }).find("Msg:[Error generating Collect file]"),
              std::string::npos);
    EXPECT_EQ(manager.GetCollectFileCount(), 0);
}

TEST_F(CollectFileManagerTest, AnEntryOnAnUnknownDeviceFailsWhileNothingIsCurrent) {
    CollectFileManager manager(results_, 1, 42, 1, 0, false);
    struct stat st = StatOf(results_);
    st.st_dev = static_cast<dev_t>(0x7fffffff);
    EXPECT_NE(FailureOf([&] {
                  manager.WriteToCollect("/x", &st);
              }).find("Msg:[Mount point info unavilable]"),
              std::string::npos);

    // Once a collect file is current, every later entry goes to it whatever its device.
    const struct stat known = StatOf(results_);
    manager.WriteToCollect("/known", &known);
    manager.WriteToCollect("/foreign", &st);
    EXPECT_EQ(manager.GetNoOfFilesToBackup(), 2U);
    EXPECT_EQ(manager.GetCollectFileCount(), 1);

    // Cleared, the next entry chooses its record again.
    manager.setcurCollectFileToNULL();
    EXPECT_EQ(manager.GetCurrentCollectFilePath(), "");
    EXPECT_NE(FailureOf([&] { manager.WriteToCollect("/x", &st); }), "");
}

TEST_F(CollectFileManagerTest, AnUnwritableJobResultsDirectoryFailsTheOpen) {
    CollectFileManager manager(results_ + "/missing", 1, 42, 1, 0, false);
    const struct stat st = StatOf(results_);
    EXPECT_NE(FailureOf([&] {
                  manager.WriteToCollect("/x", &st);
              }).find("Msg:[Collect File open failed]"),
              std::string::npos);
}

TEST_F(CollectFileManagerTest, SizeCheckAcceptsUpToOneByteBelowTwoGigabytes) {
    struct Case {
        long long size;
        bool passes;
    } const cases[] = {
        {0, true},
        {1, true},
        {2147483645LL, true},
        {2147483646LL, true},
        {2147483647LL, false},
        {2147483648LL, false},
    };
    const std::string path = results_ + "/CollectTot1.kxf";
    for (const Case& c : cases) {
        std::ofstream(path).close();
        // Sparse: the size is set without writing the bytes.
        ASSERT_EQ(::truncate(path.c_str(), c.size), 0);
        const std::string failure =
            FailureOf([&] { CollectFileManager::CheckCollectFileSize(path); });
        if (c.passes) {
            EXPECT_EQ(failure, "") << c.size;
        } else {
            EXPECT_NE(failure.find("Msg:[Collect file size is more than 2GB.]"), std::string::npos)
                << c.size;
        }
    }
}

TEST_F(CollectFileManagerTest, SizeCheckOfAMissingFileFails) {
    EXPECT_NE(FailureOf([&] {
                  CollectFileManager::CheckCollectFileSize(results_ + "/CollectTot9.kxf");
              }).find("Msg:[Error reading file size for Collect File]"),
              std::string::npos);
}

} // namespace
