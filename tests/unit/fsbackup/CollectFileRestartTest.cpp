// Restarting an interrupted full backup: which entries of the old collect file are carried
// over, what the walk lists again, the restart string and the files left behind. The job has
// no server; the previous backup's start time is set by the test.

#include "PGFailure.h"
#include "TempHostHome.h"
#include "TestFiles.h"
#include "fsbackup/PGFsBackup.h"
#include "pgulo/host/UniqueFd.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace pgulo::test;

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Names = std::set<std::string>;

void SetMtime(const std::string& path, std::time_t when) {
    struct timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::lutimes(path.c_str(), times), 0) << path;
}

// A job whose previous backup began at a time the test chooses.
class RestartJob : public PGFsBackup {
public:
    using PGFsBackup::PGFsBackup;
    void SetLastBackupTime(long long when) { Last_BackupTime = when; }
};

class CollectFileRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(results_);
        fs::create_directories(data_ + "/base/1");
        TestFiles::Write(data_ + "/postgresql.conf", "port = 5432\n");
        TestFiles::Write(data_ + "/pg_hba.conf", "local all all trust\n");
        TestFiles::Write(data_ + "/pg_ident.conf", "");
        for (const char* name : {"1259", "1249", "2608", "2610"})
            TestFiles::Write(data_ + "/base/1/" + name, std::string(1000, 'x'));
        // Everything is older than the interrupted backup, which began at start_.
        start_ = std::time(nullptr) - 100;
        for (const auto& entry : fs::recursive_directory_iterator(data_))
            SetMtime(entry.path().string(), start_ - 50);
        SetMtime(data_, start_ - 50);

        // The interrupted backup's collect file.
        RestartJob first(Setup());
        first.GenerateCollectFile(nullptr, nullptr);
        old_ = TestFiles::Read(Old());
        oldLines_ = TestFiles::SplitLines(old_);
        TestFiles::Write(results_ + "/BackupTime.kxf", std::to_string(start_));
    }

    PGFsBackup::OfflineSetup Setup() const {
        PGFsBackup::OfflineSetup setup;
        setup.jobId = 8;
        setup.jobResultsDir = results_;
        setup.serverVersion = "14.1";
        setup.settings = {{"config_file", data_ + "/postgresql.conf"},
                          {"hba_file", data_ + "/pg_hba.conf"},
                          {"ident_file", data_ + "/pg_ident.conf"},
                          {"data_directory", data_}};
        return setup;
    }

    std::string Old() const { return results_ + "/CollectTot1.kxf"; }

    // The restart path of the main start: safety copies, the new collect file, the renames.
    std::string Restart(std::vector<RestartInfo_p> info, long long lastBackupTime) {
        RestartJob job(Setup());
        job.SetLastBackupTime(lastBackupTime);
        job.SetRestartInfo(info);
        job.BackupFiles();
        counts_ = {0, 0};
        job.GenerateNewCollectFile(&counts_.first, &counts_.second);
        newFile_ = TestFiles::Read(Old() + "New");
        job.RenameFiles();
        totalBytes_ = job.getTotBytes();
        return job.GetRestartString();
    }

    // Where the line begins in the text.
    static long long OffsetOfLine(const Lines& lines, std::size_t index) {
        long long offset = 0;
        for (std::size_t i = 0; i < index; ++i)
            offset += static_cast<long long>(lines[i].size()) + 1;
        return offset;
    }

    TempHostHome home_;
    const std::string results_ = home_.file("results");
    const std::string data_ = home_.file("data");
    std::time_t start_ = 0;
    std::string old_;
    Lines oldLines_;
    std::string newFile_;
    std::pair<unsigned long long, unsigned long long> counts_;
    unsigned long long totalBytes_ = 0;
};

TEST_F(CollectFileRestartTest, OffsetZeroCarriesNothingAndListsEverythingAgain) {
    const std::string restart = Restart({{1, 0}}, start_);
    EXPECT_EQ(restart, "-o ");
    EXPECT_EQ(TestFiles::Read(Old()), old_);
    EXPECT_EQ(TestFiles::Read(Old() + ".backup"), old_);
    EXPECT_EQ(TestFiles::Read(Old() + "New.backup"), old_);
    EXPECT_EQ(TestFiles::Read(results_ + "/BackupTime.kxf.backup"), std::to_string(start_));
    EXPECT_FALSE(fs::exists(Old() + "New"));
    EXPECT_FALSE(fs::exists(results_ + "/DeletedFiles.kxf"));
    EXPECT_EQ(counts_.first, 1U);
    EXPECT_EQ(counts_.second, oldLines_.size());
    EXPECT_GT(totalBytes_, 4000U);
}

TEST_F(CollectFileRestartTest, OffsetMinusOneCarriesTheWholeFile) {
    const std::string restart = Restart({{1, -1}}, start_);
    // Every entry is carried, so the walk adds nothing and the file reads as before.
    EXPECT_EQ(newFile_, old_);
    EXPECT_EQ(restart, "-o 1|" + std::to_string(OffsetOfLine(oldLines_, oldLines_.size() - 1)));
    EXPECT_EQ(totalBytes_, 0U) << "carried files are not counted again";
    EXPECT_EQ(counts_.second, oldLines_.size());
}

TEST_F(CollectFileRestartTest, AMidFileOffsetCarriesTheLinesThatBeginBeforeIt) {
    const std::size_t carried = 5;
    const long long offset = OffsetOfLine(oldLines_, carried);
    const std::string restart = Restart({{1, offset}}, start_);
    const Lines lines = TestFiles::SplitLines(newFile_);
    ASSERT_GE(lines.size(), carried);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + carried),
              Lines(oldLines_.begin(), oldLines_.begin() + carried));
    EXPECT_EQ(restart, "-o 1|" + std::to_string(OffsetOfLine(lines, carried - 1)));
    // Nothing is lost; a carried path is not listed a second time by the walk (the server
    // files, listed twice in a full walk, appear once when carried).
    EXPECT_EQ(Names(lines.begin(), lines.end()), Names(oldLines_.begin(), oldLines_.end()));
    for (std::size_t i = 0; i < carried; ++i)
        EXPECT_EQ(std::count(lines.begin(), lines.end(), oldLines_[i]),
                  std::count(oldLines_.begin(), oldLines_.begin() + carried, oldLines_[i]))
            << oldLines_[i];
}

TEST_F(CollectFileRestartTest, AFileModifiedAtOrAfterThePreviousStartIsListedAgainLater) {
    const std::string equal = data_ + "/base/1/1259";
    const std::string later = data_ + "/base/1/1249";
    const std::string older = data_ + "/base/1/2608";
    SetMtime(equal, start_);
    SetMtime(later, start_ + 10);
    SetMtime(older, start_ - 1);
    Restart({{1, -1}}, start_);
    const Lines lines = TestFiles::SplitLines(newFile_);
    ASSERT_EQ(lines.size(), oldLines_.size());
    // Carried entries keep their order and come first; the changed ones follow from the walk.
    Lines carried;
    for (const std::string& line : oldLines_)
        if (line != equal && line != later)
            carried.push_back(line);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + carried.size()), carried);
    EXPECT_EQ(Names(lines.begin() + carried.size(), lines.end()), (Names{equal, later}));
    EXPECT_NE(std::find(carried.begin(), carried.end(), older), carried.end());
    EXPECT_EQ(totalBytes_, 2000U) << "only the two changed files are counted";
}

TEST_F(CollectFileRestartTest, NoPreviousStartTimeCarriesNothing) {
    const std::string restart = Restart({{1, -1}}, 0);
    EXPECT_EQ(restart, "-o 1|0");
    EXPECT_EQ(TestFiles::SplitLines(newFile_).size(), oldLines_.size());
    EXPECT_GT(totalBytes_, 4000U);
}

TEST_F(CollectFileRestartTest, DeletedEntriesOfEveryRestartEntryAreKept) {
    TestFiles::Write(results_ + "/CollectTot2.kxf", data_ + "/base/1/gone-too\n");
    const std::string gone = data_ + "/base/1/2610";
    fs::remove(gone);
    Restart({{1, -1}, {2, -1}}, start_);
    EXPECT_EQ(TestFiles::Read(results_ + "/DeletedFiles.kxf"),
              "Version2\n" + gone + "\n" + data_ + "/base/1/gone-too\n");
    EXPECT_EQ(newFile_.find(gone), std::string::npos);
}

TEST_F(CollectFileRestartTest, AnEscapedLineIsReportedDeletedAndListedAgain) {
    const std::string odd = data_ + "/base/1/odd\nname";
    TestFiles::Write(odd, "o");
    SetMtime(odd, start_ - 50);
    RestartJob first(Setup());
    first.GenerateCollectFile(nullptr, nullptr);
    Restart({{1, -1}}, start_);
    const std::string escaped = data_ + "/base/1/odd%0Aname";
    EXPECT_EQ(TestFiles::Read(results_ + "/DeletedFiles.kxf"), "Version2\n" + escaped + "\n");
    EXPECT_EQ(std::count(newFile_.begin(), newFile_.end(), '%'), 1);
    EXPECT_NE(newFile_.find(escaped + "\n"), std::string::npos);
}

TEST_F(CollectFileRestartTest, ASecondEntryWithNoNewFileIsOnlyLogged) {
    TestFiles::Write(results_ + "/CollectTot2.kxf", data_ + "/base/1/1259\n");
    const std::string restart = Restart({{1, -1}, {2, 0}}, start_);
    EXPECT_EQ(restart.substr(0, 5), "-o 1|");
    EXPECT_EQ(TestFiles::Read(results_ + "/CollectTot2.kxf"), data_ + "/base/1/1259\n");
    EXPECT_FALSE(fs::exists(results_ + "/CollectTot2.kxfNew"));
}

TEST_F(CollectFileRestartTest, AMissingOldCollectFileFailsTheRestart) {
    RestartJob job(Setup());
    job.SetRestartInfo({{3, -1}});
    EXPECT_NE(PGFailure([&] { job.GenerateNewCollectFile(nullptr, nullptr); })
                  .find("Msg:[Error reading file size for Collect File]"),
              std::string::npos);
}

TEST(RestartHelpers, HashIsDjb2OverSignedBytes) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"", 5381ULL}, {"abc", 193485963ULL}, {"\xE9", 177550ULL}, {"a", 177670ULL}};
    for (const auto& [text, hash] : cases)
        EXPECT_EQ(PGFsBackup::hash_function(text), hash) << text;
}

TEST(RestartHelpers, FgetsPReadsOneLineWithinTheBuffer) {
    TempHostHome home;
    const std::string path = home.file("lines");
    TestFiles::Write(path, "abc\ndefgh\n\nlast");
    UniqueFile opened = UniqueFile::Open(path, "r");
    ASSERT_TRUE(opened);
    FILE* const file = opened.get();
    char buffer[8];
    EXPECT_EQ(fgets_p(nullptr, 8, file), nullptr);
    EXPECT_EQ(fgets_p(buffer, 0, file), nullptr);
    EXPECT_EQ(fgets_p(buffer, 8, nullptr), nullptr);
    // Each read with its buffer size; an empty line reads like the end.
    const std::pair<int, const char*> reads[] = {{8, "abc"}, {4, "def"}, {8, "gh"},
                                                 {8, "(end)"}, {8, "last"}, {8, "(end)"}};
    for (const auto& [size, line] : reads)
        EXPECT_STREQ(fgets_p(buffer, size, file) == nullptr ? "(end)" : buffer, line);
}

TEST(RestartHelpers, CreateBackupCopyCopiesOrReportsFailure) {
    TempHostHome home;
    const std::string source = home.file("source");
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    TestFiles::Write(source, content);
    EXPECT_EQ(createBackupCopy(source, home.file("copy")), 0);
    EXPECT_EQ(TestFiles::Read(home.file("copy")), content);
    EXPECT_EQ(createBackupCopy(home.file("missing"), home.file("copy2")), -1);
    EXPECT_FALSE(fs::exists(home.file("copy2")));
    EXPECT_EQ(createBackupCopy(source, home.file("no/such/dir/copy")), -1);
}

} // namespace
