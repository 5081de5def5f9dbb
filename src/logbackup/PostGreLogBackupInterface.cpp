// The log backup entry points the backup host calls.
#include "pgulo/PostGreLogBackupInterface.h"

#include "common/PGGuard.h"
#include "logbackup/PGLogBackup.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"

#include <memory>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelStart = "PostGreLogBackupInterface";
const char* const kLabelStandbyStart = "PostGreLogBackupInterfaceStart";
const char* const kLabelGetMetaData = "PostGreLogBackupInterfaceGetMetaData";
const char* const kLabelShutdown = "PostGreLogBackupInterfaceShutdown";
const char* const kNoJobResultsDir =
    "The job results directory is not set. Please provide a valid job results directory";

} // namespace

void* PostGreLogBackupInterfaceStart(
    unsigned long long jobId, std::string jobResultsDir, std::string configDir, bool pruneLogs,
    std::string binDir, std::string libDir, std::string dbName, std::string hostAddr,
    std::string port, std::string user, std::string password, std::string archiveLogDir,
    PG_LOG_BACKUP_TYPE type, unsigned long long* collectFileCount, unsigned long long* fileCount,
    long long* totalBytes, std::string lastLogNumber, PGQuitFlagCallback quitFlag,
    void* quitFlagContext, std::string logTmpFileName, std::string serverVersion,
    std::string primaryLastLog, unsigned int standby) {
    return PGGuard::OrReturn<void*>(g_log, kLabelStart, nullptr, [&]() -> void* {
        // An empty directory would put collect and bookkeeping files into "/"; refused before
        // anything connects or writes.
        if (jobResultsDir.empty()) {
            g_log.Error(kLabelStart, "eRRoR -- Job results directory is empty");
            PGLastError(kNoJobResultsDir);
            throw PGException(kLabelStart, PG_EXCEPTION_APPLICATION, "No job results directory");
        }
        // Until the host has the handle, a failure releases the job.
        auto job = std::make_unique<PGLogBackup>(jobId, jobResultsDir, configDir, pruneLogs, binDir,
                                                 libDir, dbName, hostAddr, port, user, password,
                                                 archiveLogDir, type, lastLogNumber, quitFlag,
                                                 quitFlagContext, false, logTmpFileName);
        job->setPostgresVersion(serverVersion);
        if (standby != 0) {
            job->SetCurrentLastLog(primaryLastLog);
            g_log.Debug(kLabelStart, "LastLogNumber from Master [%s]", primaryLastLog.c_str());
        } else if (type == PG_LOG_FULL_BACKUP) {
            job->RollOverLogsWithStartStopBackup();
        } else {
            job->RollOverLogs();
        }
        job->GenerateCollectFile(collectFileCount, fileCount);
        if (totalBytes != nullptr)
            *totalBytes = static_cast<long long>(job->getTotBytes());
        return job.release();
    });
}

void* PostGreLogBackupInterfaceStart(unsigned long long jobId, bool pruneLogs, std::string binDir,
                                     std::string libDir, std::string dbName, std::string hostAddr,
                                     std::string port, std::string user, std::string password,
                                     std::string archiveLogDir, PG_LOG_BACKUP_TYPE type,
                                     std::string lastLogNumber, std::string& lastLog,
                                     PGQuitFlagCallback quitFlag, void* quitFlagContext,
                                     std::string configDir, std::string logTmpFileName,
                                     std::string serverVersion) {
    return PGGuard::OrReturn<void*>(g_log, kLabelStandbyStart, nullptr, [&]() -> void* {
        g_log.Debug(kLabelStandbyStart, "Enter PostGreLogBackupInterfaceStart");
        auto job = std::make_unique<PGLogBackup>(jobId, std::string(), configDir, pruneLogs, binDir,
                                                 libDir, dbName, hostAddr, port, user, password,
                                                 archiveLogDir, type, lastLogNumber, quitFlag,
                                                 quitFlagContext, false, logTmpFileName);
        g_log.Debug(kLabelStandbyStart,
                    "Run pg_start_backup() and pg_stop_backup for Log backup from Standby");
        job->RollOverLogsWithStartStopBackup();
        job->GetLogFilesNeeded(&lastLog, 2);
        if (!serverVersion.empty())
            job->setPostgresVersion(serverVersion);
        return job.release();
    });
}

int PostGreLogBackupInterfaceGetMetaData(void* handle, std::vector<std::string>* databases,
                                         std::string* lastLog) {
    return PGGuard::OrReturn<int>(g_log, kLabelGetMetaData, 0, [&] {
        if (handle == nullptr)
            throw PGException(kLabelGetMetaData, PG_EXCEPTION_APPLICATION, "No job handle");
        auto* job = static_cast<PGLogBackup*>(handle);
        if (lastLog != nullptr)
            job->GetCurrentLastLog(lastLog);
        if (databases != nullptr)
            job->GetDbList(databases);
        return 1;
    });
}

int PostGreLogBackupInterfaceShutdown(void* handle, int status) {
    return PGGuard::OrReturn<int>(g_log, kLabelShutdown, 0, [&] {
        auto* job = static_cast<PGLogBackup*>(handle);
        // A failed prune leaves the job alive, so that the host may try again.
        if (status == 0 && job != nullptr)
            job->PruneLogs();
        std::unique_ptr<PGLogBackup> released(job);
        return 1;
    });
}
