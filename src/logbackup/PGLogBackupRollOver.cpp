// Log roll-over (closing the current WAL segment so that it is archived) and the pruning of the
// archive after the host backed the segments up.
#include "logbackup/PGLogBackup.h"

#include "common/PGGuard.h"
#include "pgulo/PGText.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/host/CollectLine.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"
#include "pgulo/host/UniqueFd.h"

#include <unistd.h>

#include <cerrno>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelRollOverBackupMode = "PGLogBackup :: RollOverLogsWithStartStopBackup";
const char* const kLabelRollOver = "PGLogBackup :: RollOverLogs";
const char* const kLabelPrune = "PGLogBackup :: PruneLogs";

using PGText::StartsWith;

} // namespace

void PGLogBackup::RollOverLogsWithStartStopBackup() {
    PGGuard::Rethrow(g_log, kLabelRollOverBackupMode, [&] {
        if (OptionOn("donot_set_backup_mode_for_log_backup")) {
            g_log.Debug(kLabelRollOverBackupMode, "donot_set_backup_mode_for_log_backup is on");
            IncludeWalDir_m = true;
            return;
        }
        // Leaving backup mode makes the server close the current segment and archive it.
        // Nothing is restored from this backup mode, so its label is not kept: the job
        // results directory may hold the label of the full backup this log phase belongs to.
        KeepBackupLabelCopies_m = false;
        SetDBInBackupMode();
        StopBackup(true);
        std::string start;
        GetLogFilesNeeded(&start, &EndLogNumber_m, false);
    });
}

void PGLogBackup::RollOverLogs() {
    PGGuard::Rethrow(g_log, kLabelRollOver, [&] {
        if (OptionOn("donot_set_backup_mode_for_log_backup")) {
            g_log.Debug(kLabelRollOver, "donot_set_backup_mode_for_log_backup is on");
            IncludeWalDir_m = true;
            return;
        }
        SwitchXLog(true);
        std::string start;
        // On an idle server the switch location is the first byte of the open segment; the
        // name asked for is that of the segment before it, the one the switch closed.
        GetLogFilesNeeded(&start, &EndLogNumber_m, false);
    });
}

void PGLogBackup::PruneLogs() {
    PGGuard::Rethrow(g_log, kLabelPrune, [&] {
        if (!PruneLogs_m) {
            g_log.DebugLvl(kLabelPrune, 2, "PruneLogs_m is false");
            return;
        }
        g_log.Debug(kLabelPrune, "Pruning Logs");
        for (const std::string& collectFile : CollectFileList_m)
            PruneCollectFile(collectFile);
        if (Type_m == PG_LOG_FULL_BACKUP)
            ApplyArchiveDeleteList();
    });
}

void PGLogBackup::PruneCollectFile(const std::string& collectFile) {
    UniqueFile file = UniqueFile::Open(collectFile, "r");
    if (!file) {
        g_log.Error(kLabelPrune, "eRRoR -- fopen failed on [%s] . errno:%d", collectFile.c_str(),
                    errno);
        throw PGException(kLabelPrune, PG_EXCEPTION_SYSTEM, "Collect File open failed");
    }
    // Only what lies inside the archive directory goes: a sibling directory whose name merely
    // begins with the archive directory's name is not the archive, and the live WAL directory
    // (the job may have listed it) belongs to the running server.
    const std::string archivePrefix = WalArchiveDir_m + "/";
    const std::string walPrefix = WalDir_m.empty() ? std::string() : WalDir_m + "/";
    std::string line;
    while (UniqueFile::ReadLine(file.get(), line)) {
        const std::string path = CollectLine::Decode(line);
        if (!StartsWith(path, archivePrefix))
            continue;
        if (!walPrefix.empty() && StartsWith(path, walPrefix)) {
            g_log.DebugLvl(kLabelPrune, 2, "Not unlinking [%s]: it is in the live WAL directory",
                           path.c_str());
            continue;
        }
        g_log.DebugLvl(kLabelPrune, 2, "unlinking [%s]", path.c_str());
        if (::unlink(path.c_str()) != 0) {
            g_log.Error(kLabelPrune, "eRRoR -- unlink failed on [%s] . errno:%d", path.c_str(),
                        errno);
        }
    }
}

void PGLogBackup::ApplyArchiveDeleteList() {
    const char* const key = "sCleanArchDir";
    std::string value;
    KXPlatformInfo registry;
    if (!registry.getString("PostGres", key, value)) {
        g_log.DebugLvl(kLabelPrune, 2, "Failed to read registry key %s", key);
        return;
    }
    g_log.Debug(kLabelPrune, " Read reg key [%s] = [%s]", key, value.c_str());
    if (value != "YES" && value != "Y" && value != "yes" && value != "y")
        return;
    const std::string listPath = PGCommon::GetArchDelFileName(JobResultsDir_m);
    UniqueFile list = UniqueFile::Open(listPath, "r");
    if (!list) {
        g_log.Error(kLabelPrune, "eRRoR -- fopen failed on [%s] . errno:%d", listPath.c_str(),
                    errno);
        throw PGException(kLabelPrune, PG_EXCEPTION_SYSTEM, "Collect File open failed");
    }
    std::string path;
    while (UniqueFile::ReadLine(list.get(), path)) {
        if (path.empty())
            continue;
        if (::unlink(path.c_str()) != 0) {
            g_log.Error(kLabelPrune, "eRRoR -- unlink failed on [%s] . errno:%d", path.c_str(),
                        errno);
        }
    }
}
