// The full backup entry points the backup host calls.
#include "pgulo/PostGreFsBackupInterface.h"

#include "common/PGGuard.h"
#include "fsbackup/PGFsBackup.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelStart = "PostGreFsBackupInterface";
const char* const kLabelStandbyStart = "PostGreFsBackupInterfaceStart";
const char* const kLabelGetMetaData = "PostGreFsBackupInterfaceGetMetaData";
const char* const kLabelShutdown = "PostGreFsBackupInterfaceShutdown";
const char* const kLabelArchDel = "GenerateArchDelFileList";
const char* const kLabelDumpDir = "DumpDirContent";
const char* const kNoJobResultsDir =
    "The job results directory is not set. Please provide a valid job results directory";

} // namespace

void* PostGreFsBackupInterfaceStart(
    unsigned long long jobId, std::string jobResultsDir, std::string configDir, std::string binDir,
    std::string libDir, std::string dbName, std::string hostAddr, std::string port,
    std::string user, std::string password, unsigned long long* collectFileCount,
    unsigned long long* fileCount, long long* totalBytes, PGQuitFlagCallback quitFlag,
    void* quitFlagContext, std::string archiveLogDir, std::string logTmpFileName,
    std::vector<RestartInfo_p> restartInfo, std::string* restartString, std::string serverVersion,
    bool makeArchiveDeleteList, unsigned int standby) {
    return PGGuard::OrReturn<void*>(g_log, kLabelStart, nullptr, [&]() -> void* {
        g_log.Debug(kLabelStart, "Enter");
        // An empty directory would put collect and bookkeeping files into "/"; refused before
        // anything connects or writes.
        if (jobResultsDir.empty()) {
            g_log.Error(kLabelStart, "eRRoR -- Job results directory is empty");
            PGLastError(kNoJobResultsDir);
            throw PGException(kLabelStart, PG_EXCEPTION_APPLICATION, "No job results directory");
        }
        // Until the host has the handle, a failure releases the job, and with it any
        // backup mode it set.
        auto job = std::make_unique<PGFsBackup>(
            jobId, jobResultsDir, configDir, binDir, libDir, dbName, hostAddr, port, user, password,
            logTmpFileName, quitFlag, quitFlagContext, true, archiveLogDir);
        job->setPostgresVersion(serverVersion);
        job->SetRestartInfo(restartInfo);
        if (standby == 0) {
            g_log.Debug(kLabelStart, "Set DB in backup mode if its not standby system");
            job->SetDBInBackupMode();
        }
        if (makeArchiveDeleteList)
            GenerateArchDelFileList(jobResultsDir, archiveLogDir);
        if (restartInfo.empty()) {
            job->GenerateCollectFile(collectFileCount, fileCount);
        } else {
            job->BackupFiles();
            job->GenerateNewCollectFile(collectFileCount, fileCount);
            if (restartString != nullptr)
                *restartString = job->GetRestartString();
            job->RenameFiles();
        }
        if (totalBytes != nullptr)
            *totalBytes = static_cast<long long>(job->getTotBytes());
        g_log.Debug(kLabelStart, "Exit");
        return job.release();
    });
}

void* PostGreFsBackupInterfaceStart(unsigned long long jobId, std::string binDir,
                                    std::string libDir, std::string dbName, std::string hostAddr,
                                    std::string port, std::string user, std::string password,
                                    std::string archiveLogDir, std::string& startLog,
                                    PGQuitFlagCallback quitFlag, void* quitFlagContext,
                                    std::string jobResultsDir, std::string configDir,
                                    std::string logTmpFileName, std::string serverVersion) {
    return PGGuard::OrReturn<void*>(g_log, kLabelStandbyStart, nullptr, [&]() -> void* {
        auto job = std::make_unique<PGFsBackup>(
            jobId, jobResultsDir, configDir, binDir, libDir, dbName, hostAddr, port, user, password,
            logTmpFileName, quitFlag, quitFlagContext, true, archiveLogDir);
        g_log.Debug(kLabelStandbyStart, "Set Master server DB in backup mode for standby backup");
        job->SetDBInBackupMode();
        job->setPostgresVersion(serverVersion);
        job->GetLogFilesNeeded(&startLog, 1);
        g_log.Debug(kLabelStandbyStart,
                    "Added log location in start log number. StartTranscationLogLocation = [%s]",
                    startLog.c_str());
        return job.release();
    });
}

int PostGreFsBackupInterfaceGetMetaData(void* handle, std::vector<std::string>* databases,
                                        std::vector<std::string>* folders) {
    return PGGuard::OrReturn<int>(g_log, kLabelGetMetaData, 0, [&] {
        if (handle == nullptr)
            throw PGException(kLabelGetMetaData, PG_EXCEPTION_APPLICATION, "No job handle");
        auto* job = static_cast<PGFsBackup*>(handle);
        job->GetDbList(databases);
        job->GetFolderList(folders);
        return 1;
    });
}

int PostGreFsBackupInterfaceShutdown(void* handle, int /*unused*/, std::string& startLog) {
    return PGGuard::OrReturn<int>(g_log, kLabelShutdown, 0, [&] {
        if (handle == nullptr)
            throw PGException(kLabelShutdown, PG_EXCEPTION_APPLICATION, "No job handle");
        // The handle is released on every path, a failed step included.
        std::unique_ptr<PGFsBackup> job(static_cast<PGFsBackup*>(handle));
        std::string start;
        std::string end;
        job->StopBackup(true);
        job->RunConsistencyCheck();
        job->GetLogFilesNeeded(&start, &end, false);
        job.reset();
        if (start.empty())
            throw PGException(kLabelShutdown, PG_EXCEPTION_POSTGRE, "Start Log Number is empty");
        startLog = start;
        return 1;
    });
}

int PostGreFsBackupInterfaceShutdown(unsigned long long jobId, std::string binDir,
                                     std::string libDir, std::string dbName, std::string hostAddr,
                                     std::string port, std::string user, std::string password,
                                     std::string archiveLogDir, int /*unused*/, std::string& endLog,
                                     PGQuitFlagCallback quitFlag, void* quitFlagContext,
                                     std::string configDir, std::string logTmpFileName,
                                     std::string jobResultsDir, std::string serverVersion) {
    return PGGuard::OrReturn<int>(g_log, kLabelShutdown, 0, [&] {
        auto job = std::make_unique<PGFsBackup>(
            jobId, jobResultsDir, configDir, binDir, libDir, dbName, hostAddr, port, user, password,
            logTmpFileName, quitFlag, quitFlagContext, true, archiveLogDir);
        job->setPostgresVersion(serverVersion);
        job->StopBackup(true);
        job->GetLogFilesNeeded(&endLog, 2);
        job.reset();
        return 1;
    });
}

int GenerateArchDelFileList(std::string jobResultsDir, std::string archiveLogDir) {
    return PGGuard::OrReturn<int>(g_log, kLabelArchDel, -1, [&] {
        const std::string listFile = PGCommon::GetArchDelFileName(jobResultsDir);
        if (listFile.empty()) {
            g_log.Debug(kLabelArchDel, "Archive delete file name is empty");
            return -1;
        }
        return DumpDirContent(archiveLogDir, listFile);
    });
}

int DumpDirContent(std::string dir, std::string listFile) {
    return PGGuard::OrReturn<int>(g_log, kLabelDumpDir, -1, [&] {
        UniqueDir handle(::opendir(dir.c_str()));
        if (!handle) {
            g_log.Error(kLabelDumpDir, "eRRoR -- opendir failed on [%s]. errno:%d", dir.c_str(),
                        errno);
            return -1;
        }
        UniqueFile list = UniqueFile::Open(listFile, "w+");
        if (!list) {
            g_log.Debug(kLabelDumpDir, "OPEN file [%s] failed. Errno [%d]", listFile.c_str(),
                        errno);
            return -1;
        }
        bool writeFailed = false;
        while (const struct dirent* entry = ::readdir(handle.get())) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = dir + "/" + name;
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0)
                continue;
            if (S_ISREG(st.st_mode)) {
                if (std::fprintf(list.get(), "%s\n", path.c_str()) < 0)
                    writeFailed = true;
            } else if (S_ISDIR(st.st_mode)) {
                g_log.Debug(kLabelDumpDir, "[%s] is a directory, skipping", path.c_str());
            } else {
                g_log.Debug(kLabelDumpDir, " Dir entry [%s], mode [%d] skipping", path.c_str(),
                            static_cast<int>(st.st_mode));
            }
        }
        writeFailed = std::ferror(list.get()) != 0 || writeFailed;
        if (list.close() != 0 || writeFailed) {
            // A cut line could name another file; the log backup deletes what the list names.
            g_log.Error(kLabelDumpDir, "eRRoR -- writing [%s] failed. errno:%d", listFile.c_str(),
                        errno);
            std::remove(listFile.c_str());
            return -1;
        }
        return 0;
    });
}
