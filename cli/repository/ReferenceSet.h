#pragma once

#include "BlockAssembler.h"
#include "Repository.h"

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

// The backups of an instance as the files of diff and incr backups see them: an entry may be
// stored in another backup (storedIn) or assembled from blocks kept by several (blockRuns).
// Answers where each stored byte of an entry lives and whether it is still there.
class ReferenceSet {
public:
    // all: as Repository::List gives it; it must outlive the set.
    explicit ReferenceSet(const std::vector<BackupRecord>& all);

    // The complete backup of that id. Throws CliError naming the backup that refers to it.
    const BackupRecord& Record(const std::string& id, const std::string& referrer) const;
    // The backup's entry for a file path; nullptr when it has none.
    const ManifestEntry* Entry(const std::string& id, const std::string& path) const;
    // The backups backup builds on: its reference, that one's, and so on, newest first.
    // Throws CliError when one is gone.
    std::vector<const BackupRecord*> References(const BackupRecord& backup) const;

    // Whether the file entry of holder is rebuilt from blocks rather than copied whole.
    static bool Assembled(const ManifestEntry& entry) { return !entry.blockRuns.empty(); }
    // The backup whose stored file a whole-copied entry of holder is.
    const BackupRecord& Owner(const BackupRecord& holder, const ManifestEntry& entry) const;
    // For a whole-copied entry: the copy of its stored file, wherever it is, into target
    // (empty: read and checksum only).
    CopyEngine::Task ReadTask(const BackupRecord& holder, const ManifestEntry& entry,
                              const std::string& target) const;
    // For an assembled entry: where each of its blocks is read. Throws CliError.
    std::vector<BlockAssembler::Source> SourcesOf(const BackupRecord& holder,
                                                  const ManifestEntry& entry) const;
    // A cheap check of the stored files the entry relies on, wherever they are: each is there
    // with the size its manifest gives.
    // Throws CliError ("backup X is damaged: FILE is missing").
    void RequireStored(const BackupRecord& holder, const ManifestEntry& entry) const;

private:
    const std::unordered_map<std::string, const ManifestEntry*>&
    Files(const BackupRecord& record) const;
    const BackupRecord* Find(const std::string& id) const;
    void RequireOne(const BackupRecord& owner, const ManifestEntry& entry) const;

    const std::vector<BackupRecord>& all_;
    mutable std::map<std::string, std::unordered_map<std::string, const ManifestEntry*>> files_;
    mutable std::map<std::string, bool> checked_;
};
