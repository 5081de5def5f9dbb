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

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

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
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        postgres_ = ::getpwnam("postgres");
        if (::geteuid() != 0 || postgres_ == nullptr)
            GTEST_SKIP() << "needs root and the postgres user";
        PgCluster::Options options;
        options.name = "dirs";
        cluster_ = &SharedCluster(GetParam(), options);
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
        const std::string dir = tree_.Dir(name);
        GiveTo(dir, postgres_);
        return dir;
    }

    TempHostHome home_;
    TempTree tree_{"pgulo-dirs"};
    PgCluster* cluster_ = nullptr;
    const passwd* postgres_ = nullptr;
};

// An archive directory (or a server port), and what validation makes of it.
struct ValidationRow {
    std::string archive; // "<cluster>": the one archive_command names
    std::string port;    // empty: the cluster's
    int rc;
    std::string lastError; // empty: not checked
    std::string logged;    // must (or, with a leading '!', must not) be in the debug log
};

TEST_P(DataWalDirectoryTest, ValidationAcceptsTheArchiveAndWarnsOrFailsOtherwise) {
    const std::string file = tree_.Path("a-file");
    TestFiles::Write(file, "not a directory");
    const std::string warning = "Warning: Unable to find Archive WAL directory";
    const std::vector<ValidationRow> rows = {
        {"<cluster>", "", 0, "", "!" + warning},
        {"<cluster>/", "", 0, "", "!" + warning},
        // Another directory than archive_command's is only a warning.
        {tree_.Path(""), "", 0, "", warning + " [" + tree_.Path("") + "%f]"},
        {file, "", -1, "Wal directory is a file. Please give valid WAL directory name.", ""},
        {tree_.Path("missing"), "", -1, "Invalid archive log directory.", ""},
        {"<cluster>", "1", -1, "Failed to connect to PostgreSQL server", ""},
    };
    for (const ValidationRow& r : rows) {
        SCOPED_TRACE(r.archive + " port " + r.port);
        GetPostgresInfo info = Info();
        if (r.archive.rfind("<cluster>", 0) == 0)
            info.archlogFile += r.archive.substr(9);
        else
            info.archlogFile = r.archive;
        if (!r.port.empty())
            info.Port = r.port;
        LogWatch log;
        EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(&info), r.rc);
        if (!r.lastError.empty()) {
            EXPECT_STREQ(PGLastError(nullptr), r.lastError.c_str());
        }
        if (!r.logged.empty() && r.logged[0] == '!') {
            EXPECT_EQ(log.Since().find(r.logged.substr(1)), std::string::npos) << log.Since();
        } else if (!r.logged.empty()) {
            EXPECT_NE(log.Since().find(r.logged), std::string::npos) << log.Since();
        }
    }
    EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(nullptr), -1);
}

// What the list held stays in front; a cluster without tablespaces adds its data directory.
TEST_P(DataWalDirectoryTest, TheDataDirectoryAndTablespacesAreListedByTheirPhysicalPaths) {
    ExecutePostgre executor;
    ASSERT_EQ(InitExecutor(executor), 0);
    EvEvent event;
    std::vector<std::string> dirs{"kept"};
    std::string dataDir;
    ASSERT_EQ(PostgresHelperClass::GetDbDirs(&event, &executor, dirs, dataDir), 0);
    const std::string physical = fs::canonical(cluster_->dataDir()).string();
    EXPECT_EQ(dataDir, physical);
    EXPECT_EQ(dirs, (std::vector<std::string>{"kept", physical}));

    const std::string plain = TablespaceDir("ts-plain");
    const std::string real = TablespaceDir("ts-real");
    const std::string link = tree_.Path("ts-link");
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
    dirs.clear();
    ASSERT_EQ(PostgresHelperClass::GetDbDirs(&event, &executor, dirs, dataDir), 0);
    ASSERT_EQ(dirs.size(), 3u);
    EXPECT_EQ(dirs[0], physical);
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

class OwnershipTest : public ::testing::Test {
protected:
    void SetUp() override {
        postgres_ = ::getpwnam("postgres");
        if (::geteuid() != 0 || postgres_ == nullptr)
            GTEST_SKIP() << "needs root and the postgres user";
        const group* g = ::getgrgid(postgres_->pw_gid);
        ASSERT_NE(g, nullptr);
        groupName_ = g->gr_name;
    }

    // A restored tree as root leaves it: data directory with a file, a WAL directory, and the
    // configuration file.
    void MakeTree(const std::string& data, const std::string& wal, const std::string& config) {
        fs::create_directories(data + "/base");
        TestFiles::Write(data + "/base/1", "x");
        fs::create_directories(wal);
        TestFiles::Write(wal + "/000000010000000000000001", "x");
        TestFiles::Write(config, "port = 5432\n");
    }

    TempHostHome home_;
    TempTree tree_{"pgulo-dirs"};
    const passwd* postgres_ = nullptr;
    std::string groupName_;
};

// A tree (names of its data and WAL directory, whether they already belong to the user, its
// configuration file) given to a user, and who owns what afterwards.
struct OwnershipRow {
    std::string label, data, wal;
    bool dataOwned, walOwned, configExists;
    std::string user;
    bool ok;
    std::vector<std::string> logged, notLogged;
    bool dataFileGiven, walGiven, configGiven;
};

TEST_F(OwnershipTest, TreesAreGivenToTheUserAsFarAsTheyNeedIt) {
    const std::string marker = tree_.Path("pwned");
    const std::string changing = "Changing file ownership";
    // clang-format off
    const std::vector<OwnershipRow> rows = {
        {"already owned", "data1", "wal1", true, true, true, "postgres", true,
         {"UID and GID for WAL directorory is same OS User [postgres]"}, {changing},
         false, false, false},
        {"data owned", "data2", "wal2", true, false, true, "postgres", true,
         {changing + " to [postgres:" + groupName_ + "] for " + tree_.Path("wal2") + " " +
          tree_.Path("data2.conf") + "\n"}, {}, false, true, true},
        {"no configuration", "data3", "wal3", false, false, false, "postgres", true,
         {"Config file [" + tree_.Path("data3.conf") +
          "] does not exist, not changing permission for it."}, {}, true, true, false},
        {"shell syntax", "data$(touch " + marker + ")", "wal`touch " + marker + "`; x'y",
         false, false, true, "postgres", true, {}, {}, true, true, true},
        {"unknown user", "data5", "wal5", false, false, true, "no_such_user_pgulo", false, {},
         {changing}, false, false, false},
    };
    // clang-format on
    for (const OwnershipRow& r : rows) {
        SCOPED_TRACE(r.label);
        const std::string data = tree_.Path(r.data);
        const std::string wal = tree_.Path(r.wal);
        const std::string config = data + ".conf";
        MakeTree(data, wal, config);
        if (!r.configExists)
            fs::remove(config);
        if (r.dataOwned)
            GiveTo(data, postgres_);
        if (r.walOwned)
            GiveTo(wal, postgres_);
        LogWatch log;
        const int rc = PostgresHelperClass::ChangeDataWalOwnership(data, wal, config, r.user);
        EXPECT_EQ(rc == 0, r.ok) << rc;
        for (const std::string& text : r.logged)
            EXPECT_NE(log.Since().find(text), std::string::npos) << text << "\n" << log.Since();
        for (const std::string& text : r.notLogged)
            EXPECT_EQ(log.Since().find(text), std::string::npos) << text << "\n" << log.Since();
        const auto owner = [&](bool given) { return given ? postgres_->pw_uid : 0u; };
        EXPECT_EQ(Uid(data + "/base/1"), owner(r.dataFileGiven));
        EXPECT_EQ(Uid(wal + "/000000010000000000000001"), owner(r.walGiven));
        if (r.configExists) {
            EXPECT_EQ(Uid(config), owner(r.configGiven));
        }
    }
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(OwnershipTest, RestoredTreesAreGivenToTheUserThroughLinks) {
    const std::string data = tree_.Path("data dir");
    const std::string walReal = tree_.Path("wal's real home");
    const std::string config = tree_.Path("postgresql.conf");
    MakeTree(data, walReal, config);
    const std::string walLink = data + "/pg_wal";
    fs::create_directory_symlink(walReal, walLink);

    EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(data, walLink, config, "postgres"), 0);

    for (const std::string& path :
         {data, data + "/base/1", walLink, walReal, walReal + "/000000010000000000000001", config})
        EXPECT_EQ(Uid(path), postgres_->pw_uid) << path;
}

TEST_F(OwnershipTest, InvalidArgumentsAndMissingDirectoriesGiveOne) {
    const std::string data = tree_.Path("data");
    const std::string wal = tree_.Path("wal");
    MakeTree(data, wal, tree_.Path("c"));
    struct Case {
        std::string data, wal, user;
    };
    for (const Case& c : {Case{"", wal, "postgres"}, Case{data, "", "postgres"},
                          Case{data, wal, ""}, Case{tree_.Path("missing"), wal, "postgres"}})
        EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(c.data, c.wal, "", c.user), 1)
            << c.data << "|" << c.wal << "|" << c.user;
    GiveTo(data, postgres_);
    EXPECT_EQ(
        PostgresHelperClass::ChangeDataWalOwnership(data, tree_.Path("missing"), "", "postgres"),
        1);
}

TEST_F(OwnershipTest, FailingChownIsNotReportedAsSuccess) {
    const std::string data = tree_.Path("data");
    MakeTree(data, tree_.Path("wal"), tree_.Path("c"));
    // A WAL path through a dangling link: chown -RL cannot follow it.
    const std::string dangling = tree_.Path("dangling");
    fs::create_directory_symlink(tree_.Path("nowhere"), dangling);

    EXPECT_NE(PostgresHelperClass::ChangeDataWalOwnership(data, dangling, "", "postgres"), 0);
}

} // namespace
