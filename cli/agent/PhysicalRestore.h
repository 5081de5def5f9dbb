#pragma once

#include "CopyEngine.h"
#include "HostContext.h"
#include "InstanceLock.h"
#include "InstanceRegistry.h"
#include "Progress.h"
#include "ReferenceSet.h"
#include "Repository.h"
#include "RestorePlan.h"
#include "RestoreTargetGuard.h"
#include "ServerControl.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Puts a full, diff or incr backup back (the files of the latter two come from the backups
// they refer to), gathers the WAL of it and of the log backups that follow it, writes
// the recovery settings through the agent and, when asked, starts the server and waits until
// recovery has reached its target. "pgulo restore" and the scratch server are built on it.
class PhysicalRestore {
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
        // "name=value" settings for the started server's command line.
        std::vector<std::string> serverSettings;
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

    PhysicalRestore(HostContext& host, Options options);
    // Checks that the backups reach the target, then restores the files and WAL and writes
    // the recovery settings. Nothing is written before the checks pass.
    Outcome Restore();
    // Starts the restored server and waits until recovery has reached its target; after
    // Restore, when options.start is set.
    Outcome Start();
    void PrintRestored() const;
    void PrintStarted() const;

    const InstanceSettings& Settings() const { return settings_; }
    // The OS user the restored files belong to and the server runs as.
    std::string OsUser() const;

private:
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
    // Files of an incremental backup kept as blocks of several backups.
    void AssembleFiles(const std::vector<const RestorePlan::Action*>& actions);
    // Copies (and checks) the tasks; throws CliError with failed + the first error, or with
    // interrupted after Ctrl-C.
    std::vector<CopyEngine::Outcome> RunCopies(const std::vector<CopyEngine::Task>& tasks,
                                               Progress& progress, bool sync,
                                               const std::string& failed,
                                               const std::string& interrupted) const;
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
    void DataDirectoryOwner(uid_t& uid, gid_t& gid) const;

    HostContext& host_;
    Options options_;
    Repository repository_;
    InstanceSettings settings_;
    bool hasTarget_ = false;
    std::int64_t targetMicros_ = 0;
    // The data backup (full, diff or incr) the restore starts from.
    BackupRecord full_;
    std::vector<BackupRecord> logs_;
    // Every backup of the instance: what a diff or incr backup's files refer to.
    std::vector<BackupRecord> all_;
    std::unique_ptr<ReferenceSet> references_;
    // The newest segment of the gathered WAL: recovery without a stop at its target must
    // have replayed it.
    std::string lastSegment_;
    std::string configFile_;
    std::string savedConfig_;
    Outcome outcome_;
    std::vector<const RestorePlan::Action*> control_;
    std::unique_ptr<RestorePlan> plan_;
    std::unique_ptr<InstanceLock> lock_;
};
