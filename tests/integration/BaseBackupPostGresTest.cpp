#include "pgulo/BaseBackupPostGres.h"

#include "PgCluster.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using Lines = std::vector<std::string>;

// pg_start_backup with a label alone (exclusive backup mode) exists up to release 14.
constexpr int kMajor = 14;

class BaseBackupPostGresTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<TempTree>("pgulo-basebackup");
        ::setenv("PGULO_HOME", home_->Root().c_str(), 1);
        EvDebug::reloadSettings();
        EvDebug::setJobContext("basebackup-test", 4242);
    }
    static void TearDownTestSuite() { home_.reset(); }

    void SetUp() override {
        PGULO_REQUIRE_MAJOR(kMajor);
        cluster_ = &SharedCluster(kMajor, {"basebackup", 0, {}, false});
        // psql names no host: the socket comes from the environment.
        ::setenv("PGHOST", cluster_->socketDir().c_str(), 1);
        dir_ = home_->Dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { StopBackup(); }

    bool InBackup() const { return cluster_->psql("SELECT pg_is_in_backup()") == "t"; }
    void StopBackup() const {
        if (cluster_ && InBackup())
            cluster_->psql("SELECT pg_stop_backup()");
    }

    void Init(BaseBackupPostGres& backup, const std::string& dataDir, const std::string& port = "",
              const std::string& user = "postgres", const std::string& collectFile = "") const {
        ASSERT_EQ(backup.init(PgInstall::clientBinDir(), user,
                              port.empty() ? std::to_string(cluster_->port()) : port, "unused",
                              dataDir, collectFile.empty() ? CollectFile() : collectFile),
                  0);
    }
    std::string CollectFile() const { return dir_ + "/collect.txt"; }

    // The lines of the collect file a walk of the data directory writes; the walk must work.
    Lines Collected(const std::string& dataDir) const {
        BaseBackupPostGres backup;
        Init(backup, dataDir);
        EXPECT_EQ(backup.CreatePostGresCollectFile(), 0);
        return TestFiles::ReadLines(CollectFile());
    }

    // A small tree standing in for a data directory: files, nested directories, links to a
    // directory and to a file, a pipe, and a directory whose name ends in a newline holding
    // etc/shadow: read line by line, a collect file listing it would name /etc/shadow.
    std::string MakeTree() const {
        const std::string data = dir_ + "/tree/data";
        fs::create_directories(data + "/sub/deeper");
        TestFiles::Write(data + "/a.txt", "a");
        TestFiles::Write(data + "/sub/b.txt", "b");
        TestFiles::Write(data + "/sub/deeper/c.txt", "c");
        fs::create_directories(dir_ + "/outside");
        TestFiles::Write(dir_ + "/outside/secret.txt", "s");
        fs::create_directory_symlink(dir_ + "/outside", data + "/pg_wal");
        fs::create_symlink(data + "/a.txt", data + "/a_link");
        ::mkfifo((data + "/pipe").c_str(), 0600);
        fs::create_directories(data + "/evil\n/etc");
        TestFiles::Write(data + "/evil\n/etc/shadow", "x");
        return data;
    }

    static inline std::unique_ptr<TempTree> home_;
    PgCluster* cluster_ = nullptr;
    std::string dir_;
};

TEST_F(BaseBackupPostGresTest, CollectFileListsParentsThenTheTreeWithoutLinks) {
    const std::string data = MakeTree();
    const Lines lines = Collected(data);
    // Every proper parent ending in "/", shortest first, then the data directory.
    Lines parents;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == '/')
            parents.push_back(data.substr(0, i + 1));
    ASSERT_GT(lines.size(), parents.size());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + parents.size()), parents);
    EXPECT_EQ(parents.front(), "/");
    EXPECT_EQ(lines[parents.size()], data);

    const Lines tree(lines.begin() + parents.size(), lines.end());
    EXPECT_EQ(std::set<std::string>(tree.begin(), tree.end()),
              (std::set<std::string>{data, data + "/a.txt", data + "/sub", data + "/sub/b.txt",
                                     data + "/sub/deeper", data + "/sub/deeper/c.txt"}));
    EXPECT_EQ(tree.size(), 6u);
    // A directory comes before what it holds.
    auto at = [&](const std::string& line) {
        return std::find(tree.begin(), tree.end(), line) - tree.begin();
    };
    EXPECT_LT(at(data + "/sub"), at(data + "/sub/b.txt"));
    EXPECT_LT(at(data + "/sub"), at(data + "/sub/deeper"));
    EXPECT_LT(at(data + "/sub/deeper"), at(data + "/sub/deeper/c.txt"));
    EXPECT_TRUE(InBackup());

    // A trailing slash of the data directory is dropped.
    StopBackup();
    EXPECT_EQ(Collected(data + "/"), lines);
}

TEST_F(BaseBackupPostGresTest, RealDataDirectoryInBackupModeListsItsBackupLabel) {
    const Lines lines = Collected(cluster_->dataDir());
    for (const char* name :
         {"/PG_VERSION", "/global", "/global/pg_control", "/base", "/backup_label", "/pg_wal"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), cluster_->dataDir() + name), lines.end())
            << name;
    // The label is "label" and the job id.
    const std::string label = TestFiles::Read(cluster_->dataDir() + "/backup_label");
    EXPECT_NE(label.find("LABEL: label4242\n"), std::string::npos) << label;
}

// A user and port holding shell syntax reach psql as values and run nothing else.
TEST_F(BaseBackupPostGresTest, StartAndStopPairUpAndHostileValuesRunNothingElse) {
    const std::string data = MakeTree();
    BaseBackupPostGres backup;
    Init(backup, data);
    EXPECT_EQ(backup.stopBackup(), -1);
    ASSERT_EQ(backup.startBackup(), 0);
    ASSERT_TRUE(InBackup());
    EXPECT_EQ(backup.startBackup(), -1);
    EXPECT_EQ(backup.stopBackup(), 0);
    EXPECT_FALSE(InBackup());
    EXPECT_FALSE(fs::exists(cluster_->dataDir() + "/backup_label"));

    const std::string marker = dir_ + "/pwned";
    ::setenv("PGULO_BB_MARKER", marker.c_str(), 1);
    BaseBackupPostGres hostile;
    Init(hostile, data, "$(touch $PGULO_BB_MARKER)", "postgres; touch $PGULO_BB_MARKER");
    EXPECT_EQ(hostile.startBackup(), -1);
    EXPECT_EQ(hostile.stopBackup(), -1);
    EXPECT_FALSE(fs::exists(marker));
}

// A walk fails when psql does (leaving an empty collect file), when the collect file cannot be
// opened (beginning no backup mode) and when the data directory is missing (after its parents).
TEST_F(BaseBackupPostGresTest, FailedWalksAreReported) {
    const std::string data = MakeTree();
    BaseBackupPostGres noServer;
    Init(noServer, data, "1");
    EXPECT_EQ(noServer.CreatePostGresCollectFile(), -1);
    EXPECT_TRUE(fs::exists(CollectFile()));
    EXPECT_EQ(TestFiles::Read(CollectFile()), "");
    EXPECT_FALSE(InBackup());

    BaseBackupPostGres noFile;
    Init(noFile, data, "", "postgres", dir_ + "/no/such/dir/collect.txt");
    EXPECT_EQ(noFile.CreatePostGresCollectFile(), -1);
    EXPECT_FALSE(InBackup());

    BaseBackupPostGres noData;
    Init(noData, dir_ + "/absent");
    EXPECT_EQ(noData.CreatePostGresCollectFile(), -1);
    const Lines lines = TestFiles::ReadLines(CollectFile());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), dir_ + "/");
}

TEST_F(BaseBackupPostGresTest, WalkStepsReportWhatTheyCouldRead) {
    const std::string data = MakeTree();
    BaseBackupPostGres backup;
    Init(backup, data);
    UniqueFile file = UniqueFile::Open(CollectFile(), "w");
    ASSERT_TRUE(file);
    EXPECT_EQ(backup.dirwalk((data + "/sub").c_str(), file.get()), 1);
    EXPECT_EQ(backup.dirwalk((data + "/absent").c_str(), file.get()), 0);
    EXPECT_EQ(backup.getDirContent((data + "/absent").c_str(), file.get()), -1);
    EXPECT_EQ(backup.getDirContent((data + "/a_link").c_str(), file.get()), 0);
    ASSERT_EQ(file.close(), 0);
    const Lines lines = TestFiles::ReadLines(CollectFile());
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
              (std::set<std::string>{data + "/sub/b.txt", data + "/sub/deeper",
                                     data + "/sub/deeper/c.txt"}));
}

} // namespace
