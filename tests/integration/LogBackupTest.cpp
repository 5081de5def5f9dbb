// Log backups of real clusters that archive their WAL into the test's archive directory, driven
// through the entry points the backup host calls.
#include "logbackup/PGLogBackup.h"

#include "pgulo/PGLastError.h"
#include "pgulo/PostGreFsBackupInterface.h"
#include "pgulo/PostGreLogBackupInterface.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "FsBackupHost.h"
#include "PgCluster.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

const std::vector<int> kEveryMajor = {10, 12, 14, 15, 16, 17, 18};
const std::vector<int> kSomeMajors = {10, 14, 17};
constexpr unsigned long long kJobId = 4242;
const char* const kLogTmpName = "PGLogTmp_4242.txt";

bool IsSegmentName(const std::string& name) {
    return name.size() == 24 && name.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::vector<std::string> DirectoryNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool WaitForFile(const std::string& path) {
    return WaitFor([&] { return fs::exists(path); }, std::chrono::seconds(60));
}

// The program's cluster of the major, shared by the tests that need nothing of their own.
PgCluster& SharedLogCluster(int major) {
    PgClusterOptions options;
    options.name = "logbackup";
    PgCluster& cluster = SharedCluster(major, options);
    cluster.psql("CREATE TABLE IF NOT EXISTS filler (id serial, note text)");
    return cluster;
}

// A cluster whose archive takes nothing.
PgCluster& NeverArchivingCluster(int major) {
    PgClusterOptions options;
    options.name = "noarchive";
    options.extraConf = {"archive_command = '/bin/false'"};
    PgCluster& cluster = SharedCluster(major, options);
    cluster.psql("CREATE TABLE IF NOT EXISTS never_archived (id int)");
    return cluster;
}

// Closes the segment being written, after writing to it: a switch on an idle server names
// the next segment on recent majors.
std::string ClosedSegment(const PgCluster& cluster) {
    cluster.psql("INSERT INTO never_archived VALUES (1)");
    return cluster.switchWal();
}

PGLogBackup* Job(const StartResult& started) {
    return static_cast<PGLogBackup*>(started.handle);
}

// One backup job's side of the host: its own host home (registry, debug log), job results
// directory and agent configuration directory.
class LogBackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::make_unique<TempTree>("pgulo-logbackup");
        for (const char* dir : {"home", "jobresults", "config"})
            root_->Dir(dir);
        ::setenv("PGULO_HOME", root_->Path("home").c_str(), 1);
        EvDebug::reloadSettings();
        // The error state is process-wide: what an earlier test left must not pass for ours.
        SetPGLastErrCode(0);
        PGLastError("(nothing recorded by this test)");
        // A host that wants its backups quick looks for the end log every second.
        SetRegistry("nWaitForEndLogPollSecs", "1");
    }
    void TearDown() override {
        root_.reset();
        ::unsetenv("PGULO_HOME");
        EvDebug::reloadSettings();
    }

    std::string JobResults() const { return root_->Path("jobresults"); }
    std::string ConfigDir() const { return root_->Path("config"); }

    // The agent configuration file of the cluster's port. Backup mode starts with an
    // immediate checkpoint so the tests do not wait for a spread one.
    void WriteAgentConfig(const PgCluster& cluster, const std::vector<std::string>& lines) const {
        std::string text = "start_backup_immediate:on\n";
        for (const std::string& line : lines)
            text += line + "\n";
        pgulo::test::WriteAgentConfig(ConfigDir(), cluster.port(), text);
    }

    static void SetRegistry(const std::string& key, const std::string& value) {
        ASSERT_TRUE(KXPlatformInfo().setString("PostGres", key, value));
    }

    static std::string Version(const PgCluster& cluster) {
        return cluster.psql("SHOW server_version");
    }

    JobSetup Setup(const PgCluster& cluster) const {
        JobSetup job;
        job.jobId = kJobId;
        job.jobResultsDir = JobResults();
        job.configDir = ConfigDir();
        job.archiveDir = cluster.archiveDir();
        job.version = Version(cluster);
        job.logTmpName = kLogTmpName;
        return job;
    }

    // A full backup as the host runs it; returns the first WAL segment it needs.
    std::string FullBackup(const PgCluster& cluster, bool makeArchiveDeleteList = false) const {
        JobSetup job = Setup(cluster);
        job.makeArchiveDeleteList = makeArchiveDeleteList;
        const StartResult started = StartBackup(cluster, job);
        if (started.handle == nullptr) {
            ADD_FAILURE() << "full backup start failed: " << LastError();
            return {};
        }
        std::string startLog;
        EXPECT_EQ(ShutdownBackup(started.handle, startLog), 1) << LastError();
        return startLog;
    }

    StartResult StartLogBackup(const PgCluster& cluster, PG_LOG_BACKUP_TYPE type,
                               const std::string& lastLog, bool prune = false,
                               PGQuitFlagCallback quitFlag = nullptr,
                               void* context = nullptr) const {
        JobSetup job = Setup(cluster);
        job.quitFlag = quitFlag;
        job.quitFlagContext = context;
        return pgulo::test::StartLogBackup(cluster, job, type, lastLog, prune);
    }

    static std::string EndLogOf(void* handle) {
        std::string endLog;
        std::vector<std::string> databases;
        EXPECT_EQ(PostGreLogBackupInterfaceGetMetaData(handle, &databases, &endLog), 1);
        EXPECT_NE(std::find(databases.begin(), databases.end(), "postgres"), databases.end());
        return endLog;
    }

    // Lines of every collect file the job wrote.
    static std::vector<std::string> CollectLines(const StartResult& started) {
        std::vector<std::string> lines;
        for (const std::string& file : Job(started)->GetCollectFileList()) {
            const std::vector<std::string> more = TestFiles::ReadLines(file);
            lines.insert(lines.end(), more.begin(), more.end());
        }
        return lines;
    }

    // Segments in the archive after `after` (when given) up to and including `upTo`, as the
    // archive's paths, in order.
    static std::vector<std::string> ArchivedSegments(const PgCluster& cluster,
                                                     const std::string& after,
                                                     const std::string& upTo,
                                                     bool includeAfter = false) {
        std::vector<std::string> paths;
        for (const std::string& name : DirectoryNames(cluster.archiveDir())) {
            if (!IsSegmentName(name) || name > upTo)
                continue;
            if (!after.empty() && (includeAfter ? name < after : name <= after))
                continue;
            paths.push_back(cluster.archiveDir() + "/" + name);
        }
        return paths;
    }

    // Writes some WAL and closes a few segments; returns the last one closed.
    static std::string MakeSegments(const PgCluster& cluster, int count) {
        std::string last;
        for (int i = 0; i < count; ++i) {
            cluster.psql("INSERT INTO filler (note) SELECT md5(g::text) FROM generate_series(1, "
                         "200) g");
            last = cluster.switchWal();
        }
        return last;
    }

    // The job's collect files list the paths, then its temporary file and the archive itself.
    static void ExpectCollected(const StartResult& started, const PgCluster& cluster,
                                std::vector<std::string> paths) {
        paths.push_back(cluster.archiveDir() + "/" + kLogTmpName);
        paths.push_back(cluster.archiveDir());
        EXPECT_EQ(CollectLines(started), paths);
    }

    static std::string CurrentSegment(const PgCluster& cluster) {
        return cluster.psql("SELECT pg_walfile_name(pg_current_wal_insert_lsn())");
    }

    static std::string DebugLog() { return TestFiles::Read(EvDebug::logFilePath()); }

    std::unique_ptr<TempTree> root_;
};

// A test on one major, skipped when that major is not installed.
class LogBackupMajor : public LogBackupTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        LogBackupTest::SetUp();
    }

    // The program's cluster of the major, with these agent configuration lines.
    PgCluster& Cluster(const std::vector<std::string>& config = {}) const {
        PgCluster& cluster = SharedLogCluster(GetParam());
        WriteAgentConfig(cluster, config);
        return cluster;
    }
};
class LogBackupEveryMajor : public LogBackupMajor {};
class LogBackupSomeMajors : public LogBackupMajor {};

std::string MajorName(const ::testing::TestParamInfo<int>& info) {
    return "PG" + std::to_string(info.param);
}

TEST_P(LogBackupEveryMajor, IncrementalAfterAFullBackupTakesTheSegmentsSinceItsLastLog) {
    PgCluster& cluster = Cluster();
    const std::string fullStart = FullBackup(cluster);
    ASSERT_TRUE(IsSegmentName(fullStart)) << fullStart;
    const std::string switched = MakeSegments(cluster, 3);
    cluster.psql("INSERT INTO filler (note) VALUES ('after the last switch')");

    StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, fullStart);
    ASSERT_NE(started.handle, nullptr) << LastError();
    const std::string endLog = EndLogOf(started.handle);
    ASSERT_TRUE(IsSegmentName(endLog)) << endLog;
    EXPECT_GT(endLog, switched) << "the roll-over closes the segment being written";

    const std::vector<std::string> expected = ArchivedSegments(cluster, fullStart, endLog);
    ASSERT_GE(expected.size(), 4u);
    const std::string tmpFile = cluster.archiveDir() + "/" + kLogTmpName;
    long long segmentBytes = 0;
    for (const std::string& path : expected)
        segmentBytes += static_cast<long long>(fs::file_size(path));
    EXPECT_EQ(started.files, expected.size());
    EXPECT_EQ(started.collectFiles, 1u);
    EXPECT_EQ(started.totalBytes, segmentBytes);
    ExpectCollected(started, cluster, expected);
    ASSERT_EQ(Job(started)->GetCollectFileList().size(), 1u);
    EXPECT_EQ(Job(started)->GetCollectFileList().front(), JobResults() + "/Collect_logfile1.kxf");

    const std::string configFile = cluster.psql("SHOW config_file");
    EXPECT_EQ(
        TestFiles::ReadLines(tmpFile),
        (std::vector<std::string>{"PG_WAL_DIR:" + cluster.archiveDir(), "config_file:" + configFile,
                                  "PG_SERVER_VERSION:" + Version(cluster)}));

    // Without the host's success nothing is pruned.
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
    for (const std::string& path : expected)
        EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(tmpFile));
}

TEST_P(LogBackupEveryMajor, FullLogPhaseTakesTheRangeOnlyWithTheOldBehaviourSwitch) {
    PgCluster& cluster = Cluster();
    const std::string fullStart = FullBackup(cluster);
    ASSERT_TRUE(IsSegmentName(fullStart)) << fullStart;
    MakeSegments(cluster, 2);
    SetRegistry("nDoNotBackupAllLogs", "1");

    StartResult started = StartLogBackup(cluster, PG_LOG_FULL_BACKUP, fullStart);
    ASSERT_NE(started.handle, nullptr) << LastError();
    const std::string endLog = EndLogOf(started.handle);
    const std::vector<std::string> expected = ArchivedSegments(cluster, fullStart, endLog, true);
    ASSERT_EQ(expected.front(), cluster.archiveDir() + "/" + fullStart) << "start included";
    EXPECT_EQ(started.files, expected.size());
    ExpectCollected(started, cluster, expected);
    ASSERT_EQ(Job(started)->GetCollectFileList().size(), 1u);
    EXPECT_EQ(Job(started)->GetCollectFileList().front(), JobResults() + "/CollectTot1.kxf");
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
}

TEST_P(LogBackupEveryMajor, FullLogPhaseTakesTheWholeArchiveUpToTheEndLogByDefault) {
    PgCluster& cluster = Cluster();
    const std::string fullStart = FullBackup(cluster);
    ASSERT_TRUE(IsSegmentName(fullStart)) << fullStart;
    MakeSegments(cluster, 2);
    // A time line history file, and a segment far beyond anything the server wrote yet.
    const std::string history = cluster.archiveDir() + "/00000002.history";
    const std::string beyond = cluster.archiveDir() + "/00000001000000FF000000FE";
    TestFiles::Write(history, "1\t0/3000000\tno recovery target specified\n");
    TestFiles::Write(beyond, "not yet");

    StartResult started = StartLogBackup(cluster, PG_LOG_FULL_BACKUP, fullStart);
    fs::remove(history);
    fs::remove(beyond);
    ASSERT_NE(started.handle, nullptr) << LastError();
    const std::string endLog = EndLogOf(started.handle);

    std::set<std::string> expected;
    bool sawBackupHistory = false;
    for (const std::string& name : DirectoryNames(cluster.archiveDir())) {
        const bool historyFile =
            name.find(".backup") != std::string::npos || name.find(".history") != std::string::npos;
        sawBackupHistory = sawBackupHistory || name.find(".backup") != std::string::npos;
        if (historyFile || (IsSegmentName(name) && name <= endLog))
            expected.insert(cluster.archiveDir() + "/" + name);
    }
    expected.insert(history);
    EXPECT_TRUE(sawBackupHistory) << "backup mode leaves a backup history file in the archive";
    std::vector<std::string> lines = CollectLines(started);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], cluster.archiveDir() + "/" + kLogTmpName);
    EXPECT_EQ(lines.back(), cluster.archiveDir());
    lines.resize(lines.size() - 2);
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);
    EXPECT_EQ(lines.size(), expected.size()) << "no file listed twice";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), beyond), 0);
    EXPECT_EQ(started.files, expected.size());
    // The data directory is no link, so the restore side needs no physical path.
    for (const std::string& line : TestFiles::ReadLines(cluster.archiveDir() + "/" + kLogTmpName))
        EXPECT_EQ(line.rfind("physical_path:", 0), std::string::npos) << line;
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
}

TEST_P(LogBackupEveryMajor, PruningDeletesWhatTheBackupTookFromTheArchive) {
    PgCluster& cluster = Cluster();
    const std::string lastLog = MakeSegments(cluster, 2);
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/" + lastLog));
    MakeSegments(cluster, 2);
    cluster.psql("INSERT INTO filler (note) VALUES ('in the segment the roll-over closes')");

    StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, lastLog, true);
    ASSERT_NE(started.handle, nullptr) << LastError();
    const std::string endLog = EndLogOf(started.handle);
    const std::vector<std::string> taken = ArchivedSegments(cluster, lastLog, endLog);
    ASSERT_GE(taken.size(), 3u);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 1);
    for (const std::string& path : taken)
        EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_FALSE(fs::exists(cluster.archiveDir() + "/" + kLogTmpName));
    EXPECT_TRUE(fs::is_directory(cluster.archiveDir()));
    EXPECT_TRUE(fs::exists(cluster.archiveDir() + "/" + lastLog)) << "not taken, so not deleted";
}

// A switch on a server that wrote nothing since the previous one ends on the first byte of
// the open segment. The end log is the segment before that location, the one that was closed
// and archived; the open one would be waited for in vain.
TEST_P(LogBackupEveryMajor, ASwitchOnAnIdleServerEndsOnTheSegmentClosedBefore) {
    PgCluster& cluster = Cluster();
    // A missing end log fails within a few seconds rather than half an hour.
    SetRegistry("nWaitForEndLogMins", "10");
    bool atBoundary = false;
    // The server itself may write a record between the two switches (a standby snapshot, a
    // checkpoint); then the job's switch closes a segment of its own, so try again.
    for (int attempt = 0; attempt < 3 && !atBoundary; ++attempt) {
        const std::string lastLog = MakeSegments(cluster, 1);
        cluster.psql("INSERT INTO filler (note) VALUES ('closed by the switch below')");
        const std::string closed = cluster.switchWal();
        ASSERT_GT(closed, lastLog);

        StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, lastLog);
        ASSERT_NE(started.handle, nullptr) << LastError();
        const std::string endLog = EndLogOf(started.handle);
        ASSERT_TRUE(IsSegmentName(endLog)) << endLog;
        EXPECT_GE(endLog, closed);
        atBoundary = endLog == closed;
        if (atBoundary) {
            ExpectCollected(started, cluster, {cluster.archiveDir() + "/" + closed});
        }
        EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
    }
    EXPECT_TRUE(atBoundary) << "the server never stayed idle between the two switches";
}

INSTANTIATE_TEST_SUITE_P(Majors, LogBackupEveryMajor, ::testing::ValuesIn(kEveryMajor), MajorName);

// The log phase of a full backup may run in the full backup's job results directory. On 15
// and later the label of the full backup is kept there, and nothing may replace it: the
// backup restores only with its own label.
TEST_F(LogBackupTest, TheFullLogPhaseLeavesTheFullBackupsLabelAsItWas) {
    PGULO_REQUIRE_MAJOR(15);
    PgCluster& cluster = SharedLogCluster(15);
    WriteAgentConfig(cluster, {});
    const std::string fullStart = FullBackup(cluster);
    ASSERT_TRUE(IsSegmentName(fullStart)) << fullStart;
    const std::string labelPath = JobResults() + "/backup_label";
    const std::string label = TestFiles::Read(labelPath);
    ASSERT_NE(label.find("(file " + fullStart + ")"), std::string::npos) << label;
    MakeSegments(cluster, 1);

    StartResult started = StartLogBackup(cluster, PG_LOG_FULL_BACKUP, fullStart);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_GT(EndLogOf(started.handle), fullStart);
    EXPECT_EQ(TestFiles::Read(labelPath), label);
    EXPECT_FALSE(fs::exists(JobResults() + "/tablespace_map"));
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
}

TEST_P(LogBackupSomeMajors, ASegmentMissingFromTheArchiveAsksForAFullBackup) {
    PgCluster& cluster = Cluster();
    const std::string lastLog = cluster.switchWal();
    const std::string middle = MakeSegments(cluster, 2);
    const std::string newest = MakeSegments(cluster, 1);
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/" + newest));
    ASSERT_LT(lastLog, middle);
    ASSERT_LT(middle, newest);
    fs::remove(cluster.archiveDir() + "/" + middle);

    StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, lastLog);
    EXPECT_EQ(started.handle, nullptr);
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_EQ(LastError(), "Archive Log files are missing. Please run a FULL backup");
    const std::string log = DebugLog();
    EXPECT_NE(log.find("Some log files are missing from the WAL dir"), std::string::npos);
    EXPECT_NE(log.find("eRRoR -- Log [" + cluster.archiveDir() + "/" + middle + "] is missing."),
              std::string::npos);
}

TEST_P(LogBackupSomeMajors, WithoutAnEarlierFullBackupTheJobIsRefused) {
    PgCluster& cluster = Cluster();
    StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, "");
    EXPECT_EQ(started.handle, nullptr);
    EXPECT_EQ(GetPGLastErrCode(), 3);
    EXPECT_NE(LastError().find("No earlier FULL backup detected"), std::string::npos)
        << LastError();

    StartResult unknownType = StartLogBackup(cluster, static_cast<PG_LOG_BACKUP_TYPE>(3), "x");
    EXPECT_EQ(unknownType.handle, nullptr);
    EXPECT_NE(LastError().find("Improper Usage.Unknown BackupType"), std::string::npos)
        << LastError();
}

TEST_P(LogBackupSomeMajors, TheWholeArchiveDirectoryAndTheLiveWalDirectoryOnRequest) {
    PgCluster& cluster = Cluster({"backup_entire_archive_dir:on"});
    const std::string lastLog = MakeSegments(cluster, 2);
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/" + lastLog));
    std::vector<std::string> before = DirectoryNames(cluster.archiveDir());

    // Neither the type nor the last log is looked at in this mode.
    StartResult started = StartLogBackup(cluster, static_cast<PG_LOG_BACKUP_TYPE>(7), "");
    ASSERT_NE(started.handle, nullptr) << LastError();
    const std::vector<std::string> lines = CollectLines(started);
    const std::set<std::string> listed(lines.begin(), lines.end());
    for (const std::string& name : before) {
        if (name != kLogTmpName) {
            EXPECT_EQ(listed.count(cluster.archiveDir() + "/" + name), 1u) << name;
        }
    }
    const std::string walDir = cluster.dataDir() + (GetParam() >= 10 ? "/pg_wal" : "/pg_xlog");
    EXPECT_EQ(listed.count(walDir), 1u) << "the live WAL directory is listed";
    EXPECT_EQ(listed.count(walDir + "/archive_status"), 1u);
    EXPECT_EQ(lines.back(), cluster.archiveDir());
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
}

TEST_P(LogBackupSomeMajors, WithoutBackupModeTheWalkStopsAtTheFirstUnarchivedSegment) {
    PgCluster& cluster = Cluster({"donot_set_backup_mode_for_log_backup:on"});
    const std::string lastLog = cluster.switchWal();
    const std::string newest = MakeSegments(cluster, 2);
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/" + newest));
    // Written to, so the segment being written exists in the WAL directory.
    cluster.psql("INSERT INTO filler (note) VALUES ('only in the live WAL directory')");
    const std::string current = CurrentSegment(cluster);
    ASSERT_GT(current, newest);
    ASSERT_TRUE(WaitForFile(cluster.dataDir() + "/pg_wal/" + current));

    for (PG_LOG_BACKUP_TYPE type : {PG_LOG_INCR_BACKUP, PG_LOG_FULL_BACKUP}) {
        SCOPED_TRACE(type);
        StartResult started = StartLogBackup(cluster, type, lastLog);
        ASSERT_NE(started.handle, nullptr) << LastError();
        EXPECT_EQ(CurrentSegment(cluster), current) << "no segment switch";
        EXPECT_EQ(EndLogOf(started.handle), newest);
        const std::vector<std::string> lines = CollectLines(started);
        const std::string walDir = cluster.dataDir() + "/pg_wal";
        EXPECT_NE(std::find(lines.begin(), lines.end(), walDir), lines.end());
        EXPECT_NE(std::find(lines.begin(), lines.end(), walDir + "/" + current), lines.end());
        if (type == PG_LOG_INCR_BACKUP) {
            std::vector<std::string> segments;
            for (const std::string& line : lines) {
                if (line.rfind(cluster.archiveDir() + "/", 0) == 0 &&
                    IsSegmentName(fs::path(line).filename().string()))
                    segments.push_back(line);
            }
            EXPECT_EQ(segments, ArchivedSegments(cluster, lastLog, newest));
        }
        EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
    }
}

TEST_P(LogBackupSomeMajors, TheArchiveDeleteListIsAppliedOnlyWhenTheRegistryAllowsIt) {
    PgCluster& cluster = Cluster();
    const std::string stray = cluster.archiveDir() + "/stray-file-of-the-admin";

    struct Case {
        const char* cleanArchDir; // nullptr: not set
        PG_LOG_BACKUP_TYPE type;
        bool strayDeleted;
    };
    for (const Case& c :
         {Case{nullptr, PG_LOG_FULL_BACKUP, false}, Case{"Yes", PG_LOG_FULL_BACKUP, false},
          Case{"yes", PG_LOG_INCR_BACKUP, false}, Case{"y", PG_LOG_FULL_BACKUP, true}}) {
        SCOPED_TRACE(c.cleanArchDir == nullptr ? "unset" : c.cleanArchDir);
        SCOPED_TRACE(c.type);
        TestFiles::Write(stray, "keep me unless told");
        if (c.cleanArchDir != nullptr)
            SetRegistry("sCleanArchDir", c.cleanArchDir);
        const std::string fullStart = FullBackup(cluster, true);
        ASSERT_TRUE(IsSegmentName(fullStart)) << fullStart;
        const std::vector<std::string> deleteList =
            TestFiles::ReadLines(JobResults() + "/PGArchDelList.kxf");
        ASSERT_NE(std::find(deleteList.begin(), deleteList.end(), stray), deleteList.end());
        MakeSegments(cluster, 1);

        StartResult started = StartLogBackup(cluster, c.type, fullStart, true);
        ASSERT_NE(started.handle, nullptr) << LastError();
        const std::vector<std::string> lines = CollectLines(started);
        ASSERT_EQ(std::count(lines.begin(), lines.end(), stray), 0);
        EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 1);
        EXPECT_EQ(!fs::exists(stray), c.strayDeleted);
        for (const std::string& line : lines) {
            if (line != cluster.archiveDir()) {
                EXPECT_FALSE(fs::exists(line)) << line;
            }
        }
        if (c.strayDeleted) {
            for (const std::string& path : deleteList)
                EXPECT_FALSE(fs::exists(path)) << path;
        }
        fs::remove(stray);
    }
}

TEST_P(LogBackupSomeMajors, AFailedPruneKeepsTheJobForAnotherTry) {
    PgCluster& cluster = Cluster();
    const std::string lastLog = MakeSegments(cluster, 1);
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/" + lastLog));
    MakeSegments(cluster, 1);
    StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, lastLog, true);
    ASSERT_NE(started.handle, nullptr) << LastError();
    const std::string collectFile = Job(started)->GetCollectFileList().front();
    const std::string aside = collectFile + ".aside";
    fs::rename(collectFile, aside);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 0);
    fs::rename(aside, collectFile);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 1);
    for (const std::string& line : TestFiles::ReadLines(collectFile)) {
        if (line != cluster.archiveDir()) {
            EXPECT_FALSE(fs::exists(line)) << line;
        }
    }
}

TEST_P(LogBackupSomeMajors, OnAStandbyTheEndLogComesFromThePrimary) {
    PgCluster& cluster = Cluster();
    const std::string lastLog = MakeSegments(cluster, 1);
    const std::string primaryEnd = MakeSegments(cluster, 2);
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/" + primaryEnd));
    cluster.psql("INSERT INTO filler (note) VALUES ('not switched out')");
    const std::string current = CurrentSegment(cluster);

    JobSetup job = Setup(cluster);
    job.standby = 1;
    const StartResult started =
        pgulo::test::StartLogBackup(cluster, job, PG_LOG_INCR_BACKUP, lastLog, false, primaryEnd);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_EQ(CurrentSegment(cluster), current) << "no segment switch";
    std::vector<std::string> databases;
    EXPECT_EQ(PostGreLogBackupInterfaceGetMetaData(started.handle, &databases, nullptr), 1);
    EXPECT_NE(std::find(databases.begin(), databases.end(), "postgres"), databases.end());
    EXPECT_EQ(EndLogOf(started.handle), primaryEnd);
    const std::vector<std::string> expected = ArchivedSegments(cluster, lastLog, primaryEnd);
    ASSERT_EQ(expected.size(), 2u);
    ExpectCollected(started, cluster, expected);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
}

TEST_P(LogBackupSomeMajors, ThePrimarysStartForAStandbyClosesItsSegmentThroughBackupMode) {
    PgCluster& cluster = Cluster();
    const std::string lastLog = MakeSegments(cluster, 1);
    cluster.psql("INSERT INTO filler (note) VALUES ('closed by the primary start')");
    const std::string open = CurrentSegment(cluster);
    // This form has no job results directory; what a job keeps there must not land in the
    // root directory.
    RootDirectoryWatch root;
    std::string endLog;
    void* handle = PostGreLogBackupInterfaceStart(
        kJobId, false, cluster.binDir(), cluster.libDir(), "postgres", cluster.socketDir(),
        std::to_string(cluster.port()), "postgres", "", cluster.archiveDir(), PG_LOG_INCR_BACKUP,
        lastLog, endLog, nullptr, nullptr, ConfigDir(), kLogTmpName, Version(cluster));
    EXPECT_EQ(root.Written(), std::vector<std::string>{});
    ASSERT_NE(handle, nullptr) << LastError();
    const std::string::size_type comma = endLog.find(',');
    ASSERT_NE(comma, std::string::npos) << endLog;
    // Entering backup mode closes the segment written to; leaving it closes the next one.
    const std::string closed = endLog.substr(comma + 1);
    EXPECT_GT(closed, open) << endLog;
    EXPECT_TRUE(WaitForFile(cluster.archiveDir() + "/" + open));
    EXPECT_TRUE(WaitForFile(cluster.archiveDir() + "/" + closed));
    EXPECT_GT(CurrentSegment(cluster), closed);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(handle, 1), 1);
}

INSTANTIATE_TEST_SUITE_P(Majors, LogBackupSomeMajors, ::testing::ValuesIn(kSomeMajors), MajorName);

// Clusters of their own, for archive commands of their own.
class LogBackupOwnArchiveCommand : public LogBackupMajor {};

TEST_P(LogBackupOwnArchiveCommand, PrefixAndSuffixNameTheCompressedArchiveFiles) {
    PgClusterOptions options;
    options.name = "gzip" + std::to_string(GetParam());
    PgCluster cluster(GetParam(), options);
    cluster.appendConf("archive_command = 'gzip < %p > " + cluster.archiveDir() + "/arch_%f.gz'");
    cluster.start();
    cluster.psql("CREATE TABLE filler (id serial, note text)");
    WriteAgentConfig(cluster, {"log_prefix:arch_", "log_suffix:.gz"});
    const std::string lastLog = MakeSegments(cluster, 1);
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/arch_" + lastLog + ".gz"));
    MakeSegments(cluster, 2);
    cluster.psql("INSERT INTO filler (note) VALUES ('in the segment the roll-over closes')");

    StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, lastLog);
    ASSERT_NE(started.handle, nullptr) << LastError();
    const std::string endLog = EndLogOf(started.handle);
    std::vector<std::string> expected;
    for (const std::string& name : DirectoryNames(cluster.archiveDir())) {
        if (name.size() == 32 && name.rfind("arch_", 0) == 0 && name.substr(29) == ".gz") {
            const std::string segment = name.substr(5, 24);
            if (segment > lastLog && segment <= endLog)
                expected.push_back(cluster.archiveDir() + "/" + name);
        }
    }
    ASSERT_GE(expected.size(), 3u);
    EXPECT_EQ(expected.back(), cluster.archiveDir() + "/arch_" + endLog + ".gz");
    // Each one whole: the end log was waited for until the server had archived it.
    for (const std::string& path : expected) {
        const auto check = pgulo::test::runCommand({"gzip", "-t", path});
        EXPECT_TRUE(check.ok()) << path << ": " << check.err;
    }
    ExpectCollected(started, cluster, expected);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
}

TEST_P(LogBackupOwnArchiveCommand, AnEndLogThatNeverArrivesFailsAfterTheConfiguredLooks) {
    PgCluster& cluster = NeverArchivingCluster(GetParam());
    WriteAgentConfig(cluster, {});
    const std::string lastLog = ClosedSegment(cluster);
    cluster.psql("INSERT INTO never_archived VALUES (2)");
    SetRegistry("nWaitForEndLogMins", "3");
    SetRegistry("nWaitForEndLogPollSecs", "1");

    const auto before = std::chrono::steady_clock::now();
    StartResult started = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, lastLog);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(started.handle, nullptr);
    EXPECT_EQ(LastError(), "Some Transaction Log files are missing from the WAL directory. Please "
                           "check if archive_command is valid.");
    // Three looks, two one-second waits between them.
    EXPECT_GE(waited, std::chrono::seconds(2));
    EXPECT_LT(waited, std::chrono::seconds(20));
    EXPECT_NE(DebugLog().find("We waited long enough for the end log"), std::string::npos);
}

TEST_P(LogBackupOwnArchiveCommand, TheQuitFlagEndsTheWaitWithinASecond) {
    PgCluster& cluster = NeverArchivingCluster(GetParam());
    WriteAgentConfig(cluster, {});
    const std::string lastLog = ClosedSegment(cluster);
    cluster.psql("INSERT INTO never_archived VALUES (2)");
    SetRegistry("nWaitForEndLogMins", "100");
    SetRegistry("nWaitForEndLogPollSecs", "30");

    struct QuitAfter {
        std::chrono::steady_clock::time_point at;
        int asked = 0;
    } quit{std::chrono::steady_clock::now() + std::chrono::milliseconds(2500), 0};
    auto callback = [](void* context) {
        auto* q = static_cast<QuitAfter*>(context);
        ++q->asked;
        return std::chrono::steady_clock::now() >= q->at;
    };
    const auto before = std::chrono::steady_clock::now();
    StartResult started =
        StartLogBackup(cluster, PG_LOG_INCR_BACKUP, lastLog, false, callback, &quit);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(started.handle, nullptr);
    EXPECT_GE(quit.asked, 2);
    EXPECT_LT(waited, std::chrono::seconds(10)) << "the 30-second poll was not sat out";
    EXPECT_NE(DebugLog().find("Quit flag set"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Majors, LogBackupOwnArchiveCommand, ::testing::Values(12, 17), MajorName);

} // namespace
