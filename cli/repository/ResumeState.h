#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What an unfinished full backup keeps in its directory, under resume/, for the next full
// backup to take it up: the agent's collect files and BackupTime file of its job, the
// server's identity at its start, the form of its stored files, and the journal of the files
// it stored (StoredJournal). state.json is written last: without it nothing else counts.
struct ResumeState {
    static constexpr const char* kDirectory = "resume";
    static constexpr const char* kStateFile = "state.json";
    static constexpr const char* kJournalFile = "journal";
    static constexpr const char* kBackupTimeFile = "BackupTime.kxf";

    std::int64_t startMicros = 0;
    std::string systemIdentifier;
    std::string timeline;
    std::string compression; // as the manifest says it
    bool encrypted = false;
    // Names of the collect files kept beside it, in the agent's order.
    std::vector<std::string> collectFiles;

    static std::string Directory(const std::string& backupDir);
    static std::string JournalPath(const std::string& backupDir);
    // Copies the job's collect files and BackupTime file into the backup and records the
    // state, durably. Throws std::runtime_error.
    void Save(const std::string& backupDir, const std::string& jobDir);
    // The state of a backup, when it has a readable one.
    static std::optional<ResumeState> Load(const std::string& backupDir);
    // Puts the kept collect files and BackupTime file into a new job results directory.
    void RestoreJobFiles(const std::string& backupDir, const std::string& jobDir) const;
};
