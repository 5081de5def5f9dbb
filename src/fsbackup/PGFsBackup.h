#pragma once

#include "fsbackup/CollectFileManager.h"
#include "pgulo/PostGreFsBackupInterface.h"
#include "pgulo/host/UniqueFd.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

class libpqInterface;

// One full backup job of one cluster: the connection, backup mode, the walk that writes the
// collect files, and the restart of an interrupted backup. PGLogBackup derives from it and
// reuses its session, options, collect file manager, walk and backup-mode operations; there
// are no virtual operations.
class PGFsBackup {
public:
    // Connects (loading libpq from libDir), insists on a superuser and on WAL archiving, and
    // finds backup_label under data_directory. Throws on failure.
    PGFsBackup(unsigned long long jobId, std::string jobResultsDir, std::string configDir,
               std::string binDir, std::string libDir, std::string dbName, std::string hostAddr,
               std::string port, std::string user, std::string password, std::string logTmpFileName,
               PGQuitFlagCallback quitFlag, void* quitFlagContext, bool exclude,
               std::string archiveLogDir);

    // A job with no server connection, for exercising the walk on its own (tests, benchmark).
    // The server settings the walk reads (config_file, hba_file, ident_file, data_directory)
    // come from `settings`; every operation that needs the server fails.
    struct OfflineSetup {
        unsigned long long jobId = 0;
        std::string jobResultsDir;
        std::string archiveLogDir;
        std::string serverVersion;
        std::map<std::string, std::string> settings;
        PGQuitFlagCallback quitFlag = nullptr;
        void* quitFlagContext = nullptr;
        bool exclude = true;
    };
    explicit PGFsBackup(const OfflineSetup& setup);

    // Ends backup mode when this job set it and has not ended it.
    ~PGFsBackup();

    PGFsBackup(const PGFsBackup&) = delete;
    PGFsBackup& operator=(const PGFsBackup&) = delete;

    // ---- Setup and checks.
    void IsWALArchivingEnabled();
    void ConstructBackpLabelFilePath();
    // Ends a backup that an earlier job of this agent left running, and a foreign one when
    // reset_backup_mode is on.
    void CheckForStaleBackups();
    // Throws the plain text "Quit Flag set" when the host asks the job to stop.
    void CheckForQuitFlag();
    void GetDbList(std::vector<std::string>* names);
    void GetFolderList(std::vector<std::string>* folders);
    void UpdateFolderList(const char* path);
    unsigned long long getWalSegmentSize();
    // An empty text takes the version the server reports, so that the WAL directory is
    // still recognised.
    void setPostgresVersion(std::string version);
    unsigned long long getTotBytes() const { return TotalBytes_m; }
    void DoBackup() {}
    void SetRestartInfo(std::vector<RestartInfo_p> restartInfo) {
        RestartInfo_m = std::move(restartInfo);
    }
    const std::string& GetRestartString() const { return RestartString_m; }
    bool IsInBackupMode() const { return InBackupMode_m; }

    // ---- Backup mode and log boundaries.
    void SetDBInBackupMode();
    void StopBackup(bool mustSucceed);
    void SwitchXLog(bool mustSucceed);
    void RunConsistencyCheck();
    // which 1: start, 2: end. out = location + "," + segment file name.
    void GetLogFilesNeeded(std::string* out, int which);
    // Segment file names alone; writeFile also writes PGLogNumberStore.txt.
    void GetLogFilesNeeded(std::string* start, std::string* end, bool writeFile);
    void GetCurrentWalLog(std::string* out);
    // Whether backup mode runs in the job's own session (pg_backup_start / pg_backup_stop,
    // release 15 on) rather than through the server-wide backup_label.
    bool UsesNonExclusiveBackup();

    // ---- Collect file generation.
    void GenerateCollectFile(unsigned long long* collectFileCount, unsigned long long* fileCount);
    void ProcessNode(const char* path, const struct stat* st, bool exclude);
    void DumpFileList(const char* dirPath, bool exclude);
    void ParseDataDir(const std::string& dataDir);
    int addToDirchange(const char* text, int withTab);

    // ---- Restart.
    void BackupFiles();
    void RenameFiles();
    void GenerateNewCollectFile(unsigned long long* collectFileCount,
                                unsigned long long* fileCount);
    void prepareForRestart(const std::string& oldCollectFile, int number, long offset);
    std::string FrameRestartString();
    static std::uint64_t hash_function(const char* text);
    void addToBackedupList(const char* path);
    bool isBackedUp(const char* path);
    void ProcessNewNode(const char* path, const struct stat* st, bool exclude);
    void DumpNewFileList(const char* dirPath, bool exclude);

    // Where the label and tablespace map of a non-exclusive backup are kept.
    std::string BackupLabelCopyPath() const { return JobResultsDir_m + "/backup_label"; }
    std::string TablespaceMapCopyPath() const { return JobResultsDir_m + "/tablespace_map"; }

protected:
    enum class WalkMode { Normal, Restart };
    class Walk;

    libpqInterface& Session();
    bool ReadServerSetting(const std::string& name, std::string* value);
    bool RunBackupQuery(const std::string& query);
    // pg_start_backup before 15, pg_backup_start (non-exclusive, in this session) from 15.
    std::string BackupStartQuery(const std::string& label);
    void StartBackup(const std::string& label);
    // jobWaits: the server ends backup mode without waiting for the archive.
    bool StopExclusiveBackup(bool jobWaits);
    bool StopNonExclusiveBackup(bool jobWaits);
    // Whether the job, not the server, waits for the segments of a backup to be archived:
    // when the host asked for looks every few milliseconds and the server can leave it.
    bool JobWaitsForArchive();
    void ReadAndRenewBackupTime();
    void CollectServerFiles(WalkMode mode);
    void OpenDirChangeFile();
    // The collect file manager and the DirChange file of one generation; both are released
    // when it goes out of scope, however the generation ends.
    class CollectSession {
    public:
        CollectSession(PGFsBackup& job, bool restart);
        ~CollectSession();
        CollectSession(const CollectSession&) = delete;
        CollectSession& operator=(const CollectSession&) = delete;

    private:
        PGFsBackup& job_;
    };
    std::string OldCollectFileName(int number) const;
    void RunWalk(const char* path, const struct stat* st, bool exclude, WalkMode mode);
    void RunListing(const char* dirPath, bool exclude, WalkMode mode);

    bool InBackupMode_m = false;
    std::string ClusterDir_m;
    std::string BackupLabelPath_m;
    std::string StartTranscationLogLocation_m;
    std::string EndTranscationLogLocation_m;
    bool Async_m = false;
    std::string Query_m;
    std::string LibDir_m;
    PGQuitFlagCallback QuitFlag_m = nullptr;
    void* QuitFlagContext_m = nullptr;
    std::string DirChangeFilePath_m;
    UniqueFile DirChangeFile_m;
    long long Last_BackupTime = 0;
    unsigned long long TotalBytes_m = 0;
    std::unique_ptr<libpqInterface> Session_m;
    std::map<std::string, std::string> Options_m;
    std::string HostAddr_m;
    std::string Port_m;
    std::string ConfigDir_m;
    std::string JobResultsDir_m;
    unsigned long long JobId_m = 0;
    std::unique_ptr<PGUlo::CollectFileManager> CollectFileManager_m;
    std::vector<std::string> FolderList_m;
    bool Exclude_m = true;
    std::string WalArchiveDir_m;
    std::string LogTmpFileName_m;
    std::multimap<std::uint64_t, std::string> BackedUpList_m;
    std::vector<RestartInfo_p> RestartInfo_m;
    std::vector<std::pair<int, long long>> NewRestartList_m;
    std::string RestartString_m;
    std::string ServerVersion_m;
    std::string TimeLine_m;
    bool EmptyWalArchiveCommand_m = false;
    // A start statement was sent and abandoned on a quit request: whether the cluster went
    // into backup mode is unknown, so the job still tries to end it.
    bool StartOutcomeUnknown_m = false;
    // The DeletedFiles file of this job was begun (by an earlier restart entry).
    bool DeletedFilesStarted_m = false;
    // Directories entered by the current walk, by (device, inode): a link back into the
    // tree is not walked again.
    std::set<std::pair<dev_t, ino_t>> WalkedDirectories_m;
    // Server settings of an offline job (no session).
    std::map<std::string, std::string> OfflineSettings_m;
    // Whether ending a non-exclusive backup keeps the label and tablespace map in the job
    // results directory. A backup mode entered only to close a WAL segment has nothing to
    // restore with them, and must not replace the copies of a full backup kept there.
    bool KeepBackupLabelCopies_m = true;
    // The last end of backup mode left the wait for the archive to the job.
    bool ArchiveLeftToJob_m = false;
};

// Copies source to target; 0, or -1 when either cannot be opened or a read, write or close
// fails.
int createBackupCopy(const std::string& source, const std::string& target);

// Reads one line without its line feed; null for bad arguments and when no character was
// stored (an empty line reads like the end of the stream).
char* fgets_p(char* buffer, int size, FILE* stream);

// The path with every link in its directory part resolved; the last component stays as it
// is. 0, or -1 (actual then names the directory that could not be resolved, when it was not
// searchable).
int getActualPath(const std::string& path, std::string& actual);
