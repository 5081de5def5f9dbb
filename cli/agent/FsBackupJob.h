#pragma once

#include "InstanceRegistry.h"

#include <string>
#include <vector>

// One full backup job of the agent, held through its handle. Whatever happens, the handle
// goes back to the agent's Shutdown, which ends backup mode.
class FsBackupJob {
public:
    FsBackupJob() = default;
    ~FsBackupJob();
    FsBackupJob(const FsBackupJob&) = delete;
    FsBackupJob& operator=(const FsBackupJob&) = delete;

    // Puts the cluster into backup mode and has the collect files written. Throws CliError
    // with the agent's last-error text. restartFrom: the numbers of the collect files of an
    // interrupted job, already in the job results directory, whose unchanged entries the
    // agent carries over.
    void Start(unsigned long long jobId, const std::string& jobResultsDir,
               const std::string& configDir, const AgentConnection& connection,
               const std::string& logTmpFileName, bool makeArchiveDeleteList,
               const std::vector<int>& restartFrom = {});
    // After a restarted Start: where the carried entries end in each collect file.
    const std::string& RestartString() const { return restartString_; }
    // The collect files the start wrote, in order.
    std::vector<std::string> CollectFiles() const;
    void GetMetaData(std::vector<std::string>& databases, std::vector<std::string>& folders);
    // Ends backup mode; returns the first WAL segment the backup needs. The handle is gone
    // afterwards, whatever the result.
    std::string Shutdown();
    // Ends backup mode when a later step failed; failures are only logged by the agent.
    void Abandon() noexcept;

    unsigned long long FileCount() const { return fileCount_; }
    long long TotalBytes() const { return totalBytes_; }

private:
    void* handle_ = nullptr;
    std::string jobResultsDir_;
    std::string restartString_;
    unsigned long long collectFileCount_ = 0;
    unsigned long long fileCount_ = 0;
    long long totalBytes_ = 0;
};
