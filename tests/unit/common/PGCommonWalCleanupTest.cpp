// Cleaning up after old servers' log backups: the marked copies of the newest segment in a
// restored WAL directory, and a job's clean-up file that names the copy in the archive.
#include "pgulo/PGCommon.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

const std::string kSeg4 = "000000010000000000000004";
const std::string kSeg5 = "000000010000000000000005";
const std::string kSeg6 = "000000010000000000000006";
const std::string kMark = "_PGuLOLogCopy.kxf";

std::string CopyOf(const std::string& segment, int job) {
    return segment + kMark + "_" + std::to_string(job);
}

// A restored WAL directory with segments of the real size (sparse), each starting with a
// marker that tells which file it came from.
class WalDirTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(wal_); }

    void Segment(const std::string& name, const std::string& marker) const {
        TestFiles::Write(wal_ + "/" + name, marker);
        fs::resize_file(wal_ + "/" + name, 16 * 1024 * 1024);
        fs::permissions(wal_ + "/" + name, fs::perms(0600));
    }
    // Each file as "name marker mode".
    std::set<std::string> Listing() const {
        std::set<std::string> files;
        for (const auto& entry : fs::directory_iterator(wal_)) {
            const std::string name = entry.path().filename().string();
            const auto mode = static_cast<unsigned>(entry.status().permissions());
            files.insert(name + " " + TestFiles::Read(entry.path().string()).substr(0, 6) +
                         " " + std::to_string(mode & 0777));
        }
        return files;
    }

    TempHostHome home_;
    const std::string wal_ = home_.file("pg_xlog");
};

TEST_F(WalDirTest, TheNewestCopyTakesItsSegmentsNameAndIsOpenedUp) {
    const struct {
        std::vector<std::pair<std::string, std::string>> segments;
        std::set<std::string> after;
    } cases[] = {
        // A copy of a restored segment is dropped, and the segment opened up.
        {{{kSeg4, "seg4.."}, {kSeg5, "seg5.."}, {CopyOf(kSeg5, 77), "copy5."}},
         {kSeg4 + " seg4.. 384", kSeg5 + " seg5.. 511"}},
        {{{kSeg4, "seg4.."}, {CopyOf(kSeg5, 77), "copy5."}},
         {kSeg4 + " seg4.. 384", kSeg5 + " copy5. 511"}},
        // A copy older than a restored segment is only deleted.
        {{{CopyOf(kSeg5, 77), "copy5."}, {kSeg6, "seg6.."}}, {kSeg6 + " seg6.. 384"}},
        {{{CopyOf(kSeg4, 76), "copy4."}, {CopyOf(kSeg5, 77), "copy5."}},
         {kSeg5 + " copy5. 511"}},
        {{{kSeg5, "seg5.."}, {kSeg5 + ".00000028.backup", "label."}},
         {kSeg5 + " seg5.. 384", kSeg5 + ".00000028.backup label. 384"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(wal_);
        SetUp();
        for (const auto& [name, marker] : c.segments)
            Segment(name, marker);
        EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(wal_), 0);
        EXPECT_EQ(Listing(), c.after);
    }
    EXPECT_EQ(PGCommon::CleanWalDirAftRestorePG8(home_.file("nowhere")), -1);
}

TEST_F(WalDirTest, RenameNeedsTheMarkAndANameBeforeItAndRemovalGoesOnPastMissingFiles) {
    Segment(kSeg4, "seg4..");
    Segment(kMark + "_77", "bare..");
    EXPECT_EQ(PGCommon::RenameCopiedLogFile(wal_, kSeg4), -1);
    EXPECT_EQ(PGCommon::RenameCopiedLogFile(wal_, kMark + "_77"), -1);
    EXPECT_EQ(PGCommon::RenameCopiedLogFile(home_.file("nowhere"), CopyOf(kSeg5, 1)), -1);
    EXPECT_EQ(Listing(), (std::set<std::string>{kSeg4 + " seg4.. 384", kMark + "_77 bare.. 384"}));
    PGCommon::RemoveFilesFromFolder(wal_, {kSeg4, "not-there", kMark + "_77"});
    EXPECT_TRUE(Listing().empty());
}

TEST(CopyMark, IsFoundAnywhereInTheName) {
    for (const auto& [name, marked] : std::vector<std::pair<std::string, bool>>{
             {CopyOf(kSeg5, 77), true}, {kMark, true}, {"x" + kMark, true}, {kSeg5, false},
             {"_pgulologcopy.kxf", false}, {"", false}})
        EXPECT_EQ(PGCommon::IsCopiedFile(name), marked) << name;
}

TEST(StringOrder, ComparesBytes) {
    const struct {
        std::string a, b;
        bool incr, decr;
    } cases[] = {{"b", "a", false, true}, {"a", "a", true, true}, {"a", "\xff", true, false},
                 {kSeg5, CopyOf(kSeg5, 77), true, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(PGCommon::CompareStringIncr(c.a, c.b), c.incr) << c.a << " " << c.b;
        EXPECT_EQ(PGCommon::CompareStringDecr(c.a, c.b), c.decr) << c.a << " " << c.b;
    }
}

// A job's clean-up file deletes the marked copy it names, and goes itself once that is gone.
TEST(JobCleanup, DeletesOnlyAMarkedCopyAndThenTheCleanupFile) {
    TempHostHome home;
    const std::string results = home.file("results");
    const std::string archive = home.file("archive dir");
    fs::create_directories(results);
    fs::create_directories(archive);
    const std::string cleanup = results + "/PGCleanupLog_77.txt";
    const std::string copy = archive + "/" + CopyOf(kSeg5, 77);
    const std::string segment = archive + "/" + kSeg5;
    const struct {
        std::string named; // the clean-up file's text; "-": no clean-up file
        bool copyRemains, segmentRemains, cleanupRemains;
    } cases[] = {
        {"PG_WAL_LOG:" + copy + "\n", false, true, false},
        {"PG_WAL_LOG:" + archive + "/" + CopyOf(kSeg5, 78) + "\n", true, true, true},
        {"-", true, true, false},
        {"PG_WAL_LOG:" + segment + "\n", true, true, true},
        {"SOMETHING:else\n", true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        TestFiles::Write(copy, "wal");
        TestFiles::Write(segment, "wal");
        fs::remove(cleanup);
        if (c.named != "-")
            TestFiles::Write(cleanup, c.named);
        EXPECT_NO_THROW(PGCommon::CleanUpLogFileForPG8(results, 77));
        EXPECT_EQ(fs::exists(copy), c.copyRemains);
        EXPECT_EQ(fs::exists(segment), c.segmentRemains);
        EXPECT_EQ(fs::exists(cleanup), c.cleanupRemains);
    }
}

} // namespace
