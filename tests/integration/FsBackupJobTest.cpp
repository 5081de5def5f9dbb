// A full backup job against a real server: backups left running by others, the agent
// configuration switches, the quit request, failures that must not leave the cluster in backup
// mode, the standby overloads, the archive delete list and a restarted backup. One server per
// major serves every test.

#include "FsBackupHost.h"
#include "TempTree.h"
#include "TestFiles.h"

#include "fsbackup/PGFsBackup.h"

#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace pgulo::test;
namespace fs = std::filesystem;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new HostHome());

std::string MajorName(const ::testing::TestParamInfo<int>& info) {
    return "PostgreSQL" + std::to_string(info.param);
}

class FsBackupJobTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        PgCluster::Options options;
        options.name = "fsbackup-job";
        cluster_ = &SharedCluster(GetParam(), options);
        scratch_ = std::make_unique<TempTree>("pgulo-fsb-job");
        job_.jobId = ++nextJobId_;
        job_.jobResultsDir = scratch_->Dir("results");
        job_.configDir = scratch_->Dir("config");
        job_.archiveDir = cluster_->archiveDir();
        job_.version = cluster_->psql("SHOW server_version");
        Config("start_backup_immediate:on\n");
    }

    void TearDown() override {
        // Whatever a test did, the next one starts with the cluster out of backup mode.
        if (cluster_ && InBackupMode(*cluster_))
            cluster_->tryPsql("SELECT pg_stop_backup()");
    }

    void Config(const std::string& lines) {
        WriteAgentConfig(job_.configDir, cluster_->port(), lines);
    }

    std::string Port() const { return std::to_string(cluster_->port()); }
    std::string OwnLabelPrefix() const {
        return "pgulo_backup_" + Port() + "_" + std::to_string(job_.jobId) + "_";
    }

    // Ends the backup through the job's handle, which must succeed; returns its start log.
    static std::string Finish(void* handle) {
        std::string startLog;
        EXPECT_EQ(ShutdownBackup(handle, startLog), 1) << LastError();
        return startLog;
    }

    // The standby overloads: backup mode only, begun and ended apart from a collect walk.
    void* StartStandby(std::string& startLog, const std::string& jobResults) const {
        return PostGreFsBackupInterfaceStart(job_.jobId, cluster_->binDir(), cluster_->libDir(),
                                             "postgres", cluster_->socketDir(), Port(), "postgres",
                                             "", job_.archiveDir, startLog, nullptr, nullptr,
                                             jobResults, job_.configDir, "", job_.version);
    }
    int EndStandby(std::string& endLog, const std::string& jobResults) const {
        return PostGreFsBackupInterfaceShutdown(
            job_.jobId, cluster_->binDir(), cluster_->libDir(), "postgres", cluster_->socketDir(),
            Port(), "postgres", "", job_.archiveDir, 0, endLog, nullptr, nullptr, job_.configDir,
            "", jobResults, job_.version);
    }

    // A backup mode begun by someone else, as psql would leave it.
    void StartForeignBackup(const std::string& label) {
        cluster_->psql("SELECT pg_start_backup('" + label + "', true)");
        ASSERT_EQ(BackupLabel(*cluster_), label);
    }

    static inline unsigned long long nextJobId_ = 7000;
    PgCluster* cluster_ = nullptr;
    std::unique_ptr<TempTree> scratch_;
    JobSetup job_;
};

TEST_P(FsBackupJobTest, ABackupOfAnotherPortOrOwnerIsLeftUnlessResetIsOn) {
    for (const std::string& label :
         {std::string("pgulo_backup_1_1_1700000000"), std::string("nightly base backup"),
          "pgulo_backup_" + Port() + "_"}) {
        SCOPED_TRACE(label);
        StartForeignBackup(label);
        Config("start_backup_immediate:on\n");
        StartResult refused = StartBackup(*cluster_, job_);
        EXPECT_EQ(refused.handle, nullptr);
        EXPECT_NE(LastError().find("Could not put the Cluster in backup mode"), std::string::npos)
            << LastError();
        EXPECT_EQ(BackupLabel(*cluster_), label) << "the foreign backup is left as it was";

        Config("start_backup_immediate:on\nreset_backup_mode:on\n");
        StartResult started = StartBackup(*cluster_, job_);
        ASSERT_NE(started.handle, nullptr) << LastError();
        EXPECT_EQ(BackupLabel(*cluster_).rfind(OwnLabelPrefix(), 0), 0U);
        Finish(started.handle);
        EXPECT_FALSE(InBackupMode(*cluster_));
    }
}

TEST_P(FsBackupJobTest, AQuitRequestDuringTheWalkEndsTheBackupMode) {
    int polls = 0;
    job_.quitFlag = [](void* context) { return ++*static_cast<int*>(context) > 10; };
    job_.quitFlagContext = &polls;
    StartResult started = StartBackup(*cluster_, job_);
    EXPECT_EQ(started.handle, nullptr);
    EXPECT_EQ(polls, 11) << "the walk stops at the entry after the request";
    EXPECT_FALSE(InBackupMode(*cluster_));
}

TEST_P(FsBackupJobTest, AStartThatFailsAfterBackupModeLeavesNoBackupMode) {
    job_.jobResultsDir = scratch_->Root() + "/no-such-directory";
    StartResult started = StartBackup(*cluster_, job_);
    EXPECT_EQ(started.handle, nullptr);
    EXPECT_FALSE(InBackupMode(*cluster_));
    EXPECT_NE(AgentLog().find("Collect File open failed"), std::string::npos);
}

TEST_P(FsBackupJobTest, AnEmptyArchiveCommandIsRefusedUnlessAllowed) {
    cluster_->psql("ALTER SYSTEM SET archive_command = ''");
    cluster_->reload();
    ASSERT_TRUE(WaitFor([&] { return cluster_->psql("SHOW archive_command").empty(); },
                        std::chrono::seconds(10)));
    job_.standby = 1; // no backup mode: nothing would archive its segments
    StartResult refused = StartBackup(*cluster_, job_);
    EXPECT_EQ(refused.handle, nullptr);
    EXPECT_NE(AgentLog().find("WAL archive command is empty"), std::string::npos);

    Config("empty_wal_archive_command:on\n");
    StartResult started = StartBackup(*cluster_, job_);
    EXPECT_NE(started.handle, nullptr) << LastError();
    EXPECT_NE(AgentLog().find("WAL archive_command is empty"), std::string::npos);
    // Never in backup mode, so ending it fails; the handle is released all the same.
    std::string startLog;
    EXPECT_EQ(ShutdownBackup(started.handle, startLog), 0);

    cluster_->psql("ALTER SYSTEM RESET archive_command");
    cluster_->reload();
    ASSERT_TRUE(WaitFor([&] { return !cluster_->psql("SHOW archive_command").empty(); },
                        std::chrono::seconds(10)));
}

TEST_P(FsBackupJobTest, TheStandbyOverloadsBracketABackupFromAnotherSession) {
    std::string startLog;
    void* handle = StartStandby(startLog, job_.jobResultsDir);
    ASSERT_NE(handle, nullptr) << LastError();
    EXPECT_TRUE(std::regex_match(startLog, std::regex("[0-9A-F]+/[0-9A-F]+,[0-9A-F]{24}")))
        << startLog;
    EXPECT_TRUE(InBackupMode(*cluster_));
    EXPECT_FALSE(fs::exists(job_.jobResultsDir + "/CollectTot1.kxf"));
    // Nothing was walked, so no link target is reported.
    std::vector<std::string> databases;
    std::vector<std::string> folders;
    ASSERT_EQ(PostGreFsBackupInterfaceGetMetaData(handle, &databases, &folders), 1);
    EXPECT_NE(std::find(databases.begin(), databases.end(), "template1"), databases.end());
    EXPECT_TRUE(folders.empty());

    std::string endLog;
    EXPECT_EQ(EndStandby(endLog, job_.jobResultsDir), 1) << LastError();
    EXPECT_TRUE(std::regex_match(endLog, std::regex("[0-9A-F]+/[0-9A-F]+,[0-9A-F]{24}"))) << endLog;
    EXPECT_GE(endLog.substr(endLog.find(',') + 1), startLog.substr(startLog.find(',') + 1));
    EXPECT_FALSE(InBackupMode(*cluster_));

    // The start's handle is given back; its backup was already ended by the job id.
    std::string ignored;
    EXPECT_EQ(ShutdownBackup(handle, ignored), 0);
}

TEST_P(FsBackupJobTest, AStandbyStartWithoutAJobResultsDirectoryWritesNothingIntoTheRoot) {
    RootDirectoryWatch root;
    std::string startLog;
    void* handle = StartStandby(startLog, "");
    ASSERT_NE(handle, nullptr) << LastError();
    EXPECT_TRUE(InBackupMode(*cluster_));
    EXPECT_EQ(root.Written(), std::vector<std::string>{});

    std::string endLog;
    EXPECT_EQ(EndStandby(endLog, ""), 1) << LastError();
    EXPECT_FALSE(InBackupMode(*cluster_));

    // An outside caller asking the job for the START_LOG_FILE / END_LOG_FILE file gets the
    // names, but no file in the root directory either.
    auto* job = static_cast<PGFsBackup*>(handle);
    job->SwitchXLog(true);
    std::string start;
    std::string end;
    job->GetLogFilesNeeded(&start, &end, true);
    EXPECT_TRUE(std::regex_match(end, std::regex("[0-9A-F]{24}"))) << end;
    EXPECT_EQ(root.Written(), std::vector<std::string>{});

    std::string ignored;
    EXPECT_EQ(ShutdownBackup(handle, ignored), 0) << "its backup was ended by the job id";
    EXPECT_EQ(root.Written(), std::vector<std::string>{});
}

TEST_P(FsBackupJobTest, TheArchiveDeleteListNamesEveryArchivedSegment) {
    cluster_->switchWal();
    const std::string last = cluster_->switchWal();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(job_.archiveDir + "/" + last); },
                        std::chrono::seconds(30)));
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
    EXPECT_NE(expected.count(job_.archiveDir + "/" + last), 0U);
    fs::remove(job_.archiveDir + "/subdir");

    std::string startLog;
    EXPECT_EQ(ShutdownBackup(started.handle, startLog), 0);
}

TEST_P(FsBackupJobTest, ARestartCarriesUnchangedEntriesAndReportsDeletedOnes) {
    // Two files the host copied in the first run: one changes, one disappears.
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
    const std::string firstList = TestFiles::Read(job_.jobResultsDir + "/CollectTot1.kxf");
    std::string startLog;
    ASSERT_EQ(ShutdownBackup(first.handle, startLog), 1) << LastError();

    TestFiles::Write(changed, "changed after the first run began");
    fs::remove(gone);
    job_.restart = {{1, -1}};
    StartResult second = StartBackup(*cluster_, job_);
    ASSERT_NE(second.handle, nullptr) << LastError();
    EXPECT_TRUE(std::regex_match(second.restartString, std::regex("-o 1\\|[0-9]+")))
        << second.restartString;
    EXPECT_EQ(TestFiles::Read(job_.jobResultsDir + "/CollectTot1.kxf.backup"), firstList);
    EXPECT_TRUE(fs::exists(job_.jobResultsDir + "/CollectTot1.kxfNew.backup"));
    EXPECT_TRUE(fs::exists(job_.jobResultsDir + "/BackupTime.kxf.backup"));
    EXPECT_FALSE(fs::exists(job_.jobResultsDir + "/CollectTot1.kxfNew"));
    EXPECT_EQ(TestFiles::Read(job_.jobResultsDir + "/DeletedFiles.kxf"),
              "Version2\n" + gone + "\n");

    const std::vector<std::string> lines = ReadCollectFile(job_.jobResultsDir + "/CollectTot1.kxf");
    const auto at = [&](const std::string& path) {
        return std::find(lines.begin(), lines.end(), path) - lines.begin();
    };
    EXPECT_EQ(std::count(lines.begin(), lines.end(), changed), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kept), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), gone), 0);
    // The carried entry stays in front; the changed one comes again from the walk.
    const long offset = std::stol(second.restartString.substr(5));
    long keptOffset = 0;
    for (long i = 0; i < at(kept); ++i)
        keptOffset += static_cast<long>(lines[static_cast<std::size_t>(i)].size()) + 1;
    EXPECT_LE(keptOffset, offset);
    EXPECT_GT(at(changed), at(kept));
    ASSERT_EQ(ShutdownBackup(second.handle, startLog), 1) << LastError();
    for (const std::string& path : {changed, kept})
        fs::remove(path);
}

TEST_P(FsBackupJobTest, TheAgentConfigurationChoosesTheDatabase) {
    cluster_->tryPsql("CREATE DATABASE pgulo_dbname");
    Config("start_backup_immediate:on\ndbname:pgulo_dbname\n");
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

TEST_P(FsBackupJobTest, AStartSegmentMissingFromTheArchiveFailsTheShutdown) {
    job_.archiveDir = scratch_->Dir("not-the-archive");
    StartResult started = StartBackup(*cluster_, job_);
    ASSERT_NE(started.handle, nullptr) << LastError();
    std::string startLog;
    EXPECT_EQ(ShutdownBackup(started.handle, startLog), 0);
    EXPECT_EQ(LastError(), "Invalid archive log directory. Could not find log file in it.");
    EXPECT_EQ(startLog, "");
    EXPECT_FALSE(InBackupMode(*cluster_)) << "backup mode was ended before the check";
}

// From release 15 on the backup lives in the session of the job that began it.
class NonExclusiveJobTest : public FsBackupJobTest {};

TEST_P(NonExclusiveJobTest, TheLabelComesBackAtShutdownAndNoStaleCheckIsMade) {
    Config("start_backup_immediate:on\nasync:on\n");
    const std::string::size_type logStart = AgentLog().size();
    StartResult started = StartBackup(*cluster_, job_);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_FALSE(fs::exists(cluster_->dataDir() + "/backup_label"));
    std::string startLog;
    ASSERT_EQ(ShutdownBackup(started.handle, startLog), 1) << LastError();
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
    if (host == 0) {
        StartResult started = StartBackup(*cluster_, job_);
        ::_exit(started.handle != nullptr ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(host, &status, 0), host);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the dying host's start failed";

    job_.jobId += 1;
    StartResult started = StartBackup(*cluster_, job_);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_TRUE(fs::is_regular_file(job_.archiveDir + "/" + Finish(started.handle)));
}

TEST_P(NonExclusiveJobTest, TheStandbyStartCanOnlyBeEndedThroughItsOwnHandle) {
    std::string startLog;
    void* handle = StartStandby(startLog, job_.jobResultsDir);
    ASSERT_NE(handle, nullptr) << LastError();
    EXPECT_TRUE(std::regex_match(startLog, std::regex("[0-9A-F]+/[0-9A-F]+,[0-9A-F]{24}")))
        << startLog;

    std::string endLog;
    EXPECT_EQ(EndStandby(endLog, job_.jobResultsDir), 0);
    EXPECT_NE(LastError().find("can only be ended by the job that started it"), std::string::npos)
        << LastError();
    EXPECT_EQ(endLog, "");

    std::string segment;
    EXPECT_EQ(ShutdownBackup(handle, segment), 1) << LastError();
    EXPECT_EQ(segment, startLog.substr(startLog.find(',') + 1));
    EXPECT_TRUE(fs::exists(job_.jobResultsDir + "/backup_label"));
}

TEST_P(NonExclusiveJobTest, AStandbyStartWithoutAJobResultsDirectoryWritesNothingIntoTheRoot) {
    RootDirectoryWatch root;
    std::string startLog;
    void* handle = StartStandby(startLog, "");
    ASSERT_NE(handle, nullptr) << LastError();
    EXPECT_EQ(root.Written(), std::vector<std::string>{});
    // Ending it gives the label back from the server, with nowhere to keep it.
    std::string segment;
    EXPECT_EQ(ShutdownBackup(handle, segment), 1) << LastError();
    EXPECT_EQ(segment, startLog.substr(startLog.find(',') + 1));
    EXPECT_EQ(root.Written(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(job_.jobResultsDir + "/backup_label"));
}

INSTANTIATE_TEST_SUITE_P(NonExclusiveBackupMajors, NonExclusiveJobTest,
                         ::testing::Values(15, 16, 17, 18), MajorName);

INSTANTIATE_TEST_SUITE_P(ExclusiveBackupMajors, FsBackupJobTest, ::testing::Values(10, 12, 14),
                         MajorName);

// A cluster whose archive_command stores each segment compressed under a name of its own; the
// agent configuration file tells the job the text around the segment name.
class OwnArchiveNamesJobTest : public ::testing::TestWithParam<int> {};

TEST_P(OwnArchiveNamesJobTest, TheShutdownFindsTheStartSegmentUnderItsArchivedName) {
    PGULO_REQUIRE_MAJOR(GetParam());
    PgCluster::Options options;
    options.name = "fsbackup-gzip-" + std::to_string(GetParam());
    PgCluster cluster(GetParam(), options);
    cluster.appendConf("archive_command = 'gzip < %p > " + cluster.archiveDir() + "/arch_%f.gz'");
    cluster.start();
    TempTree scratch("pgulo-fsb-gzip");
    JobSetup job;
    job.jobId = 6998;
    job.jobResultsDir = scratch.Dir("results");
    job.configDir = scratch.Dir("config");
    job.archiveDir = cluster.archiveDir();
    job.version = cluster.psql("SHOW server_version");

    // Without the names the plain segment file is looked for, and it is not there.
    WriteAgentConfig(job.configDir, cluster.port(), "start_backup_immediate:on\n");
    StartResult unnamed = StartBackup(cluster, job);
    ASSERT_NE(unnamed.handle, nullptr) << LastError();
    std::string startLog;
    EXPECT_EQ(ShutdownBackup(unnamed.handle, startLog), 0);
    EXPECT_EQ(LastError(), "Invalid archive log directory. Could not find log file in it.");

    WriteAgentConfig(job.configDir, cluster.port(),
                     "start_backup_immediate:on\nlog_prefix:arch_\nlog_suffix:.gz\n");
    StartResult started = StartBackup(cluster, job);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_EQ(ShutdownBackup(started.handle, startLog), 1) << LastError();
    ASSERT_TRUE(std::regex_match(startLog, std::regex("[0-9A-F]{24}"))) << startLog;
    const std::string archived = cluster.archiveDir() + "/arch_" + startLog + ".gz";
    EXPECT_FALSE(fs::exists(cluster.archiveDir() + "/" + startLog));
    const auto check = pgulo::test::runCommand({"gzip", "-t", archived});
    EXPECT_TRUE(check.ok()) << archived << ": " << check.err;
}

INSTANTIATE_TEST_SUITE_P(Majors, OwnArchiveNamesJobTest, ::testing::Values(14, 17), MajorName);

} // namespace
