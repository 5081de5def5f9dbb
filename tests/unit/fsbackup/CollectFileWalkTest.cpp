// The walk that writes a full backup's collect file, run on a data directory tree built in a
// temporary directory. The job has no server: the settings the walk reads come from the test.

#include "PGFailure.h"
#include "TempHostHome.h"
#include "pgulo/host/CollectLine.h"
#include "TestFiles.h"
#include "fsbackup/CollectFileManager.h"
#include "fsbackup/PGFsBackup.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace pgulo::test;

namespace fs = std::filesystem;

long Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

// A data directory as the server lays it out, with its WAL directory, an archive directory
// inside it and a tablespace reached through a relative link.
class CollectFileWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = home_.file("tree");
        results_ = home_.file("results");
        data_ = root_ + "/data";
        fs::create_directories(results_);
        for (const char* dir : {"base/1", "global", "pg_wal/archive_status", "arch", "pg_tblspc"})
            fs::create_directories(data_ + "/" + dir);
        fs::create_directories(root_ + "/ts/PG_12_201909212/16384");
        TestFiles::Write(data_ + "/PG_VERSION", "12\n");
        TestFiles::Write(data_ + "/postgresql.conf", "port = 5432\n");
        TestFiles::Write(data_ + "/pg_hba.conf", "local all all trust\n");
        TestFiles::Write(data_ + "/pg_ident.conf", "");
        TestFiles::Write(data_ + "/base/1/1259", std::string(8192, 'r'));
        TestFiles::Write(data_ + "/global/pg_control", std::string(512, 'c'));
        TestFiles::Write(data_ + "/pg_wal/000000010000000000000001", std::string(4096, 'w'));
        TestFiles::Write(data_ + "/pg_wal/archive_status/000000010000000000000001.ready", "");
        TestFiles::Write(data_ + "/arch/000000010000000000000001", std::string(4096, 'a'));
        TestFiles::Write(root_ + "/ts/PG_12_201909212/16384/16385", std::string(100, 't'));
        fs::create_directory_symlink("../../ts", data_ + "/pg_tblspc/16385");
    }

    PGFsBackup::OfflineSetup Setup() const {
        PGFsBackup::OfflineSetup setup;
        setup.jobId = 7;
        setup.jobResultsDir = results_;
        setup.archiveLogDir = data_ + "/arch";
        setup.serverVersion = "12.3";
        setup.settings = {{"config_file", data_ + "/postgresql.conf"},
                          {"hba_file", data_ + "/pg_hba.conf"},
                          {"ident_file", data_ + "/pg_ident.conf"},
                          {"data_directory", data_}};
        return setup;
    }

    // Runs the walk and returns the collect file's lines as the host reads them.
    std::vector<std::string> Generate(PGFsBackup& job) {
        counts_ = {99, 99};
        job.GenerateCollectFile(&counts_.first, &counts_.second);
        std::vector<std::string> lines;
        for (const std::string& line : TestFiles::SplitLines(TestFiles::Read(results_ + "/CollectTot1.kxf")))
            lines.push_back(CollectLine::Decode(line));
        return lines;
    }

    TempHostHome home_;
    std::string root_;
    std::string results_;
    std::string data_;
    std::pair<unsigned long long, unsigned long long> counts_;
};

TEST_F(CollectFileWalkTest, ListsTheWholeTreeButNoWalOrArchivedSegment) {
    // A relative link target must not depend on where the process happens to be.
    const fs::path savedCwd = fs::current_path();
    fs::current_path("/");
    PGFsBackup job(Setup());
    const std::vector<std::string> lines = Generate(job);
    fs::current_path(savedCwd);

    const std::string tablespace = data_ + "/pg_tblspc/../../ts";
    for (const std::string& expected :
         {data_, data_ + "/PG_VERSION", data_ + "/base", data_ + "/base/1", data_ + "/base/1/1259",
          data_ + "/global/pg_control", data_ + "/pg_wal", data_ + "/pg_wal/archive_status",
          data_ + "/arch", data_ + "/pg_tblspc", data_ + "/pg_tblspc/16385", tablespace,
          tablespace + "/PG_12_201909212/16384/16385"}) {
        EXPECT_EQ(Count(lines, expected), 1) << expected;
    }
    // The three server files come first, then again from the data directory's listing.
    EXPECT_EQ(lines[0], data_ + "/postgresql.conf");
    EXPECT_EQ(lines[1], data_ + "/pg_hba.conf");
    EXPECT_EQ(lines[2], data_ + "/pg_ident.conf");
    EXPECT_EQ(lines[3], data_);
    EXPECT_EQ(Count(lines, data_ + "/postgresql.conf"), 2);
    // Files of a directory come before its subdirectories.
    const auto at = [&](const std::string& path) {
        return std::find(lines.begin(), lines.end(), path) - lines.begin();
    };
    EXPECT_LT(at(data_ + "/PG_VERSION"), at(data_ + "/base"));
    EXPECT_LT(at(data_ + "/base"), at(data_ + "/base/1"));
    EXPECT_LT(at(data_ + "/base/1"), at(data_ + "/base/1/1259"));

    EXPECT_EQ(Count(lines, data_ + "/pg_wal/000000010000000000000001"), 0);
    EXPECT_EQ(Count(lines, data_ + "/pg_wal/archive_status/000000010000000000000001.ready"), 0);
    EXPECT_EQ(Count(lines, data_ + "/arch/000000010000000000000001"), 0);

    std::vector<std::string> folders;
    job.GetFolderList(&folders);
    EXPECT_EQ(folders, std::vector<std::string>{tablespace});

    EXPECT_EQ(counts_.first, 1U);
    EXPECT_EQ(counts_.second, lines.size());
    unsigned long long bytes = 0;
    for (const std::string& line : lines) {
        struct stat st {};
        if (::lstat(line.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            bytes += static_cast<unsigned long long>(st.st_size);
    }
    EXPECT_EQ(job.getTotBytes(), bytes);
}

TEST_F(CollectFileWalkTest, TheDirChangeFileDescribesTheTree) {
    PGFsBackup job(Setup());
    Generate(job);
    const std::vector<std::string> lines = TestFiles::SplitLines(TestFiles::Read(results_ + "/DCTmp.kxf"));
    std::vector<std::string> head = {"Version2", "/"};
    for (std::string::size_type slash = data_.find('/', 1); slash != std::string::npos;
         slash = data_.find('/', slash + 1))
        head.push_back(data_.substr(0, slash));
    head.push_back(data_);
    ASSERT_GE(lines.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + head.size()), head);

    const auto at = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    EXPECT_LT(at(data_ + "/base/1"), at("\t1259"));
    EXPECT_LT(static_cast<std::size_t>(at("\tPG_VERSION")), lines.size());
    // Excluded listings give their directory's line but no file lines.
    EXPECT_LT(static_cast<std::size_t>(at(data_ + "/pg_wal")), lines.size());
    EXPECT_EQ(static_cast<std::size_t>(at("\t000000010000000000000001")), lines.size());
}

TEST_F(CollectFileWalkTest, WithoutTheExclusionFlagTheWalSegmentsAreListed) {
    PGFsBackup::OfflineSetup setup = Setup();
    setup.exclude = false;
    PGFsBackup job(setup);
    const std::vector<std::string> lines = Generate(job);
    EXPECT_EQ(Count(lines, data_ + "/pg_wal/000000010000000000000001"), 1);
    EXPECT_EQ(Count(lines, data_ + "/arch/000000010000000000000001"), 1);
}

TEST_F(CollectFileWalkTest, ARelocatedWalDirectoryIsReachedThroughItsLink) {
    fs::remove_all(data_ + "/pg_wal");
    const std::string wal = root_ + "/walreal/pg_wal";
    fs::create_directories(wal + "/archive_status");
    TestFiles::Write(wal + "/000000010000000000000002", std::string(4096, 'w'));
    fs::create_directory_symlink(wal, data_ + "/pg_wal");

    PGFsBackup job(Setup());
    const std::vector<std::string> lines = Generate(job);
    EXPECT_EQ(Count(lines, data_ + "/pg_wal"), 1);
    EXPECT_EQ(Count(lines, wal), 1);
    EXPECT_EQ(Count(lines, wal + "/archive_status"), 1);
    // The exclusion compares paths as text, so the target's segments are listed.
    EXPECT_EQ(Count(lines, wal + "/000000010000000000000002"), 1);
    std::vector<std::string> folders;
    job.GetFolderList(&folders);
    EXPECT_NE(std::find(folders.begin(), folders.end(), wal), folders.end());
}

TEST_F(CollectFileWalkTest, NamesWithLineBreaksAndPercentStayOnOneLine) {
    const std::vector<std::string> names = {"new\nline", "car\rriage", "100%", "%0A"};
    for (const std::string& name : names)
        TestFiles::Write(data_ + "/base/1/" + name, "x");
    PGFsBackup job(Setup());
    Generate(job);
    const std::string raw = TestFiles::Read(results_ + "/CollectTot1.kxf");
    EXPECT_NE(raw.find(data_ + "/base/1/new%0Aline\n"), std::string::npos);
    EXPECT_NE(raw.find(data_ + "/base/1/car%0Driage\n"), std::string::npos);
    EXPECT_NE(raw.find(data_ + "/base/1/100%25\n"), std::string::npos);
    EXPECT_NE(raw.find(data_ + "/base/1/%250A\n"), std::string::npos);
    EXPECT_EQ(raw.find('\r'), std::string::npos);
    for (const std::string& line : TestFiles::SplitLines(raw)) {
        struct stat st {};
        EXPECT_EQ(::lstat(CollectLine::Decode(line).c_str(), &st), 0) << line;
    }
}

TEST_F(CollectFileWalkTest, LinkLoopsAreListedButEachDirectoryIsWalkedOnce) {
    fs::create_directories(data_ + "/a/b");
    TestFiles::Write(data_ + "/a/b/file", "f");
    fs::create_directory_symlink("..", data_ + "/a/b/up");
    fs::create_directory_symlink(".", data_ + "/a/self");
    fs::create_directory_symlink(data_, data_ + "/a/b/top");
    fs::create_symlink("l2", data_ + "/a/l1");
    fs::create_symlink("l1", data_ + "/a/l2");
    fs::create_symlink("missing", data_ + "/a/dangling");

    PGFsBackup job(Setup());
    const std::vector<std::string> lines = Generate(job);
    std::map<std::string, int> walked;
    for (const std::string& line : lines) {
        struct stat st {};
        if (::lstat(line.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            ++walked[fs::canonical(line).string()];
    }
    for (const auto& [dir, times] : walked)
        EXPECT_EQ(times, 1) << dir;
    EXPECT_EQ(walked.count(fs::canonical(data_ + "/a/b").string()), 1U);
    for (const char* link : {"/a/b/up", "/a/self", "/a/b/top", "/a/l1", "/a/l2", "/a/dangling"})
        EXPECT_GE(Count(lines, data_ + link), 1) << link;
    EXPECT_EQ(Count(lines, data_ + "/a/b/file"), 1);
}

TEST_F(CollectFileWalkTest, PathsLongerThanAnyFixedBufferAreListed) {
    // 24 levels of 200-character names: longer than 2,048 bytes and than PATH_MAX.
    const std::string name(200, 'd');
    int fd = ::open(data_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string deep = data_;
    for (int level = 0; level < 24; ++level) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        deep += "/" + name;
    }
    const int leaf = ::openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(leaf, 0);
    ASSERT_EQ(::write(leaf, "leaf", 4), 4);
    ::close(leaf);
    ::symlinkat("leaf", fd, "leaflink");
    ::close(fd);
    ASSERT_GT(deep.size(), static_cast<std::size_t>(PATH_MAX));

    PGFsBackup job(Setup());
    const std::vector<std::string> lines = Generate(job);
    EXPECT_EQ(Count(lines, deep + "/leaf"), 2) << "listed, and reached again through the link";
    EXPECT_EQ(Count(lines, deep + "/leaflink"), 1);
    EXPECT_EQ(Count(lines, data_ + "/" + name), 1);
    // The tree is too deep for std::filesystem to remove.
    ASSERT_EQ(std::system(("rm -rf '" + data_ + "/" + name + "'").c_str()), 0);
}

TEST_F(CollectFileWalkTest, AQuitRequestStopsTheWalkAtTheNextEntry) {
    int calls = 0;
    PGFsBackup::OfflineSetup setup = Setup();
    setup.quitFlag = [](void* context) { return ++*static_cast<int*>(context) >= 5; };
    setup.quitFlagContext = &calls;
    PGFsBackup job(setup);
    unsigned long long collectFiles = 0;
    unsigned long long files = 0;
    EXPECT_NE(PGFailure([&] { job.GenerateCollectFile(&collectFiles, &files); })
                  .find("Type:[UNKNOWN_EXCEPTION]"),
              std::string::npos);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(collectFiles, 0U);
}

TEST_F(CollectFileWalkTest, AConfigFileOutsideIsListedOnceUnderItsPhysicalPath) {
    fs::create_directories(root_ + "/etc-real");
    fs::create_directory_symlink(root_ + "/etc-real", root_ + "/etc");
    TestFiles::Write(root_ + "/etc-real/postgresql.conf", "port = 5432\n");
    fs::remove(data_ + "/postgresql.conf");
    PGFsBackup::OfflineSetup setup = Setup();
    setup.settings["config_file"] = root_ + "/etc/postgresql.conf";
    PGFsBackup job(setup);
    const std::vector<std::string> lines = Generate(job);
    const std::string physical = fs::canonical(root_ + "/etc-real").string() + "/postgresql.conf";
    EXPECT_EQ(lines[0], physical);
    EXPECT_EQ(Count(lines, physical), 1);
    EXPECT_EQ(Count(lines, root_ + "/etc/postgresql.conf"), 0);
}

TEST_F(CollectFileWalkTest, AMissingServerFileFailsWithItsOwnMessage) {
    const std::string missing = root_ + "/nowhere/file";
    const struct {
        const char* setting;
        bool set; // false: the setting is not there at all
        const char* message;
    } cases[] = {
        {"config_file", true, "Msg:[Config file is missing]"},
        {"hba_file", true, "Msg:[hbafile is missing]"},
        {"ident_file", true, "Msg:[ident_file is missing]"},
        {"data_directory", true, "Msg:[data_dir is missing]"},
        {"hba_file", false, "Msg:[hba_filecould not be obtained]"},
    };
    for (const auto& c : cases) {
        PGFsBackup::OfflineSetup setup = Setup();
        setup.settings[c.setting] = missing;
        if (!c.set)
            setup.settings.erase(c.setting);
        PGFsBackup job(setup);
        EXPECT_NE(PGFailure([&] { job.GenerateCollectFile(nullptr, nullptr); }).find(c.message),
                  std::string::npos)
            << c.setting;
    }
}

TEST(GetActualPath, ResolvesLinksInTheDirectoryPartOnly) {
    TempHostHome home;
    const std::string real = home.file("real");
    fs::create_directories(real);
    fs::create_directory_symlink(real, home.file("link"));
    TestFiles::Write(real + "/file", "x");
    fs::create_symlink(real + "/file", real + "/filelink");
    const std::string physical = fs::canonical(real).string();
    const fs::path cwd = fs::current_path();

    struct Case {
        std::string path;
        int result;
        std::string actual;
    } const cases[] = {
        {home.file("link") + "/file", 0, physical + "/file"},
        {home.file("link") + "/filelink", 0, physical + "/filelink"},
        {real + "/not-yet", 0, physical + "/not-yet"},
        {"/postgresql.conf", 0, "/postgresql.conf"},
        {"plainname", 0, "unchanged"},
        {home.file("missing") + "/file", -1, home.file("missing")},
    };
    for (const Case& c : cases) {
        std::string actual = "unchanged";
        EXPECT_EQ(getActualPath(c.path, actual), c.result) << c.path;
        EXPECT_EQ(actual, c.actual) << c.path;
        EXPECT_EQ(fs::current_path(), cwd);
    }
}

} // namespace
