// The walk that writes a full backup's collect file, run on a data directory tree built in a
// temporary directory. The job has no server: the settings the walk reads come from the test.

#include "FsBackupHost.h"
#include "PGFailure.h"
#include "TempHostHome.h"
#include "TestFiles.h"
#include "fsbackup/PGFsBackup.h"
#include "pgulo/host/CollectLine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>

namespace {

using namespace pgulo::test;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

long Count(const Lines& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A data directory as the server lays it out, with its WAL directory, an archive directory
// inside it and a tablespace reached through a relative link.
class CollectFileWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(results_);
        for (const char* dir : {"base/1", "global", "pg_wal/archive_status", "arch", "pg_tblspc"})
            fs::create_directories(data_ + "/" + dir);
        fs::create_directories(root_ + "/ts/PG_12_201909212/16384");
        const std::pair<const char*, std::string> files[] = {
            {"data/PG_VERSION", "12\n"},
            {"data/postgresql.conf", "port = 5432\n"},
            {"data/pg_hba.conf", "local all all trust\n"},
            {"data/pg_ident.conf", ""},
            {"data/base/1/1259", std::string(8192, 'r')},
            {"data/global/pg_control", std::string(512, 'c')},
            {"data/pg_wal/000000010000000000000001", std::string(4096, 'w')},
            {"data/pg_wal/archive_status/000000010000000000000001.ready", ""},
            {"data/arch/000000010000000000000001", std::string(4096, 'a')},
            {"ts/PG_12_201909212/16384/16385", std::string(100, 't')}};
        for (const auto& [name, text] : files)
            TestFiles::Write(root_ + "/" + name, text);
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
    Lines Walk(const PGFsBackup::OfflineSetup& setup, Lines* folders = nullptr) {
        PGFsBackup job(setup);
        counts_ = {99, 99};
        job.GenerateCollectFile(&counts_.first, &counts_.second);
        bytes_ = job.getTotBytes();
        if (folders != nullptr)
            job.GetFolderList(folders);
        return ReadCollectFile(results_ + "/CollectTot1.kxf");
    }
    Lines InData(const Lines& names) const {
        Lines paths;
        for (const std::string& name : names)
            paths.push_back(name.empty() ? data_ : data_ + "/" + name);
        return paths;
    }

    TempHostHome home_;
    const std::string root_ = home_.file("tree");
    const std::string results_ = home_.file("results");
    const std::string data_ = root_ + "/data";
    std::pair<unsigned long long, unsigned long long> counts_;
    unsigned long long bytes_ = 0;
};

TEST_F(CollectFileWalkTest, ListsTheWholeTreeButNoWalOrArchivedSegmentUnlessAsked) {
    // A relative link target must not depend on where the process happens to be.
    const fs::path savedCwd = fs::current_path();
    fs::current_path("/");
    Lines folders;
    const Lines lines = Walk(Setup(), &folders);
    fs::current_path(savedCwd);

    // The three server files come first, then again from the data directory's listing.
    Lines expected = InData({"postgresql.conf", "pg_hba.conf", "pg_ident.conf", "", "PG_VERSION",
                             "postgresql.conf", "pg_hba.conf", "pg_ident.conf", "base", "base/1",
                             "base/1/1259", "global", "global/pg_control", "pg_wal",
                             "pg_wal/archive_status", "arch", "pg_tblspc", "pg_tblspc/16385"});
    const std::string tablespace = data_ + "/pg_tblspc/../../ts";
    for (const char* name : {"", "/PG_12_201909212", "/PG_12_201909212/16384",
                             "/PG_12_201909212/16384/16385"})
        expected.push_back(tablespace + name);
    ASSERT_EQ(Sorted(lines), Sorted(expected));
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 4),
              Lines(expected.begin(), expected.begin() + 4));
    // Files of a directory come before its subdirectories.
    const auto at = [&](const std::string& path) {
        return std::find(lines.begin(), lines.end(), path) - lines.begin();
    };
    EXPECT_LT(at(data_ + "/PG_VERSION"), at(data_ + "/base"));
    EXPECT_LT(at(data_ + "/base"), at(data_ + "/base/1"));
    EXPECT_LT(at(data_ + "/base/1"), at(data_ + "/base/1/1259"));
    EXPECT_EQ(folders, Lines{tablespace});
    EXPECT_EQ(counts_.first, 1U);
    EXPECT_EQ(counts_.second, lines.size());
    EXPECT_EQ(bytes_, 2 * (12U + 20) + 3 + 8192 + 512 + 100) << "server files count twice";

    // The dir change file describes the tree: its head names every parent of the data
    // directory; excluded listings give their directory's line but no file lines.
    const Lines changes = TestFiles::ReadLines(results_ + "/DCTmp.kxf");
    Lines head = {"Version2", "/"};
    for (auto slash = data_.find('/', 1); slash != std::string::npos;
         slash = data_.find('/', slash + 1))
        head.push_back(data_.substr(0, slash));
    head.push_back(data_);
    ASSERT_GE(changes.size(), head.size());
    EXPECT_EQ(Lines(changes.begin(), changes.begin() + head.size()), head);
    const auto change = [&](const std::string& line) {
        return std::find(changes.begin(), changes.end(), line) - changes.begin();
    };
    EXPECT_LT(change(data_ + "/base/1"), change("\t1259"));
    EXPECT_LT(change("\tPG_VERSION"), change(data_ + "/pg_wal"));
    EXPECT_EQ(Count(changes, data_ + "/pg_wal"), 1);
    EXPECT_EQ(Count(changes, "\t000000010000000000000001"), 0);

    PGFsBackup::OfflineSetup all = Setup();
    all.exclude = false;
    for (const char* name : {"pg_wal/000000010000000000000001",
                             "pg_wal/archive_status/000000010000000000000001.ready",
                             "arch/000000010000000000000001"})
        expected.push_back(data_ + "/" + name);
    EXPECT_EQ(Sorted(Walk(all)), Sorted(expected));
}

TEST_F(CollectFileWalkTest, ARelocatedWalDirectoryIsReachedThroughItsLink) {
    fs::remove_all(data_ + "/pg_wal");
    const std::string wal = root_ + "/walreal/pg_wal";
    fs::create_directories(wal + "/archive_status");
    TestFiles::Write(wal + "/000000010000000000000002", std::string(4096, 'w'));
    fs::create_directory_symlink(wal, data_ + "/pg_wal");

    Lines folders;
    const Lines lines = Walk(Setup(), &folders);
    // The exclusion compares paths as text, so the target's segments are listed.
    for (const std::string& path : {data_ + "/pg_wal", wal, wal + "/archive_status",
                                    wal + "/000000010000000000000002"})
        EXPECT_EQ(Count(lines, path), 1) << path;
    EXPECT_EQ(Count(folders, wal), 1);
}

TEST_F(CollectFileWalkTest, NamesWithLineBreaksAndPercentStayOnOneLine) {
    for (const std::string name : {"new\nline", "car\rriage", "100%", "%0A"})
        TestFiles::Write(data_ + "/base/1/" + name, "x");
    Walk(Setup());
    const std::string raw = TestFiles::Read(results_ + "/CollectTot1.kxf");
    for (const char* line : {"new%0Aline", "car%0Driage", "100%25", "%250A"})
        EXPECT_NE(raw.find(data_ + "/base/1/" + line + "\n"), std::string::npos) << line;
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

    const Lines lines = Walk(Setup());
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

    const Lines lines = Walk(Setup());
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
    EXPECT_NE(PGFailure([&] { Walk(setup); }).find("Type:[UNKNOWN_EXCEPTION]"), std::string::npos);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(counts_.first, 99U) << "no count for a walk cut short";
}

TEST_F(CollectFileWalkTest, AConfigFileOutsideIsListedOnceUnderItsPhysicalPath) {
    fs::create_directories(root_ + "/etc-real");
    fs::create_directory_symlink(root_ + "/etc-real", root_ + "/etc");
    TestFiles::Write(root_ + "/etc-real/postgresql.conf", "port = 5432\n");
    fs::remove(data_ + "/postgresql.conf");
    PGFsBackup::OfflineSetup setup = Setup();
    setup.settings["config_file"] = root_ + "/etc/postgresql.conf";
    const Lines lines = Walk(setup);
    const std::string physical = fs::canonical(root_ + "/etc-real").string() + "/postgresql.conf";
    EXPECT_EQ(lines[0], physical);
    EXPECT_EQ(Count(lines, physical), 1);
    EXPECT_EQ(Count(lines, root_ + "/etc/postgresql.conf"), 0);
}

TEST_F(CollectFileWalkTest, AMissingServerFileFailsWithItsOwnMessage) {
    // Set to a missing file, or (set false) not there at all.
    const struct {
        const char* setting;
        bool set;
        const char* message;
    } cases[] = {
        {"config_file", true, "Config file is missing"}, {"hba_file", true, "hbafile is missing"},
        {"ident_file", true, "ident_file is missing"},
        {"data_directory", true, "data_dir is missing"},
        {"hba_file", false, "hba_filecould not be obtained"},
    };
    for (const auto& c : cases) {
        PGFsBackup::OfflineSetup setup = Setup();
        setup.settings[c.setting] = root_ + "/nowhere/file";
        if (!c.set)
            setup.settings.erase(c.setting);
        EXPECT_NE(PGFailure([&] { Walk(setup); }).find("Msg:[" + std::string(c.message) + "]"),
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
    const struct {
        std::string path;
        int result;
        std::string actual;
    } cases[] = {
        {home.file("link") + "/file", 0, physical + "/file"},
        {home.file("link") + "/filelink", 0, physical + "/filelink"},
        {real + "/not-yet", 0, physical + "/not-yet"},
        {"/postgresql.conf", 0, "/postgresql.conf"},
        {"plainname", 0, "unchanged"},
        {home.file("missing") + "/file", -1, home.file("missing")},
    };
    for (const auto& c : cases) {
        std::string actual = "unchanged";
        EXPECT_EQ(getActualPath(c.path, actual), c.result) << c.path;
        EXPECT_EQ(actual, c.actual) << c.path;
        EXPECT_EQ(fs::current_path(), cwd);
    }
}

} // namespace
