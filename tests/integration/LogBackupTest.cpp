// Log backups of real clusters that archive their WAL into the test's archive directory, driven
// through the entry points the backup host calls.
#include "logbackup/PGLogBackup.h"

#include "pgulo/PGLastError.h"
#include "pgulo/PostGreLogBackupInterface.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <list>

#include "FsBackupHost.h"
#include "MajorStage.h"
#include "TempHostHome.h"
#include "TestFiles.h"

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using ::testing::Contains;
using ::testing::Not;
using Paths = std::vector<std::string>;

constexpr unsigned long long kJobId = 4242;
const char* const kLogTmpName = "PGLogTmp_4242.txt";

bool IsSegmentName(const std::string& name) {
    return name.size() == 24 && name.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

bool WaitForFile(const std::string& path) {
    return WaitFor([&] { return fs::exists(path); }, std::chrono::seconds(60));
}

// One backup job's side of the host on the program's cluster of a major: its own host home
// (registry, debug log), job results directory and agent configuration directory.
class LogBackupTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        // The error state is process-wide: what an earlier test left must not pass for ours.
        SetPGLastErrCode(0);
        PGLastError("(nothing recorded by this test)");
        // A host that wants its backups quick looks for the end log every second.
        SetRegistry("nWaitForEndLogPollSecs", "1");
    }

    // The cluster, with an immediate checkpoint in the agent configuration, so that the tests
    // do not wait for a spread one.
    PgCluster& Cluster() const {
        PgCluster& cluster = SharedCluster(GetParam(), {"logbackup", 0, {}, true});
        cluster.psql("CREATE TABLE IF NOT EXISTS filler (id serial, note text)");
        WriteAgentConfig(root_.Dir("config"), cluster.port(), "start_backup_immediate:on\n");
        return cluster;
    }

    std::string JobResults() const { return root_.Path("jobresults"); }

    static void SetRegistry(const std::string& key, const std::string& value) {
        ASSERT_TRUE(KXPlatformInfo().setString("PostGres", key, value));
    }

    JobSetup Setup(const PgCluster& cluster) const {
        JobSetup job;
        job.jobId = kJobId;
        job.jobResultsDir = root_.Dir("jobresults");
        job.configDir = root_.Dir("config");
        job.archiveDir = cluster.archiveDir();
        job.version = cluster.psql("SHOW server_version");
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
                               const std::string& lastLog, bool prune = false) const {
        return pgulo::test::StartLogBackup(cluster, Setup(cluster), type, lastLog, prune);
    }

    // The end log the job reports, and that it lists the cluster's databases.
    static std::string EndLogOf(void* handle) {
        std::string endLog;
        std::vector<std::string> databases;
        EXPECT_EQ(PostGreLogBackupInterfaceGetMetaData(handle, &databases, &endLog), 1);
        EXPECT_THAT(databases, Contains("postgres"));
        return endLog;
    }

    static std::list<std::string> CollectFiles(const StartResult& started) {
        return static_cast<PGLogBackup*>(started.handle)->GetCollectFileList();
    }
    // Lines of every collect file the job wrote.
    static Paths CollectLines(const StartResult& started) {
        Paths lines;
        for (const std::string& file : CollectFiles(started)) {
            const Paths more = TestFiles::ReadLines(file);
            lines.insert(lines.end(), more.begin(), more.end());
        }
        return lines;
    }

    // Paths of the archive's files after `after` (when given) up to and including `upTo`, in
    // order: its segments, and with the backup history files when asked.
    static Paths Archived(const PgCluster& cluster, const std::string& after,
                          const std::string& upTo, bool backupHistory = false) {
        Paths paths;
        for (const auto& entry : fs::directory_iterator(cluster.archiveDir())) {
            const std::string name = entry.path().filename().string();
            if ((IsSegmentName(name) && name <= upTo && (after.empty() || name > after)) ||
                (backupHistory && name.find(".backup") != std::string::npos))
                paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
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
    static void ExpectCollected(const StartResult& started, const PgCluster& cluster, Paths paths) {
        paths.push_back(cluster.archiveDir() + "/" + kLogTmpName);
        paths.push_back(cluster.archiveDir());
        EXPECT_EQ(CollectLines(started), paths);
    }

    // After a pruning shutdown, nothing the job listed is left but the archive directory.
    static void ExpectPruned(const Paths& listed, const PgCluster& cluster) {
        for (const std::string& line : listed) {
            if (line != cluster.archiveDir()) {
                EXPECT_FALSE(fs::exists(line)) << line;
            }
        }
    }

    static std::string CurrentSegment(const PgCluster& cluster) {
        return cluster.psql("SELECT pg_walfile_name(pg_current_wal_insert_lsn())");
    }

    TempHostHome home_;
    TempTree root_{"pgulo-logbackup"};
};

class LogBackupEveryMajor : public LogBackupTest {};
class LogBackupSomeMajors : public LogBackupTest {};

// After a full backup, an incremental log backup takes the segments since the full backup's
// last log, and the full backup's log phase the whole archive up to its end log, the server's
// backup history file included. Both run in the full backup's job results directory: on 15 and
// later the label of the full backup is kept there, and nothing may replace it, as the backup
// restores only with its own label. Without the host's success nothing is pruned.
TEST_P(LogBackupEveryMajor, LogBackupsAfterAFullBackupTakeTheirSegments) {
    PgCluster& cluster = Cluster();
    const std::string fullStart = FullBackup(cluster);
    ASSERT_TRUE(IsSegmentName(fullStart)) << fullStart;
    const std::string labelPath = JobResults() + "/backup_label";
    const std::string label = GetParam() >= 15 ? TestFiles::Read(labelPath) : "";
    EXPECT_EQ(label.find("(file " + fullStart + ")") != std::string::npos, GetParam() >= 15);
    const std::string switched = MakeSegments(cluster, 3);
    cluster.psql("INSERT INTO filler (note) VALUES ('after the last switch')");

    StartResult incremental = StartLogBackup(cluster, PG_LOG_INCR_BACKUP, fullStart);
    ASSERT_NE(incremental.handle, nullptr) << LastError();
    const std::string endLog = EndLogOf(incremental.handle);
    ASSERT_TRUE(IsSegmentName(endLog)) << endLog;
    EXPECT_GT(endLog, switched) << "the roll-over closes the segment being written";
    const Paths expected = Archived(cluster, fullStart, endLog);
    ASSERT_GE(expected.size(), 4u);
    long long segmentBytes = 0;
    for (const std::string& path : expected)
        segmentBytes += static_cast<long long>(fs::file_size(path));
    EXPECT_EQ(incremental.files, expected.size());
    EXPECT_EQ(incremental.totalBytes, segmentBytes);
    ExpectCollected(incremental, cluster, expected);
    EXPECT_EQ(CollectFiles(incremental),
              std::list<std::string>{JobResults() + "/Collect_logfile1.kxf"});
    const std::string tmpFile = cluster.archiveDir() + "/" + kLogTmpName;
    EXPECT_EQ(TestFiles::ReadLines(tmpFile),
              (Paths{"PG_WAL_DIR:" + cluster.archiveDir(),
                     "config_file:" + cluster.psql("SHOW config_file"),
                     "PG_SERVER_VERSION:" + cluster.psql("SHOW server_version")}));
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(incremental.handle, 1), 1);
    for (const std::string& path : expected)
        EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(tmpFile));

    StartResult full = StartLogBackup(cluster, PG_LOG_FULL_BACKUP, fullStart);
    ASSERT_NE(full.handle, nullptr) << LastError();
    const Paths wholeArchive = Archived(cluster, "", EndLogOf(full.handle), true);
    ASSERT_THAT(wholeArchive, Contains(::testing::HasSubstr(".backup")))
        << "backup mode leaves a backup history file in the archive";
    Paths lines = CollectLines(full);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Paths(lines.end() - 2, lines.end()), (Paths{tmpFile, cluster.archiveDir()}));
    lines.resize(lines.size() - 2);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, wholeArchive) << "each file listed once";
    EXPECT_EQ(full.files, wholeArchive.size());
    // The data directory is no link, so the restore side needs no physical path.
    EXPECT_THAT(TestFiles::Read(tmpFile), Not(::testing::HasSubstr("physical_path:")));
    EXPECT_EQ(GetParam() >= 15 ? TestFiles::Read(labelPath) : "", label);
    EXPECT_FALSE(fs::exists(JobResults() + "/tablespace_map"));
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(full.handle, 1), 1);
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

INSTANTIATE_TEST_SUITE_P(Majors, LogBackupEveryMajor, ::testing::Values(10, 12, 14, 15, 16, 17, 18),
                         MajorName);

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
        SCOPED_TRACE(std::string(c.cleanArchDir == nullptr ? "unset" : c.cleanArchDir) + " " +
                     std::to_string(c.type));
        TestFiles::Write(stray, "keep me unless told");
        if (c.cleanArchDir != nullptr)
            SetRegistry("sCleanArchDir", c.cleanArchDir);
        const std::string fullStart = FullBackup(cluster, true);
        ASSERT_TRUE(IsSegmentName(fullStart)) << fullStart;
        const Paths deleteList = TestFiles::ReadLines(JobResults() + "/PGArchDelList.kxf");
        ASSERT_THAT(deleteList, Contains(stray));
        MakeSegments(cluster, 1);

        StartResult started = StartLogBackup(cluster, c.type, fullStart, true);
        ASSERT_NE(started.handle, nullptr) << LastError();
        const Paths lines = CollectLines(started);
        ASSERT_THAT(lines, Not(Contains(stray)));
        EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 1);
        EXPECT_EQ(!fs::exists(stray), c.strayDeleted);
        ExpectPruned(lines, cluster);
        if (c.strayDeleted) {
            ExpectPruned(deleteList, cluster);
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
    const std::string collectFile = CollectFiles(started).front();
    fs::rename(collectFile, collectFile + ".aside");
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 0);
    fs::rename(collectFile + ".aside", collectFile);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 1);
    ExpectPruned(TestFiles::ReadLines(collectFile), cluster);
}

// A standby's log backup: the primary's start, which has no job results directory, closes its
// segment through backup mode and gives the end log; the standby's job then takes its segments
// up to that end log without a switch of its own.
TEST_P(LogBackupSomeMajors, OnAStandbyTheEndLogComesFromThePrimarysStart) {
    PgCluster& cluster = Cluster();
    const std::string lastLog = MakeSegments(cluster, 1);
    cluster.psql("INSERT INTO filler (note) VALUES ('closed by the primary start')");
    const std::string open = CurrentSegment(cluster);
    // What a job keeps in its job results directory must not land in the root directory.
    RootDirectoryWatch root;
    std::string endLog;
    void* handle = PostGreLogBackupInterfaceStart(
        kJobId, false, cluster.binDir(), cluster.libDir(), "postgres", cluster.socketDir(),
        std::to_string(cluster.port()), "postgres", "", cluster.archiveDir(), PG_LOG_INCR_BACKUP,
        lastLog, endLog, nullptr, nullptr, root_.Dir("config"), kLogTmpName,
        cluster.psql("SHOW server_version"));
    EXPECT_EQ(root.Written(), std::vector<std::string>{});
    ASSERT_NE(handle, nullptr) << LastError();
    const std::string::size_type comma = endLog.find(',');
    ASSERT_NE(comma, std::string::npos) << endLog;
    // Entering backup mode closes the segment written to; leaving it closes the next one.
    const std::string primaryEnd = endLog.substr(comma + 1);
    EXPECT_GT(primaryEnd, open) << endLog;
    EXPECT_TRUE(WaitForFile(cluster.archiveDir() + "/" + open));
    ASSERT_TRUE(WaitForFile(cluster.archiveDir() + "/" + primaryEnd));
    EXPECT_GT(CurrentSegment(cluster), primaryEnd);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(handle, 1), 1);

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
    EXPECT_THAT(databases, Contains("postgres"));
    EXPECT_EQ(EndLogOf(started.handle), primaryEnd);
    const Paths expected = Archived(cluster, lastLog, primaryEnd);
    ASSERT_GE(expected.size(), 2u);
    ExpectCollected(started, cluster, expected);
    EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 1), 1);
}

// A cluster whose archive takes nothing: the end log never arrives, and the host's quit
// request must not sit out the 30-second poll.
TEST_P(LogBackupSomeMajors, TheQuitFlagEndsTheWaitForTheEndLogWithinASecond) {
    PgCluster& cluster =
        SharedCluster(GetParam(), {"noarchive", 0, {"archive_command = '/bin/false'"}, true});
    WriteAgentConfig(root_.Dir("config"), cluster.port(), "");
    cluster.psql("CREATE TABLE IF NOT EXISTS never_archived (id int)");
    cluster.psql("INSERT INTO never_archived VALUES (1)");
    const std::string lastLog = cluster.switchWal();
    cluster.psql("INSERT INTO never_archived VALUES (2)");
    SetRegistry("nWaitForEndLogMins", "100");
    SetRegistry("nWaitForEndLogPollSecs", "30");

    struct QuitAfter {
        std::chrono::steady_clock::time_point at;
        int asked = 0;
    } quit{std::chrono::steady_clock::now() + std::chrono::milliseconds(2500), 0};
    JobSetup job = Setup(cluster);
    job.quitFlag = [](void* context) {
        auto* q = static_cast<QuitAfter*>(context);
        ++q->asked;
        return std::chrono::steady_clock::now() >= q->at;
    };
    job.quitFlagContext = &quit;
    const auto before = std::chrono::steady_clock::now();
    StartResult started = pgulo::test::StartLogBackup(cluster, job, PG_LOG_INCR_BACKUP, lastLog);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(started.handle, nullptr);
    EXPECT_GE(quit.asked, 2);
    EXPECT_LT(waited, std::chrono::seconds(10)) << "the 30-second poll was not sat out";
    EXPECT_THAT(TestFiles::Read(EvDebug::logFilePath()), ::testing::HasSubstr("Quit flag set"));
}

INSTANTIATE_TEST_SUITE_P(Majors, LogBackupSomeMajors, ::testing::Values(10, 14, 17), MajorName);

} // namespace
