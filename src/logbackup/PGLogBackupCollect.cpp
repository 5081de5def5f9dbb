// Log collect file generation: which archived segments a log backup takes, the wait for the
// end log, and the log temporary file that travels with the backup.
#include "logbackup/PGLogBackup.h"

#include "common/PGGuard.h"
#include "fsbackup/ArchiveWait.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"
#include "pgulo/host/UniqueFd.h"
#include "pgulo/host/UnixSymbolicLink.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabel = "PGLogBackup :: GenerateCollectFile";

constexpr std::size_t kLogNumberLength = 24;

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

} // namespace

void PGLogBackup::GenerateCollectFile(unsigned long long* collectFileCount,
                                      unsigned long long* fileCount) {
    PGGuard::Rethrow(g_log, kLabel, [&] {
        if (!BackupEntireArchiveDir_m && Type_m == PG_LOG_INCR_BACKUP &&
            StartLogNumber_m == EndLogNumber_m) {
            g_log.Debug(kLabel,
                        "StartLogNumber_m = [%s] and EndLogNumber_m = [%s] are same. We have "
                        "nothing to backup.",
                        StartLogNumber_m.c_str(), EndLogNumber_m.c_str());
            return;
        }
        ApplyVersionSegmentRange();
        CollectFileManager_m = std::make_unique<PGUlo::CollectFileManager>(
            JobResultsDir_m,
            Type_m == PG_LOG_FULL_BACKUP ? PG_BACKUP_TYPE_FULL : PG_BACKUP_TYPE_LOG, JobId_m, 1, 0,
            false);

        if (BackupEntireArchiveDir_m) {
            DumpFileList(WalArchiveDir_m.c_str(), false);
            IncludeWalDir_m = true;
        } else {
            std::string next = StartLogNumber_m;
            if (Type_m == PG_LOG_INCR_BACKUP) {
                if (!PGCommon::IsOldPGVersion(ServerVersion_m))
                    GetNextLogNumber(StartLogNumber_m, &next);
                g_log.DebugLvl(kLabel, 2,
                               "PG_LOG_INCR_BACKUP: StartLogNumber_m[%s] , NextLogNumber[%s]",
                               StartLogNumber_m.c_str(), next.c_str());
            } else {
                g_log.DebugLvl(kLabel, 2,
                               "PG_LOG_FULL_BACKUP: StartLogNumber_m[%s] , NextLogNumber[%s]",
                               StartLogNumber_m.c_str(), next.c_str());
            }
            EndPlusOneLogNumber_m.clear();
            if (!EndLogNumber_m.empty()) {
                GetNextLogNumber(EndLogNumber_m, &EndPlusOneLogNumber_m);
                g_log.DebugLvl(kLabel, 2, "EndLogNumber_m[%s] , EndPlusOneLogNumber_m[%s] ",
                               EndLogNumber_m.c_str(), EndPlusOneLogNumber_m.c_str());
            }
            g_log.Debug(kLabel,
                        " StartLogNumber_m = [%s], EndLogNumber_m = [%s] , EndPlusOneLogNumber = "
                        "[%s] ",
                        StartLogNumber_m.c_str(), EndLogNumber_m.c_str(),
                        EndPlusOneLogNumber_m.c_str());

            WaitForEndLog();

            long oldBehaviour = 0;
            KXPlatformInfo registry;
            if (!registry.getNumber("PostGres", "nDoNotBackupAllLogs", oldBehaviour)) {
                g_log.Debug(kLabel, "getNumber failed for KXPI_DO_NOT_BACKUP_ALL_LOGS. Backing "
                                    "up all logs for Full.");
                oldBehaviour = 0;
            }
            g_log.Debug(kLabel, "OldBehaviour = [%d]", static_cast<int>(oldBehaviour));

            WalkRange(static_cast<int>(oldBehaviour != 0), next);
            if (oldBehaviour == 0 && Type_m == PG_LOG_FULL_BACKUP)
                EnterArchivedLogsUpToEnd();
        }

        if (IncludeWalDir_m) {
            struct stat st {};
            if (::lstat(WalDir_m.c_str(), &st) != 0) {
                g_log.Error(kLabel, "eRRoR -- lstat failed on [%s], errno:%d", WalDir_m.c_str(),
                            errno);
                throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "pg_xlog dir is missing");
            }
            ProcessNode(WalDir_m.c_str(), &st, false);
        }

        if (collectFileCount != nullptr)
            *collectFileCount =
                static_cast<unsigned long long>(CollectFileManager_m->GetCollectFileCount());
        if (fileCount != nullptr)
            *fileCount = CollectFileManager_m->GetNoOfFilesToBackup();

        WriteLogTmpFile();

        const std::string tmpPath = LogTmpFilePath();
        struct stat st {};
        if (::lstat(tmpPath.c_str(), &st) != 0) {
            g_log.Error(kLabel, "eRRoR -- lstat failed on [%s], errno:%d", tmpPath.c_str(), errno);
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "  TmpFile is missing");
        }
        CollectFileManager_m->WriteToCurrentCollect(tmpPath.c_str(), nullptr);
        if (::stat(WalArchiveDir_m.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            g_log.Error(kLabel, "eRRoR -- Not a directory [%s]", WalArchiveDir_m.c_str());
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "  WalArchiveDir_m is missing");
        }
        CollectFileManager_m->WriteToCurrentCollect(WalArchiveDir_m.c_str(), nullptr);
        // A list cut short by a failed write would leave segments out of the backup unnoticed.
        CollectFileManager_m->FlushCollectFiles();
        CollectFileList_m.clear();
        CollectFileManager_m->GetCollectFileList(&CollectFileList_m);
        CollectFileManager_m.reset();
    });
}

void PGLogBackup::ApplyVersionSegmentRange() {
    // From 9.3 on the server also uses the last segment number of each log id.
    if (SegmentRangeForVersionApplied_m ||
        PGCommon::PGMajorCompareVersion(ServerVersion_m, "9.3", ".") < 0)
        return;
    SegmentRangeForVersionApplied_m = true;
    ++Max_Segment_Num_m;
    g_log.DebugLvl(kLabel, 2, " Current PostgreSQL Version [%s] >= [9.3], include 'FF' segement",
                   ServerVersion_m.c_str());
    g_log.DebugLvl(kLabel, 2, "Max_Segment_Num_m = [%llu]",
                   static_cast<unsigned long long>(Max_Segment_Num_m));
}

void PGLogBackup::WaitForEndLog() {
    const ArchiveWait wait = ArchiveWait::FromRegistry(kLabel);
    if (PGCommon::IsOldPGVersion(ServerVersion_m))
        return;
    if (EndLogNumber_m.empty()) {
        // The walk then stops at the first segment that is not archived.
        g_log.DebugLvl(kLabel, 2, "No end log is known; not waiting for it to be archived");
        return;
    }
    const std::string path = ArchivedFilePath(EndLogNumber_m);
    auto announce = [&] {
        g_log.Debug(kLabel, "Waiting for [%s] to appear in [%s] ", path.c_str(),
                    WalArchiveDir_m.c_str());
    };
    const bool archived =
        wait.Until([&] { return IsArchived(path); }, announce, [&] { CheckForQuitFlag(); });
    if (archived)
        return;
    g_log.Error(kLabel, " We waited long enough for the end log [%s] to be archived.",
                path.c_str());
    PGLastError("Some Transaction Log files are missing from the WAL directory. Please "
                "check if archive_command is valid.");
    throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "Some log files are missing from the WAL dir");
}

bool PGLogBackup::IsArchived(const std::string& path) const {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    // The archive_command may still be writing the file: the server marks the segment done
    // only once the command has succeeded. (Without access to the WAL directory, the file's
    // presence has to do.)
    if (WalDir_m.empty())
        return true;
    const std::string ready = WalDir_m + "/archive_status/" + EndLogNumber_m + ".ready";
    if (::access(ready.c_str(), F_OK) == 0) {
        g_log.DebugLvl(kLabel, 2, "[%s] exists, but the server has not finished archiving it",
                       path.c_str());
        return false;
    }
    return true;
}

void PGLogBackup::WalkRange(int oldBehaviour, const std::string& firstLog) {
    std::string previous;
    std::string next = firstLog;
    for (;;) {
        CheckForQuitFlag();
        const std::string current = next;
        if (!EndLogNumber_m.empty() && current == EndPlusOneLogNumber_m) {
            g_log.DebugLvl(kLabel, 2, "We hit the EndPlusOne Log.");
            break;
        }
        std::string path = ArchivedFilePath(current);
        struct stat st {};
        bool copiedFromWalDir = false;
        if (::lstat(path.c_str(), &st) != 0) {
            const int error = errno;
            if (EndLogNumber_m.empty() && error == ENOENT) {
                g_log.Debug(kLabel,
                            "Looks like we reached the last log file. Log File [%s] is not "
                            "avilable",
                            path.c_str());
                EndLogNumber_m = previous;
                break;
            }
            if (PGCommon::IsOldPGVersion(ServerVersion_m) && current == EndLogNumber_m) {
                CopyEndLogFromWalDir(current, path);
                if (::lstat(path.c_str(), &st) != 0) {
                    g_log.Error(kLabel, "eRRoR -- Log [%s] is missing, after CopyFile. errno:%d ",
                                path.c_str(), errno);
                    throw PGException(kLabel, PG_EXCEPTION_POSTGRE,
                                      "Latest log file is missing from the WAL dir");
                }
                WriteCleanupFile(path);
                copiedFromWalDir = true;
            } else {
                g_log.Error(kLabel, "eRRoR -- Log [%s] is missing. errno:%d ", path.c_str(), error);
                PGLastError("Archive Log files are missing. Please run a FULL backup");
                SetPGLastErrCode(PG_LAST_ERROR_NEED_FULL_BACKUP);
                throw PGException(kLabel, PG_EXCEPTION_POSTGRE,
                                  "Some log files are missing from the WAL dir");
            }
        }
        // The copy's name is no segment name, so the listing of the whole archive would pass
        // it over: it is entered here whatever the type, or the backup would lack its end.
        if (Type_m == PG_LOG_INCR_BACKUP || oldBehaviour != 0 || copiedFromWalDir)
            EnterFile(path, st);
        GetNextLogNumber(current, &next);
        previous = current;
    }
}

void PGLogBackup::EnterArchivedLogsUpToEnd() {
    const std::string directory = WalArchiveDir_m + "/";
    g_log.DebugLvl(kLabel, 2, "Wal directory %s", directory.c_str());
    UniqueDir dir(::opendir(WalArchiveDir_m.c_str()));
    if (!dir) {
        g_log.Error(kLabel, "eRRoR -- opendir failed on [%s]. errno:%d", WalArchiveDir_m.c_str(),
                    errno);
        throw PGException(kLabel, PG_EXCEPTION_SYSTEM, "opendir failed");
    }
    const std::size_t nameLength = LogPrefix_m.size() + kLogNumberLength + LogSuffix_m.size();
    while (const struct dirent* entry = ::readdir(dir.get())) {
        CheckForQuitFlag();
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = directory + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            g_log.Debug(kLabel, "Failed to lstat, ignoring file [%s] and continuing with next file",
                        path.c_str());
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            g_log.DebugLvl(kLabel, 2, "Ignoring directory [%s]", path.c_str());
            continue;
        }
        // Backup history and time line history files are always taken.
        if (!Contains(name, ".backup") && !Contains(name, ".history")) {
            if (name.size() != nameLength ||
                (!LogPrefix_m.empty() && name.compare(0, LogPrefix_m.size(), LogPrefix_m) != 0) ||
                (!LogSuffix_m.empty() &&
                 name.find(LogSuffix_m) != LogPrefix_m.size() + kLogNumberLength)) {
                g_log.Debug(kLabel, "Ignoring file [%s] and continuing with next file",
                            name.c_str());
                continue;
            }
            const std::string logNumber = name.substr(LogPrefix_m.size(), kLogNumberLength);
            if (logNumber > EndLogNumber_m) {
                g_log.Debug(kLabel,
                            "Log number is higher than EndLogNumber. Ignoring [%s] and "
                            "continuing with next file",
                            name.c_str());
                continue;
            }
        }
        EnterFile(path, st);
    }
}

void PGLogBackup::EnterFile(const std::string& path, const struct stat& st) {
    LogTotalBytes_m += static_cast<unsigned long long>(st.st_size);
    CollectFileManager_m->WriteToCollect(path.c_str(), &st);
}

void PGLogBackup::CopyEndLogFromWalDir(const std::string& current, std::string& path) {
    std::string dataDir;
    if (!ReadServerSetting("data_directory", &dataDir)) {
        g_log.Error(kLabel, "eRRoR -- Could not obtain the data_dir");
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "data_dir could not be obtained");
    }
    const std::string source =
        dataDir + "/" + PGCommon::GetPGXlogFolder(ServerVersion_m) + "/" + current;
    if (::access(source.c_str(), R_OK) != 0) {
        g_log.Error(kLabel, "eRRoR -- access failed on file [%s]", source.c_str());
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE,
                          "Unable to find log file in pg_xlog directory");
    }
    const std::string destination = ArchivedFilePath(current) + "_PGuLOLogCopy.kxf" + "_" +
                                    std::to_string(static_cast<unsigned long long>(JobId_m));
    g_log.Debug(kLabel, "CopyFile src [%s] ------- destination [%s]", source.c_str(),
                destination.c_str());
    if (PGCommon::CopyFile(source, destination) != 0) {
        g_log.Error(kLabel,
                    "eRRoR -- Failed to copy transaction log file [%s] from pg_xlog directory",
                    source.c_str());
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "End Log file missing");
    }
    path = destination;
}

void PGLogBackup::WriteCleanupFile(const std::string& copiedLog) {
    std::string name;
    PGCommon::GenerateConfigFile(JobResultsDir_m, JobId_m, "PGCleanupLog", name);
    if (name.empty()) {
        g_log.Error(kLabel, "Failed to obtain Wal Log Config file %s, error %d", name.c_str(),
                    errno);
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "Failed to obtain Wal Log Config file");
    }
    UniqueFile file = UniqueFile::Open(name, "w");
    if (!file) {
        g_log.Error(kLabel, "Failed to create wal config Line file %s, error %d", name.c_str(),
                    errno);
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "Failed to create wal config Line file");
    }
    if (std::fprintf(file.get(), "%s:%s\n", "PG_WAL_LOG", copiedLog.c_str()) < 0 ||
        file.close() != 0) {
        g_log.Error(kLabel, "fprintf failed. File [%s] error [%d]", name.c_str(), errno);
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "fprintf failed for wal config file");
    }
}

void PGLogBackup::WriteLogTmpFile() {
    std::string dataDir;
    if (!ReadServerSetting("data_directory", &dataDir)) {
        g_log.Error(kLabel, "eRRoR -- Could not obtain the data_dir");
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "data_dir could not be obtained");
    }
    std::string configFile;
    if (!ReadServerSetting("config_file", &configFile)) {
        g_log.Error(kLabel, "eRRoR -- Could not obtain the config file location");
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE,
                          "config file location could not be obtained");
    }
    const std::string path = LogTmpFilePath();
    g_log.Debug(kLabel, "TmpFile = [%s]", path.c_str());
    UniqueFile file = UniqueFile::Open(path, "w");
    if (!file) {
        g_log.Error(kLabel, "eRRoR -- fopen failed on [%s]. errno:%d", path.c_str(), errno);
        throw PGException(kLabel, PG_EXCEPTION_SYSTEM, "fopen failed on Tmp file");
    }
    bool written = std::fprintf(file.get(), "%s:%s\n", "PG_WAL_DIR", WalArchiveDir_m.c_str()) >= 0;
    written =
        std::fprintf(file.get(), "%s:%s\n", "config_file", configFile.c_str()) >= 0 && written;
    if (!ServerVersion_m.empty()) {
        written = std::fprintf(file.get(), "%s:%s\n", "PG_SERVER_VERSION",
                               ServerVersion_m.c_str()) >= 0 &&
                  written;
    }
    if (Type_m == PG_LOG_FULL_BACKUP) {
        std::string physical;
        std::vector<std::string> components;
        bool isLink = false;
        if (UnixSymbolicLink::getPhysicalPath(dataDir, physical, components, true, false, isLink)
                .IsError()) {
            g_log.Error(kLabel, "Couldn't obtain physical path for path = [%s]", dataDir.c_str());
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE,
                              "  Couldn't obtain physical path for path");
        }
        if (isLink) {
            written = std::fprintf(file.get(), "%s:%s\n", "physical_path", physical.c_str()) >= 0 &&
                      written;
            g_log.Debug(kLabel, "Added symbolic link %s:%s", "PG_PHYSICAL_PATH_FOR_DATA_DIR",
                        physical.c_str());
        }
    }
    // The restore side needs every line of it: a short file must fail the backup.
    if (file.close() != 0 || !written) {
        g_log.Error(kLabel, "eRRoR -- writing [%s] failed. errno:%d", path.c_str(), errno);
        throw PGException(kLabel, PG_EXCEPTION_SYSTEM, "fprintf failed on Tmp file");
    }
}
