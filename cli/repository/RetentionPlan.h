#pragma once

#include "Repository.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How many backups of an instance to keep. A rule left out keeps every backup of its kind;
// with both full rules, a full backup is kept when either keeps it.
struct RetentionPolicy {
    std::optional<unsigned> retainFull; // the N newest complete full backups
    std::optional<unsigned> retainDays; // the full backups a restore to the last D days needs
    std::optional<unsigned> retainDump; // the N newest complete dump backups

    bool Empty() const { return !retainFull && !retainDays && !retainDump; }
    // "retain-full 2, retain-days 7", or "none".
    std::string Describe() const;
};

// Which backups of an instance a policy keeps, which it removes, and why. It only decides: the
// caller lists the repository and removes. Whatever a kept backup needs is kept with it.
class RetentionPlan {
public:
    struct Decision {
        const BackupRecord* backup = nullptr;
        bool keep = true;
        std::string reason;
    };

    // all: as Repository::List gives it (oldest first); it must outlive the plan.
    RetentionPlan(const std::vector<BackupRecord>& all, const RetentionPolicy& policy,
                  std::int64_t nowMicros);

    // One per backup, in the order of all.
    const std::vector<Decision>& Decisions() const { return decisions_; }
    // The backups to remove, newest first: a backup only needs older ones, so a removal cut
    // short never leaves a listed backup without what it needs.
    std::vector<const Decision*> Removals() const;

    // The other backups a restore of backup reads, oldest first: for a log backup, the data
    // backup it continues and the log backups between; for a diff or incr backup (or a log
    // backup continuing one), the backups it builds on, down to their full backup. Every kind
    // of dependency between backups is named here.
    static std::vector<const BackupRecord*> Needs(const std::vector<BackupRecord>& all,
                                                  const BackupRecord& backup);
    // The backups that need backup, newest first.
    static std::vector<const BackupRecord*> NeededBy(const std::vector<BackupRecord>& all,
                                                     const BackupRecord& backup);

    // The complete backup a diff or incr backup builds on; nullptr for others or when gone.
    static const BackupRecord* Reference(const std::vector<BackupRecord>& all,
                                         const BackupRecord& backup);

private:
    void DecideFulls(const RetentionPolicy& policy, std::int64_t nowMicros);
    void DecideDumps(const RetentionPolicy& policy);
    void DecideRest();
    void KeepWhatKeptBackupsNeed();
    Decision& Of(const BackupRecord* backup);

    const std::vector<BackupRecord>& all_;
    std::vector<Decision> decisions_;
    std::vector<bool> decided_;
};
