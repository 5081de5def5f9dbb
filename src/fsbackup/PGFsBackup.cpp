// Job setup, checks, backup mode and log boundaries of a full backup job.
#include "fsbackup/PGFsBackup.h"

#include "common/PGGuard.h"
#include "fsbackup/ArchiveWait.h"
#include "pgulo/PGText.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PGVersion.h"
#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/FXPath.h"
#include "pgulo/host/KXPlatformInfo.h"
#include "pgulo/host/UniqueFd.h"
#include "pgulo/libpqInterface.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelConstructor = "PGFsBackup :: PGFsBackup";
const char* const kLabelDestructor = "PGFsBackup :: ~PGFsBackup";
const char* const kLabelArchiving = "PGFsBackup :: IsWALArchivingEnabled";
const char* const kLabelBackupLabelPath = "PGFsBackup :: ConstructBackpLabelFilePath";
const char* const kLabelStale = "PGFsBackup :: CheckForStaleBackups";
const char* const kLabelQuit = "PGFsBackup :: CheckForQuitFlag";
const char* const kLabelSegmentSize = "PGFsBackup :: getWalSegmentSize";
const char* const kLabelSetBackupMode = "PGFsBackup :: SetDBInBackupMode";
const char* const kLabelStopBackup = "PGFsBackup :: StopBackup";
const char* const kLabelSwitch = "PGFsBackup :: SwitchXLog";
const char* const kLabelLogFiles = "PGFsBackup :: GetLogFilesNeeded";
const char* const kLabelConsistency = "PGFsBackup :: RunConsistencyCheck";
const char* const kLabelCurrentWal = "PGFsBackup :: GetCurrentWalLog";
const char* const kLabelVersion = "PGFsBackup :: setPostgresVersion";
const char* const kLabelDbList = "PGFsBackup :: GetDbList";

const char* const kOwnLabelPrefix = "pgulo_backup_";

// From release 10 on the server can end backup mode without waiting for the archive.
constexpr int kStopWithoutArchiveWaitSince = PG_VERSION_10;

bool OptionIsOn(const std::map<std::string, std::string>& options, const char* key) {
    auto found = options.find(key);
    return found != options.end() && found->second == "on";
}

const std::string* Option(const std::map<std::string, std::string>& options, const char* key) {
    auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Construction and destruction

PGFsBackup::PGFsBackup(unsigned long long jobId, std::string jobResultsDir, std::string configDir,
                       std::string binDir, std::string libDir, std::string dbName,
                       std::string hostAddr, std::string port, std::string user,
                       std::string password, std::string logTmpFileName,
                       PGQuitFlagCallback quitFlag, void* quitFlagContext, bool exclude,
                       std::string archiveLogDir)
    : LibDir_m(std::move(libDir)), QuitFlag_m(quitFlag), QuitFlagContext_m(quitFlagContext),
      HostAddr_m(std::move(hostAddr)), Port_m(std::move(port)), ConfigDir_m(std::move(configDir)),
      JobResultsDir_m(std::move(jobResultsDir)), JobId_m(jobId), Exclude_m(exclude),
      WalArchiveDir_m(std::move(archiveLogDir)), LogTmpFileName_m(std::move(logTmpFileName)) {
    PGGuard::Rethrow(g_log, kLabelConstructor, [&] {
        DirChangeFilePath_m = JobResultsDir_m + "/" + "DCTmp.kxf";
        PGCommon::ReadUserConfiguration(ConfigDir_m, Port_m, &Options_m);

        Async_m = OptionIsOn(Options_m, "async");
        if (const std::string* value = Option(Options_m, "dbname"))
            dbName = *value;
        std::string host;
        std::string connectOptions;
        std::string connectTimeout;
        if (const std::string* value = Option(Options_m, "host"))
            host = *value;
        if (const std::string* value = Option(Options_m, "options"))
            connectOptions = *value;
        if (const std::string* value = Option(Options_m, "connect_timeout"))
            connectTimeout = *value;

        Session_m = std::make_unique<libpqInterface>(binDir, LibDir_m, dbName, user, password,
                                                     Port_m, connectTimeout, host, HostAddr_m,
                                                     connectOptions, false);
        Session_m->IsSuperUser();
        IsWALArchivingEnabled();
        ConstructBackpLabelFilePath();
    });
}

PGFsBackup::PGFsBackup(const OfflineSetup& setup)
    : QuitFlag_m(setup.quitFlag), QuitFlagContext_m(setup.quitFlagContext),
      JobResultsDir_m(setup.jobResultsDir), JobId_m(setup.jobId), Exclude_m(setup.exclude),
      WalArchiveDir_m(setup.archiveLogDir), ServerVersion_m(setup.serverVersion),
      OfflineSettings_m(setup.settings) {
    DirChangeFilePath_m = JobResultsDir_m + "/" + "DCTmp.kxf";
    auto found = OfflineSettings_m.find("data_directory");
    if (found != OfflineSettings_m.end()) {
        ClusterDir_m = found->second;
        BackupLabelPath_m = ClusterDir_m + "/" + "backup_label";
    }
}

PGFsBackup::~PGFsBackup() {
    PGGuard::Quietly(g_log, kLabelDestructor, [&] {
        if (InBackupMode_m) {
            StopBackup(true);
        } else if (StartOutcomeUnknown_m && Session_m) {
            // A start statement was abandoned on a quit request and may still have put the
            // cluster into backup mode: end it, or learn that it never began.
            g_log.Debug(kLabelDestructor, "Ending the backup mode an abandoned start may have set");
            StopBackup(false);
        }
    });
    PGGuard::Quietly(g_log, kLabelDestructor, [&] {
        CollectFileManager_m.reset();
        DirChangeFile_m.close();
        Session_m.reset();
    });
}

libpqInterface& PGFsBackup::Session() {
    if (!Session_m) {
        throw PGException("PGFsBackup :: Session", PG_EXCEPTION_APPLICATION,
                          "The job has no server connection");
    }
    return *Session_m;
}

bool PGFsBackup::ReadServerSetting(const std::string& name, std::string* value) {
    if (Session_m)
        return Session_m->GetServerParameter(name, value);
    auto found = OfflineSettings_m.find(name);
    if (found == OfflineSettings_m.end())
        return false;
    *value = found->second;
    return true;
}

// ---------------------------------------------------------------------------------------
// Checks

void PGFsBackup::IsWALArchivingEnabled() {
    PGGuard::Rethrow(g_log, kLabelArchiving, [&] {
        std::string archiveMode;
        if (!ReadServerSetting("archive_mode", &archiveMode)) {
            g_log.Error(kLabelArchiving, "Could not obtain the archive_mode setting.");
        } else if (archiveMode == "off") {
            PGLastError(
                "WAL Archiving is NOT ENABLED. Please enable WAL Archiving for PostGres server.");
            throw PGException(kLabelArchiving, PG_EXCEPTION_POSTGRE,
                              "WAL archiving is not enabled");
        }
        if (OptionIsOn(Options_m, "empty_wal_archive_command")) {
            EmptyWalArchiveCommand_m = true;
            g_log.Debug(kLabelArchiving, "WAL archive_command is empty");
        }
        std::string archiveCommand;
        if (!ReadServerSetting("archive_command", &archiveCommand)) {
            g_log.Error(kLabelArchiving, "eRRoR -- Could not obtain the WAL archiving command");
            throw PGException(kLabelArchiving, PG_EXCEPTION_POSTGRE,
                              "archive_command could not be obtained");
        }
        if (archiveCommand.empty() && !EmptyWalArchiveCommand_m) {
            g_log.Error(kLabelArchiving, "eRRoR -- Either provide a WAL archive command or enable "
                                         "EmptyWalArchiveCommand");
            throw PGException(kLabelArchiving, PG_EXCEPTION_POSTGRE,
                              "WAL archive command is empty");
        }
        g_log.DebugLvl(kLabelArchiving, 2, "WAL archive_command [%s]", archiveCommand.c_str());
    });
}

void PGFsBackup::ConstructBackpLabelFilePath() {
    PGGuard::Rethrow(g_log, kLabelBackupLabelPath, [&] {
        if (!ReadServerSetting("data_directory", &ClusterDir_m)) {
            g_log.Error(kLabelBackupLabelPath,
                        "eRRoR -- Could not obtainn data_directory from the server");
            throw PGException(kLabelBackupLabelPath, PG_EXCEPTION_POSTGRE,
                              "data_directory info unavilable");
        }
        BackupLabelPath_m = ClusterDir_m + "/" + "backup_label";
    });
}

void PGFsBackup::CheckForStaleBackups() {
    PGGuard::Rethrow(g_log, kLabelStale, [&] {
        if (UsesNonExclusiveBackup()) {
            // Such a backup lives only in its own session: there is no server-wide label
            // that an earlier job could have left behind.
            g_log.Debug(kLabelStale,
                        "Non-exclusive backup mode is in use; no stale backup_label to check");
            return;
        }
        struct stat st {};
        if (::lstat(BackupLabelPath_m.c_str(), &st) != 0)
            return;
        g_log.Debug(kLabelStale, "%s exists. Is the Cluster already in backup mode?",
                    BackupLabelPath_m.c_str());
        const std::string ownPrefix = std::string(kOwnLabelPrefix) + Port_m + "_";
        std::string label;
        {
            UniqueFile file = UniqueFile::Open(BackupLabelPath_m, "r");
            if (!file) {
                g_log.Error(kLabelStale, "fopen failed on [%s]. errno:%d",
                            BackupLabelPath_m.c_str(), errno);
                throw PGException(kLabelStale, PG_EXCEPTION_SYSTEM, "fopen failed");
            }
            PGCommon::ReadTokenFromFile(file.get(), "LABEL:", &label);
        }
        if (!label.empty()) {
            g_log.Debug(kLabelStale, "A backup_label file exists with label [%s]", label.c_str());
            if (label.size() > ownPrefix.size() &&
                label.compare(0, ownPrefix.size(), ownPrefix) == 0) {
                CheckForQuitFlag();
                StopBackup(false);
                return;
            }
        }
        if (OptionIsOn(Options_m, "reset_backup_mode")) {
            CheckForQuitFlag();
            StopBackup(false);
        }
    });
}

void PGFsBackup::CheckForQuitFlag() {
    if (QuitFlag_m != nullptr && QuitFlag_m(QuitFlagContext_m)) {
        g_log.DebugLvl(kLabelQuit, 2, "Quit flag set");
        throw "Quit Flag set";
    }
}

void PGFsBackup::GetDbList(std::vector<std::string>* names) {
    PGGuard::Rethrow(g_log, kLabelDbList, [&] { Session().GetDbList(names); });
}

void PGFsBackup::GetFolderList(std::vector<std::string>* folders) {
    if (folders == nullptr)
        return;
    folders->insert(folders->end(), FolderList_m.begin(), FolderList_m.end());
}

void PGFsBackup::UpdateFolderList(const char* path) {
    if (path != nullptr)
        FolderList_m.emplace_back(path);
}

unsigned long long PGFsBackup::getWalSegmentSize() {
    return PGGuard::Rethrow(g_log, kLabelSegmentSize, [&] {
        std::uint64_t size = PGText::kDefaultWalSegmentSize;
        const char* const key = "sWalSegmentSize";
        std::string value;
        KXPlatformInfo registry;
        if (!registry.getString("PostGres", key, value)) {
            g_log.DebugLvl(kLabelSegmentSize, 2, "Failed to read registry key %s", key);
        } else {
            g_log.Debug(kLabelSegmentSize, "WAL SEGMENT SIZE = %s - Read from registry %s",
                        value.c_str(), key);
            if (!value.empty())
                size = PGText::WalSegmentSize(value, PGText::kDefaultWalSegmentSize);
        }
        // A size the server cannot have would name WAL files it never writes.
        if (size == 0) {
            g_log.Error(kLabelSegmentSize,
                        "eRRoR -- WAL SEGMENT SIZE [%s] is not a power of two from 1MB to 1GB",
                        value.c_str());
            throw PGException(kLabelSegmentSize, PG_EXCEPTION_APPLICATION,
                              "The registry key sWalSegmentSize does not hold a WAL segment size "
                              "(a power of two from 1MB to 1GB)");
        }
        g_log.Debug(kLabelSegmentSize, "WalSegmentSize %llu",
                    static_cast<unsigned long long>(size));
        return static_cast<unsigned long long>(size);
    });
}

void PGFsBackup::setPostgresVersion(std::string version) {
    ServerVersion_m = std::move(version);
    if (ServerVersion_m.empty() && Session_m) {
        // Without a version the WAL directory would be taken for pg_xlog and its segments
        // listed; the server knows its own.
        ServerVersion_m = Session_m->GetServerVersionString();
        g_log.DebugLvl(kLabelVersion, 2, "No server version given; the server reports [%s]",
                       ServerVersion_m.c_str());
    }
}

// ---------------------------------------------------------------------------------------
// Backup mode

bool PGFsBackup::UsesNonExclusiveBackup() {
    return Session_m && Session_m->GetServerVersion() >= PG_VERSION_15;
}

bool PGFsBackup::RunBackupQuery(const std::string& query) {
    return Async_m ? Session().ExecQueryAsync(query, false) : Session().ExecQuery(query);
}

void PGFsBackup::ReadAndRenewBackupTime() {
    Last_BackupTime = 0;
    // The standby forms of the start functions build the job without a job results
    // directory; the file would otherwise land in the root directory.
    if (JobResultsDir_m.empty()) {
        g_log.Debug(kLabelSetBackupMode,
                    "No job results directory: the BackupTimeFile is not kept by this job");
        return;
    }
    const std::string path = JobResultsDir_m + "/" + "BackupTime" + ".kxf";
    if (::access(path.c_str(), F_OK) != 0) {
        g_log.Debug(kLabelSetBackupMode, "BackupTimeFile doesn't exists");
    } else {
        UniqueFile file = UniqueFile::Open(path, "r");
        if (!file) {
            // Zero is the safe value: a restart then carries nothing over.
            g_log.Debug(kLabelSetBackupMode, "BackupTimeFile [%s] could not be read. errno:%d",
                        path.c_str(), errno);
        } else {
            char word[64] = {};
            if (std::fscanf(file.get(), "%63s", word) == 1) {
                g_log.DebugLvl(kLabelSetBackupMode, 2, "TimeString read from backup file: %s",
                               word);
                long value = 0;
                if (std::sscanf(word, "%ld", &value) == 1)
                    Last_BackupTime = value;
            }
        }
    }
    char now[32];
    std::snprintf(now, sizeof now, "%ld", static_cast<long>(std::time(nullptr)));
    // Replaced in one step: a crash never leaves a restart without the previous time.
    if (AtomicFile::write(path, now, 0600) == 0) {
        g_log.DebugLvl(kLabelSetBackupMode, 2, "TimeString is %s", now);
        g_log.DebugLvl(kLabelSetBackupMode, 2, "Last_BackupTime is %ld",
                       static_cast<long>(Last_BackupTime));
    } else {
        g_log.Debug(kLabelSetBackupMode, "failed to create BackupTimeFile");
    }
}

void PGFsBackup::SetDBInBackupMode() {
    PGGuard::Rethrow(g_log, kLabelSetBackupMode, [&] {
        try {
            CheckForStaleBackups();
            char suffix[64];
            std::snprintf(suffix, sizeof suffix, "_%llu_%ld", JobId_m,
                          static_cast<long>(std::time(nullptr)));
            const std::string label = std::string(kOwnLabelPrefix) + Port_m + suffix;
            ReadAndRenewBackupTime();
            StartBackup(label);

            if (PGCommon::IsOldPGVersion(ServerVersion_m)) {
                std::string dataDir;
                if (!ReadServerSetting("data_directory", &dataDir)) {
                    g_log.Error(kLabelSetBackupMode, "eRRoR -- Could not obtain the data_dir");
                    throw PGException(kLabelSetBackupMode, PG_EXCEPTION_POSTGRE,
                                      "data_dir could not be obtained");
                }
                const std::string labelFile = dataDir + "/" + "backup_label";
                g_log.DebugLvl(kLabelSetBackupMode, 2, "backup label file [%s]", labelFile.c_str());
                if (PGCommon::getTimeLineID(labelFile, TimeLine_m) != 0) {
                    g_log.Error(
                        kLabelSetBackupMode,
                        "eRRoR -- Could not obtain time line ID from backup label file [%s]",
                        labelFile.c_str());
                    throw PGException(kLabelSetBackupMode, PG_EXCEPTION_POSTGRE,
                                      "Unable to obtain time line ID");
                }
                g_log.DebugLvl(kLabelSetBackupMode, 2, "TimeLineID %s", TimeLine_m.c_str());
            }
        } catch (const std::exception& e) {
            // The host shows this text: it names the precise cause.
            PGLastError(e.what());
            throw;
        }
    });
}

// The label carries the port text that the host passed, so it is quoted rather than trusted.
std::string PGFsBackup::BackupStartQuery(const std::string& label) {
    const bool immediate = OptionIsOn(Options_m, "start_backup_immediate");
    if (UsesNonExclusiveBackup())
        return "SELECT pg_backup_start(" + PGCommon::QuoteLiteral(label) + ", " +
               (immediate ? "true" : "false") + ")";
    return "SELECT pg_start_backup(" + PGCommon::QuoteLiteral(label) +
           (immediate ? " , true)" : ")");
}

void PGFsBackup::StartBackup(const std::string& label) {
    if (UsesNonExclusiveBackup())
        g_log.Debug(kLabelSetBackupMode,
                    "Non-exclusive backup mode is in use: the backup lives in this job's session");
    Query_m = BackupStartQuery(label);
    StartOutcomeUnknown_m = true;
    const bool ok = RunBackupQuery(Query_m);
    // Only a statement abandoned on a quit request leaves the outcome open.
    StartOutcomeUnknown_m = !ok && libpqInterfaceGlobalQuitFlag;
    if (!ok) {
        CheckForQuitFlag();
        g_log.Error(kLabelSetBackupMode, "eRRoR -- ExecQueryAsync failed for Query[%s]",
                    Query_m.c_str());
        throw PGException(kLabelSetBackupMode, PG_EXCEPTION_POSTGRE,
                          "Could not put the Cluster in backup mode");
    }
    g_log.Debug(kLabelSetBackupMode, "Cluster is in Backup mode now");
    // Set before anything else can fail, so that the job ends the backup mode it began.
    InBackupMode_m = true;
    StartTranscationLogLocation_m = Session().GetValue(0, 0);
    // A non-exclusive backup has no label file in the data directory until it ends.
    if (!UsesNonExclusiveBackup() && ::access(BackupLabelPath_m.c_str(), R_OK) != 0) {
        g_log.Error(kLabelSetBackupMode, "eRRoR -- File[%s] deos not exist. errno:%d",
                    BackupLabelPath_m.c_str(), errno);
        throw PGException(kLabelSetBackupMode, PG_EXCEPTION_POSTGRE,
                          "Backup label file is missing");
    }
}

bool PGFsBackup::JobWaitsForArchive() {
    return Session_m && Session_m->GetServerVersion() >= kStopWithoutArchiveWaitSince &&
           ArchiveWait::PollMsFromRegistry() > 0;
}

void PGFsBackup::StopBackup(bool mustSucceed) {
    PGGuard::Rethrow(g_log, kLabelStopBackup, [&] {
        // The server looks for the archived segments once a second; a job told to look every
        // few milliseconds does the waiting itself.
        const bool jobWaits = JobWaitsForArchive();
        const bool ok = UsesNonExclusiveBackup() ? StopNonExclusiveBackup(jobWaits)
                                                 : StopExclusiveBackup(jobWaits);
        if (ok) {
            ArchiveLeftToJob_m = jobWaits;
            if (jobWaits)
                g_log.DebugLvl(kLabelStopBackup, 2,
                               "The server did not wait for the archive; the job looks for the "
                               "segments itself");
            return;
        }
        CheckForQuitFlag();
        if (mustSucceed) {
            g_log.Error(kLabelStopBackup, "eRRoR -- ExecQueryAsync failed for Query[%s]",
                        Query_m.c_str());
            throw "Could not put the Cluster in open mode";
        }
        g_log.Debug(kLabelStopBackup, "ExecQueryAsync failed for Query[%s]", Query_m.c_str());
    });
}

bool PGFsBackup::StopExclusiveBackup(bool jobWaits) {
    Query_m = jobWaits ? "SELECT lsn FROM pg_stop_backup(true, false)" : "SELECT pg_stop_backup()";
    if (!RunBackupQuery(Query_m))
        return false;
    g_log.Debug(kLabelStopBackup, "Cluster is in open mode now");
    InBackupMode_m = false;
    StartOutcomeUnknown_m = false;
    EndTranscationLogLocation_m = Session().GetValue(0, 0);
    return true;
}

bool PGFsBackup::StopNonExclusiveBackup(bool jobWaits) {
    if (!InBackupMode_m && !StartOutcomeUnknown_m) {
        // A non-exclusive backup can only be ended by the session that began it.
        PGLastError("The backup can only be ended by the job that started it on PostgreSQL 15 "
                    "and later.");
        g_log.Error(kLabelStopBackup,
                    "eRRoR -- This session did not start a backup; non-exclusive backup mode "
                    "cannot be ended from another session");
        throw PGException(kLabelStopBackup, PG_EXCEPTION_APPLICATION,
                          "No backup was started in this session");
    }
    Query_m = std::string("SELECT lsn, labelfile, spcmapfile FROM pg_backup_stop(") +
              (jobWaits ? "false" : "true") + ")";
    if (!RunBackupQuery(Query_m))
        return false;
    g_log.Debug(kLabelStopBackup, "Cluster is in open mode now");
    InBackupMode_m = false;
    StartOutcomeUnknown_m = false;
    EndTranscationLogLocation_m = Session().GetValue(0, 0);
    if (!KeepBackupLabelCopies_m) {
        g_log.DebugLvl(kLabelStopBackup, 2,
                       "Backup mode only closed a WAL segment: its backup label is not kept");
        return true;
    }
    if (JobResultsDir_m.empty()) {
        g_log.Debug(kLabelStopBackup,
                    "No job results directory: the backup label and tablespace map are not "
                    "kept by this job");
        return true;
    }
    const std::string labelFile = Session().GetValue(0, 1);
    const std::string mapFile =
        Session().CheckIfNull(0, 2) ? std::string() : Session().GetValue(0, 2);
    // Without its label the copied data directory cannot be recovered: this must not be lost.
    if (const int error = AtomicFile::write(BackupLabelCopyPath(), labelFile, 0600); error != 0) {
        PGLastError("Could not write the backup label into the job results directory.");
        g_log.Error(kLabelStopBackup, "eRRoR -- writing [%s] failed. errno:%d",
                    BackupLabelCopyPath().c_str(), error);
        throw PGException(kLabelStopBackup, PG_EXCEPTION_SYSTEM, "backup_label write failed");
    }
    const int mapError =
        mapFile.empty() ? 0 : AtomicFile::write(TablespaceMapCopyPath(), mapFile, 0600);
    if (mapError != 0) {
        PGLastError("Could not write the tablespace map into the job results directory.");
        g_log.Error(kLabelStopBackup, "eRRoR -- writing [%s] failed. errno:%d",
                    TablespaceMapCopyPath().c_str(), mapError);
        throw PGException(kLabelStopBackup, PG_EXCEPTION_SYSTEM, "tablespace_map write failed");
    }
    g_log.DebugLvl(kLabelStopBackup, 2, "Backup label written to [%s]",
                   BackupLabelCopyPath().c_str());
    return true;
}

void PGFsBackup::SwitchXLog(bool mustSucceed) {
    PGGuard::Rethrow(g_log, kLabelSwitch, [&] {
        Query_m = PGCommon::GetQueryForSwitchXLog(ServerVersion_m);
        g_log.Error(kLabelSwitch, "Query = [%s]", Query_m.c_str());
        if (RunBackupQuery(Query_m)) {
            g_log.Debug(kLabelSwitch, "Successfully executed %s", Query_m.c_str());
            StartTranscationLogLocation_m = Session().GetValue(0, 0);
            EndTranscationLogLocation_m = StartTranscationLogLocation_m;
            return;
        }
        CheckForQuitFlag();
        if (mustSucceed) {
            g_log.Error(kLabelSwitch, "eRRoR -- ExecQueryAsync failed for Query[%s]",
                        Query_m.c_str());
            throw "Could not get last log number";
        }
        g_log.Debug(kLabelSwitch, "ExecQueryAsync failed for Query[%s]", Query_m.c_str());
    });
}

// ---------------------------------------------------------------------------------------
// Log boundaries

void PGFsBackup::GetLogFilesNeeded(std::string* out, int which) {
    PGGuard::Rethrow(g_log, kLabelLogFiles, [&] {
        g_log.Error(kLabelLogFiles, "Log file needed for %s", which == 1 ? "Start log" : "End Log");
        std::string location;
        if (which == 1) {
            location = StartTranscationLogLocation_m;
        } else if (which == 2) {
            location = EndTranscationLogLocation_m;
        } else {
            g_log.Error(kLabelLogFiles,
                        "eRRoR -- Incorrect option [%d] for getting Log location. It should be 1 "
                        "or 2",
                        which);
            throw PGException(kLabelLogFiles, PG_EXCEPTION_POSTGRE,
                              "Unable to obtain start transaction log file name");
        }
        g_log.Debug(kLabelLogFiles, "Getting Transaction Log LOcation [%s]", location.c_str());
        std::string name;
        g_log.DebugLvl(kLabelLogFiles, 2, "pgVersion %s", ServerVersion_m.c_str());
        if (PGCommon::IsOldPGVersion(ServerVersion_m)) {
            if (PGCommon::pg_xlogfile_name(location, TimeLine_m, getWalSegmentSize(), name) != 0) {
                g_log.Error(kLabelLogFiles,
                            "eRRoR -- Failed to obtain transaction log file name. "
                            "StartTranscationLogLocation [%s]",
                            location.c_str());
                throw PGException(kLabelLogFiles, PG_EXCEPTION_POSTGRE,
                                  "Unable to obtain start transaction log file name");
            }
        } else {
            const std::string query = PGCommon::GetQueryForXLogFileName(location, ServerVersion_m);
            if (!Session().ExecQuery(query)) {
                g_log.Error(kLabelLogFiles, "eRRoR -- failed to execute query[%s]", query.c_str());
                throw PGException(kLabelLogFiles, PG_EXCEPTION_POSTGRE,
                                  "Could not obtain start log location");
            }
            name = Session().GetValue(0, 0);
        }
        if (out != nullptr)
            *out = location + "," + name;
        g_log.Debug(kLabelLogFiles, "Start Transaction Log [%s]", (location + "," + name).c_str());
    });
}

void PGFsBackup::GetLogFilesNeeded(std::string* start, std::string* end, bool writeFile) {
    PGGuard::Rethrow(g_log, kLabelLogFiles, [&] {
        std::string startName;
        std::string endName;
        g_log.DebugLvl(kLabelLogFiles, 2, "pgVersion %s", ServerVersion_m.c_str());
        if (PGCommon::IsOldPGVersion(ServerVersion_m)) {
            const unsigned long long segmentSize = getWalSegmentSize();
            if (PGCommon::pg_xlogfile_name(StartTranscationLogLocation_m, TimeLine_m, segmentSize,
                                           startName) != 0) {
                g_log.Error(kLabelLogFiles,
                            "eRRoR -- Failed to obtain transaction log file name. "
                            "StartTranscationLogLocation [%s]",
                            StartTranscationLogLocation_m.c_str());
                throw PGException(kLabelLogFiles, PG_EXCEPTION_POSTGRE,
                                  "Unable to obtain start transaction log file name");
            }
            g_log.Debug(kLabelLogFiles, "Start Transaction Log [%s]", startName.c_str());
            if (PGCommon::pg_xlogfile_name(EndTranscationLogLocation_m, TimeLine_m, segmentSize,
                                           endName) != 0) {
                g_log.Error(kLabelLogFiles,
                            "eRRoR -- Failed to obtain transaction log file name. "
                            "EndTranscationLogLocation_m [%s]",
                            EndTranscationLogLocation_m.c_str());
                throw PGException(kLabelLogFiles, PG_EXCEPTION_POSTGRE,
                                  "Unable to obtain end transaction log file name");
            }
            g_log.Debug(kLabelLogFiles, "End Transaction Log [%s]", endName.c_str());
        } else {
            std::string query =
                PGCommon::GetQueryForXLogFileName(StartTranscationLogLocation_m, ServerVersion_m);
            if (!Session().ExecQuery(query)) {
                g_log.Error(kLabelLogFiles, "eRRoR -- failed to execute query[%s]", query.c_str());
                throw PGException(kLabelLogFiles, PG_EXCEPTION_POSTGRE,
                                  "Could not obtain start log location");
            }
            startName = Session().GetValue(0, 0);
            query = PGCommon::GetQueryForXLogFileName(EndTranscationLogLocation_m, ServerVersion_m);
            if (!Session().ExecQuery(query)) {
                g_log.Error(kLabelLogFiles, "eRRoR -- failed to execute query[%s]", query.c_str());
                throw PGException(kLabelLogFiles, PG_EXCEPTION_POSTGRE,
                                  "Could not obtain end log location");
            }
            endName = Session().GetValue(0, 0);
        }
        if (start != nullptr)
            *start = startName;
        if (end != nullptr)
            *end = endName;
        if (!writeFile)
            return;
        if (JobResultsDir_m.empty()) {
            g_log.Debug(kLabelLogFiles,
                        "No job results directory: START_LOG_FILE and END_LOG_FILE are not "
                        "written");
            return;
        }
        std::string fileName;
        PGCommon::GenerateLogBackupFile(JobResultsDir_m, JobId_m, fileName);
        UniqueFile file = UniqueFile::Open(fileName, "w");
        if (!file) {
            g_log.Error(kLabelLogFiles, "fopen failed on [%s]. errno:%d", fileName.c_str(), errno);
            throw PGException(kLabelLogFiles, PG_EXCEPTION_SYSTEM, "fopen failed");
        }
        if (std::fprintf(file.get(), "%s:%s\n", "START_LOG_FILE", startName.c_str()) < 0 ||
            std::fprintf(file.get(), "%s:%s\n", "END_LOG_FILE", endName.c_str()) < 0 ||
            file.close() != 0) {
            g_log.Error(kLabelLogFiles, "fprintf failed. errno:%d", errno);
            throw PGException(kLabelLogFiles, PG_EXCEPTION_SYSTEM, "fprintf failed");
        }
    });
}

void PGFsBackup::RunConsistencyCheck() {
    PGGuard::Rethrow(g_log, kLabelConsistency, [&] {
        const std::string query =
            PGCommon::GetQueryForXLogFileName(StartTranscationLogLocation_m, ServerVersion_m);
        if (!Session().ExecQuery(query)) {
            g_log.Error(kLabelConsistency, "eRRoR -- failed to execute query[%s]", query.c_str());
            PGLastError("eRRoR -- failed to execute query");
            throw PGException(kLabelConsistency, PG_EXCEPTION_POSTGRE,
                              "Could not obtain start log location");
        }
        // An archive_command may store a segment under a name of its own ("arch_%f.gz");
        // the agent configuration file gives the text around the segment name.
        const std::string* prefix = Option(Options_m, "log_prefix");
        const std::string* suffix = Option(Options_m, "log_suffix");
        const std::string segment = (prefix != nullptr ? *prefix : std::string()) +
                                    Session().GetValue(0, 0) +
                                    (suffix != nullptr ? *suffix : std::string());
        const std::string path = WalArchiveDir_m + "/" + segment;
        g_log.Debug(kLabelConsistency, "Archive log directory [%s], log file [%s].",
                    WalArchiveDir_m.c_str(), segment.c_str());
        auto archived = [&] {
            bool isFile = false;
            return !FXPath::DoesPathExist(path, isFile).IsError() && isFile;
        };
        auto announce = [&] {
            g_log.Debug(kLabelConsistency, "Waiting for [%s] to appear in [%s] ", segment.c_str(),
                        WalArchiveDir_m.c_str());
        };
        auto checkQuit = [&] { CheckForQuitFlag(); };
        // Without the server's wait the segment may still be on its way into the archive.
        const bool present =
            ArchiveLeftToJob_m
                ? ArchiveWait::FromRegistry(kLabelConsistency).Until(archived, announce, checkQuit)
                : archived();
        if (present)
            return;
        g_log.Debug(kLabelConsistency,
                    "Invalid archive log directory [%s]. Could not find log file [%s] in it.",
                    WalArchiveDir_m.c_str(), segment.c_str());
        const char* const text = "Invalid archive log directory. Could not find log file in it.";
        PGLastError(text);
        throw PGException(kLabelConsistency, PG_EXCEPTION_POSTGRE, text);
    });
}

void PGFsBackup::GetCurrentWalLog(std::string* out) {
    PGGuard::Rethrow(g_log, kLabelCurrentWal, [&] {
        g_log.DebugLvl(kLabelCurrentWal, 2, "pgVersion %s", ServerVersion_m.c_str());
        const std::string query = PGCommon::IsPGVersion10(ServerVersion_m)
                                      ? "select pg_walfile_name(pg_current_wal_lsn())"
                                      : "select pg_xlogfile_name(pg_current_xlog_location())";
        if (!Session().ExecQuery(query)) {
            g_log.Error(kLabelCurrentWal, "eRRoR -- failed to execute query[%s]", query.c_str());
            throw PGException(kLabelCurrentWal, PG_EXCEPTION_POSTGRE,
                              "Could not obtain current WAL file");
        }
        const std::string name = Session().GetValue(0, 0);
        if (out != nullptr)
            out->append(name);
        g_log.Debug(kLabelCurrentWal, "Current Transaction Log [%s]", name.c_str());
    });
}
