#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PostgresHelperClass.h"

#include "PgCluster.h"
#include "PgInstall.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pgulo::test::PgCluster;
using pgulo::test::PgInstall;
using pgulo::test::ProcessOptions;
using pgulo::test::ProcessResult;
using pgulo::test::runAsPostgres;
using pgulo::test::runCommand;
using pgulo::test::TempHostHome;
using pgulo::test::TempTree;
using pgulo::test::TestFiles;
using Lines = std::vector<std::string>;

Lines SplitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---------------------------------------------------------------------------------------------
// The settings themselves, without a server.

class RecoverySettingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { home_ = std::make_unique<TempHostHome>(); }
    static void TearDownTestSuite() { home_.reset(); }

    void SetUp() override {
        tree_ = std::make_unique<TempTree>("pgulo-recovery");
        dataDir_ = tree_->Path("data");
        fs::create_directory(dataDir_);
        configFile_ = dataDir_ + "/postgresql.conf";
        TestFiles::Write(configFile_, "port = 5432\n# restored settings\n");
        info_.Port = "5432";
    }

    CRoError Add(const std::string& version, const std::string& archive, const std::string& target,
                 bool standby = false, bool replication = false) {
        info_.postgresVersion = version;
        return PostgresHelperClass::addRecoveryCommandsToServerConfig(
            configFile_, info_, dataDir_, archive, target, standby, replication,
            recoveryConfigFile_, savedConfig_);
    }

    static std::unique_ptr<TempHostHome> home_;
    std::unique_ptr<TempTree> tree_;
    std::string dataDir_;
    std::string configFile_;
    GetPostgresInfo info_;
    std::string recoveryConfigFile_;
    std::string savedConfig_ = "stale";
};
std::unique_ptr<TempHostHome> RecoverySettingsTest::home_;

TEST_F(RecoverySettingsTest, Before10OnlyTheRestoreCommandGoesIntoRecoveryConf) {
    ASSERT_FALSE(Add("9.6", "/var/lib/arch", "").IsError());

    EXPECT_EQ(recoveryConfigFile_, dataDir_ + "/recovery.conf");
    EXPECT_EQ(TestFiles::Read(recoveryConfigFile_), "restore_command = 'cp /var/lib/arch/%f %p'\n");
    EXPECT_EQ(savedConfig_, "");
    EXPECT_EQ(TestFiles::Read(configFile_), "port = 5432\n# restored settings\n");
    EXPECT_FALSE(fs::exists(dataDir_ + "/recovery.signal"));
    EXPECT_EQ(PostgresHelperClass::getRecoveryDoneFileName(dataDir_, "9.6"),
              dataDir_ + "/recovery.done");
}

TEST_F(RecoverySettingsTest, Before10ATargetTimeAddsNoTargetAction) {
    ASSERT_FALSE(Add("9.6", "/var/lib/arch", "2024-03-01 10:00:00+00").IsError());

    EXPECT_EQ(SplitLines(TestFiles::Read(recoveryConfigFile_)),
              (Lines{"restore_command = 'cp /var/lib/arch/%f %p'",
                     "recovery_target_time = '2024-03-01 10:00:00+00'"}));
}

TEST_F(RecoverySettingsTest, From10ToBefore12RecoveryConfPromotesAtTheTarget) {
    ASSERT_FALSE(Add("10.5", "/var/lib/arch", "2024-03-01 10:00:00+00").IsError());

    EXPECT_EQ(SplitLines(TestFiles::Read(dataDir_ + "/recovery.conf")),
              (Lines{"restore_command = 'cp /var/lib/arch/%f %p'",
                     "recovery_target_time = '2024-03-01 10:00:00+00'",
                     "recovery_target_action = promote"}));
    EXPECT_EQ(PostgresHelperClass::getRecoveryDoneFileName(dataDir_, "11.9"),
              dataDir_ + "/recovery.done");
}

TEST_F(RecoverySettingsTest, From12TheSettingsAreAppendedAndTheOldConfigurationSaved) {
    for (const std::string version : {"12.0", "13.2"}) {
        SCOPED_TRACE(version);
        TestFiles::Write(configFile_, "port = 5432\n# restored settings\n");
        fs::remove(dataDir_ + "/recovery.signal");
        ASSERT_FALSE(Add(version, "/var/lib/arch", "2024-03-01 10:00:00+00").IsError());

        EXPECT_EQ(recoveryConfigFile_, configFile_);
        EXPECT_EQ(savedConfig_, configFile_ + "_without_recovery_command");
        EXPECT_EQ(TestFiles::Read(savedConfig_), "port = 5432\n# restored settings\n");
        EXPECT_EQ(SplitLines(TestFiles::Read(configFile_)),
                  (Lines{"port = 5432", "# restored settings",
                         "restore_command = 'cp /var/lib/arch/%f %p'",
                         "recovery_end_command = 'touch " + dataDir_ + "/recovery.done.kx'",
                         "recovery_target_time = '2024-03-01 10:00:00+00'",
                         "recovery_target_action = promote"}));
        EXPECT_TRUE(fs::is_regular_file(dataDir_ + "/recovery.signal"));
        EXPECT_FALSE(fs::exists(dataDir_ + "/recovery.conf"));
        EXPECT_EQ(PostgresHelperClass::getRecoveryDoneFileName(dataDir_, version),
                  dataDir_ + "/recovery.done.kx");
    }
}

TEST_F(RecoverySettingsTest, ArchiveDirectoryWithOrWithoutTrailingSlashGivesOneSlash) {
    for (const std::string archive : {"/var/lib/arch", "/var/lib/arch/"}) {
        Lines lines = PostgresHelperClass::BuildRecoverySettings("9.6", dataDir_, archive, "",
                                                                 "5432", false, false);
        EXPECT_EQ(lines, (Lines{"restore_command = 'cp /var/lib/arch/%f %p'"})) << archive;
    }
}

TEST_F(RecoverySettingsTest, TargetTimeZeroOrEmptyWritesNoTarget) {
    for (const std::string target : {"", "0"}) {
        Lines lines = PostgresHelperClass::BuildRecoverySettings("10.5", dataDir_, "/a", target,
                                                                 "5432", false, false);
        EXPECT_EQ(lines,
                  (Lines{"restore_command = 'cp /a/%f %p'", "recovery_target_action = promote"}))
            << "[" << target << "]";
    }
    Lines lines = PostgresHelperClass::BuildRecoverySettings("10.5", dataDir_, "/a", "00", "5432",
                                                             false, false);
    EXPECT_EQ(lines.at(1), "recovery_target_time = '00'");
}

TEST_F(RecoverySettingsTest, StandbyLinesNeedBothFlags) {
    struct Case {
        bool standby, replication;
        size_t lines;
    };
    for (const Case& c :
         {Case{false, false, 1}, Case{true, false, 1}, Case{false, true, 1}, Case{true, true, 3}}) {
        Lines lines = PostgresHelperClass::BuildRecoverySettings("9.6", dataDir_, "/a", "", "5433",
                                                                 c.standby, c.replication);
        EXPECT_EQ(lines.size(), c.lines) << c.standby << c.replication;
    }
    Lines lines =
        PostgresHelperClass::BuildRecoverySettings("9.6", "/pg/data", "/a", "", "5433", true, true);
    EXPECT_EQ(lines, (Lines{"restore_command = 'cp /a/%f %p'", "standby_mode = 'on'",
                            "trigger_file = '/pg/data/postgresql-repl-5433.trigger'"}));
}

TEST_F(RecoverySettingsTest, StandbyFromTwelveOnUsesSettingsTheServerAccepts) {
    // standby_mode and trigger_file stop a server of 12 or later from starting.
    Lines twelve = PostgresHelperClass::BuildRecoverySettings("12.3", "/pg/data", "/a", "", "5433",
                                                              true, true);
    EXPECT_EQ(twelve, (Lines{"restore_command = 'cp /a/%f %p'",
                             "recovery_end_command = 'touch /pg/data/recovery.done.kx'",
                             "promote_trigger_file = '/pg/data/postgresql-repl-5433.trigger'",
                             "recovery_target_action = promote"}));
    Lines sixteen = PostgresHelperClass::BuildRecoverySettings("16.2", "/pg/data", "/a", "", "5433",
                                                               true, true);
    EXPECT_EQ(sixteen, (Lines{"restore_command = 'cp /a/%f %p'",
                              "recovery_end_command = 'touch /pg/data/recovery.done.kx'",
                              "recovery_target_action = promote"}));
}

TEST_F(RecoverySettingsTest, StandbyFromTwelveOnMakesStandbySignal) {
    ASSERT_FALSE(Add("14.1", "/var/lib/arch", "", true, true).IsError());
    EXPECT_TRUE(fs::exists(dataDir_ + "/recovery.signal"));
    EXPECT_TRUE(fs::exists(dataDir_ + "/standby.signal"));
    const std::string text = TestFiles::Read(configFile_);
    EXPECT_EQ(text.find("standby_mode"), std::string::npos);
    EXPECT_EQ(text.find("\ntrigger_file = "), std::string::npos);
    EXPECT_NE(text.find("\npromote_trigger_file = "), std::string::npos);
}

TEST_F(RecoverySettingsTest, QuotesAndShellSyntaxInPathsAreQuotedTwice) {
    Lines lines =
        PostgresHelperClass::BuildRecoverySettings("12.3", "/pg/it's data", "/backup/it's $(arch)",
                                                   "2024-03-01 10:00:00'; x", "5432", false, false);
    // The shell gets '/backup/it'\''s $(arch)/%f', and each ' and \ of that is escaped for
    // the configuration value.
    EXPECT_EQ(lines, (Lines{"restore_command = 'cp ''/backup/it''\\\\''''s $(arch)/%f'' %p'",
                            "recovery_end_command = 'touch ''/pg/it''\\\\''''s "
                            "data/recovery.done.kx'''",
                            "recovery_target_time = '2024-03-01 10:00:00''; x'",
                            "recovery_target_action = promote"}));
}

TEST_F(RecoverySettingsTest, PercentInAPathReachesTheShellAsItself) {
    Lines lines = PostgresHelperClass::BuildRecoverySettings("9.6", dataDir_, "/arch/100%", "",
                                                             "5432", false, false);
    EXPECT_EQ(lines, (Lines{"restore_command = 'cp /arch/100%%/%f %p'"}));
}

TEST_F(RecoverySettingsTest, StaleRecoveryDoneFileAndOldFilesAreReplaced) {
    TestFiles::Write(dataDir_ + "/recovery.done", "from an earlier restore\n");
    TestFiles::Write(dataDir_ + "/recovery.conf", "restore_command = 'false'\n");
    ASSERT_FALSE(Add("10.5", "/var/lib/arch", "").IsError());
    EXPECT_FALSE(fs::exists(dataDir_ + "/recovery.done"));
    EXPECT_EQ(
        SplitLines(TestFiles::Read(dataDir_ + "/recovery.conf")),
        (Lines{"restore_command = 'cp /var/lib/arch/%f %p'", "recovery_target_action = promote"}));

    TestFiles::Write(dataDir_ + "/recovery.done.kx", "");
    TestFiles::Write(configFile_ + "_without_recovery_command", "stale copy\n");
    ASSERT_FALSE(Add("14.1", "/var/lib/arch", "").IsError());
    EXPECT_FALSE(fs::exists(dataDir_ + "/recovery.done.kx"));
    EXPECT_EQ(TestFiles::Read(configFile_ + "_without_recovery_command"),
              "port = 5432\n# restored settings\n");
}

TEST_F(RecoverySettingsTest, MissingConfigurationFileFailsBeforeAnythingIsWritten) {
    fs::remove(configFile_);
    CRoError error = Add("12.0", "/var/lib/arch", "");
    EXPECT_TRUE(error.IsError());
    EXPECT_FALSE(fs::exists(configFile_));
    EXPECT_FALSE(fs::exists(dataDir_ + "/recovery.signal"));
}

TEST_F(RecoverySettingsTest, UnopenableRecoveryFileIsAnError) {
    fs::create_directory(dataDir_ + "/recovery.conf");
    fs::create_directory(dataDir_ + "/recovery.conf/keep");
    CRoError error = Add("10.5", "/var/lib/arch", "");
    ASSERT_TRUE(error.IsError());
    EXPECT_NE(error.AsString().find("Unable to open " + dataDir_ +
                                    "/recovery.conf to add recovery commands."),
              std::string::npos)
        << error.AsString();
}

TEST_F(RecoverySettingsTest, WrittenFilesBelongToTheDataDirectorysOwner) {
    const passwd* postgres = ::getpwnam("postgres");
    if (::geteuid() != 0 || postgres == nullptr)
        GTEST_SKIP() << "needs root and the postgres user";
    ASSERT_EQ(::chown(dataDir_.c_str(), postgres->pw_uid, postgres->pw_gid), 0);

    ASSERT_FALSE(Add("12.0", "/var/lib/arch", "").IsError());

    for (const std::string& path : {configFile_, dataDir_ + "/recovery.signal"}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_uid, postgres->pw_uid) << path;
        EXPECT_EQ(st.st_gid, postgres->pw_gid) << path;
    }
}

TEST_F(RecoverySettingsTest, CleanupPutsTheSavedConfigurationBack) {
    ASSERT_FALSE(Add("12.0", "/var/lib/arch", "").IsError());
    const std::string withSettings = TestFiles::Read(configFile_);

    ASSERT_FALSE(PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(configFile_, dataDir_,
                                                                            savedConfig_)
                     .IsError());

    EXPECT_EQ(savedConfig_, "");
    EXPECT_EQ(TestFiles::Read(configFile_), "port = 5432\n# restored settings\n");
    EXPECT_EQ(TestFiles::Read(configFile_ + ".with_recovery_command_kx"), withSettings);
}

TEST_F(RecoverySettingsTest, CleanupWithoutANameOrWithAMissingCopyLeavesTheConfiguration) {
    std::string none;
    EXPECT_FALSE(
        PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(configFile_, dataDir_, none)
            .IsError());

    std::string missing = dataDir_ + "/no-such-copy";
    EXPECT_FALSE(
        PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(configFile_, dataDir_, missing)
            .IsError());
    EXPECT_EQ(missing, "");
    EXPECT_EQ(TestFiles::Read(configFile_), "port = 5432\n# restored settings\n");
    EXPECT_FALSE(fs::exists(configFile_ + ".with_recovery_command_kx"));
}

TEST_F(RecoverySettingsTest, FailedCleanupKeepsTheConfigurationAndTheName) {
    ASSERT_FALSE(Add("12.0", "/var/lib/arch", "").IsError());
    const std::string withSettings = TestFiles::Read(configFile_);
    // The saved copy is a directory now: it exists but cannot be copied back.
    const std::string saved = savedConfig_;
    fs::remove(saved);
    fs::create_directory(saved);

    CRoError error = PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(
        configFile_, dataDir_, savedConfig_);
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(savedConfig_, saved);
    EXPECT_EQ(TestFiles::Read(configFile_), withSettings);
}

// ---------------------------------------------------------------------------------------------
// Real restores: a base copy of a cluster, rows written after it into the WAL archive, and the
// copy started with the recovery settings.

// A directory (or an empty file) the server's OS user owns.
void GiveToPostgres(const std::string& path) {
    const passwd* postgres = ::getpwnam("postgres");
    if (postgres == nullptr || ::chown(path.c_str(), postgres->pw_uid, postgres->pw_gid) != 0)
        throw std::runtime_error("cannot give " + path + " to postgres");
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return condition();
}

// A server started on a restored data directory with pg_ctl; stopped at the end.
class RestoredServer {
public:
    RestoredServer(int major, std::string dataDir, std::string socketDir, std::string logFile)
        : major_(major), dataDir_(std::move(dataDir)), socketDir_(std::move(socketDir)),
          logFile_(std::move(logFile)) {}
    ~RestoredServer() {
        if (started_)
            runAsPostgres({PgInstall::binDir(major_) + "/pg_ctl", "-D", dataDir_, "-m", "immediate",
                           "-w", "stop"},
                          "/");
    }
    RestoredServer(const RestoredServer&) = delete;
    RestoredServer& operator=(const RestoredServer&) = delete;

    ProcessResult Start(int port) {
        port_ = port;
        // No archiving of its own: the restored server must not write into the archive it
        // replays from.
        ProcessResult r = runAsPostgres(
            {PgInstall::binDir(major_) + "/pg_ctl", "-D", dataDir_, "-l", logFile_, "-w", "-t",
             "120", "-o",
             "-p " + std::to_string(port) + " -k " + socketDir_ + " -c archive_mode=off", "start"},
            "/");
        started_ = true;
        return r;
    }

    ProcessResult Psql(const std::string& sql) const {
        ProcessOptions options;
        options.env = {{"LC_ALL", "C"}};
        return runCommand({PgInstall::clientTool("psql"), "-X", "-A", "-t", "-h", socketDir_, "-p",
                           std::to_string(port_), "-U", "postgres", "-d", "postgres", "-c", sql},
                          options);
    }

    std::string Log() const { return TestFiles::Read(logFile_); }

private:
    int major_;
    std::string dataDir_;
    std::string socketDir_;
    std::string logFile_;
    int port_ = 0;
    bool started_ = false;
};

// One primary per major, with a base copy taken before rows A and B were written and archived.
struct Restorable {
    std::unique_ptr<PgCluster> primary;
    std::unique_ptr<TempTree> tree;
    std::string base;
    std::string version;
    std::string targetTime;
};

class RecoveryRestoreTest : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { home_ = std::make_unique<TempHostHome>(); }
    static void TearDownTestSuite() {
        restorables_.clear();
        home_.reset();
    }

    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        if (::geteuid() != 0 || ::getpwnam("postgres") == nullptr)
            GTEST_SKIP() << "needs root and the postgres user";
        auto& slot = restorables_[GetParam()];
        if (!slot)
            slot = Prepare(GetParam());
        restorable_ = slot.get();
    }

    static std::unique_ptr<Restorable> Prepare(int major) {
        auto r = std::make_unique<Restorable>();
        PgCluster::Options options;
        options.name = "recovery-" + std::to_string(major);
        r->primary = std::make_unique<PgCluster>(major, options);
        PgCluster& primary = *r->primary;
        primary.start();
        r->tree = std::make_unique<TempTree>("pgulo-recovery");
        r->version = primary.psql("SHOW server_version");
        primary.psql("CREATE TABLE t (id int PRIMARY KEY, label text)");

        r->base = r->tree->Path("base");
        fs::create_directory(r->base);
        ::chmod(r->base.c_str(), 0700);
        GiveToPostgres(r->base);
        ProcessResult backup =
            runAsPostgres({PgInstall::clientTool("pg_basebackup"), "-D", r->base, "-X", "none",
                           "-h", primary.socketDir(), "-p", std::to_string(primary.port()), "-U",
                           "postgres", "--checkpoint=fast"},
                          r->tree->Root());
        if (!backup.ok()) {
            // A cold copy serves as well: the server is stopped while its files are copied.
            std::cerr << "pg_basebackup failed, using a cold copy: " << backup.err << std::endl;
            primary.stop();
            fs::remove(r->base);
            fs::copy(primary.dataDir(), r->base, fs::copy_options::recursive);
            fs::remove(r->base + "/postmaster.pid");
            primary.start();
        }

        primary.psql("INSERT INTO t VALUES (1, 'A')");
        primary.switchWal();
        primary.psql("SELECT pg_sleep(1.1)");
        r->targetTime = primary.psql("SELECT clock_timestamp()::text");
        primary.psql("SELECT pg_sleep(1.1)");
        primary.psql("INSERT INTO t VALUES (2, 'B')");
        const std::string last = primary.switchWal();
        const std::string archived = primary.archiveDir() + "/" + last;
        if (!WaitFor([&] { return fs::exists(archived); }, std::chrono::seconds(60)))
            ADD_FAILURE() << "segment " << last << " was not archived";
        return r;
    }

    // A restored copy of the base, given to root as a restore program would leave it, with
    // its WAL directory moved out and reached through a link.
    std::string RestoreCopy(const std::string& name) {
        const std::string copy = restorable_->tree->Path(name);
        fs::copy(restorable_->base, copy, fs::copy_options::recursive);
        const std::string walName = fs::exists(copy + "/pg_wal") ? "pg_wal" : "pg_xlog";
        const std::string wal = restorable_->tree->Path(name + "-wal");
        fs::rename(copy + "/" + walName, wal);
        fs::create_directory_symlink(wal, copy + "/" + walName);
        ::chmod(copy.c_str(), 0700);
        return copy;
    }

    // The archive as a directory whose name needs quoting for the shell and for the
    // configuration syntax.
    std::string ArchiveCopyWithAwkwardName() {
        const std::string archive = restorable_->tree->Path("it's an archive");
        if (!fs::exists(archive)) {
            fs::copy(restorable_->primary->archiveDir(), archive, fs::copy_options::recursive);
            ProcessResult r = runCommand({"chown", "-R", "postgres:", archive});
            EXPECT_TRUE(r.ok()) << r.err;
        }
        return archive;
    }

    void RestoreAndCheck(const std::string& name, const std::string& archive,
                         const std::string& target, const std::string& expectedRows) {
        const int major = GetParam();
        const std::string copy = RestoreCopy(name);
        const std::string configFile = copy + "/postgresql.conf";
        const std::string before = TestFiles::Read(configFile);
        const std::string walLink = copy + (major >= 10 ? "/pg_wal" : "/pg_xlog");

        GetPostgresInfo info;
        info.postgresVersion = restorable_->version;
        info.Port = std::to_string(restorable_->primary->port() + 1);
        std::string recoveryConfigFile;
        std::string saved;
        CRoError added = PostgresHelperClass::addRecoveryCommandsToServerConfig(
            configFile, info, copy, archive, target, false, false, recoveryConfigFile, saved);
        ASSERT_FALSE(added.IsError()) << added.AsString();
        ASSERT_EQ(
            PostgresHelperClass::ChangeDataWalOwnership(copy, walLink, configFile, "postgres"), 0);

        const passwd* postgres = ::getpwnam("postgres");
        for (const std::string& path : {copy, walLink, fs::read_symlink(walLink).string(),
                                        configFile, copy + "/PG_VERSION"}) {
            struct stat st {};
            ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_uid, postgres->pw_uid) << path;
        }

        const std::string socketDir = restorable_->tree->Path(name + "-socket");
        fs::create_directory(socketDir);
        GiveToPostgres(socketDir);
        const std::string logFile = restorable_->tree->Path(name + ".log");
        TestFiles::Write(logFile, "");
        GiveToPostgres(logFile);
        RestoredServer server(major, copy, socketDir, logFile);
        ProcessResult started = server.Start(restorable_->primary->port() + 1);
        ASSERT_TRUE(started.ok()) << started.out << started.err << server.Log();

        ASSERT_FALSE(
            PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(configFile, copy, saved)
                .IsError());
        EXPECT_EQ(saved, "");
        EXPECT_EQ(TestFiles::Read(configFile), before);

        const std::string doneFile =
            PostgresHelperClass::getRecoveryDoneFileName(copy, restorable_->version);
        ASSERT_TRUE(WaitFor([&] { return fs::exists(doneFile); }, std::chrono::seconds(120)))
            << server.Log();
        ASSERT_TRUE(WaitFor([&] { return server.Psql("SELECT pg_is_in_recovery()").out == "f\n"; },
                            std::chrono::seconds(60)))
            << server.Log();
        ProcessResult rows = server.Psql("SELECT string_agg(label, ',' ORDER BY id) FROM t");
        ASSERT_TRUE(rows.ok()) << rows.err;
        EXPECT_EQ(pgulo::test::trim(rows.out), expectedRows) << server.Log();
    }

    static std::unique_ptr<TempHostHome> home_;
    static std::map<int, std::unique_ptr<Restorable>> restorables_;
    Restorable* restorable_ = nullptr;
};
std::unique_ptr<TempHostHome> RecoveryRestoreTest::home_;
std::map<int, std::unique_ptr<Restorable>> RecoveryRestoreTest::restorables_;

TEST_P(RecoveryRestoreTest, WithoutTargetEveryArchivedRowIsReplayed) {
    RestoreAndCheck("all", restorable_->primary->archiveDir() + "/", "", "A,B");
}

TEST_P(RecoveryRestoreTest, TargetTimeBetweenTwoInsertsStopsBeforeTheSecond) {
    RestoreAndCheck("target", ArchiveCopyWithAwkwardName(), restorable_->targetTime, "A");
}

INSTANTIATE_TEST_SUITE_P(Majors, RecoveryRestoreTest, ::testing::Values(10, 12, 14),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
