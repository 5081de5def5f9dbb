#pragma once

// What the backup host does around a backup job, for the integration tests: it calls the
// entry points with a cluster's values, reads the collect files, copies every listed path
// (and later copies it back), and keeps its own job directories.

#include "PgCluster.h"
#include "TempTree.h"

#include "pgulo/PostGreFsBackupInterface.h"
#include "pgulo/PostGreLogBackupInterface.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pgulo::test {

// The agent's last error text, or a note that there is none.
std::string LastError();

// The paths a collect file lists, decoded.
std::vector<std::string> ReadCollectFile(const std::string& path);

// The values the host passes for one cluster.
struct JobSetup {
    unsigned long long jobId = 1;
    std::string jobResultsDir;
    std::string configDir;
    std::string archiveDir;
    std::string version;
    std::string logTmpName;
    PGQuitFlagCallback quitFlag = nullptr;
    void* quitFlagContext = nullptr;
    std::vector<RestartInfo_p> restart;
    bool makeArchiveDeleteList = false;
    unsigned int standby = 0;
};

struct StartResult {
    void* handle = nullptr;
    unsigned long long collectFiles = 0;
    unsigned long long files = 0;
    long long totalBytes = 0;
    std::string restartString;
};

StartResult StartBackup(const PgCluster& cluster, const JobSetup& job);
StartResult StartLogBackup(const PgCluster& cluster, const JobSetup& job, PG_LOG_BACKUP_TYPE type,
                           const std::string& lastLog, bool prune = false,
                           const std::string& primaryLastLog = "");

inline int ShutdownBackup(void* handle, std::string& startLog) {
    return PostGreFsBackupInterfaceShutdown(handle, 0, startLog);
}

// The agent configuration file "postgres_<port>" in the configuration directory.
void WriteAgentConfig(const std::string& configDir, int port, const std::string& lines);

// Whether the cluster is in exclusive backup mode: the server keeps backup_label then.
bool InBackupMode(const PgCluster& cluster);
std::string BackupLabel(const PgCluster& cluster);

// Every debug log of the host home in $PGULO_HOME, joined.
std::string AgentLog();

// The files a job keeps in its job results directory. A job built without one (the standby
// start) must not put them into the root directory; whatever it did put there is reported and
// removed again.
class RootDirectoryWatch {
public:
    RootDirectoryWatch();
    ~RootDirectoryWatch() { Written(); }
    RootDirectoryWatch(const RootDirectoryWatch&) = delete;
    RootDirectoryWatch& operator=(const RootDirectoryWatch&) = delete;

    // The files created or rewritten since construction.
    std::vector<std::string> Written();

private:
    std::map<std::string, std::optional<std::filesystem::file_time_type>> before_;
};

// PGULO_HOME for the whole test program: the host services keep their files there. After a
// failed test the agent's debug logs are printed. A debug level above 0 goes into the registry
// before the first log line reads it.
class HostHome : public ::testing::Environment {
public:
    explicit HostHome(int debugLevel = 0) : debugLevel_(debugLevel) {}
    void SetUp() override;
    void TearDown() override;

private:
    int debugLevel_;
    std::unique_ptr<TempTree> dir_;
};

} // namespace pgulo::test
