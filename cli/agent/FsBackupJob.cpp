#include "FsBackupJob.h"

#include "CliError.h"
#include "CollectFile.h"
#include "HostContext.h"
#include "SignalGuard.h"

#include "pgulo/PostGreFsBackupInterface.h"

FsBackupJob::~FsBackupJob() {
    Abandon();
}

void FsBackupJob::Start(unsigned long long jobId, const std::string& jobResultsDir,
                        const std::string& configDir, const AgentConnection& c,
                        const std::string& logTmpFileName, bool makeArchiveDeleteList,
                        const std::vector<int>& restartFrom) {
    jobResultsDir_ = jobResultsDir;
    HostContext::ClearAgentError();
    std::vector<RestartInfo_p> restart;
    for (int number : restartFrom)
        restart.push_back({number, -1}); // every entry the agent still finds unchanged
    handle_ = PostGreFsBackupInterfaceStart(
        jobId, jobResultsDir, configDir, c.binDir, c.libDir, c.database, c.hostAddr, c.port, c.user,
        c.password, &collectFileCount_, &fileCount_, &totalBytes_, &SignalGuard::QuitCallback,
        nullptr, c.archiveDir, logTmpFileName, restart, &restartString_, c.version, makeArchiveDeleteList,
        0);
    if (handle_ == nullptr) {
        if (SignalGuard::QuitRequested())
            throw CliError("the full backup was interrupted before the files were listed");
        throw CliError(HostContext::AgentFailure("the full backup could not start"));
    }
}

std::vector<std::string> FsBackupJob::CollectFiles() const {
    return CollectFile::Find(jobResultsDir_, "CollectTot");
}

void FsBackupJob::GetMetaData(std::vector<std::string>& databases,
                              std::vector<std::string>& folders) {
    HostContext::ClearAgentError();
    if (PostGreFsBackupInterfaceGetMetaData(handle_, &databases, &folders) != 1)
        throw CliError(HostContext::AgentFailure("the backup's databases could not be listed"));
}

std::string FsBackupJob::Shutdown() {
    void* handle = handle_;
    handle_ = nullptr;
    HostContext::ClearAgentError();
    std::string startLog;
    if (PostGreFsBackupInterfaceShutdown(handle, 0, startLog) != 1)
        throw CliError(HostContext::AgentFailure("backup mode could not be ended"));
    return startLog;
}

void FsBackupJob::Abandon() noexcept {
    if (handle_ == nullptr)
        return;
    void* handle = handle_;
    handle_ = nullptr;
    std::string startLog;
    PostGreFsBackupInterfaceShutdown(handle, 0, startLog);
}
