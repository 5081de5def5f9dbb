// End to end: a full backup and log backups taken through the entry points the backup host
// calls, copied as the host copies them, restored into a fresh data directory (its WAL
// directory elsewhere behind a link, the archive under a name that needs quoting) with the
// agent's recovery settings and ownership change, and recovered to a point in time and to the
// end of the logs.
#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PostgresHelperClass.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FsBackupHost.h"
#include "PgCluster.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

constexpr int kRowsA = 25;
constexpr int kRowsB = 17;
const char* const kLogTmpName = "PGLogTmp.txt";
// A name that needs quoting for the shell and for the configuration syntax.
const char* const kArchive = "it's an archive";

class PointInTimeRestore : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "nWaitForEndLogPollSecs", "1"));
    }

    JobSetup Job(const PgCluster& cluster, unsigned long long id, const std::string& results) {
        JobSetup job;
        job.jobId = id;
        job.jobResultsDir = root_.Dir(results);
        job.configDir = root_.Dir("config");
        job.archiveDir = cluster.archiveDir();
        job.version = cluster.psql("SHOW server_version");
        job.logTmpName = kLogTmpName;
        return job;
    }

    // Copies every entry of the collect file from the cluster's data directory into base/,
    // as the host copies them while the cluster is in backup mode. The lock file of the
    // running server is no part of a backup.
    void CopyCollectedDataFiles(const PgCluster& cluster, const std::string& collectFile) {
        const std::string dataDir = cluster.dataDir();
        for (const std::string& path : ReadCollectFile(collectFile)) {
            if ((path == dataDir || path.rfind(dataDir + "/", 0) == 0) &&
                fs::path(path).filename() != "postmaster.pid")
                CopyEntry(path, root_.Path("base") + path.substr(dataDir.size()));
        }
    }

    // The archived files a log backup listed, into the restore archive.
    void CopyCollectedLogs(const PgCluster& cluster, const std::string& collectFile) {
        for (const std::string& path : ReadCollectFile(collectFile)) {
            if (path.rfind(cluster.archiveDir() + "/", 0) == 0 &&
                fs::path(path).filename() != kLogTmpName)
                fs::copy_file(path, root_.Dir(kArchive) + "/" + fs::path(path).filename().string(),
                              fs::copy_options::overwrite_existing);
        }
    }

    std::string FullBackup(const PgCluster& cluster) {
        const JobSetup job = Job(cluster, 101, "full");
        const StartResult started = StartBackup(cluster, job);
        if (started.handle == nullptr) {
            ADD_FAILURE() << "full backup start: " << LastError();
            return {};
        }
        std::vector<std::string> databases;
        std::vector<std::string> folders;
        EXPECT_EQ(PostGreFsBackupInterfaceGetMetaData(started.handle, &databases, &folders), 1);
        CopyCollectedDataFiles(cluster, job.jobResultsDir + "/CollectTot1.kxf");
        std::string startLog;
        EXPECT_EQ(ShutdownBackup(started.handle, startLog), 1) << LastError();
        // From release 15 the backup label comes back from the server at the end of the
        // backup instead of lying in the data directory.
        for (const char* name : {"backup_label", "tablespace_map"})
            CopyEntry(job.jobResultsDir + "/" + name, root_.Path("base/") + name);
        return startLog;
    }

    // A log backup as the host runs it; returns the last log it took.
    std::string LogBackup(const PgCluster& cluster, PG_LOG_BACKUP_TYPE type,
                          const std::string& lastLog, const std::string& results,
                          unsigned long long jobId) {
        const JobSetup job = Job(cluster, jobId, results);
        const StartResult started = StartLogBackup(cluster, job, type, lastLog);
        if (started.handle == nullptr) {
            ADD_FAILURE() << "log backup start: " << LastError();
            return {};
        }
        std::string endLog;
        std::vector<std::string> databases;
        EXPECT_EQ(PostGreLogBackupInterfaceGetMetaData(started.handle, &databases, &endLog), 1);
        CopyCollectedLogs(
            cluster, job.jobResultsDir + "/" +
                         (type == PG_LOG_FULL_BACKUP ? "CollectTot1.kxf" : "Collect_logfile1.kxf"));
        EXPECT_EQ(PostGreLogBackupInterfaceShutdown(started.handle, 0), 1);
        return endLog;
    }

    // Restores base/ into a fresh data directory, as root leaves it, with its WAL directory
    // moved out behind a link; recovers it up to targetTime (empty: to the end of the logs)
    // and returns the server, promoted.
    std::unique_ptr<ServerCopy> Restore(const PgCluster& cluster, const std::string& name,
                                        const std::string& targetTime) {
        const std::string dataDir = root_.Path(name + "-data");
        fs::copy(root_.Path("base"), dataDir,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::permissions(dataDir, fs::perms::owner_all);
        const std::string wal = root_.Path(name + "-wal");
        fs::rename(dataDir + "/pg_wal", wal);
        fs::create_directory_symlink(wal, dataDir + "/pg_wal");
        const std::string config = dataDir + "/postgresql.conf";
        const std::string before = TestFiles::Read(config);
        const std::string version = cluster.psql("SHOW server_version");
        GetPostgresInfo info;
        info.postgresVersion = version;
        info.Port = "5432";
        std::string recoveryFile;
        std::string saved;
        const CRoError written = PostgresHelperClass::addRecoveryCommandsToServerConfig(
            config, info, dataDir, root_.Path(kArchive), targetTime, false, false, recoveryFile,
            saved);
        EXPECT_FALSE(written.IsError()) << written.AsString();
        ChownToPostgres(root_.Path(kArchive));
        EXPECT_EQ(PostgresHelperClass::ChangeDataWalOwnership(dataDir, dataDir + "/pg_wal", config,
                                                              "postgres"),
                  0);
        const passwd* postgres = ::getpwnam("postgres");
        for (const std::string& path : {dataDir, dataDir + "/pg_wal", wal, wal + "/archive_status",
                                        config, dataDir + "/PG_VERSION"}) {
            struct stat st {};
            EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_uid, postgres->pw_uid) << path;
        }

        auto server = std::make_unique<ServerCopy>(cluster, dataDir, root_.Dir(name));
        const ProcessResult r = server->Start("-c cluster_name=restored");
        EXPECT_TRUE(r.ok()) << r.out << r.err << "\n" << server->Log();
        // Once the server runs the recovery settings leave the configuration again.
        EXPECT_FALSE(
            PostgresHelperClass::cleanupRecoveryConfigAfterServerStart(config, dataDir, saved)
                .IsError());
        EXPECT_EQ(saved, "");
        EXPECT_EQ(TestFiles::Read(config), before);
        const std::string done = PostgresHelperClass::getRecoveryDoneFileName(dataDir, version);
        EXPECT_TRUE(WaitFor([&] { return fs::exists(done); }, std::chrono::minutes(2)))
            << done << "\n"
            << server->Log();
        EXPECT_TRUE(WaitFor([&] { return server->Query("SELECT pg_is_in_recovery()") == "f"; },
                            std::chrono::minutes(1)))
            << server->Log();
        return server;
    }

    TempHostHome home_;
    TempTree root_{"pgulo-pitr"};
};

TEST_P(PointInTimeRestore, RecoversToTheNotedTimeAndToTheEndOfTheLogs) {
    PGULO_REQUIRE_MAJOR(GetParam());
    PgClusterOptions options;
    options.name = "pitr";
    PgCluster cluster(GetParam(), options);
    cluster.start();
    WriteAgentConfig(root_.Dir("config"), cluster.port(), "start_backup_immediate:on\n");
    cluster.psql("CREATE TABLE story (phase text, n int)");

    // The full backup, with its log phase.
    const std::string fullStart = FullBackup(cluster);
    ASSERT_FALSE(fullStart.empty());
    const std::string fullEnd = LogBackup(cluster, PG_LOG_FULL_BACKUP, fullStart, "log1", 102);
    ASSERT_FALSE(fullEnd.empty());

    cluster.psql("INSERT INTO story SELECT 'A', g FROM generate_series(1, " +
                 std::to_string(kRowsA) + ") g");
    const std::string between = cluster.psql("SELECT now()");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    cluster.psql("INSERT INTO story SELECT 'B', g FROM generate_series(1, " +
                 std::to_string(kRowsB) + ") g");

    const std::string incrementalEnd = LogBackup(cluster, PG_LOG_INCR_BACKUP, fullEnd, "log2", 103);
    ASSERT_GT(incrementalEnd, fullEnd);

    const std::string counts = "SELECT count(*) FILTER (WHERE phase = 'A') || ',' || "
                               "count(*) FILTER (WHERE phase = 'B') FROM story";
    const std::string a = std::to_string(kRowsA);
    EXPECT_EQ(Restore(cluster, "to-time", between)->Query(counts), a + ",0");
    EXPECT_EQ(Restore(cluster, "to-end", "")->Query(counts), a + "," + std::to_string(kRowsB));
}

INSTANTIATE_TEST_SUITE_P(Majors, PointInTimeRestore, ::testing::Values(10, 12, 14, 15, 16, 17, 18),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
