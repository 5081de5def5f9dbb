#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PGCommon.h"
#include "pgulo/host/ApplicationId.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/PropertyStore.h"

#include "PgCluster.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

constexpr uid_t kUidWithoutName = 54321;
const char* const kBadPassword = "v1:not-a-sealed-password";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "<unset>";
}

// A fresh host home per test, and the program's running cluster of Debian's major.
class GetPostgresInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(15);
        primary_ = &SharedCluster(15, {"info-primary", 0, {}, true});
    }

    // The debug log from the given length on.
    static std::string Log(size_t from = 0) {
        return TestFiles::Read(EvDebug::logFilePath()).substr(from);
    }

    // A client, an instance of the primary and a subclient, to be changed before Store.
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
            {"binaryDirectory", primary_->binDir()},
            {"dataDirectoryPath", primary_->libDir()},
            {"configFile", "postgres"},
            {"lastBackupLogNumber", "000000010000000000000003"},
            {"port", primary_->socketDir() + ":" + std::to_string(primary_->port())}};
        r.instance.archiveDelete = true;
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
    static std::string StoredProperty(const Records& r, const std::string& name) {
        std::string value = "<unreadable>";
        PropertyStore().getInstanceProperty(r.instance.id, name, value);
        return value;
    }

    // Connection values of a server of the primary's major, set directly.
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

    TempHostHome home_;
    TempTree tree_{"pgulo-info"};
    PgCluster* primary_ = nullptr;
};

// Properties changed from the primary's, Init by subclient or by instance number, and what
// comes of it. The owner found for an empty unixUser is stored back.
struct InitRow {
    std::string name;
    std::map<std::string, std::string> changed;
    bool byInstance;
    int rc;
    std::string unixUser, host, port, password, logged;
};

TEST_F(GetPostgresInfoTest, InitReadsTheStoreAndFixesTheValuesUp) {
    const std::string nameless = tree_.Dir("nameless");
    ASSERT_EQ(::chown(nameless.c_str(), kUidWithoutName, kUidWithoutName), 0);
    const std::string socket = primary_->socketDir();
    const std::string port = std::to_string(primary_->port());
    // clang-format off
    const std::vector<InitRow> rows = {
        {"stored", {}, false, 0, "pguser", socket, port, "s3cret", "Prune Logs = true"},
        {"host name", {{"port", "localhost:5433"}}, false, 0, "pguser", "127.0.0.1", "5433",
         "s3cret", "Host IP [127.0.0.1]"},
        {"port alone", {{"port", "5433"}}, false, 0, "pguser", "", "5433", "s3cret",
         "Port\t     = 5433"},
        {"no port", {{"port", "127.0.0.1:"}}, false, 0, "pguser", "127.0.0.1", "127.0.0.1:",
         "s3cret", "Host IP [127.0.0.1]"},
        {"owner", {{"unixUser", ""}}, false, 0, "postgres", socket, port, "s3cret",
         "Set unixUser in Postgres instance property = [postgres]"},
        {"nameless owner", {{"unixUser", ""}, {"pgDataDir", nameless}}, false, 0, "", socket, port,
         "s3cret", "Could not get unixUser for Postgres"},
        {"bad password", {{"saPassword", kBadPassword}}, false, -1, "", "", "", "",
         "PW.decrypt error"},
        // By instance number a password that cannot be read is none, and the owner is found
        // through the server.
        {"instance", {{"saPassword", kBadPassword}, {"unixUser", ""}}, true, 0, "postgres", socket,
         port, "", "PW.decrypt error"},
    };
    // clang-format on
    for (const InitRow& r : rows) {
        SCOPED_TRACE(r.name);
        Records records = Primary();
        for (const auto& [name, value] : r.changed)
            records.instance.properties[name] = value;
        const ApplicationId appId = Store(records);
        ::unsetenv("PGUSER");
        ::unsetenv("PGPASSWORD");
        const size_t logStart = Log().size();
        GetPostgresInfo info;
        info.autoDiscoveryFlag = 0;
        EXPECT_EQ(r.byInstance ? info.Init(static_cast<long>(records.instance.id))
                               : info.Init(appId),
                  r.rc);
        const std::string log = Log(logStart);
        EXPECT_NE(log.find(r.logged), std::string::npos) << log;
        EXPECT_EQ(log.find("s3cret"), std::string::npos) << "the password reached the log";
        if (r.rc != 0)
            continue;
        EXPECT_EQ(std::tie(info.unixUser, info.HostAddr, info.Port, info.password),
                  std::tie(r.unixUser, r.host, r.port, r.password));
        EXPECT_EQ(StoredProperty(records, "unixUser"), r.unixUser);
        EXPECT_EQ(Env("PGPASSWORD"), r.password);
        EXPECT_EQ(Env("PGUSER"), r.byInstance ? "<unset>" : "postgres");
        EXPECT_EQ(info.autoDiscoveryFlag, r.byInstance ? 0 : 1);
        EXPECT_EQ(std::tie(info.saUser, info.socketName, info.binaryPath, info.datafilePath),
                  std::make_tuple(std::string("postgres"), socket, primary_->binDir(),
                                  primary_->libDir()));
        EXPECT_EQ(info.LastLogNumber, "000000010000000000000003");
        EXPECT_TRUE(info.pruneLogs);
    }

    EXPECT_EQ(GetPostgresInfo().Init(ApplicationId(2, 999999)), -1);
    EXPECT_NE(GetPostgresInfo().Init(999999L), 0);
    // A subclient whose client is not in the store.
    Records orphan = Primary();
    const ApplicationId appId = Store(orphan);
    ASSERT_EQ(PropertyStore().removeClient(orphan.client.id), 0);
    EXPECT_NE(GetPostgresInfo().Init(appId), 0);
    EXPECT_NE(Log().find("Error: Unable to fetch client Id for app Id"), std::string::npos);
}

// A cloud database's programs are the proxy's, and its owner is never looked up.
TEST_F(GetPostgresInfoTest, CloudDatabaseUsesTheProxysInstallDirectory) {
    Records r = Primary();
    r.client.appType = 1;
    r.client.cloudType = 301;
    r.instance.properties["unixUser"] = "";
    Records withProxy = r;
    EXPECT_NE(GetPostgresInfo().Init(Store(r)), 0);
    EXPECT_NE(Log().find("Error: Unable to fetch DB Install Directory on proxy machine"),
              std::string::npos);

    PropertyStore::ClientRecord proxy;
    proxy.name = EvDebug::getClientName();
    proxy.proxyDBInstallDir = "/opt/proxy/pgsql";
    ASSERT_EQ(PropertyStore().addClient(proxy), 0);
    GetPostgresInfo info;
    ASSERT_EQ(info.Init(Store(withProxy)), 0);
    EXPECT_EQ(info.binaryPath, "/opt/proxy/pgsql/bin");
    EXPECT_EQ(info.datafilePath, "/opt/proxy/pgsql/lib");
    EXPECT_EQ(info.unixUser, "");
}

TEST_F(GetPostgresInfoTest, DisplayNeverShowsPasswords) {
    GetPostgresInfo info = Connected(primary_->socketDir(), primary_->port());
    info.password = "pw-display-secret";
    info.ntPassword = "nt-display-secret";
    info.uncPassword = "unc-display-secret";
    EXPECT_EQ(info.display(), 0);
    EXPECT_NE(Log().find("Port\t     = " + std::to_string(primary_->port())), std::string::npos);
    EXPECT_EQ(Log().find("display-secret"), std::string::npos);
}

// The host's restore program passes the subclient on its command line; the running server
// is asked first, over the host and port property, before pg_config or PG_VERSION.
TEST_F(GetPostgresInfoTest, VersionDiscoveryAsksTheServerFirst) {
    Records r = Primary();
    r.instance.properties["postgreSQLVersion"] = "9.6";
    r.instance.properties["binaryDirectory"] = tree_.Path("empty");
    r.instance.properties["pgDataDir"] = tree_.Path("empty");
    std::vector<std::string> words = {"pgrestore", "-a",
                                      "2:" + std::to_string(Store(r).getAppId())};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());

    CRoError error =
        PGCommon::CheckAndUpdateAppInstance(static_cast<int>(argv.size()), argv.data());
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(StoredProperty(r, "postgreSQLVersion"), primary_->psql("SHOW server_version"));
    EXPECT_EQ(Log().find("s3cret"), std::string::npos);
}

// A server (the primary, a hot standby made of it with pg_basebackup -R, none) and what it
// answers about its data directory, its standby status and the directory's owner.
struct ServerRow {
    std::string name, socketDir;
    int port, rc;
    bool standby;
    std::string dataDir, user;
};

TEST_F(GetPostgresInfoTest, TheServerTellsItsDataDirectoryStandbyStatusAndOwner) {
    ServerCopy standby(*primary_, tree_.Dir("standby"), tree_.Dir("standby-run"));
    ::chmod(standby.dataDir().c_str(), 0700);
    ChownToPostgres(standby.dataDir());
    const ProcessResult backup =
        runAsPostgres({PgInstall::clientTool("pg_basebackup"), "-D", standby.dataDir(), "-R", "-X",
                       "stream", "-h", primary_->socketDir(), "-p",
                       std::to_string(primary_->port()), "-U", "postgres", "--checkpoint=fast"});
    ASSERT_TRUE(backup.ok()) << backup.err;
    const ProcessResult started = standby.Start();
    ASSERT_TRUE(started.ok()) << started.err << standby.Log();
    const std::vector<ServerRow> rows = {
        {"primary", primary_->socketDir(), primary_->port(), 0, false, primary_->dataDir(),
         "postgres"},
        {"standby", standby.socketDir(), standby.port(), 0, true, standby.dataDir(), "postgres"},
        {"unreachable", primary_->socketDir(), 1, -1, false, "unchanged", "unchanged"},
    };
    for (const ServerRow& r : rows) {
        SCOPED_TRACE(r.name);
        GetPostgresInfo info = Connected(r.socketDir, r.port);
        bool isStandby = !r.standby;
        EXPECT_EQ(info.GetStandByServerStatus(isStandby), r.rc);
        EXPECT_EQ(isStandby, r.standby);
        std::string dataDir = "unchanged";
        EXPECT_EQ(info.GetDataDirectory(dataDir), r.rc);
        EXPECT_EQ(dataDir, r.dataDir);
        std::string user = "unchanged";
        EXPECT_EQ(info.GetPostgresOSUserName(user), r.rc);
        EXPECT_EQ(user, r.user);
    }
    GetPostgresInfo info = Connected(primary_->socketDir(), primary_->port());
    const std::string dataDir = primary_->dataDir();
    std::string user;
    ASSERT_EQ(info.GetPostgresOSUserName(user, dataDir), 0);
    EXPECT_EQ(user, "postgres");
    EXPECT_NE(info.GetPostgresOSUserName(user, tree_.Path("no-such-dir")), 0);

    // A data directory of a uid without a name is owned by the uid when asked through the
    // server alone (asked with a directory or a subclient, by nobody: see the nameless owner
    // of Init). The server keeps working in it through the wide-open mode.
    struct Borrowed {
        std::string dir;
        ~Borrowed() {
            const passwd* postgres = ::getpwnam("postgres");
            if (::chown(dir.c_str(), postgres->pw_uid, postgres->pw_gid) != 0 ||
                ::chmod(dir.c_str(), 0700) != 0)
                ADD_FAILURE() << "could not give " << dir << " back";
        }
    } borrowed{dataDir};
    ::chmod(dataDir.c_str(), 0777);
    ASSERT_EQ(::chown(dataDir.c_str(), kUidWithoutName, kUidWithoutName), 0);
    EXPECT_EQ(info.GetPostgresOSUserName(user), 0);
    EXPECT_EQ(user, std::to_string(kUidWithoutName));
}

// Where a restore left the file naming its data directory (the archive directory, /tmp or
// nowhere), what it holds, and what GetDataDirectory makes of it with the server down.
struct LocationRow {
    std::string place, text;
    int rc;
    std::string dataDir;
};

TEST_F(GetPostgresInfoTest, RestoreLocationFileIsUsedWhenTheServerIsDown) {
    const std::string restored = tree_.Dir("restored-data");
    ChownToPostgres(restored);
    const std::string archive = tree_.Dir("archive");
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
        Records records = Primary();
        records.subclient.guid = guid;
        ApplicationId appId = Store(records);
        const std::string file =
            (r.place == "tmp" ? "/tmp/pg_restore_DATA_DIR_" : archive + "/") + guid;
        if (r.place != "nowhere")
            TestFiles::Write(file, r.text);

        GetPostgresInfo info = Connected(primary_->socketDir(), 1);
        info.archlogFile = archive;
        std::string dataDir = "unchanged";
        EXPECT_EQ(info.GetDataDirectory(dataDir, appId), r.rc);
        EXPECT_EQ(dataDir, r.dataDir);
        std::string user;
        EXPECT_EQ(info.GetPostgresOSUserName(user, appId), r.rc == 0 ? 0 : -1);
        EXPECT_EQ(user, r.rc == 0 ? "postgres" : "");
        std::string path;
        EXPECT_EQ(info.getGUIDLocation(path, &appId), r.place == "nowhere" ? 1 : 0);
        EXPECT_EQ(path, r.place == "nowhere" ? "" : file);
        fs::remove(file);
    }
    std::string path;
    EXPECT_EQ(GetPostgresInfo().getGUIDLocation(path, nullptr), 1);
    ApplicationId missing(2, 999998);
    EXPECT_EQ(GetPostgresInfo().getGUIDLocation(path, &missing), 1);
}

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
        std::string output = "stale";
        std::string error = "stale";
        EXPECT_EQ(GetPostgresInfo().executePostGresCommand(r.command, output, error), r.rc)
            << r.command;
        EXPECT_EQ(output, r.output) << r.command;
        EXPECT_EQ(error, r.error) << r.command;
    }
    std::string output;
    EXPECT_EQ(GetPostgresInfo().executePostGresCommand("no_such_command_pgulo", output), -1);
    EXPECT_NE(Log().find("Failed to execute command [no_such_command_pgulo], Error [Command exited "
                         "with status 127: "),
              std::string::npos);
}

} // namespace
