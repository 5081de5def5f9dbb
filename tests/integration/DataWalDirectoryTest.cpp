#include "pgulo/ExecutePostgre.h"
#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PostgresHelperClass.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/EvEvent.h"

#include "MajorStage.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

// The debug log from the given length on.
std::string Log(size_t from = 0) {
    return TestFiles::Read(EvDebug::logFilePath()).substr(from);
}

uid_t Uid(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

void GiveTo(const std::string& path, const passwd* user) {
    if (::lchown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("chown " + path + " failed");
}

class DataWalDirectoryTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &SharedCluster(GetParam(), {"dirs", 0, {}, true});
    }

    TempHostHome home_;
    TempTree tree_{"pgulo-dirs"};
    PgCluster* cluster_ = nullptr;
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
        {file, "", -1, "Wal directory is a file. Please give valid WAL directory name.",
         "Wal directory [" + file + "] is a file"},
        {tree_.Path("missing"), "", -1, "Invalid archive log directory.",
         "Invalid archive log directory [" + tree_.Path("missing") + "]"},
        {"<cluster>", "1", -1, "Failed to connect to PostgreSQL server",
         "ExecutePostgre.init failed."},
    };
    for (const ValidationRow& r : rows) {
        SCOPED_TRACE(r.archive + " port " + r.port);
        GetPostgresInfo info;
        info.datafilePath = cluster_->libDir();
        info.binaryPath = cluster_->binDir();
        info.saUser = "postgres";
        info.configFile = "postgres";
        info.HostAddr = cluster_->socketDir();
        info.Port = r.port.empty() ? std::to_string(cluster_->port()) : r.port;
        info.archlogFile = r.archive.rfind("<cluster>", 0) == 0
                               ? cluster_->archiveDir() + r.archive.substr(9)
                               : r.archive;
        const size_t logStart = Log().size();
        EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(&info), r.rc);
        if (!r.lastError.empty()) {
            EXPECT_STREQ(PGLastError(nullptr), r.lastError.c_str());
        }
        const bool absent = r.logged[0] == '!';
        EXPECT_EQ(Log(logStart).find(r.logged.substr(absent ? 1 : 0)) == std::string::npos, absent)
            << Log(logStart);
    }
    EXPECT_EQ(PostgresHelperClass::ValidateWalDirectory(nullptr), -1);
}

// What the list held stays in front; a cluster without tablespaces adds its data directory.
// Missing arguments or a missing session are refused.
TEST_P(DataWalDirectoryTest, TheDataDirectoryAndTablespacesAreListedByTheirPhysicalPaths) {
    ExecutePostgre executor;
    EvEvent event;
    std::vector<std::string> dirs{"kept"};
    std::string dataDir;
    EXPECT_EQ(PostgresHelperClass::GetDbDirs(nullptr, &executor, dirs, dataDir), -1);
    EXPECT_EQ(PostgresHelperClass::GetDbDirs(&event, nullptr, dirs, dataDir), -1);
    EXPECT_EQ(PostgresHelperClass::GetDbDirs(&event, &executor, dirs, dataDir), -1);
    ASSERT_EQ(executor.init(cluster_->libDir(), cluster_->binDir(), "postgres", "", "postgres",
                            cluster_->socketDir(), std::to_string(cluster_->port())),
              0);
    ASSERT_EQ(PostgresHelperClass::GetDbDirs(&event, &executor, dirs, dataDir), 0);
    const std::string physical = fs::canonical(cluster_->dataDir()).string();
    EXPECT_EQ(dataDir, physical);
    EXPECT_EQ(dirs, (std::vector<std::string>{"kept", physical}));

    const passwd* postgres = ::getpwnam("postgres");
    const std::string plain = tree_.Dir("ts-plain");
    const std::string real = tree_.Dir("ts-real");
    GiveTo(plain, postgres);
    GiveTo(real, postgres);
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

INSTANTIATE_TEST_SUITE_P(Majors, DataWalDirectoryTest,
                         ::testing::ValuesIn(PgInstall::knownMajors()), MajorName);

class OwnershipTest : public ::testing::Test {
protected:
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
    const passwd* postgres_ = ::getpwnam("postgres");
};

// A tree (names of its data and WAL directory, whether they already belong to the user, its
// configuration file) given to a user, and who owns what afterwards.
struct OwnershipRow {
    std::string label, data, wal;
    bool dataOwned, walOwned, configExists;
    std::string user;
    bool ok;
    std::string logged;
    bool dataFileGiven, walGiven, configGiven;
};

TEST_F(OwnershipTest, TreesAreGivenToTheUserAsFarAsTheyNeedIt) {
    const std::string marker = tree_.Path("pwned");
    const group* postgresGroup = ::getgrgid(postgres_->pw_gid);
    ASSERT_NE(postgresGroup, nullptr);
    // clang-format off
    const std::vector<OwnershipRow> rows = {
        {"already owned", "data1", "wal1", true, true, true, "postgres", true,
         "UID and GID for WAL directorory is same OS User [postgres]", false, false, false},
        {"data owned", "data2", "wal2", true, false, true, "postgres", true,
         "Changing file ownership to [postgres:" + std::string(postgresGroup->gr_name) + "] for " +
         tree_.Path("wal2") + " " + tree_.Path("data2.conf") + "\n", false, true, true},
        {"no configuration", "data3", "wal3", false, false, false, "postgres", true,
         "Config file [" + tree_.Path("data3.conf") + "] does not exist, not changing permission",
         true, true, false},
        {"shell syntax", "data$(touch " + marker + ")", "wal`touch " + marker + "`; x'y",
         false, false, true, "postgres", true, "Changed file ownership to User[postgres]", true,
         true, true},
        {"unknown user", "data5", "wal5", false, false, true, "no_such_user_pgulo", false,
         "Failed to get uid", false, false, false},
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
        const size_t logStart = Log().size();
        const int rc = PostgresHelperClass::ChangeDataWalOwnership(data, wal, config, r.user);
        EXPECT_EQ(rc == 0, r.ok) << rc;
        EXPECT_NE(Log(logStart).find(r.logged), std::string::npos) << Log(logStart);
        const auto owner = [&](bool given) { return given ? postgres_->pw_uid : 0u; };
        EXPECT_EQ(Uid(data + "/base/1"), owner(r.dataFileGiven));
        EXPECT_EQ(Uid(wal + "/000000010000000000000001"), owner(r.walGiven));
        if (r.configExists) {
            EXPECT_EQ(Uid(config), owner(r.configGiven));
        }
    }
    EXPECT_FALSE(fs::exists(marker));
}

// A WAL directory through a link is given with what the link points at; a dangling link, which
// chown -RL cannot follow, is a failure.
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

    const std::string dangling = tree_.Path("dangling");
    fs::create_directory_symlink(tree_.Path("nowhere"), dangling);
    const std::string other = tree_.Path("other data");
    MakeTree(other, tree_.Path("other wal"), tree_.Path("c"));
    EXPECT_NE(PostgresHelperClass::ChangeDataWalOwnership(other, dangling, "", "postgres"), 0);
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

} // namespace
