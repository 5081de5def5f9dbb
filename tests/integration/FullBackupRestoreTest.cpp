// The proof that a full backup is whole: a cluster with data in two databases and a
// tablespace outside its data directory is backed up through the entry points, copied the
// way the host copies (every path of the collect file), destroyed, put back from the copy and
// recovered from the WAL archive; every row must be there, the rows written during the
// backup included.

#include "FsBackupHost.h"
#include "TempTree.h"
#include "TestFiles.h"

#include "PgCluster.h"
#include "PgInstall.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace pgulo::test;
namespace fs = std::filesystem;
using pgulo::test::PgCluster;
using pgulo::test::ProcessOptions;
using pgulo::test::ProcessResult;
using pgulo::test::runCommand;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new HostHome());

// Runs pg_ctl as the server's user, with the configuration file named on the command line
// when it lives outside the data directory.
void StartServer(const PgCluster& cluster, const std::string& configFile) {
    std::vector<std::string> argv = {cluster.binDir() + "/pg_ctl",
                                     "-D",
                                     cluster.dataDir(),
                                     "-l",
                                     cluster.logFile(),
                                     "-w",
                                     "-t",
                                     "120"};
    if (!configFile.empty()) {
        argv.push_back("-o");
        argv.push_back("-c config_file=" + configFile);
    }
    argv.push_back("start");
    ProcessOptions options;
    options.asUser = "postgres";
    options.cwd = cluster.baseDir();
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    ProcessResult r = runCommand(argv, options);
    if (!r.ok())
        throw std::runtime_error("pg_ctl start failed: " + r.out + r.err + "\n" +
                                 cluster.serverLog());
    cluster.waitReady();
}

class FullBackupRestoreTest : public ::testing::TestWithParam<int> {
protected:
    void BackUpDestroyAndRestore(bool configOutside);
};

void FullBackupRestoreTest::BackUpDestroyAndRestore(bool configOutside) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);
    // From release 15 the backup lives in the job's session and its label comes back at the
    // end instead of lying in the data directory.
    const bool exclusive = major < 15;

    TempTree scratch("pgulo-fsb-restore");
    ChownToPostgres(scratch.Root());
    const std::string tablespace = scratch.Dir("ts");
    ChownToPostgres(tablespace);

    PgCluster::Options options;
    options.name = "fullbackup-" + std::to_string(major);
    PgCluster cluster(major, options);
    cluster.init();
    std::string configFile;
    if (configOutside) {
        const std::string etc = scratch.Dir("etc");
        configFile = etc + "/postgresql.conf";
        fs::rename(cluster.dataDir() + "/postgresql.conf", configFile);
        ChownToPostgres(etc);
    }
    StartServer(cluster, configFile);

    // Data in two databases, one table in a tablespace outside the data directory.
    cluster.psql("CREATE TABLESPACE ts LOCATION '" + tablespace + "'");
    cluster.psql("CREATE DATABASE app");
    cluster.psql("CREATE TABLE t1 AS SELECT g AS id, md5(g::text) AS v "
                 "FROM generate_series(1, 5000) g");
    cluster.psql("CREATE TABLE t2 (id int, v text) TABLESPACE ts", "app");
    cluster.psql("INSERT INTO t2 SELECT g, repeat('x', g % 100) FROM generate_series(1, 3000) g",
                 "app");

    // The backup, as the host drives it.
    JobSetup job;
    job.jobId = 4100 + static_cast<unsigned long long>(major);
    job.jobResultsDir = scratch.Dir("results");
    job.configDir = scratch.Dir("config");
    job.archiveDir = cluster.archiveDir();
    job.version = cluster.psql("SHOW server_version");
    WriteAgentConfig(job.configDir, cluster.port(), "start_backup_immediate:on\n");
    StartResult started = StartBackup(cluster, job);
    ASSERT_NE(started.handle, nullptr) << LastError();
    EXPECT_EQ(InBackupMode(cluster), exclusive);
    EXPECT_EQ(started.collectFiles, 1U);

    // Work goes on while the host copies.
    cluster.psql("INSERT INTO t1 SELECT g, 'during' FROM generate_series(5001, 6000) g");
    cluster.psql("UPDATE t2 SET v = 'changed' WHERE id <= 100", "app");

    const std::vector<std::string> listed = ReadCollectFile(job.jobResultsDir + "/CollectTot1.kxf");
    EXPECT_EQ(listed.size(), started.files);
    EXPECT_NE(std::find(listed.begin(), listed.end(), cluster.dataDir()), listed.end());
    EXPECT_NE(std::find(listed.begin(), listed.end(), tablespace), listed.end());
    const std::string physicalConfig =
        configOutside ? fs::canonical(configFile).string()
                      : fs::canonical(cluster.dataDir()).string() + "/postgresql.conf";
    EXPECT_NE(std::find(listed.begin(), listed.end(), physicalConfig), listed.end());
    for (const std::string& path : listed)
        EXPECT_EQ(path.find("/pg_wal/0000"), std::string::npos) << path;
    BackupCopy copy(scratch.Dir("stage"));
    copy.CopyListed(listed);

    std::vector<std::string> databases;
    std::vector<std::string> folders;
    ASSERT_EQ(PostGreFsBackupInterfaceGetMetaData(started.handle, &databases, &folders), 1);
    EXPECT_NE(std::find(databases.begin(), databases.end(), "app"), databases.end());
    EXPECT_NE(std::find(databases.begin(), databases.end(), "postgres"), databases.end());
    EXPECT_NE(std::find(folders.begin(), folders.end(), tablespace), folders.end());

    std::string startLog;
    ASSERT_EQ(ShutdownBackup(started.handle, startLog), 1) << LastError();
    ASSERT_EQ(startLog.size(), 24U) << startLog;
    EXPECT_TRUE(fs::is_regular_file(cluster.archiveDir() + "/" + startLog));
    EXPECT_FALSE(InBackupMode(cluster));
    const std::string labelCopy = job.jobResultsDir + "/backup_label";
    const std::string mapCopy = job.jobResultsDir + "/tablespace_map";
    if (!exclusive) {
        EXPECT_NE(TestFiles::Read(labelCopy).find("LABEL: pgulo_backup_" +
                                                  std::to_string(cluster.port()) + "_" +
                                                  std::to_string(job.jobId) + "_"),
                  std::string::npos);
        EXPECT_NE(TestFiles::Read(mapCopy).find(" " + tablespace), std::string::npos);
    }

    // Disaster: the server, its data directory and its tablespace are gone.
    cluster.stop();
    fs::remove_all(cluster.dataDir());
    fs::remove_all(tablespace);
    if (configOutside)
        fs::remove(configFile);

    // Restore: the copies go back, and recovery replays the archive.
    copy.RestoreAll();
    // The old server's lock file is not part of a restore.
    fs::remove(cluster.dataDir() + "/postmaster.pid");
    if (!exclusive) {
        fs::copy_file(labelCopy, cluster.dataDir() + "/backup_label");
        fs::copy_file(mapCopy, cluster.dataDir() + "/tablespace_map");
    }
    ASSERT_TRUE(fs::is_directory(cluster.dataDir() + "/pg_wal"));
    ASSERT_TRUE(fs::exists(cluster.dataDir() + "/backup_label"));
    const std::string restoreCommand = "cp " + cluster.archiveDir() + "/%f \"%p\"";
    if (major >= 12) {
        const std::string conf =
            configOutside ? configFile : cluster.dataDir() + "/postgresql.conf";
        TestFiles::Write(conf,
                         TestFiles::Read(conf) + "restore_command = '" + restoreCommand + "'\n");
        TestFiles::Write(cluster.dataDir() + "/recovery.signal", "");
    } else {
        TestFiles::Write(cluster.dataDir() + "/recovery.conf",
                         "restore_command = '" + restoreCommand + "'\nstandby_mode = off\n");
    }
    ChownToPostgres(cluster.dataDir());
    ChownToPostgres(tablespace);
    if (configOutside)
        ChownToPostgres(configFile);
    StartServer(cluster, configFile);
    ASSERT_TRUE(WaitFor([&] { return cluster.psql("SELECT pg_is_in_recovery()") == "f"; },
                        std::chrono::seconds(120)))
        << cluster.serverLog();

    EXPECT_EQ(cluster.psql("SELECT count(*) FROM t1 WHERE id <= 5000 AND v = md5(id::text)"),
              "5000");
    EXPECT_EQ(cluster.psql("SELECT count(*) FROM t1 WHERE id > 5000 AND v = 'during'"), "1000");
    EXPECT_EQ(cluster.psql("SELECT sum(id) FROM t1"), std::to_string(6000LL * 6001 / 2));
    EXPECT_EQ(cluster.psql("SELECT count(*), sum(length(v)) FROM t2 WHERE id > 100", "app"),
              "2900|" + cluster.psql("SELECT sum(g % 100) FROM generate_series(101, 3000) g"));
    EXPECT_EQ(cluster.psql("SELECT count(*) FROM t2 WHERE v = 'changed'", "app"), "100");
    EXPECT_EQ(cluster.psql("SELECT spcname FROM pg_tablespace WHERE spcname = 'ts'"), "ts");
}

TEST_P(FullBackupRestoreTest, ConfigurationInsideTheDataDirectory) {
    BackUpDestroyAndRestore(false);
}

TEST_P(FullBackupRestoreTest, ConfigurationOutsideTheDataDirectory) {
    BackUpDestroyAndRestore(true);
}

// Non-exclusive backup mode: the host puts the label and tablespace map kept in the job
// results directory into the restored data directory.
INSTANTIATE_TEST_SUITE_P(NonExclusiveBackupMajors, FullBackupRestoreTest,
                         ::testing::Values(15, 16, 17, 18),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PostgreSQL" + std::to_string(info.param);
                         });

INSTANTIATE_TEST_SUITE_P(ExclusiveBackupMajors, FullBackupRestoreTest,
                         ::testing::Values(10, 12, 14),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PostgreSQL" + std::to_string(info.param);
                         });

} // namespace
