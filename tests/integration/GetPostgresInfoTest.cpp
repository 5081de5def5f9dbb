#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PGCommon.h"
#include "pgulo/host/ApplicationId.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/PropertyStore.h"

#include "PgCluster.h"
#include "PgInstall.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

constexpr uid_t kUidWithoutName = 54321;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "<unset>";
}

// Gives a directory to a uid that has no user name for the life of the object. The
// server keeps working in it through the wide-open mode.
class BorrowedOwnership {
public:
    explicit BorrowedOwnership(std::string path) : path_(std::move(path)) {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0)
            throw std::runtime_error("stat " + path_);
        uid_ = st.st_uid;
        gid_ = st.st_gid;
        mode_ = st.st_mode & 07777;
        ::chmod(path_.c_str(), 0777);
        if (::chown(path_.c_str(), kUidWithoutName, kUidWithoutName) != 0)
            throw std::runtime_error("chown " + path_);
    }
    ~BorrowedOwnership() {
        if (::chown(path_.c_str(), uid_, gid_) != 0 || ::chmod(path_.c_str(), mode_) != 0)
            ADD_FAILURE() << "could not give " << path_ << " back";
    }

private:
    std::string path_;
    uid_t uid_;
    gid_t gid_;
    mode_t mode_;
};

class GetPostgresInfoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tree_ = std::make_unique<TempTree>("pgulo-info");
        ::setenv("PGULO_HOME", tree_->Path("home").c_str(), 1);
        if (!PgInstall::available(15) || ::geteuid() != 0 || ::getpwnam("postgres") == nullptr)
            return;
        PgCluster::Options options;
        options.name = "info-primary";
        primary_ = std::make_unique<PgCluster>(15, options);
        primary_->start();
    }
    static void TearDownTestSuite() {
        primary_.reset();
        tree_.reset();
    }

    void SetUp() override {
        if (!primary_)
            GTEST_SKIP() << "needs PostgreSQL 15, root and the postgres user";
        logStart_ = TestFiles::Read(EvDebug::logFilePath()).size();
    }

    std::string LogSince() const {
        return TestFiles::Read(EvDebug::logFilePath()).substr(logStart_);
    }
    bool Logged(const std::string& text) const {
        return LogSince().find(text) != std::string::npos;
    }

    // A client, an instance of the primary and a subclient in the host's property store; the
    // properties can be changed before the records are written.
    struct Records {
        PropertyStore::ClientRecord client;
        PropertyStore::InstanceRecord instance;
        PropertyStore::SubclientRecord subclient;
    };

    Records Primary() const {
        Records r;
        r.client.name = "pg-client";
        r.instance.name = "primary";
        r.instance.properties = {
            {"unixUser", "pguser"},
            {"saUser", "postgres"},
            {"saPassword", KXPassword(0).encrypt("s3cret")},
            {"socketFile", primary_->socketDir()},
            {"ntUser", "nt"},
            {"uncUser", "unc"},
            {"postgreSQLVersion", "15"},
            {"binaryDirectory", primary_->binDir()},
            {"dataDirectoryPath", primary_->libDir()},
            {"configFile", "postgres"},
            {"port", primary_->socketDir() + ":" + std::to_string(primary_->port())},
            {"writeAheadArchiveLogDir", primary_->archiveDir()},
            {"lastBackupLogNumber", "000000010000000000000003"},
        };
        r.instance.archiveDelete = false;
        r.subclient.backupSetId = 7;
        return r;
    }

    // Writes the records; returns the subclient's application id.
    static ApplicationId Store(Records& r) {
        PropertyStore store;
        EXPECT_EQ(store.addClient(r.client), 0);
        r.instance.clientId = r.client.id;
        EXPECT_EQ(store.addInstance(r.instance), 0);
        r.subclient.instanceId = r.instance.id;
        r.subclient.clientId = r.client.id;
        EXPECT_EQ(store.addSubclient(r.subclient), 0);
        return ApplicationId(2, r.subclient.id);
    }

    // Writes the records and initialises from the subclient, which must work.
    static GetPostgresInfo InitFrom(Records& r) {
        GetPostgresInfo info;
        EXPECT_EQ(info.Init(Store(r)), 0) << r.instance.properties["port"];
        return info;
    }

    // The primary's records under a subclient with the guid; returns its application id.
    ApplicationId StoreWithGuid(const std::string& guid) const {
        Records r = Primary();
        r.subclient.guid = guid;
        return Store(r);
    }

    // Connection values of the primary, set directly.
    GetPostgresInfo Connected(const std::string& socketDir, int port) const {
        GetPostgresInfo info;
        info.datafilePath = primary_->libDir();
        info.binaryPath = primary_->binDir();
        info.saUser = "postgres";
        info.configFile = "postgres";
        info.HostAddr = socketDir;
        info.Port = std::to_string(port);
        return info;
    }
    GetPostgresInfo ConnectedToPrimary() const {
        return Connected(primary_->socketDir(), primary_->port());
    }

    static std::unique_ptr<TempTree> tree_;
    static std::unique_ptr<PgCluster> primary_;
    size_t logStart_ = 0;
};
std::unique_ptr<TempTree> GetPostgresInfoTest::tree_;
std::unique_ptr<PgCluster> GetPostgresInfoTest::primary_;

// ---- Init

TEST_F(GetPostgresInfoTest, InitFromASubclientReadsTheStoreAndFixesTheValuesUp) {
    Records r = Primary();
    ApplicationId appId = Store(r);
    ::unsetenv("PGUSER");

    GetPostgresInfo info;
    ASSERT_EQ(info.Init(appId), 0);

    EXPECT_EQ(info.unixUser, "pguser");
    EXPECT_EQ(info.saUser, "postgres");
    EXPECT_EQ(info.password, "s3cret");
    EXPECT_EQ(info.socketName, primary_->socketDir());
    EXPECT_EQ(info.binaryPath, primary_->binDir());
    EXPECT_EQ(info.datafilePath, primary_->libDir());
    EXPECT_EQ(info.HostAddr, primary_->socketDir());
    EXPECT_EQ(info.Port, std::to_string(primary_->port()));
    EXPECT_EQ(info.LastLogNumber, "000000010000000000000003");
    EXPECT_FALSE(info.pruneLogs);
    EXPECT_EQ(info.autoDiscoveryFlag, 1);
    EXPECT_EQ(Env("PGPASSWORD"), "s3cret");
    EXPECT_EQ(Env("PGUSER"), "postgres");
    const std::string log = LogSince();
    EXPECT_NE(log.find("Got all the information from appmanager"), std::string::npos);
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << "the password reached the log";
}

TEST_F(GetPostgresInfoTest, PortWithAHostNameGivesItsAddress) {
    struct Case {
        std::string property, host, port;
    };
    for (const Case& c : {Case{"localhost:5433", "127.0.0.1", "5433"}, Case{"5433", "", "5433"},
                          Case{"127.0.0.1:", "127.0.0.1", "127.0.0.1:"}}) {
        Records r = Primary();
        r.instance.properties["port"] = c.property;
        const GetPostgresInfo info = InitFrom(r);
        EXPECT_EQ(info.HostAddr, c.host) << c.property;
        EXPECT_EQ(info.Port, c.port) << c.property;
    }
}

TEST_F(GetPostgresInfoTest, EmptyUnixUserIsTheDataDirectorysOwnerAndIsStoredBack) {
    Records r = Primary();
    r.instance.properties["unixUser"] = "";
    EXPECT_EQ(InitFrom(r).unixUser, "postgres");
    std::string stored;
    ASSERT_EQ(PropertyStore().getInstanceProperty(r.instance.id, "unixUser", stored), 0);
    EXPECT_EQ(stored, "postgres");
}

TEST_F(GetPostgresInfoTest, DataDirectoryPropertyOwnedByANamelessUidLeavesUnixUserEmpty) {
    const std::string dir = tree_->Path("nameless");
    fs::create_directory(dir);
    ASSERT_EQ(::chown(dir.c_str(), kUidWithoutName, kUidWithoutName), 0);
    Records r = Primary();
    r.instance.properties["unixUser"] = "";
    r.instance.properties["pgDataDir"] = dir;
    EXPECT_EQ(InitFrom(r).unixUser, "");
    EXPECT_TRUE(Logged("Could not get unixUser for Postgres"));
}

// Without a password the instance is still read, and the owner is found through the server.
TEST_F(GetPostgresInfoTest, InitByInstanceNumberKeepsGoingWithoutAPassword) {
    Records r = Primary();
    r.instance.properties["saPassword"] = "v1:not-a-sealed-password";
    r.instance.properties["unixUser"] = "";
    Store(r);
    ::unsetenv("PGUSER");

    GetPostgresInfo info;
    info.autoDiscoveryFlag = 0;
    ASSERT_EQ(info.Init(static_cast<long>(r.instance.id)), 0);
    EXPECT_EQ(info.password, "");
    EXPECT_EQ(Env("PGPASSWORD"), "");
    EXPECT_EQ(Env("PGUSER"), "<unset>");
    EXPECT_EQ(info.autoDiscoveryFlag, 0);
    EXPECT_EQ(info.unixUser, "postgres");
    EXPECT_TRUE(Logged("PW.decrypt error"));
}

TEST_F(GetPostgresInfoTest, InitFailures) {
    GetPostgresInfo info;
    EXPECT_EQ(info.Init(ApplicationId(2, 999999)), -1);
    EXPECT_NE(info.Init(999999L), 0);

    Records undecryptable = Primary();
    undecryptable.instance.properties["saPassword"] = "v1:not-a-sealed-password";
    EXPECT_EQ(GetPostgresInfo().Init(Store(undecryptable)), -1);

    // A subclient whose client is not in the store.
    Records orphan = Primary();
    ApplicationId appId = Store(orphan);
    ASSERT_EQ(PropertyStore().removeClient(orphan.client.id), 0);
    EXPECT_NE(GetPostgresInfo().Init(appId), 0);
    EXPECT_TRUE(Logged("Error: Unable to fetch client Id for app Id"));
}

TEST_F(GetPostgresInfoTest, CloudDatabaseUsesTheProxysInstallDirectory) {
    Records r = Primary();
    r.client.appType = 1;
    r.client.cloudType = 301;
    r.instance.properties["unixUser"] = "";
    Records withProxy = r;
    EXPECT_NE(GetPostgresInfo().Init(Store(r)), 0);
    EXPECT_TRUE(Logged("Error: Unable to fetch DB Install Directory on proxy machine"));

    PropertyStore::ClientRecord proxy;
    proxy.name = EvDebug::getClientName();
    proxy.proxyDBInstallDir = "/opt/proxy/pgsql";
    ASSERT_EQ(PropertyStore().addClient(proxy), 0);
    struct RemoveProxy {
        unsigned long long id;
        ~RemoveProxy() { PropertyStore().removeClient(id); }
    } removeProxy{proxy.id};
    const GetPostgresInfo info = InitFrom(withProxy);
    EXPECT_EQ(info.binaryPath, "/opt/proxy/pgsql/bin");
    EXPECT_EQ(info.datafilePath, "/opt/proxy/pgsql/lib");
    // A cloud database's owner is never looked up.
    EXPECT_EQ(info.unixUser, "");
}

TEST_F(GetPostgresInfoTest, DisplayNeverShowsPasswords) {
    GetPostgresInfo info = ConnectedToPrimary();
    info.password = "pw-display-secret";
    info.ntPassword = "nt-display-secret";
    info.uncPassword = "unc-display-secret";

    EXPECT_EQ(info.display(), 0);
    const std::string log = LogSince();
    EXPECT_NE(log.find("Prune Logs = true"), std::string::npos);
    EXPECT_EQ(log.find("display-secret"), std::string::npos);
}

// The host's restore program passes the subclient on its command line; the running server
// is asked first, over the host and port property, before pg_config or PG_VERSION.
TEST_F(GetPostgresInfoTest, VersionDiscoveryAsksTheServerFirst) {
    Records r = Primary();
    r.instance.properties["postgreSQLVersion"] = "9.6";
    r.instance.properties["binaryDirectory"] = tree_->Path("empty");
    r.instance.properties["pgDataDir"] = tree_->Path("empty");
    std::vector<std::string> words = {"pgrestore", "-a", "2:" + std::to_string(Store(r).getAppId())};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());

    CRoError error = PGCommon::CheckAndUpdateAppInstance(static_cast<int>(argv.size()), argv.data());
    ASSERT_FALSE(error.IsError()) << error.AsString();
    std::string stored;
    ASSERT_EQ(PropertyStore().getInstanceProperty(r.instance.id, "postgreSQLVersion", stored), 0);
    EXPECT_EQ(stored, primary_->psql("SHOW server_version"));
    EXPECT_FALSE(Logged("s3cret"));
}

// ---- Questions answered by the server

TEST_F(GetPostgresInfoTest, DataDirectoryStandbyStatusAndOwnerOfThePrimary) {
    GetPostgresInfo info = ConnectedToPrimary();
    std::string dataDir;
    ASSERT_EQ(info.GetDataDirectory(dataDir), 0);
    EXPECT_EQ(dataDir, primary_->dataDir());
    bool standby = true;
    ASSERT_EQ(info.GetStandByServerStatus(standby), 0);
    EXPECT_FALSE(standby);
    std::string user;
    ASSERT_EQ(info.GetPostgresOSUserName(user), 0);
    EXPECT_EQ(user, "postgres");
    user.clear();
    ASSERT_EQ(info.GetPostgresOSUserName(user, primary_->dataDir()), 0);
    EXPECT_EQ(user, "postgres");
    EXPECT_NE(info.GetPostgresOSUserName(user, tree_->Path("no-such-dir")), 0);

    // An unreachable server answers nothing.
    info = Connected(primary_->socketDir(), 1);
    EXPECT_EQ(info.GetStandByServerStatus(standby), -1);
    EXPECT_FALSE(standby);
    dataDir = "unchanged";
    EXPECT_EQ(info.GetDataDirectory(dataDir), -1);
    EXPECT_EQ(dataDir, "unchanged");
    EXPECT_NE(info.GetPostgresOSUserName(user), 0);
}

// A hot standby of the primary, made with pg_basebackup -R and started beside it.
TEST_F(GetPostgresInfoTest, StandbyServerIsReportedAsStandby) {
    ServerCopy server(*primary_, tree_->Dir("standby"), tree_->Dir("standby-run"));
    ::chmod(server.dataDir().c_str(), 0700);
    ChownToPostgres(server.dataDir());
    const ProcessResult backup =
        runAsPostgres({PgInstall::clientTool("pg_basebackup"), "-D", server.dataDir(), "-R", "-X",
                       "stream", "-h", primary_->socketDir(), "-p", std::to_string(primary_->port()),
                       "-U", "postgres", "--checkpoint=fast"});
    ASSERT_TRUE(backup.ok()) << backup.err;
    const ProcessResult started = server.Start();
    ASSERT_TRUE(started.ok()) << started.err << server.Log();

    GetPostgresInfo info = Connected(server.socketDir(), server.port());
    bool standby = false;
    ASSERT_EQ(info.GetStandByServerStatus(standby), 0);
    EXPECT_TRUE(standby);
}

// ---- Data directory owner

TEST_F(GetPostgresInfoTest, NamelessOwnerIsTheUidOnlyWhenAskedThroughTheServerAlone) {
    Records r = Primary();
    ApplicationId appId = Store(r);
    GetPostgresInfo info = ConnectedToPrimary();
    BorrowedOwnership borrowed(primary_->dataDir());

    std::string user = "unchanged";
    EXPECT_EQ(info.GetPostgresOSUserName(user), 0);
    EXPECT_EQ(user, std::to_string(kUidWithoutName));

    user = "unchanged";
    EXPECT_EQ(info.GetPostgresOSUserName(user, primary_->dataDir()), -1);
    EXPECT_EQ(info.GetPostgresOSUserName(user, appId), -1);
    EXPECT_EQ(user, "unchanged");
}

// ---- Restore location file

// Where a restore left the file naming its data directory (the archive directory, /tmp or
// nowhere), what it holds, and what GetDataDirectory makes of it with the server down.
struct LocationRow {
    std::string place, text;
    int rc;
    std::string dataDir;
};

TEST_F(GetPostgresInfoTest, RestoreLocationFileIsUsedWhenTheServerIsDown) {
    const std::string restored = tree_->Path("restored-data");
    fs::create_directory(restored);
    ChownToPostgres(restored);
    const std::string archive = tree_->Path("archive");
    fs::create_directory(archive);
    // clang-format off
    const std::vector<LocationRow> rows = {
        {"archive", "data_directory=" + restored + "\n", 0, restored},
        {"tmp", "other_token x\ndata_directory " + restored + "\n", 0, restored},
        {"nowhere", "", 1, "unchanged"},
        {"archive", "something_else=1\n", -1, "unchanged"},
    };
    // clang-format on
    for (const LocationRow& r : rows) {
        SCOPED_TRACE(r.place + " " + r.text);
        const std::string guid = "pgulo-test-guid-" + std::to_string(::getpid());
        ApplicationId appId = StoreWithGuid(guid);
        const std::string file =
            (r.place == "tmp" ? "/tmp/pg_restore_DATA_DIR_" : archive + "/") + guid;
        if (r.place != "nowhere")
            TestFiles::Write(file, r.text);
        struct RemoveFile {
            std::string path;
            ~RemoveFile() { fs::remove(path); }
        } remove{file};

        GetPostgresInfo info = Connected(primary_->socketDir(), 1);
        info.archlogFile = archive;
        std::string dataDir = "unchanged";
        EXPECT_EQ(info.GetDataDirectory(dataDir, appId), r.rc);
        EXPECT_EQ(dataDir, r.dataDir);
        std::string user;
        if (r.rc == 0) {
            EXPECT_EQ(info.GetPostgresOSUserName(user, appId), 0);
            EXPECT_EQ(user, "postgres");
        }
        std::string path;
        EXPECT_EQ(info.getGUIDLocation(path, &appId), r.place == "nowhere" ? 1 : 0);
        EXPECT_EQ(path, r.place == "nowhere" ? "" : file);
    }
    GetPostgresInfo info;
    std::string path;
    EXPECT_EQ(info.getGUIDLocation(path, nullptr), 1);
    ApplicationId missing(2, 999998);
    EXPECT_EQ(info.getGUIDLocation(path, &missing), 1);
}

// ---- Commands through a shell child

// A shell command, and what comes back: the exit, the output and the error text.
struct CommandRow {
    std::string command;
    int rc;
    std::string output, error;
};

TEST_F(GetPostgresInfoTest, CommandsComeBackWholeAndFailuresWithTheirErrorText) {
    // clang-format off
    const std::vector<CommandRow> rows = {
        {"echo one; echo two >&2\nprintf three", 0, "one\ntwo\nthree", ""},
        {"head -c 300000 /dev/zero | tr '\\000' y", 0, std::string(300000, 'y'), ""},
        {"true", 0, "", ""},
        {"echo 'no such table' >&2; exit 3", -1, "no such table\n",
         "Command exited with status 3: no such table"},
        // A command that fails without a word is still a failure.
        {"false", -1, "", "Command exited with status 1"},
        {"kill -9 $$", -1, "", "Command was ended by a signal"},
    };
    // clang-format on
    for (const CommandRow& r : rows) {
        GetPostgresInfo info;
        std::string output = "stale";
        std::string error = "stale";
        EXPECT_EQ(info.executePostGresCommand(r.command, output, error), r.rc) << r.command;
        EXPECT_EQ(output, r.output) << r.command;
        EXPECT_EQ(error, r.error) << r.command;
    }
    std::string output;
    EXPECT_EQ(GetPostgresInfo().executePostGresCommand("no_such_command_pgulo", output), -1);
    EXPECT_TRUE(Logged("Failed to execute command [no_such_command_pgulo], Error [Command exited "
                       "with status 127: "))
        << LogSince();
}

} // namespace
