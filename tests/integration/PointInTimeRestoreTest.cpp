// End to end: a full backup and log backups taken through the entry points the backup host
// calls, copied as the host copies them, restored into a fresh data directory and recovered to
// a point in time and to the end of the logs.
#include "pgulo/GetPostgresInfo.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PostGreFsBackupInterface.h"
#include "pgulo/PostGreLogBackupInterface.h"
#include "pgulo/PostgresHelperClass.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pgulo/host/CollectLine.h"
#include "PgCluster.h"
#include "PgInstall.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace {

namespace fs = std::filesystem;
using pgulo::test::PgCluster;
using pgulo::test::PgInstall;
using pgulo::test::ProcessOptions;
using pgulo::test::ProcessResult;
using pgulo::test::runAsPostgres;
using pgulo::test::runCommand;
using pgulo::test::TestFiles;

constexpr int kRowsA = 25;
constexpr int kRowsB = 17;
const char* const kLogTmpName = "PGLogTmp.txt";

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// A cluster started from restored files, stopped and removed again at the end.
class RestoredServer {
public:
    RestoredServer(int major, std::string root) : major_(major), root_(std::move(root)) {
        port_ = FreePort();
        fs::create_directories(root_ + "/socket");
    }
    ~RestoredServer() {
        if (started_) {
            runAsPostgres({PgInstall::binDir(major_) + "/pg_ctl", "-D", dataDir(), "-m",
                           "immediate", "-w", "stop"},
                          root_);
        }
    }
    RestoredServer(const RestoredServer&) = delete;
    RestoredServer& operator=(const RestoredServer&) = delete;

    std::string dataDir() const { return root_ + "/data"; }
    std::string logFile() const { return root_ + "/server.log"; }

    // Starts as postgres on its own port and socket, without archiving into the original
    // cluster's archive.
    void start() {
        chownToPostgres(root_);
        const std::string options = "-p " + std::to_string(port_) + " -k " + root_ +
                                    "/socket -c archive_mode=off -c cluster_name=restored";
        const ProcessResult r =
            runAsPostgres({PgInstall::binDir(major_) + "/pg_ctl", "-D", dataDir(), "-l", logFile(),
                           "-w", "-t", "120", "-o", options, "start"},
                          root_);
        started_ = true;
        ASSERT_TRUE(r.ok()) << r.out << r.err << "\n" << serverLog();
    }

    std::string psql(const std::string& sql) const {
        ProcessOptions options;
        options.timeout = std::chrono::minutes(1);
        const ProcessResult r = runCommand({PgInstall::clientTool("psql"), "-X", "-A", "-t", "-q",
                                            "-h", root_ + "/socket", "-p", std::to_string(port_),
                                            "-U", "postgres", "-d", "postgres", "-c", sql},
                                           options);
        if (!r.ok())
            return "psql failed: " + r.err;
        return pgulo::test::trim(r.out);
    }

    // True once the server has left recovery.
    bool waitForPromotion() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (std::chrono::steady_clock::now() < deadline) {
            if (psql("SELECT pg_is_in_recovery()") == "f")
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }

    std::string serverLog() const {
        std::ifstream in(logFile());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static void chownToPostgres(const std::string& path) {
        const ProcessResult r = runCommand({"chown", "-R", "postgres:postgres", path});
        ASSERT_TRUE(r.ok()) << r.err;
    }

private:
    int major_;
    std::string root_;
    int port_ = 0;
    bool started_ = false;
};

class PointInTimeRestore : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pgulo-pitr-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        for (const char* dir : {"home", "config", "full", "log1", "log2", "base", "archive"})
            fs::create_directories(root_ + "/" + dir);
        ::setenv("PGULO_HOME", (root_ + "/home").c_str(), 1);
        EvDebug::reloadSettings();
        ASSERT_TRUE(KXPlatformInfo().setString("PostGres", "nWaitForEndLogPollSecs", "1"));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        ::unsetenv("PGULO_HOME");
        EvDebug::reloadSettings();
    }

    static std::string LastError() {
        const char* text = PGLastError(nullptr);
        return text == nullptr ? std::string("(none)") : std::string(text);
    }

    // Copies every entry of the collect files from the cluster's data directory into base/,
    // as the host copies them while the cluster is in backup mode. The lock file of the
    // running server is no part of a backup.
    void CopyCollectedDataFiles(const PgCluster& cluster, const std::string& collectFile) {
        const std::string dataDir = cluster.dataDir();
        for (const std::string& line : TestFiles::ReadLines(collectFile)) {
            const std::string path = CollectLine::Decode(line);
            if (path != dataDir && path.rfind(dataDir + "/", 0) != 0)
                continue;
            if (fs::path(path).filename() == "postmaster.pid")
                continue;
            const std::string target = root_ + "/base" + path.substr(dataDir.size());
            std::error_code error;
            const fs::file_status status = fs::symlink_status(path, error);
            if (error)
                continue; // gone since it was listed
            if (fs::is_directory(status)) {
                fs::create_directories(target);
            } else if (fs::is_symlink(status)) {
                fs::create_symlink(fs::read_symlink(path), target);
            } else if (fs::is_regular_file(status)) {
                fs::create_directories(fs::path(target).parent_path());
                fs::copy_file(path, target, fs::copy_options::overwrite_existing, error);
            }
        }
    }

    // The archived files a log backup listed, into the restore archive.
    void CopyCollectedLogs(const PgCluster& cluster, const std::string& collectFile) {
        for (const std::string& line : TestFiles::ReadLines(collectFile)) {
            const std::string path = CollectLine::Decode(line);
            if (path.rfind(cluster.archiveDir() + "/", 0) != 0 ||
                fs::path(path).filename() == kLogTmpName)
                continue;
            fs::copy_file(path, root_ + "/archive/" + fs::path(path).filename().string(),
                          fs::copy_options::overwrite_existing);
        }
    }

    std::string FullBackup(const PgCluster& cluster, const std::string& version) {
        const std::string jobResults = root_ + "/full";
        unsigned long long collectFiles = 0;
        unsigned long long files = 0;
        long long bytes = 0;
        void* handle = PostGreFsBackupInterfaceStart(
            101, jobResults, root_ + "/config", cluster.binDir(), cluster.libDir(), "postgres",
            cluster.socketDir(), std::to_string(cluster.port()), "postgres", "", &collectFiles,
            &files, &bytes, nullptr, nullptr, cluster.archiveDir(), kLogTmpName, {}, nullptr,
            version, false, 0);
        if (handle == nullptr) {
            ADD_FAILURE() << "full backup start: " << LastError();
            return {};
        }
        std::vector<std::string> databases;
        std::vector<std::string> folders;
        EXPECT_EQ(PostGreFsBackupInterfaceGetMetaData(handle, &databases, &folders), 1);
        CopyCollectedDataFiles(cluster, jobResults + "/CollectTot1.kxf");
        std::string startLog;
        EXPECT_EQ(PostGreFsBackupInterfaceShutdown(handle, 0, startLog), 1) << LastError();
        // From release 15 the backup label comes back from the server at the end of the
        // backup instead of lying in the data directory.
        for (const char* name : {"backup_label", "tablespace_map"}) {
            if (fs::exists(jobResults + "/" + name))
                fs::copy_file(jobResults + "/" + name, root_ + "/base/" + name,
                              fs::copy_options::overwrite_existing);
        }
        return startLog;
    }

    // A log backup as the host runs it; returns the last log it took.
    std::string LogBackup(const PgCluster& cluster, const std::string& version,
                          PG_LOG_BACKUP_TYPE type, const std::string& lastLog,
                          const std::string& jobResults, unsigned long long jobId) {
        unsigned long long collectFiles = 0;
        unsigned long long files = 0;
        long long bytes = 0;
        void* handle = PostGreLogBackupInterfaceStart(
            jobId, jobResults, root_ + "/config", false, cluster.binDir(), cluster.libDir(),
            "postgres", cluster.socketDir(), std::to_string(cluster.port()), "postgres", "",
            cluster.archiveDir(), type, &collectFiles, &files, &bytes, lastLog, nullptr, nullptr,
            kLogTmpName, version, "", 0);
        if (handle == nullptr) {
            ADD_FAILURE() << "log backup start: " << LastError();
            return {};
        }
        std::string endLog;
        std::vector<std::string> databases;
        EXPECT_EQ(PostGreLogBackupInterfaceGetMetaData(handle, &databases, &endLog), 1);
        CopyCollectedLogs(
            cluster, jobResults + "/" +
                         (type == PG_LOG_FULL_BACKUP ? "CollectTot1.kxf" : "Collect_logfile1.kxf"));
        EXPECT_EQ(PostGreLogBackupInterfaceShutdown(handle, 0), 1);
        return endLog;
    }

    // Restores base/ into a fresh data directory, recovers it up to targetTime (empty: to the
    // end of the logs) and returns the server, promoted.
    std::unique_ptr<RestoredServer> Restore(const std::string& name, const std::string& version,
                                            const std::string& targetTime) {
        auto server = std::make_unique<RestoredServer>(GetParam(), root_ + "/" + name);
        fs::copy(root_ + "/base", server->dataDir(),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::permissions(server->dataDir(), fs::perms::owner_all);
        RestoredServer::chownToPostgres(root_ + "/archive");

        GetPostgresInfo info;
        info.postgresVersion = version;
        info.Port = "5432";
        std::string recoveryFile;
        std::string configWithoutRecovery;
        const CRoError written = PostgresHelperClass::addRecoveryCommandsToServerConfig(
            server->dataDir() + "/postgresql.conf", info, server->dataDir(), root_ + "/archive",
            targetTime, false, false, recoveryFile, configWithoutRecovery);
        EXPECT_FALSE(written.IsError()) << written.AsString();
        server->start();
        return server;
    }

    std::string root_;
};

TEST_P(PointInTimeRestore, RecoversToTheNotedTimeAndToTheEndOfTheLogs) {
    PGULO_REQUIRE_MAJOR(GetParam());
    pgulo::test::PgClusterOptions options;
    options.name = "pitr" + std::to_string(GetParam());
    PgCluster cluster(GetParam(), options);
    cluster.start();
    const std::string version = cluster.psql("SHOW server_version");
    std::ofstream(root_ + "/config/postgres_" + std::to_string(cluster.port()))
        << "start_backup_immediate:on\n";
    cluster.psql("CREATE TABLE story (phase text, n int)");

    // The full backup, with its log phase.
    const std::string fullStart = FullBackup(cluster, version);
    ASSERT_FALSE(fullStart.empty());
    const std::string fullEnd =
        LogBackup(cluster, version, PG_LOG_FULL_BACKUP, fullStart, root_ + "/log1", 102);
    ASSERT_FALSE(fullEnd.empty());

    cluster.psql("INSERT INTO story SELECT 'A', g FROM generate_series(1, " +
                 std::to_string(kRowsA) + ") g");
    const std::string between = cluster.psql("SELECT now()");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    cluster.psql("INSERT INTO story SELECT 'B', g FROM generate_series(1, " +
                 std::to_string(kRowsB) + ") g");

    const std::string incrementalEnd =
        LogBackup(cluster, version, PG_LOG_INCR_BACKUP, fullEnd, root_ + "/log2", 103);
    ASSERT_GT(incrementalEnd, fullEnd);

    const std::string countA = "SELECT count(*) FROM story WHERE phase = 'A'";
    const std::string countB = "SELECT count(*) FROM story WHERE phase = 'B'";
    {
        auto server = Restore("to-time", version, between);
        ASSERT_TRUE(server->waitForPromotion()) << server->serverLog();
        EXPECT_EQ(server->psql(countA), std::to_string(kRowsA)) << server->serverLog();
        EXPECT_EQ(server->psql(countB), "0");
    }
    {
        auto server = Restore("to-end", version, "");
        ASSERT_TRUE(server->waitForPromotion()) << server->serverLog();
        EXPECT_EQ(server->psql(countA), std::to_string(kRowsA)) << server->serverLog();
        EXPECT_EQ(server->psql(countB), std::to_string(kRowsB));
    }
}

INSTANTIATE_TEST_SUITE_P(Majors, PointInTimeRestore, ::testing::Values(10, 12, 14, 15, 16, 17, 18),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
