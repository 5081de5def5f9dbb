#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "PgInstall.h"
#include "TestProcess.h"

// Skips the current test when the PostgreSQL major's binaries are not installed, or when
// $PGULO_TEST_MAJORS leaves the major out.
#define PGULO_REQUIRE_MAJOR(m)                                                                     \
    do {                                                                                           \
        if (!::pgulo::test::PgInstall::available(m)) {                                             \
            GTEST_SKIP() << "PostgreSQL " << (m) << " is not installed";                           \
        }                                                                                          \
        if (!::pgulo::test::PgInstall::selected(m)) {                                              \
            GTEST_SKIP() << "PostgreSQL " << (m) << " is not in PGULO_TEST_MAJORS";                \
        }                                                                                          \
    } while (0)

namespace pgulo::test {

// Kept outside PgCluster so it can serve as a defaulted constructor argument.
struct PgClusterOptions {
    // Used for cluster_name and in messages.
    std::string name = "node";
    // initdb --wal-segsize in MB; 0 keeps the default (16). Majors before 11 only support 16.
    int walSegSizeMb = 0;
    // Appended verbatim to postgresql.conf after the fixture's own settings, so they win.
    std::vector<std::string> extraConf;
    // archive_mode = on, copying every finished segment into archiveDir().
    bool archiving = true;
};

// A throwaway PostgreSQL cluster in a private temp tree, reachable only over its own Unix
// socket. Servers refuse to run as root, so the server-side commands run as OS user postgres.
// The destructor always stops the server and removes the tree (unless
// PGULO_KEEP_TEST_CLUSTERS=1), printing the server log first if the current test failed.
class PgCluster {
public:
    using Options = PgClusterOptions;

    explicit PgCluster(int major, Options options = Options());
    ~PgCluster();

    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;
    PgCluster(PgCluster&&) = delete;
    PgCluster& operator=(PgCluster&&) = delete;

    // initdb and the fixture's postgresql.conf settings. Call once, before start().
    void init();
    void start();
    // mode: "smart", "fast" or "immediate".
    void stop(const std::string& mode = "fast");
    void restart();
    // Blocks until the server accepts connections; throws after the timeout.
    void waitReady(std::chrono::seconds timeout = std::chrono::seconds(60)) const;
    bool isRunning() const;

    // Appends one line to postgresql.conf; takes effect on the next (re)start or reload.
    void appendConf(const std::string& line);
    void reload();

    // Runs the SQL with Debian's psql in tuples-only, unaligned mode and returns trimmed stdout.
    // Throws std::runtime_error carrying stderr if psql fails.
    std::string psql(const std::string& sql, const std::string& db = "postgres") const;
    // Same command, but returns the raw result instead of throwing.
    ProcessResult tryPsql(const std::string& sql, const std::string& db = "postgres") const;

    // Forces a WAL segment switch and returns the name of the segment that was closed.
    std::string switchWal() const;

    // libpq keyword/value connection string for this cluster.
    std::string connInfo(const std::string& db = "postgres") const;

    int major() const { return major_; }
    const std::string& name() const { return options_.name; }
    int port() const { return port_; }
    const std::string& baseDir() const { return baseDir_; }
    const std::string& dataDir() const { return dataDir_; }
    const std::string& socketDir() const { return socketDir_; }
    const std::string& archiveDir() const { return archiveDir_; }
    const std::string& logFile() const { return logFile_; }
    std::string binDir() const { return PgInstall::binDir(major_); }
    std::string libDir() const { return PgInstall::libDir(major_); }
    std::string serverLog() const;

private:
    ProcessResult runAsPostgres(const std::vector<std::string>& argv,
                                std::chrono::milliseconds timeout = std::chrono::minutes(3)) const;
    void createTree();
    void stopForTeardown() noexcept;
    void removeTree() noexcept;

    int major_;
    Options options_;
    int uncaughtAtConstruction_;
    int port_ = 0;
    bool initialized_ = false;
    std::string baseDir_;
    std::string dataDir_;
    std::string socketDir_;
    std::string archiveDir_;
    std::string logFile_;
};

// The program's running cluster of the major and options.name, started on first use and
// shared by every test that asks for it; all are stopped after the last test.
PgCluster& SharedCluster(int major, const PgClusterOptions& options);

// Majors for which a cluster was started in this process, ascending. A GoogleTest environment
// registered by this library prints them after the last test when any cluster was started.
std::set<int> majorsUsed();

// Polls until condition holds (true) or the time is up (false, after one last look).
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Gives path, and everything below it, to the server's OS user.
void ChownToPostgres(const std::string& path);

// A TCP port nobody listens on now, for a server beside the test clusters.
int FreePort();

// A server of the cluster's major run on another data directory (a restored copy or a
// standby), with its own port, socket directory and log under root and no archiving of its
// own: it must not write into the archive it may replay from. Stopped at once at the end.
class ServerCopy {
public:
    ServerCopy(const PgCluster& cluster, std::string dataDir, const std::string& root);
    ~ServerCopy();
    ServerCopy(const ServerCopy&) = delete;
    ServerCopy& operator=(const ServerCopy&) = delete;

    // pg_ctl start, with more server options when given.
    ProcessResult Start(const std::string& options = "");
    ProcessResult Psql(const std::string& sql) const;
    // The trimmed result, or "error: ..." so that a comparison shows what went wrong.
    std::string Query(const std::string& sql) const;
    std::string Log() const;
    int port() const { return port_; }
    const std::string& socketDir() const { return socketDir_; }
    const std::string& dataDir() const { return dataDir_; }

private:
    std::string binDir_;
    std::string dataDir_;
    std::string socketDir_;
    std::string logFile_;
    int port_;
    bool started_ = false;
};

} // namespace pgulo::test
