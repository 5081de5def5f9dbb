#include "pgulo/PGCommon.h"
#include "pgulo/host/UniqueFd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestProcess.h"

namespace {

const char* const kSeg4 = "000000010000000000000004";
const char* const kSeg5 = "000000010000000000000005";
const char* const kSeg6 = "000000010000000000000006";
const std::string kMark = "_PGuLOLogCopy.kxf";

std::string CopyOf(const std::string& segment, int job) {
    return segment + kMark + "_" + std::to_string(job);
}

// A restored WAL directory with segments of the real size (sparse), each starting with a
// marker that tells which file it came from.
class WalDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pgulo_waldir_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("PGULO_HOME", dir_.c_str(), 1);
        wal_ = dir_ + "/pg_xlog";
        ASSERT_EQ(::mkdir(wal_.c_str(), 0700), 0);
    }
    void TearDown() override { pgulo::test::runCommand({"rm", "-rf", dir_}); }

    void Segment(const std::string& name, const std::string& marker) {
        const std::string path = wal_ + "/" + name;
        {
            std::ofstream out(path, std::ios::binary);
            out << marker;
        }
        ASSERT_EQ(::truncate(path.c_str(), 16 * 1024 * 1024), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    }

    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        UniqueDir d(::opendir(wal_.c_str()));
        if (!d)
            return names;
        while (dirent* e = ::readdir(d.get())) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Marker(const std::string& name) const {
        std::ifstream in(wal_ + "/" + name, std::ios::binary);
        std::string marker(6, '\0');
        in.read(marker.data(), 6);
        return marker;
    }

    mode_t Mode(const std::string& name) const {
        struct stat st {};
        if (::stat((wal_ + "/" + name).c_str(), &st) != 0)
            return 0;
        return st.st_mode & 07777;
    }

    std::string dir_;
    std::string wal_;
};

TEST_F(WalDirTest, CopyOfAnExistingSegmentIsDroppedAndTheSegmentOpened) {
    Segment(kSeg4, "seg4..");
    Segment(kSeg5, "seg5..");
    Segment(CopyOf(kSeg5, 77), "copy5.");

    EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(wal_), 0);

    EXPECT_EQ(Listing(), (std::vector<std::string>{kSeg4, kSeg5}));
    EXPECT_EQ(Marker(kSeg5), "seg5..");
    EXPECT_EQ(Mode(kSeg5), 0777u);
    EXPECT_EQ(Mode(kSeg4), 0600u);
}

TEST_F(WalDirTest, NewestCopyTakesItsSegmentName) {
    Segment(kSeg4, "seg4..");
    Segment(CopyOf(kSeg5, 77), "copy5.");

    EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(wal_), 0);

    EXPECT_EQ(Listing(), (std::vector<std::string>{kSeg4, kSeg5}));
    EXPECT_EQ(Marker(kSeg5), "copy5.");
    EXPECT_EQ(Mode(kSeg5), 0777u);
}

TEST_F(WalDirTest, CopyOlderThanARestoredSegmentIsOnlyDeleted) {
    Segment(CopyOf(kSeg5, 77), "copy5.");
    Segment(kSeg6, "seg6..");

    EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(wal_), 0);

    EXPECT_EQ(Listing(), (std::vector<std::string>{kSeg6}));
    EXPECT_EQ(Mode(kSeg6), 0600u);
}

TEST_F(WalDirTest, OnlyTheNewestOfSeveralCopiesSurvives) {
    Segment(CopyOf(kSeg4, 76), "copy4.");
    Segment(CopyOf(kSeg5, 77), "copy5.");

    EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(wal_), 0);

    EXPECT_EQ(Listing(), (std::vector<std::string>{kSeg5}));
    EXPECT_EQ(Marker(kSeg5), "copy5.");
}

TEST_F(WalDirTest, DirectoryWithoutCopiesIsLeftAlone) {
    Segment(kSeg4, "seg4..");
    Segment(kSeg5, "seg5..");
    Segment("000000010000000000000005.00000028.backup", "label.");
    ASSERT_EQ(::mkdir((wal_ + "/archive_status").c_str(), 0700), 0);

    EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(wal_), 0);

    EXPECT_EQ(Listing(),
              (std::vector<std::string>{kSeg4, kSeg5, "000000010000000000000005.00000028.backup",
                                        "archive_status"}));
    EXPECT_EQ(Mode(kSeg5), 0600u);
}

TEST_F(WalDirTest, MissingDirectoryFails) {
    EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(dir_ + "/nowhere"), -1);
}

TEST_F(WalDirTest, RenameNeedsTheMarkAndANameBeforeIt) {
    Segment(kSeg4, "seg4..");
    Segment(kMark + "_77", "bare..");
    EXPECT_EQ(PGCommon::RenameCopiedLogFile(wal_, kSeg4), -1);
    EXPECT_EQ(PGCommon::RenameCopiedLogFile(wal_, kMark + "_77"), -1);
    EXPECT_EQ(PGCommon::RenameCopiedLogFile(dir_ + "/nowhere", CopyOf(kSeg5, 1)), -1);
    EXPECT_EQ(Listing(), (std::vector<std::string>{kSeg4, kMark + "_77"}));
}

TEST_F(WalDirTest, RemovalGoesOnPastMissingFiles) {
    Segment(kSeg4, "seg4..");
    Segment(kSeg6, "seg6..");
    PGCommon::RemoveFilesFromFolder(wal_, {kSeg4, "not-there", kSeg6});
    EXPECT_TRUE(Listing().empty());
}

TEST(CopyMark, IsFoundAnywhereInTheName) {
    EXPECT_TRUE(PGCommon::IsCopiedFile(CopyOf(kSeg5, 77)));
    EXPECT_TRUE(PGCommon::IsCopiedFile(kMark));
    EXPECT_TRUE(PGCommon::IsCopiedFile("x" + kMark));
    EXPECT_FALSE(PGCommon::IsCopiedFile(kSeg5));
    EXPECT_FALSE(PGCommon::IsCopiedFile("_pgulologcopy.kxf"));
    EXPECT_FALSE(PGCommon::IsCopiedFile(""));
}

struct OrderCase {
    std::string a;
    std::string b;
    bool incr;
    bool decr;
};

class StringOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(StringOrder, ComparesBytes) {
    EXPECT_EQ(PGCommon::CompareStringIncr(GetParam().a, GetParam().b), GetParam().incr);
    EXPECT_EQ(PGCommon::CompareStringDecr(GetParam().a, GetParam().b), GetParam().decr);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, StringOrder,
    ::testing::Values(OrderCase{"a", "b", true, false}, OrderCase{"b", "a", false, true},
                      OrderCase{"a", "a", true, true}, OrderCase{"", "a", true, false},
                      OrderCase{"", "", true, true}, OrderCase{"a", "\xff", true, false},
                      OrderCase{"B", "a", true, false},
                      OrderCase{kSeg5, CopyOf(kSeg5, 77), true, false}));

// The clean-up file of a job and the marked copy it names in the archive.
class JobCleanupTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pgulo_jobclean_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("PGULO_HOME", dir_.c_str(), 1);
        results_ = dir_ + "/results";
        archive_ = dir_ + "/archive dir";
        ASSERT_EQ(::mkdir(results_.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(archive_.c_str(), 0700), 0);
        cleanupFile_ = results_ + "/PGCleanupLog_77.txt";
    }
    void TearDown() override { pgulo::test::runCommand({"rm", "-rf", dir_}); }

    static void Write(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    static bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

    std::string dir_;
    std::string results_;
    std::string archive_;
    std::string cleanupFile_;
};

TEST_F(JobCleanupTest, DeletesTheCopyAndTheCleanupFile) {
    const std::string copy = archive_ + "/" + CopyOf(kSeg5, 77);
    Write(copy, "wal");
    Write(cleanupFile_, "PG_WAL_LOG:" + copy + "\n");

    PGCommon::CleanUpLogFileForPG8(results_, 77);

    EXPECT_FALSE(Exists(copy));
    EXPECT_FALSE(Exists(cleanupFile_));
}

TEST_F(JobCleanupTest, KeepsTheCleanupFileWhenTheCopyIsGone) {
    Write(cleanupFile_, "PG_WAL_LOG:" + archive_ + "/" + CopyOf(kSeg5, 77) + "\n");
    PGCommon::CleanUpLogFileForPG8(results_, 77);
    EXPECT_TRUE(Exists(cleanupFile_));
}

TEST_F(JobCleanupTest, WithoutACleanupFileNothingHappens) {
    const std::string copy = archive_ + "/" + CopyOf(kSeg5, 78);
    Write(copy, "wal");
    EXPECT_NO_THROW(PGCommon::CleanUpLogFileForPG8(results_, 78));
    EXPECT_TRUE(Exists(copy));
}

TEST_F(JobCleanupTest, NeverDeletesAFileThatIsNotAMarkedCopy) {
    const std::string segment = archive_ + "/" + kSeg5;
    Write(segment, "wal");
    Write(cleanupFile_, "PG_WAL_LOG:" + segment + "\n");

    PGCommon::CleanUpLogFileForPG8(results_, 77);

    EXPECT_TRUE(Exists(segment));
    EXPECT_TRUE(Exists(cleanupFile_));
}

TEST_F(JobCleanupTest, CleanupFileWithoutTheTokenIsLeft) {
    Write(cleanupFile_, "SOMETHING:else\n");
    PGCommon::CleanUpLogFileForPG8(results_, 77);
    EXPECT_TRUE(Exists(cleanupFile_));
}

} // namespace
