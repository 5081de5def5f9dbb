#pragma once

#include "ChangedBlocks.h"
#include "DeltaCopier.h"
#include "FileCopier.h"
#include "Manifest.h"
#include "Progress.h"
#include "Storage.h"
#include "StoredForm.h"
#include "StoredJournal.h"

#include <sys/stat.h>

class RateLimiter;

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class FlushedBatches;
class ReferenceSet;
struct BackupRecord;
class PackWriter;

// Copies what the agent's collect files list into one backup directory and records every
// entry for the manifest. Files go to files/<full path>, archived WAL to wal/<name>, the
// agent's own files to meta/<name>, each in the backup's stored form (compressed files get
// the compression's suffix). Regular files are copied in parallel and fsynced;
// global/pg_control is copied after every other file.
//
// In a diff or incr backup, a file whose size and modification time are those of the
// reference backup's entry is not copied: the entry names where it is stored. A changed
// relation file keeps only its changed blocks (DeltaCopier); every relation file copied whole
// gets its block digests, so that a later backup can compare against it.
class BackupWriter {
public:
    struct Options {
        unsigned jobs = 1;
        std::uint64_t maxRate = 0; // bytes per second, 0 for no limit
        Progress::Mode progress = Progress::Mode::Quiet;
        std::function<bool()> quit;
        StoredForm form;
        // Asked for each regular file before it is queued: true when a copy stored earlier
        // was put in place instead and the entry's checksum and stored size filled in.
        std::function<bool(ManifestEntry&)> keep;
        // For a file to be stored in parts that keep did not keep whole: the parts stored
        // earlier that were put in place instead (by index), as copying them would have given
        // them (block digests when asked for).
        std::function<std::map<std::size_t, FileCopier::Result>(const ManifestEntry&,
                                                                bool blockDigests)>
            keepParts;
        // Told of the files copied, and of the parts of files stored in parts, once they are on
        // disk, a group at a time.
        std::function<void(const std::vector<const ManifestEntry*>&,
                           const std::vector<JournaledPart>&)>
            stored;
        // Which files are relation files (BlockPlan::IsRelationFile).
        std::vector<ManifestTablespace> tablespaces;
        // diff and incr backups: the backup the changes are taken since, what resolves the
        // references of its entries (both outlive the writer), and this backup's id.
        const BackupRecord* reference = nullptr;
        const ReferenceSet* references = nullptr;
        std::string self;
        // Read every file and compare checksums instead of trusting sizes and times.
        bool compareChecksums = false;
    };
    struct Sources {
        std::string dataDirectory;
        std::string archiveDirectory;
        std::string logTmpFile; // the log backup's own file in the archive directory
    };

    BackupWriter(std::string backupDirectory, Options options);
    // The backup's files go under the prefix of the storage.
    BackupWriter(std::shared_ptr<Storage> storage, std::string prefix, Options options);
    ~BackupWriter();

    // Takes the listed paths; a path met before (a configuration file inside the data
    // directory is listed twice) or one that vanished is passed over.
    void AddPaths(const std::vector<std::string>& paths, const Sources& sources);
    // The blocks the server's WAL summaries name as changed since the reference's start (it
    // outlives the writer): changed relation files are then read only there. Before AddPaths.
    void UseChangedBlocks(const ChangedBlocks* changed) { changed_ = changed; }
    // Copies the files added since the last call. False when a quit request stopped it;
    // throws CliError when a file could not be copied.
    bool CopyPending(const std::string& label);
    // Stores a small file the job left (backup_label, tablespace_map) under meta/, with an
    // entry of its own; returns its stored name.
    std::string StoreText(const std::string& sourcePath, const std::string& text);
    // Flushes every copied file and directory to disk; the manifest may follow.
    void SyncDirectories();

    // What a stored file's entry records of the file: the local file's own, or, when the
    // storage keeps none, that of a file this host would have made now. False when it is
    // missing from a local storage.
    static bool DescribeStored(const Storage& storage, const std::string& path, struct stat& st);

    const std::vector<ManifestEntry>& Entries() const { return entries_; }
    std::uint64_t FileCount() const { return fileCount_; }
    std::uint64_t TotalBytes() const { return totalBytes_; }
    // What the files take in the repository.
    std::uint64_t StoredBytes() const { return storedBytes_; }
    // What was read: the referenced files were not.
    std::uint64_t ReadBytes() const { return readBytes_; }

private:
    struct Pending {
        std::size_t entry;
        std::string target;
        bool relation = false;
        // The reference's entry for the file, when there is one.
        const ManifestEntry* reference = nullptr;
        // Keep only the changed blocks (the reference has their digests).
        bool delta = false;
        // Read only the blocks the WAL summaries name (and those past the reference's end).
        bool summarized = false;
        ChangedBlocks::FileChanges changes = {};
        // Parts stored earlier that stay (Options::keepParts).
        std::map<std::size_t, FileCopier::Result> keptParts = {};
    };

    ManifestEntry::Role RoleOf(const std::string& path, const Sources& sources) const;
    std::string StoredName(const std::string& path, ManifestEntry::Role role) const;
    void Describe(ManifestEntry& entry, const struct stat& st);
    // Records what a copy read of the file: its attributes, size, checksum and block digests.
    void Found(ManifestEntry& entry, const struct stat& st, std::uint64_t size,
               const std::string& checksum, const std::string& blockDigests);
    std::string MakeParent(const std::string& relative);
    // Records the stored form and size of a copied file.
    void Stored(ManifestEntry& entry, std::uint64_t storedSize);
    bool RunCopies(const std::vector<Pending>& batch, Progress& progress);
    // told, when given, gets every file copied whole, as stored, once it is on disk.
    bool RunGroup(const std::vector<Pending>& group, Progress& progress, FlushedBatches* told);
    bool RunWholeCopies(const std::vector<Pending>& batch, Progress& progress,
                        RateLimiter* limiter, FlushedBatches* told);
    bool RunDeltaCopies(const std::vector<Pending>& batch, Progress& progress,
                        RateLimiter* limiter);
    // The listed entry as the copy found and stored it.
    ManifestEntry AsStored(const ManifestEntry& listed, const FileCopier::Result& r) const;
    // With WAL summaries: whether they show the file unchanged since the reference; otherwise
    // marks it to be read where they name changes.
    bool UnchangedBySummaries(const ManifestEntry& entry, const std::string& dataDirectory,
                              Pending& pending) const;
    // The file stays as the reference has it: the entry points there.
    void Reference(ManifestEntry& entry, const ManifestEntry& reference);
    // Whether the file's stored copy goes into a pack.
    bool Packed(const ManifestEntry& entry) const;
    // Records which pack holds a packed file's stored copy, and where.
    void Placed(ManifestEntry& entry, std::size_t member) const;
    // Removes the stored copy of a file that turned out the same as the reference's.
    void DropCopy(const ManifestEntry& entry);
    // Whether the listed file is stored in parts (StoredParts).
    bool StoresInParts(const ManifestEntry& listed) const;
    // Removes parts from..to-1 of a stored copy; those missing are passed over.
    void RemoveParts(const std::string& stored, std::size_t from, std::size_t to);
    // Whether a file copied after all (--delta) turned out the same as the reference's.
    bool SameAsReference(const ManifestEntry& entry, const Pending& pending) const;
    void Counted(const ManifestEntry& entry);
    // Refuses to build on a reference file whose stored copy is gone or cut short.
    void RequireReference(const ManifestEntry& reference) const;

    std::shared_ptr<Storage> storage_;
    std::string prefix_;
    // The backup's directory when the storage is a local one: today's fast copies; empty
    // when the files are streamed into the storage.
    std::string dir_;
    Options options_;
    std::vector<ManifestEntry> entries_;
    std::vector<Pending> pending_;
    std::set<std::string> seen_;
    std::set<std::size_t> vanished_;
    std::set<std::string> createdDirs_;
    std::map<uid_t, std::string> users_;
    std::map<gid_t, std::string> groups_;
    std::string controlFile_;
    std::uint64_t fileCount_ = 0;
    std::uint64_t totalBytes_ = 0;
    std::uint64_t storedBytes_ = 0;
    std::uint64_t readBytes_ = 0;
    const ChangedBlocks* changed_ = nullptr;
    // Small files streamed into an object store go into packs (null for a local directory).
    std::unique_ptr<PackWriter> packs_;
};
