#pragma once

#include "BackupWriter.h"
#include "ClientPrograms.h"
#include "HostContext.h"
#include "InstanceRegistry.h"
#include "Manifest.h"
#include "Repository.h"
#include "ServerInfo.h"

#include "pgulo/PostGreLogBackupInterface.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class LogBackupJob;

// "pgulo backup": a full backup (backup mode, the data directory's files, then the WAL that
// makes them consistent), a log backup (the WAL archived since the previous backup) or a dump
// backup (a custom-format dump of each chosen database, for restoring single objects).
class BackupCommand {
public:
    // Measured on a pgbench cluster: a quarter of what zstd:3 costs in time, the repository
    // a tenth of the cluster's size.
    static constexpr const char* kDefaultCompression = "zstd:1";

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
    };

    BackupCommand(HostContext& host, Options options);
    // Returns the manifest of the finished backup; throws CliError otherwise.
    Manifest Run();

private:
    Manifest RunFull();
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
                          const std::string& label);
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
    std::string jobResultsDir_;
    std::int64_t startMicros_ = 0;
    std::int64_t walCompleteMicros_ = 0;
    std::vector<std::string> jobDirs_;
    std::string logTmpFile_;
    StoredForm form_;
};
