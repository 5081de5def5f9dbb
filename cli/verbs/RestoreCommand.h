#pragma once

#include "HostContext.h"
#include "Manifest.h"
#include "InstanceRegistry.h"
#include "Repository.h"
#include "RestorePlan.h"
#include "RestoreTargetGuard.h"
#include "ServerControl.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// "pgulo restore": puts a full backup back, gathers the WAL of it and of the log backups that
// follow it, writes the recovery settings through the agent and, when asked, starts the
// server and waits until recovery has reached its target.
class RestoreCommand {
public:
    struct Options {
        std::string instance;
        std::string backupId;
        std::string targetTime;
        std::string pgdata;
        std::vector<std::string> linkMap; // OLD=NEW
        std::string walDir;
        std::string externalDir;
        std::string port;
        std::string socketDir;
        std::string logFile;
        bool start = false;
        bool force = false;
        bool quiet = false;
        // Copy without reading the data into the program (copy_file_range): faster, but a
        // damaged stored copy is not noticed.
        bool noVerify = false;
        unsigned jobs = 1;
        int waitSeconds = 600;
        // Object restore from a dump backup: the chosen objects (KIND:SCHEMA.NAME), the
        // database of the dump and the one to restore into (default: the same).
        std::vector<std::string> objects;
        std::string database;
        std::string intoDatabase;
    };

    // What the restore did, for the caller's summary.
    struct Outcome {
        std::string fullId;
        std::vector<std::string> logIds;
        std::string dataDirectory;
        std::string walDirectory;
        std::string recoveryTarget;
        std::uint64_t bytes = 0;
        std::uint64_t walFiles = 0;
        bool started = false;
        std::string replayedUpTo; // last transaction time replayed, when started
        std::string timeline;
    };

    RestoreCommand(HostContext& host, Options options);
    Outcome Run();

private:
    void RunObjects();
    void CheckObjectOptions() const;
    Manifest DumpBackupFor(const std::string& database) const;
    void SelectBackups();
    void SelectLogs(const std::vector<BackupRecord>& all, const std::string& stopAt);
    void CheckReach() const;
    void CheckWal() const;
    void CheckStoredCopies(const RestorePlan& plan) const;
    void CheckTargets(const RestorePlan& plan) const;
    std::vector<RestoreTargetGuard::Protected> ProtectedPaths() const;
    void ClearTargets(const RestorePlan& plan) const;
    void MakeParents(const RestorePlan& plan) const;
    void RestoreFiles(const RestorePlan& plan);
    void PlaceControlFile(const RestorePlan& plan);
    void CheckNothingUnexpected() const;
    void CopyFiles(const std::vector<const RestorePlan::Action*>& actions, bool sync);
    void SyncTargets(const RestorePlan& plan) const;
    void PlaceBackupLabel(const RestorePlan& plan);
    void GatherWal();
    void ApplyMetadata(const RestorePlan& plan) const;
    void WriteRecoverySettings(const RestorePlan& plan);
    void StartServer(const RestorePlan& plan);
    void CheckRecoveryReached(const ServerControl& server, const std::string& logFile,
                              std::size_t logStart) const;
    std::string LogFile(const RestorePlan& plan) const;
    std::string StoredPath(const BackupRecord& record, const ManifestEntry& entry) const;
    std::string OsUser() const;
    void DataDirectoryOwner(uid_t& uid, gid_t& gid) const;

    HostContext& host_;
    Options options_;
    Repository repository_;
    InstanceSettings settings_;
    bool hasTarget_ = false;
    std::int64_t targetMicros_ = 0;
    BackupRecord full_;
    std::vector<BackupRecord> logs_;
    // The newest segment of the gathered WAL: recovery without a stop at its target must
    // have replayed it.
    std::string lastSegment_;
    std::string configFile_;
    std::string savedConfig_;
    Outcome outcome_;
    std::vector<const RestorePlan::Action*> control_;
};
