#pragma once

#include "InstanceRegistry.h"

#include "pgulo/PostGreLogBackupInterface.h"

#include <string>
#include <vector>

// One log backup job of the agent, held through its handle, which always goes back to the
// agent's Shutdown.
class LogBackupJob {
public:
    LogBackupJob() = default;
    ~LogBackupJob();
    LogBackupJob(const LogBackupJob&) = delete;
    LogBackupJob& operator=(const LogBackupJob&) = delete;

    // Closes the current WAL segment, waits for the archive and has the collect files
    // written. Throws CliError with the agent's last-error text.
    void Start(unsigned long long jobId, const std::string& jobResultsDir,
               const std::string& configDir, bool prune, const AgentConnection& connection,
               PG_LOG_BACKUP_TYPE type, const std::string& lastLog,
               const std::string& logTmpFileName);
    std::vector<std::string> CollectFiles() const;
    // The last WAL segment the backup takes.
    std::string LastLog();
    // success: the host holds the files; the agent prunes the archive when asked to. Returns
    // false when pruning failed (the backup itself stands). The handle is gone afterwards.
    bool Finish(bool success);

private:
    void* handle_ = nullptr;
    std::string jobResultsDir_;
    unsigned long long collectFileCount_ = 0;
};
