#pragma once

#include "fsbackup/PGFsBackup.h"
#include "pgulo/PostGreLogBackupInterface.h"

#include <cstdint>
#include <list>
#include <string>

// One log backup job: a full backup job (session, options, quit check, backup mode, WAL
// switch, walk) that takes the archived WAL segments since the previous backup instead of the
// data directory. There are no virtual operations; the operations below hide the full backup
// job's ones of the same name.
class PGLogBackup : public PGFsBackup {
public:
    // Connects through the full backup job, then works out the segment range per log id, checks
    // the type and the previous backup's last log and locates the live WAL directory. Throws
    // on failure.
    PGLogBackup(unsigned long long jobId, std::string jobResultsDir, std::string configDir,
                bool pruneLogs, std::string binDir, std::string libDir, std::string dbName,
                std::string hostAddr, std::string port, std::string user, std::string password,
                std::string archiveLogDir, PG_LOG_BACKUP_TYPE type, std::string lastLogNumber,
                PGQuitFlagCallback quitFlag, void* quitFlagContext, bool exclude,
                std::string logTmpFileName);

    // A job with no server connection: the server settings it reads (wal_segment_size,
    // data_directory, config_file) come from base.settings. Exercises the numbering, the
    // collect file generation and the pruning without a server.
    struct OfflineSetup {
        PGFsBackup::OfflineSetup base;
        std::string configDir;
        std::string port;
        bool pruneLogs = false;
        PG_LOG_BACKUP_TYPE type = PG_LOG_INCR_BACKUP;
        std::string lastLogNumber;
        std::string logTmpFileName;
    };
    explicit PGLogBackup(const OfflineSetup& setup);

    ~PGLogBackup();

    PGLogBackup(const PGLogBackup&) = delete;
    PGLogBackup& operator=(const PGLogBackup&) = delete;

    // ---- Numbering.

    // The segment after current, with Max_Segment_Num_m as the last segment of a log id.
    void GetNextLogNumber(const std::string& current, std::string* next);
    // The same as a pure function. Throws PGException for a name shorter than 17 characters
    // or whose log id or segment part does not start with a hexadecimal digit.
    static std::string NextLogNumber(const std::string& current, std::uint64_t maxSegmentNum);
    // 0..15 to '0'..'9', 'A'..'F' and back; anything else throws.
    static char ConvertDecimalToHex(int value);
    static int ConvertHexToDecimal(char digit);

    // ---- Collect files, roll-over, pruning.

    // Waits until the end log is archived and lists the segments to back up, the log
    // temporary file and the archive directory in the collect files.
    void GenerateCollectFile(unsigned long long* collectFileCount, unsigned long long* fileCount);
    // Closes the current segment by entering and leaving backup mode and fixes the end log.
    void RollOverLogsWithStartStopBackup();
    // Closes the current segment by a WAL switch and fixes the end log.
    void RollOverLogs();
    // Deletes the archived files the collect files list (and, after a PG_LOG_FULL_BACKUP with
    // "sCleanArchDir" set, the files of the archive delete list).
    void PruneLogs();

    // ---- Accessors.

    void GetCurrentLastLog(std::string* out) const;
    void SetCurrentLastLog(std::string lastLog) { EndLogNumber_m = std::move(lastLog); }
    // Bytes of every file entered in the collect files.
    unsigned long long getTotBytes() const { return LogTotalBytes_m + TotalBytes_m; }
    std::uint64_t GetMaxSegmentNum() const { return Max_Segment_Num_m; }
    const std::string& GetWalDir() const { return WalDir_m; }
    bool IncludesWalDir() const { return IncludeWalDir_m; }
    bool BacksUpEntireArchiveDir() const { return BackupEntireArchiveDir_m; }
    const std::list<std::string>& GetCollectFileList() const { return CollectFileList_m; }
    // Where the archive_command puts a segment: archive dir / prefix + name + suffix.
    std::string ArchivedFilePath(const std::string& logNumber) const;
    // The log temporary file in the archive directory.
    std::string LogTmpFilePath() const { return WalArchiveDir_m + "/" + LogTmpFileName_m; }

private:
    // An agent configuration switch is on only for the exact value "on".
    bool OptionOn(const char* token) const;
    const std::string* OptionValue(const char* token) const;
    void Setup();
    void ReadSegmentRange();
    void LocateWalDir();
    void ApplyVersionSegmentRange();
    void WaitForEndLog();
    bool IsArchived(const std::string& path) const;
    void WalkRange(int oldBehaviour, const std::string& firstLog);
    void EnterArchivedLogsUpToEnd();
    void CopyEndLogFromWalDir(const std::string& current, std::string& path);
    void WriteCleanupFile(const std::string& copiedLog);
    void WriteLogTmpFile();
    void EnterFile(const std::string& path, const struct stat& st);
    void PruneCollectFile(const std::string& collectFile);
    void ApplyArchiveDeleteList();

    PG_LOG_BACKUP_TYPE Type_m;
    std::string LastLogNumber_m;
    bool BackupEntireArchiveDir_m = false;
    std::string LogPrefix_m;
    std::string LogSuffix_m;
    std::string StartLogNumber_m;
    std::string EndLogNumber_m;
    std::string EndPlusOneLogNumber_m;
    bool PruneLogs_m = false;
    bool IncludeWalDir_m = false;
    std::string WalDir_m;
    std::list<std::string> CollectFileList_m;
    std::uint64_t Max_Segment_Num_m = 0;
    bool SegmentRangeForVersionApplied_m = false;
    unsigned long long LogTotalBytes_m = 0;
};
