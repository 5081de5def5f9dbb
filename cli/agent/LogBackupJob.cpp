#include "LogBackupJob.h"

#include "CliError.h"
#include "CollectFile.h"
#include "HostContext.h"
#include "SignalGuard.h"

LogBackupJob::~LogBackupJob() {
    Finish(false);
}

void LogBackupJob::Start(unsigned long long jobId, const std::string& jobResultsDir,
                         const std::string& configDir, bool prune, const AgentConnection& c,
                         PG_LOG_BACKUP_TYPE type, const std::string& lastLog,
                         const std::string& logTmpFileName) {
    jobResultsDir_ = jobResultsDir;
    HostContext::ClearAgentError();
    unsigned long long fileCount = 0;
    long long totalBytes = 0;
    handle_ = PostGreLogBackupInterfaceStart(
        jobId, jobResultsDir, configDir, prune, c.binDir, c.libDir, c.database, c.hostAddr, c.port,
        c.user, c.password, c.archiveDir, type, &collectFileCount_, &fileCount, &totalBytes,
        lastLog, &SignalGuard::QuitCallback, nullptr, logTmpFileName, c.version, "", 0);
    if (handle_ == nullptr) {
        if (SignalGuard::QuitRequested())
            throw CliError("the log backup was interrupted before the WAL was listed");
        throw CliError(HostContext::AgentFailure("the log backup could not start"));
    }
}

std::vector<std::string> LogBackupJob::CollectFiles() const {
    // The manager names the collect files after the backup type: a log backup of type 1
    // (the log phase of a full backup) gets the full backup's names.
    std::vector<std::string> files = CollectFile::Find(jobResultsDir_, "Collect_logfile");
    if (files.empty())
        files = CollectFile::Find(jobResultsDir_, "CollectTot");
    return files;
}

std::string LogBackupJob::LastLog() {
    HostContext::ClearAgentError();
    std::vector<std::string> databases;
    std::string lastLog;
    if (PostGreLogBackupInterfaceGetMetaData(handle_, &databases, &lastLog) != 1)
        throw CliError(HostContext::AgentFailure("the log backup's last segment is unknown"));
    return lastLog;
}

bool LogBackupJob::Finish(bool success) {
    if (handle_ == nullptr)
        return true;
    void* handle = handle_;
    handle_ = nullptr;
    if (PostGreLogBackupInterfaceShutdown(handle, success ? 0 : 1) == 1)
        return true;
    // A failed prune keeps the job alive; release it without pruning again.
    PostGreLogBackupInterfaceShutdown(handle, 1);
    return false;
}
