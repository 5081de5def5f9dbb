#pragma once

#include "BackupWriter.h"
#include "ChangedBlocks.h"
#include "ClientPrograms.h"
#include "HostContext.h"
#include "InstanceRegistry.h"
#include "Manifest.h"
#include "ReferenceSet.h"
#include "Repository.h"
#include "ResumePlan.h"
#include "ServerInfo.h"

#include "pgulo/PostGreLogBackupInterface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class LogBackupJob;
class StoredJournal;

// "pgulo backup": a full backup (backup mode, the data directory's files, then the WAL that
// makes them consistent), a log backup (the WAL archived since the previous backup) or a dump
// backup (a custom-format dump of each chosen database, for restoring single objects).
class BackupCommand {
public:
    // Measured on a pgbench cluster: a quarter of what zstd:3 costs in time, the repository
    // a tenth of the cluster's size.
    static constexpr const char* kDefaultCompression = "zstd:1";
    // A day: older copies mostly changed since, and the WAL between holds little of value.
    static constexpr std::uint64_t kDefaultResumeMaxAge = 24 * 3600;

    struct Options {
        std::string instance;
        std::string type = "full";
        unsigned jobs = 1;
        bool prune = false;
        std::uint64_t maxRate = 0;
        bool quiet = false;
        // Dump backups: the databases to dump (default: every one that takes connections,
        // but the templates and cloud administration databases).
        std::vector<std::string> databases;
        // "zstd[:LEVEL]", "lz4" or "none"; empty: the instance's default, else
        // kDefaultCompression.
        std::string compression;
        // Unset: the instance's default.
        std::optional<bool> encrypt;
        // Full backups: take up the newest unfinished full backup, unless it began longer
        // ago than this.
        bool resume = true;
        std::uint64_t resumeMaxAgeSeconds = kDefaultResumeMaxAge;
        // diff and incr backups: read every file and compare checksums instead of trusting
        // sizes and modification times.
        bool compareChecksums = false;
    };

    BackupCommand(HostContext& host, Options options);
    // Returns the manifest of the finished backup; throws CliError otherwise.
    Manifest Run();

private:
    // Full, diff and incr backups: one path, they differ only in how each file is stored.
    Manifest RunFull();
    // The unfinished full backup to take up, if any.
    std::optional<ResumePlan> ChooseResume() const;
    // The full backup's writer journals what it stored and keeps what a resume may keep.
    BackupWriter::Options FullWriterOptions(StoredJournal* journal,
                                            std::optional<ResumePlan>& resume) const;
    // After the manifest: drops the resume state and the unfinished backups superseded.
    void EndResume(const std::optional<ResumePlan>& resume);
    // Keeps with the backup what a later full backup needs to take it up.
    void SaveResumeState(const std::string& jobDir,
                         const std::vector<std::string>& collectFiles) const;
    // diff and incr backups: the backup the changes are taken since.
    void ChooseReference();
    void CheckReference() const;
    Manifest RunLog();
    Manifest RunDump();
    std::vector<std::string> DatabasesToDump(const ClientPrograms& programs) const;
    std::vector<ManifestEntry> DumpDatabases(const ClientPrograms& programs,
                                             const std::vector<std::string>& databases);
    ManifestEntry DumpOne(const ClientPrograms& programs, const std::string& database,
                          std::size_t index) const;
    // Runs a log backup job into the writer. The job stays open so that the archive is
    // pruned only after the manifest is in place.
    std::unique_ptr<LogBackupJob> CopyWal(BackupWriter& writer, PG_LOG_BACKUP_TYPE type,
                                          const std::string& lastLog,
                                          const std::string& dataDirectory, std::string& endWal);
    void FinishWal(LogBackupJob& log);
    void RemoveLeftLogTmpFiles() const;
    void CheckOwnLabel(const BackupWriter& writer, const std::string& storedLabel) const;
    void Begin(const char* type);
    void Fail(const std::string& reason);
    bool CopyCollectFiles(BackupWriter& writer, const std::vector<std::string>& collectFiles,
                          const std::string& dataDirectory, const std::string& logTmpFile,
                          const std::string& label,
                          const std::function<void()>& listed = {});
    Manifest NewManifest(const BackupWriter& writer, const std::string& type) const;
    void Announce(const Manifest& manifest) const;
    // Removes what the instance's retention policy no longer keeps, under the job's lock.
    void ApplyRetention();
    std::string PreviousBackupEndingAt(const std::string& wal) const;
    BackupWriter::Options WriterOptions() const;
    // The form the backup's files are stored in, from the options and the instance's
    // defaults; makes the repository's key when the backup is its first encrypted one.
    StoredForm ChooseForm();

    HostContext& host_;
    Options options_;
    Repository repository_;
    InstanceSettings settings_;
    AgentConnection connection_;
    ServerFacts facts_;
    unsigned long long jobId_ = 0;
    std::string backupId_;
    std::string backupPrefix_; // of the backup's files in the repository's storage
    // The backup's directory when the repository is on a local file system (empty
    // otherwise): an unfinished full backup is resumable only there.
    std::string backupDir_;
    std::string jobResultsDir_;
    std::int64_t startMicros_ = 0;
    std::int64_t walCompleteMicros_ = 0;
    std::vector<std::string> jobDirs_;
    std::string logTmpFile_;
    StoredForm form_;
    std::vector<BackupRecord> all_;
    const BackupRecord* reference_ = nullptr;
    std::unique_ptr<ReferenceSet> references_;
    // diff and incr backups: what the WAL summaries say changed since the reference.
    std::optional<ChangedBlocks> changed_;
};
