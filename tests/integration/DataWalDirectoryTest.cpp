#include "pgulo/ExecutePostgre.h"
#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PostgresHelperClass.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/EvEvent.h"

#include "PgCluster.h"
#include "PgInstall.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pgulo::test::PgCluster;
using pgulo::test::PgInstall;
using pgulo::test::TempHostHome;
using pgulo::test::TempTree;
using pgulo::test::TestFiles;

// The debug log lines written since the object was made.
class LogWatch {
public:
    LogWatch() : start_(TestFiles::Read(EvDebug::logFilePath()).size()) {}
    std::string Since() const { return TestFiles::Read(EvDebug::logFilePath()).substr(start_); }

private:
    size_t start_;
};

uid_t Uid(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return static_cast<uid_t>(-1);
    return st.st_uid;
}

void GiveTo(const std::string& path, const passwd* user) {
    if (::lchown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("chown " + path + " failed");
}

class DataWalDirectoryTest : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { home_ = std::make_unique<TempHostHome>(); }
    static void TearDownTestSuite() {
        clusters_.clear();
        home_.reset();
    }

    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        postgres_ = ::getpwnam("postgres");
        if (::geteuid() != 0 || postgres_ == nullptr)
            GTEST_SKIP() << "needs root and the postgres user";
        auto& slot = clusters_[GetParam()];
        if (!slot) {
            PgCluster::Options options;
            options.name = "dirs-" + std::to_string(GetParam());
            slot = std::make_unique<PgCluster>(GetParam(), options);
            slot->start();
        }
        cluster_ = slot.get();
        tree_ = std::make_unique<TempTree>("pgulo-dirs");
    }

    GetPostgresInfo Info() const {
        GetPostgresInfo info;
        info.datafilePath = cluster_->libDir();
        info.binaryPath = cluster_->binDir();
        info.saUser = "postgres";
        info.configFile = "postgres";
        info.HostAddr = cluster_->socketDir();
        info.Port = std::to_string(cluster_->port());
        info.archlogFile = cluster_->archiveDir();
        return info;
    }

    int InitExecutor(ExecutePostgre& executor) const {
        return executor.init(cluster_->libDir(), cluster_->binDir(), "postgres", "", "postgres",
                             cluster_->socketDir(), std::to_string(cluster_->port()));
    }

    // An empty directory for a tablespace, owned by the server's user.
    std::string TablespaceDir(const std::string& name) const {
        const std::string dir = tree_->Path(name);
        fs::create_directory(dir);
        GiveTo(dir, postgres_);
        return dir;
    }

    static std::unique_ptr<TempHostHome> home_;
    static std::map<int, std::unique_ptr<PgCluster>> clusters_;
    PgCluster* cluster_ = nullptr;
    const passwd* postgres_ = nullptr;
    std::unique_ptr<TempTree> tree_;
};
std::unique_ptr<TempHostHome> DataWalDirectoryTest::home_;
std::map<int, std::unique_ptr<PgCluster>> DataWalDirectoryTest::clusters_;

// ---- ValidateWalDirectory

TEST_P(DataWalDirectoryTest, ArchiveDirectoryNamedByArchiveCommandPassesSilently) {
    for (const std::string suffix : {"", "/"}) {
        GetPostgresInfo info = Info();
        info.archlogFile += suffix;
        LogWatch log;
        EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(&info), 0);
        EXPECT_EQ(log.Since().find("Warning: Unable to find Archive WAL directory"),
                  std::string::npos)
            << log.Since();
    }
}

TEST_P(DataWalDirectoryTest, AnotherArchiveDirectoryIsOnlyAWarning) {
    GetPostgresInfo info = Info();
    info.archlogFile = tree_->Path("");
    LogWatch log;
    EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(&info), 0);
    EXPECT_NE(log.Since().find("Warning: Unable to find Archive WAL directory [" +
                               info.archlogFile + "%f]"),
              std::string::npos)
        << log.Since();
}

TEST_P(DataWalDirectoryTest, ArchiveDirectoryThatIsAFileOrMissingFails) {
    GetPostgresInfo info = Info();
    info.archlogFile = tree_->Path("a-file");
    std::ofstream(info.archlogFile) << "not a directory";
    EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(&info), -1);
    EXPECT_STREQ(PGLastError(nullptr),
                 "Wal directory is a file. Please give valid WAL directory name.");

    info.archlogFile = tree_->Path("missing");
    EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(&info), -1);
    EXPECT_STREQ(PGLastError(nullptr), "Invalid archive log directory.");
}

TEST_P(DataWalDirectoryTest, UnreachableServerFailsValidation) {
    GetPostgresInfo info = Info();
    info.Port = "1";
    EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(&info), -1);
    EXPECT_STREQ(PGLastError(nullptr), "Failed to connect to PostgreSQL server");
    EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(nullptr), -1);
}

// ---- GetDbDirs

TEST_P(DataWalDirectoryTest, ClusterWithoutTablespacesListsTheDataDirectoryOnly) {
    ExecutePostgre executor;
    ASSERT_EQ(InitExecutor(executor), 0);
    EvEvent event;
    std::vector<std::string> dirs{"kept"};
    std::string dataDir;

    ASSERT_EQ(PostgresHelperClass::GetDbDirs(&event, &executor, dirs, dataDir), 0);

    const std::string physical = fs::canonical(cluster_->dataDir()).string();
    EXPECT_EQ(dataDir, physical);
    EXPECT_EQ(dirs, (std::vector<std::string>{"kept", physical}));
}

TEST_P(DataWalDirectoryTest, TablespacesAreListedByTheirPhysicalPaths) {
    const std::string plain = TablespaceDir("ts-plain");
    const std::string real = TablespaceDir("ts-real");
    const std::string link = tree_->Path("ts-link");
    fs::create_directory_symlink(real, link);
    cluster_->psql("CREATE TABLESPACE ts_plain LOCATION '" + plain + "'");
    cluster_->psql("CREATE TABLESPACE ts_linked LOCATION '" + link + "'");
    struct DropTablespaces {
        PgCluster* cluster;
        ~DropTablespaces() {
            cluster->tryPsql("DROP TABLESPACE IF EXISTS ts_plain");
            cluster->tryPsql("DROP TABLESPACE IF EXISTS ts_linked");
        }
    } drop{cluster_};

    ExecutePostgre executor;
    ASSERT_EQ(InitExecutor(executor), 0);
    EvEvent event;
    std::vector<std::string> dirs;
    std::string dataDir;
    ASSERT_EQ(PostgresHelperClass::GetDbDirs(&event, &executor, dirs, dataDir), 0);

    ASSERT_EQ(dirs.size(), 3u);
    EXPECT_EQ(dirs[0], fs::canonical(cluster_->dataDir()).string());
    EXPECT_EQ(std::set<std::string>(dirs.begin() + 1, dirs.end()),
              (std::set<std::string>{fs::canonical(plain).string(), fs::canonical(real).string()}));
}

TEST_P(DataWalDirectoryTest, MissingArgumentsOrSessionAreRefused) {
    ExecutePostgre executor;
    EvEvent event;
    std::vector<std::string> dirs;
    std::string dataDir;
    EXPECT_EQ(PostgresHelperClass::GetDbDirs(nullptr, &executor, dirs, dataDir), -1);
    EXPECT_EQ(PostgresHelperClass::GetDbDirs(&event, nullptr, dirs, dataDir), -1);
    EXPECT_EQ(PostgresHelperClass::GetDbDirs(&event, &executor, dirs, dataDir), -1);
    EXPECT_TRUE(dirs.empty());
}

INSTANTIATE_TEST_SUITE_P(Majors, DataWalDirectoryTest,
                         ::testing::ValuesIn(PgInstall::knownMajors()),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

// ---- ChangeDataWalOwnership, on plain trees

class OwnershipTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { home_ = std::make_unique<TempHostHome>(); }
    static void TearDownTestSuite() { home_.reset(); }

    void SetUp() override {
        postgres_ = ::getpwnam("postgres");
        if (::geteuid() != 0 || postgres_ == nullptr)
            GTEST_SKIP() << "needs root and the postgres user";
        const group* g = ::getgrgid(postgres_->pw_gid);
        ASSERT_NE(g, nullptr);
        groupName_ = g->gr_name;
        tree_ = std::make_unique<TempTree>("pgulo-dirs");
    }

    // A restored tree as root leaves it: data directory with a file, a WAL directory, and the
    // configuration file.
    void MakeTree(const std::string& data, const std::string& wal, const std::string& config) {
        fs::create_directories(data + "/base");
        std::ofstream(data + "/base/1") << "x";
        fs::create_directories(wal);
        std::ofstream(wal + "/000000010000000000000001") << "x";
        std::ofstream(config) << "port = 5432\n";
    }

    static std::unique_ptr<TempHostHome> home_;
    const passwd* postgres_ = nullptr;
    std::string groupName_;
    std::unique_ptr<TempTree> tree_;
};
std::unique_ptr<TempHostHome> OwnershipTest::home_;

TEST_F(OwnershipTest, RestoredTreesAreGivenToTheUserThroughLinks) {
    const std::string data = tree_->Path("data dir");
    const std::string walReal = tree_->Path("wal's real home");
    const std::string config = tree_->Path("postgresql.conf");
    MakeTree(data, walReal, config);
    const std::string walLink = data + "/pg_wal";
    fs::create_directory_symlink(walReal, walLink);

    EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(data, walLink, config, "postgres"), 0);

    for (const std::string& path :
         {data, data + "/base/1", walLink, walReal, walReal + "/000000010000000000000001", config})
        EXPECT_EQ(Uid(path), postgres_->pw_uid) << path;
}

TEST_F(OwnershipTest, TreesAlreadyOwnedRunNoCommand) {
    const std::string data = tree_->Path("data");
    const std::string wal = tree_->Path("wal");
    const std::string config = tree_->Path("postgresql.conf");
    MakeTree(data, wal, config);
    GiveTo(data, postgres_);
    GiveTo(wal, postgres_);
    LogWatch log;

    EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(data, wal, config, "postgres"), 0);

    EXPECT_EQ(log.Since().find("Changing file ownership"), std::string::npos) << log.Since();
    EXPECT_NE(log.Since().find("UID and GID for WAL directorory is same OS User [postgres]"),
              std::string::npos);
    // Nothing inside was touched either.
    EXPECT_EQ(Uid(data + "/base/1"), 0u);
    EXPECT_EQ(Uid(config), 0u);
}

TEST_F(OwnershipTest, OnlyTheWalDirectoryAndConfigurationChangeWhenTheDataDirectoryIsOwned) {
    const std::string data = tree_->Path("data");
    const std::string wal = tree_->Path("wal");
    const std::string config = tree_->Path("postgresql.conf");
    MakeTree(data, wal, config);
    GiveTo(data, postgres_);
    LogWatch log;

    EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(data, wal, config, "postgres"), 0);

    EXPECT_NE(log.Since().find("Changing file ownership to [postgres:" + groupName_ + "] for " +
                               wal + " " + config + "\n"),
              std::string::npos)
        << log.Since();
    EXPECT_EQ(Uid(wal + "/000000010000000000000001"), postgres_->pw_uid);
    EXPECT_EQ(Uid(config), postgres_->pw_uid);
    EXPECT_EQ(Uid(data + "/base/1"), 0u);
}

TEST_F(OwnershipTest, MissingConfigurationFileIsLeftOut) {
    const std::string data = tree_->Path("data");
    const std::string wal = tree_->Path("wal");
    MakeTree(data, wal, tree_->Path("unused.conf"));
    LogWatch log;

    EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(data, wal, tree_->Path("none.conf"),
                                                          "postgres"),
              0);
    EXPECT_NE(log.Since().find("Config file [" + tree_->Path("none.conf") +
                               "] does not exist, not changing permission for it."),
              std::string::npos);
    EXPECT_EQ(Uid(data + "/base/1"), postgres_->pw_uid);
    EXPECT_EQ(Uid(wal), postgres_->pw_uid);
}

TEST_F(OwnershipTest, PathsWithShellSyntaxAreNotRunByTheShell) {
    const std::string marker = tree_->Path("pwned");
    const std::string data = tree_->Path("data$(touch " + marker + ")");
    const std::string wal = tree_->Path("wal`touch " + marker + "`; x'y");
    const std::string config = tree_->Path("conf\"$HOME\"");
    MakeTree(data, wal, config);

    EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(data, wal, config, "postgres"), 0);

    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(Uid(data + "/base/1"), postgres_->pw_uid);
    EXPECT_EQ(Uid(wal), postgres_->pw_uid);
    EXPECT_EQ(Uid(config), postgres_->pw_uid);
}

TEST_F(OwnershipTest, UnknownUserIsAFailureAndChangesNothing) {
    const std::string data = tree_->Path("data");
    const std::string wal = tree_->Path("wal");
    const std::string config = tree_->Path("postgresql.conf");
    MakeTree(data, wal, config);
    LogWatch log;

    int rc = PostgresHelperClass::ChangeDataWalOwnership(data, wal, config, "no_such_user_pgulo");

    EXPECT_NE(rc, 0);
    EXPECT_EQ(log.Since().find("Changing file ownership"), std::string::npos);
    EXPECT_EQ(Uid(data), 0u);
    EXPECT_EQ(Uid(wal), 0u);
}

TEST_F(OwnershipTest, InvalidArgumentsAndMissingDirectoriesGiveOne) {
    const std::string data = tree_->Path("data");
    const std::string wal = tree_->Path("wal");
    MakeTree(data, wal, tree_->Path("c"));
    struct Case {
        std::string data, wal, user;
    };
    for (const Case& c : {Case{"", wal, "postgres"}, Case{data, "", "postgres"},
                          Case{data, wal, ""}, Case{tree_->Path("missing"), wal, "postgres"}})
        EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(c.data, c.wal, "", c.user), 1)
            << c.data << "|" << c.wal << "|" << c.user;
    GiveTo(data, postgres_);
    EXPECT_EQ(
        PostgresHelperClass::ChangeDataWalOwnership(data, tree_->Path("missing"), "", "postgres"),
        1);
}

TEST_F(OwnershipTest, FailingChownIsNotReportedAsSuccess) {
    const std::string data = tree_->Path("data");
    MakeTree(data, tree_->Path("wal"), tree_->Path("c"));
    // A WAL path through a dangling link: chown -RL cannot follow it.
    const std::string dangling = tree_->Path("dangling");
    fs::create_directory_symlink(tree_->Path("nowhere"), dangling);

    EXPECT_NE(PostgresHelperClass::ChangeDataWalOwnership(data, dangling, "", "postgres"), 0);
}

} // namespace
