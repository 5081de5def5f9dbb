// A full backup job against a real server: backups left running by others, the agent
// configuration switches, the quit request, failures that must not leave the cluster in backup
// mode, the standby overloads, the archive delete list and a restarted backup. One server per
// major serves every test.

#include "FsBackupHost.h"
#include "MajorStage.h"
#include "TestFiles.h"

#include "fsbackup/PGFsBackup.h"

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

namespace {

using namespace pgulo::test;
namespace fs = std::filesystem;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new HostHome());

// The segment of a "location,segment" text.
std::string Segment(const std::string& log) {
    return log.substr(log.find(',') + 1);
}

class FsBackupJobTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &SharedCluster(GetParam(), {"fsbackup-job", 0, {}, true});
        job_.jobId = ++nextJobId_;
        job_.jobResultsDir = scratch_.Dir("results");
        job_.configDir = scratch_.Dir("config");
        job_.archiveDir = cluster_->archiveDir();
        job_.version = cluster_->psql("SHOW server_version");
        Config();
    }

    // Whatever a test did, the next one starts out of backup mode with the usual archiving.
    void TearDown() override {
        if (cluster_ && InBackupMode(*cluster_))
            cluster_->tryPsql("SELECT pg_stop_backup()");
        if (!ownArchiveCommand_.empty())
            ChangeArchiveCommand("RESET archive_command", ownArchiveCommand_);
    }

    // The agent configuration: an immediate checkpoint, so that no test waits for a spread one,
    // and the given lines.
    void Config(const std::string& lines = "") {
        WriteAgentConfig(job_.configDir, cluster_->port(), "start_backup_immediate:on\n" + lines);
    }

    // archive_command for this test; TearDown puts the cluster's own back.
    void ArchiveCommand(const std::string& command) {
        ownArchiveCommand_ = cluster_->psql("SHOW archive_command");
        ChangeArchiveCommand("SET archive_command = '" + command + "'", command);
    }
    void ChangeArchiveCommand(const std::string& change, const std::string& shown) {
        cluster_->psql("ALTER SYSTEM " + change);
        cluster_->reload();
        ASSERT_TRUE(WaitFor([&] { return cluster_->psql("SHOW archive_command") == shown; },
                            std::chrono::seconds(10)));
    }

    std::string Port() const { return std::to_string(cluster_->port()); }

    // Ends the backup through the job's handle, which must succeed; returns its start log.
    static std::string Finish(void* handle) {
        std::string startLog;
        EXPECT_EQ(ShutdownBackup(handle, startLog), 1) << LastError();
        return startLog;
    }

    static inline unsigned long long nextJobId_ = 7000;
    PgCluster* cluster_ = nullptr;
    TempTree scratch_{"pgulo-fsb-job"};
    JobSetup job_;
    std::string ownArchiveCommand_;
};

// Before release 15 a backup is the server's, exclusive, and ended by anyone.
class ExclusiveJobTest : public FsBackupJobTest {};
// From release 15 on the backup lives in the session of the job that began it.
class NonExclusiveJobTest : public FsBackupJobTest {};
class EveryMajorJobTest : public FsBackupJobTest {};

TEST_P(ExclusiveJobTest, ABackupOfAnotherPortOrOwnerIsLeftUnlessResetIsOn) {
    for (const std::string& label :
         {std::string("pgulo_backup_1_1_1700000000"), std::string("nightly base backup"),
          "pgulo_backup_" + Port() + "_"}) {
        SCOPED_TRACE(label);
        cluster_->psql("SELECT pg_start_backup('" + label + "', true)");
        Config();
        EXPECT_EQ(StartBackup(*cluster_, job_).handle, nullptr);
        EXPECT_NE(LastError().find("Could not put the Cluster in backup mode"), std::string::npos)
            << LastError();
        EXPECT_EQ(BackupLabel(*cluster_), label) << "the foreign backup is left as it was";

        Config("reset_backup_mode:on\n");
        StartResult started = StartBackup(*cluster_, job_);
        ASSERT_NE(started.handle, nullptr) << LastError();
        const std::string own = "pgulo_backup_" + Port() + "_" + std::to_string(job_.jobId) + "_";
        EXPECT_EQ(BackupLabel(*cluster_).rfind(own, 0), 0U);
        Finish(started.handle);
        EXPECT_FALSE(InBackupMode(*cluster_));
    }
}

// A quit request during the walk, and a collect file that cannot be opened, end the backup mode
// the start began.
TEST_P(ExclusiveJobTest, AStartThatFailsAfterBackupModeLeavesNoBackupMode) {
    int polls = 0;
    job_.quitFlag = [](void* context) { return ++*static_cast<int*>(context) > 10; };
    job_.quitFlagContext = &polls;
    EXPECT_EQ(StartBackup(*cluster_, job_).handle, nullptr);
    EXPECT_EQ(polls, 11) << "the walk stops at the entry after the request";
    EXPECT_FALSE(InBackupMode(*cluster_));

    job_.quitFlag = nullptr;
    job_.jobResultsDir = scratch_.Path("no-such-directory");
    EXPECT_EQ(StartBackup(*cluster_, job_).handle, nullptr);
    EXPECT_FALSE(InBackupMode(*cluster_));
    EXPECT_NE(AgentLog().find("Collect File open failed"), std::string::npos);
}

TEST_P(ExclusiveJobTest, AnEmptyArchiveCommandIsRefusedUnlessAllowed) {
    ArchiveCommand("");
    job_.standby = 1; // no backup mode: nothing would archive its segments
    EXPECT_EQ(StartBackup(*cluster_, job_).handle, nullptr);
    EXPECT_NE(AgentLog().find("WAL archive command is empty"), std::string::npos);

    Config("empty_wal_archive_command:on\n");
    StartResult started = StartBackup(*cluster_, job_);
    EXPECT_NE(started.handle, nullptr) << LastError();
    EXPECT_NE(AgentLog().find("WAL archive_command is empty"), std::string::npos);
    // Never in backup mode, so ending it fails; the handle is released all the same.
    std::string startLog;
    EXPECT_EQ(ShutdownBackup(started.handle, startLog), 0);
}

TEST_P(ExclusiveJobTest, TheArchiveDeleteListNamesEveryArchivedSegment) {
    cluster_->switchWal();
    const std::string last = job_.archiveDir + "/" + cluster_->switchWal();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(last); }, std::chrono::seconds(30)));
    fs::create_directories(job_.archiveDir + "/subdir");
    job_.makeArchiveDeleteList = true;
    job_.standby = 1;
    StartResult started = StartBackup(*cluster_, job_);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_FALSE(InBackupMode(*cluster_)) << "a standby flag skips backup mode";
    EXPECT_TRUE(fs::exists(job_.jobResultsDir + "/CollectTot1.kxf"));

    std::set<std::string> expected;
    for (const auto& entry : fs::directory_iterator(job_.archiveDir)) {
        if (entry.is_regular_file())
            expected.insert(entry.path().string());
    }
    const std::vector<std::string> listed =
        ReadCollectFile(job_.jobResultsDir + "/PGArchDelList.kxf");
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), expected);
    EXPECT_EQ(listed.size(), expected.size());
    EXPECT_NE(expected.count(last), 0U);
    fs::remove(job_.archiveDir + "/subdir");
    std::string startLog;
    EXPECT_EQ(ShutdownBackup(started.handle, startLog), 0);
}

TEST_P(ExclusiveJobTest, ARestartCarriesUnchangedEntriesAndReportsDeletedOnes) {
    // Three files the host copied in the first run: one changes, one disappears.
    const std::string changed = cluster_->dataDir() + "/pgulo_note_changed";
    const std::string gone = cluster_->dataDir() + "/pgulo_note_gone";
    const std::string kept = cluster_->dataDir() + "/pgulo_note_kept";
    for (const std::string& path : {changed, gone, kept}) {
        TestFiles::Write(path, "note");
        const struct timeval old[2] = {{1600000000, 0}, {1600000000, 0}};
        ASSERT_EQ(::utimes(path.c_str(), old), 0);
    }
    StartResult first = StartBackup(*cluster_, job_);
    ASSERT_NE(first.handle, nullptr) << LastError();
    const std::string results = job_.jobResultsDir;
    const std::string firstList = TestFiles::Read(results + "/CollectTot1.kxf");
    Finish(first.handle);

    TestFiles::Write(changed, "changed after the first run began");
    fs::remove(gone);
    job_.restart = {{1, -1}};
    StartResult second = StartBackup(*cluster_, job_);
    ASSERT_NE(second.handle, nullptr) << LastError();
    EXPECT_TRUE(std::regex_match(second.restartString, std::regex("-o 1\\|[0-9]+")))
        << second.restartString;
    EXPECT_EQ(TestFiles::Read(results + "/CollectTot1.kxf.backup"), firstList);
    EXPECT_TRUE(fs::exists(results + "/CollectTot1.kxfNew.backup"));
    EXPECT_TRUE(fs::exists(results + "/BackupTime.kxf.backup"));
    EXPECT_FALSE(fs::exists(results + "/CollectTot1.kxfNew"));
    EXPECT_EQ(TestFiles::Read(results + "/DeletedFiles.kxf"), "Version2\n" + gone + "\n");

    const std::vector<std::string> lines = ReadCollectFile(results + "/CollectTot1.kxf");
    const auto at = [&](const std::string& path) {
        return std::find(lines.begin(), lines.end(), path) - lines.begin();
    };
    EXPECT_EQ(std::count(lines.begin(), lines.end(), changed), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kept), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), gone), 0);
    // The carried entry stays in front; the changed one comes again from the walk.
    long keptOffset = 0;
    for (long i = 0; i < at(kept); ++i)
        keptOffset += static_cast<long>(lines[static_cast<std::size_t>(i)].size()) + 1;
    EXPECT_LE(keptOffset, std::stol(second.restartString.substr(5)));
    EXPECT_GT(at(changed), at(kept));
    Finish(second.handle);
    for (const std::string& path : {changed, kept})
        fs::remove(path);
}

TEST_P(ExclusiveJobTest, TheAgentConfigurationChoosesTheDatabase) {
    cluster_->tryPsql("CREATE DATABASE pgulo_dbname");
    Config("dbname:pgulo_dbname\n");
    StartResult started = StartBackup(*cluster_, job_);
    ASSERT_NE(started.handle, nullptr) << LastError();
    std::vector<std::string> databases;
    std::vector<std::string> folders;
    ASSERT_EQ(PostGreFsBackupInterfaceGetMetaData(started.handle, &databases, &folders), 1);
    // The job's session is the one whose last statement listed the databases.
    EXPECT_EQ(cluster_->psql("SELECT datname FROM pg_stat_activity "
                             "WHERE query = 'select datname from pg_database'"),
              "pgulo_dbname");
    Finish(started.handle);
}

TEST_P(NonExclusiveJobTest, TheLabelComesBackAtShutdownAndNoStaleCheckIsMade) {
    Config("async:on\n");
    const std::string::size_type logStart = AgentLog().size();
    StartResult started = StartBackup(*cluster_, job_);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_FALSE(fs::exists(cluster_->dataDir() + "/backup_label"));
    const std::string startLog = Finish(started.handle);
    EXPECT_TRUE(fs::is_regular_file(job_.archiveDir + "/" + startLog));
    const std::string label = TestFiles::Read(job_.jobResultsDir + "/backup_label");
    EXPECT_NE(label.find("(file " + startLog + ")"), std::string::npos) << label;
    EXPECT_NE(label.find("LABEL: pgulo_backup_" + Port() + "_" + std::to_string(job_.jobId)),
              std::string::npos)
        << label;
    EXPECT_FALSE(fs::exists(job_.jobResultsDir + "/tablespace_map")) << "no tablespace";
    const std::string log = AgentLog().substr(logStart);
    EXPECT_NE(log.find("no stale backup_label to check"), std::string::npos);
    EXPECT_NE(log.find("Non-exclusive backup mode is in use"), std::string::npos);
}

TEST_P(NonExclusiveJobTest, AHostThatDiesMidBackupLeavesNothingThatBlocksTheNextBackup) {
    // The host starts a backup and dies before Shutdown: no destructor runs, only the
    // connection closes. The server must end that backup with the session.
    const pid_t host = ::fork();
    ASSERT_GE(host, 0);
    if (host == 0)
        ::_exit(StartBackup(*cluster_, job_).handle != nullptr ? 0 : 3);
    int status = 0;
    ASSERT_EQ(::waitpid(host, &status, 0), host);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the dying host's start failed";

    job_.jobId += 1;
    StartResult started = StartBackup(*cluster_, job_);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_TRUE(fs::is_regular_file(job_.archiveDir + "/" + Finish(started.handle)));
}

// The standby overloads begin and end backup mode apart from a collect walk, with or without a
// job results directory; without one nothing may land in the root directory. Before 15 the
// backup is ended by the job id, from 15 on only through the start's handle.
TEST_P(EveryMajorJobTest, TheStandbyOverloadsBracketABackup) {
    const bool exclusive = GetParam() < 15;
    const std::regex location("[0-9A-F]+/[0-9A-F]+,[0-9A-F]{24}");
    for (const std::string& results : {job_.jobResultsDir, std::string()}) {
        SCOPED_TRACE("job results directory [" + results + "]");
        RootDirectoryWatch root;
        std::string startLog;
        void* handle = PostGreFsBackupInterfaceStart(
            job_.jobId, cluster_->binDir(), cluster_->libDir(), "postgres", cluster_->socketDir(),
            Port(), "postgres", "", job_.archiveDir, startLog, nullptr, nullptr, results,
            job_.configDir, "", job_.version);
        ASSERT_NE(handle, nullptr) << LastError();
        EXPECT_TRUE(std::regex_match(startLog, location)) << startLog;
        EXPECT_EQ(InBackupMode(*cluster_), exclusive);
        EXPECT_FALSE(fs::exists(job_.jobResultsDir + "/CollectTot1.kxf"));
        // Nothing was walked, so no link target is reported.
        std::vector<std::string> databases;
        std::vector<std::string> folders;
        ASSERT_EQ(PostGreFsBackupInterfaceGetMetaData(handle, &databases, &folders), 1);
        EXPECT_NE(std::find(databases.begin(), databases.end(), "template1"), databases.end());
        EXPECT_TRUE(folders.empty());

        std::string endLog;
        EXPECT_EQ(PostGreFsBackupInterfaceShutdown(
                      job_.jobId, cluster_->binDir(), cluster_->libDir(), "postgres",
                      cluster_->socketDir(), Port(), "postgres", "", job_.archiveDir, 0, endLog,
                      nullptr, nullptr, job_.configDir, "", results, job_.version),
                  exclusive ? 1 : 0)
            << LastError();
        if (exclusive) {
            EXPECT_TRUE(std::regex_match(endLog, location)) << endLog;
            EXPECT_GE(Segment(endLog), Segment(startLog));
            // Asked for the START_LOG_FILE / END_LOG_FILE file, the job gives the names.
            auto* job = static_cast<PGFsBackup*>(handle);
            job->SwitchXLog(true);
            std::string start;
            std::string end;
            job->GetLogFilesNeeded(&start, &end, true);
            EXPECT_TRUE(std::regex_match(end, std::regex("[0-9A-F]{24}"))) << end;
        } else {
            EXPECT_NE(LastError().find("can only be ended by the job that started it"),
                      std::string::npos)
                << LastError();
            EXPECT_EQ(endLog, "");
        }
        EXPECT_FALSE(InBackupMode(*cluster_));
        // From 15 on the start's handle ends its backup; before, it was ended by the job id.
        std::string segment;
        EXPECT_EQ(ShutdownBackup(handle, segment), exclusive ? 0 : 1) << LastError();
        EXPECT_EQ(segment, exclusive ? "" : Segment(startLog));
        EXPECT_EQ(fs::exists(job_.jobResultsDir + "/backup_label"), !exclusive && !results.empty());
        EXPECT_EQ(root.Written(), std::vector<std::string>{});
        fs::remove(job_.jobResultsDir + "/backup_label");
    }
}

// The shutdown looks for the start segment in the archive under the name archive_command gave
// it: here compressed, with text around the segment name that the agent configuration gives.
TEST_P(EveryMajorJobTest, TheShutdownFindsTheStartSegmentUnderItsArchivedName) {
    ArchiveCommand("gzip < %p > " + job_.archiveDir + "/arch_%f.gz");
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "plain");
        Config(named ? "log_prefix:arch_\nlog_suffix:.gz\n" : "");
        StartResult started = StartBackup(*cluster_, job_);
        ASSERT_NE(started.handle, nullptr) << LastError();
        std::string startLog;
        EXPECT_EQ(ShutdownBackup(started.handle, startLog), named ? 1 : 0);
        EXPECT_FALSE(InBackupMode(*cluster_)) << "backup mode was ended before the check";
        if (!named) {
            EXPECT_EQ(LastError(), "Invalid archive log directory. Could not find log file in it.");
            EXPECT_EQ(startLog, "");
            continue;
        }
        ASSERT_TRUE(std::regex_match(startLog, std::regex("[0-9A-F]{24}"))) << startLog;
        const std::string archived = job_.archiveDir + "/arch_" + startLog + ".gz";
        EXPECT_FALSE(fs::exists(job_.archiveDir + "/" + startLog));
        const auto check = runCommand({"gzip", "-t", archived});
        EXPECT_TRUE(check.ok()) << archived << ": " << check.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Majors, ExclusiveJobTest, ::testing::Values(10, 12, 14), MajorName);
INSTANTIATE_TEST_SUITE_P(Majors, NonExclusiveJobTest, ::testing::Values(15, 16, 17, 18), MajorName);
INSTANTIATE_TEST_SUITE_P(Majors, EveryMajorJobTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         MajorName);

} // namespace
