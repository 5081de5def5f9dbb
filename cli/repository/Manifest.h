#pragma once

#include "Compression.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// Blocks first..first+count-1 of a file live in the stored file of backup's entry for it.
struct BlockRun {
    std::string backup;
    std::uint64_t first = 0;
    std::uint64_t count = 0;

    bool operator==(const BlockRun& o) const {
        return backup == o.backup && first == o.first && count == o.count;
    }
};

// One file, directory or link of a backup as the manifest records it.
struct ManifestEntry {
    enum class Kind { File, Directory, Symlink };
    // Where the entry belongs in the backup: the cluster's files, a WAL segment (or history
    // or backup history file) of the archive, or a bookkeeping file of the agent.
    enum class Role { Data, Wal, Meta };

    std::string path;   // absolute path on the backed-up machine
    std::string stored; // path of the copy, relative to the backup's directory (files only)
    Kind kind = Kind::File;
    Role role = Role::Data;
    std::uint64_t size = 0;
    std::uint32_t mode = 0; // permission bits and file type, as st_mode
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string user;  // owner's name, empty when the uid has none
    std::string group; // group's name, empty when the gid has none
    std::int64_t mtimeSec = 0;
    std::int64_t mtimeNsec = 0;
    std::string checksum; // files only
    std::string target;   // links only: the link text as read
    // Files only: how the stored copy differs from the original (size and checksum are the
    // original's), and its size. Manifests written before compression and encryption lack
    // them: none, not encrypted, the original's size.
    std::uint64_t storedSize = 0;
    // A copy stored in parts (StoredParts): the stored size of each, storedSize their sum.
    // Empty for a copy in one stream.
    std::vector<std::uint64_t> partSizes;
    Compression::Algorithm compression = Compression::Algorithm::None;
    bool encrypted = false;
    // Incremental backups: the backup whose directory holds the stored copy of an unchanged
    // file (empty: this one).
    std::string storedIn;
    // Relation files: the raw per-block digests (BlockDigest), one after the other, and which
    // backup holds each block (empty: the stored copy is the whole file). With delta set the
    // stored copy holds only the blocks the runs give to its own backup, in ascending order.
    std::string blockDigests;
    std::vector<BlockRun> blockRuns;
    bool delta = false;
    // Read only where the server's WAL summaries named changes, the file has no checksum of
    // its whole: its block digests (those of unread blocks inherited) are what a restore checks.
    bool blockChecked = false;
    // A small file streamed into an object store shares one stored object (a pack) with
    // others: stored names the pack, and its stored copy is the storedSize bytes from
    // packOffset there.
    bool packed = false;
    std::uint64_t packOffset = 0;

    // For messages: where the stored copy is.
    std::string StoredLabel() const {
        return packed ? stored + " at " + std::to_string(packOffset) + " (" + path + ")" : stored;
    }
};

struct ManifestTablespace {
    std::string oid;
    std::string name;
    std::string location;
};

// Everything known about one finished backup. The manifest is written last; a backup
// directory without one is incomplete.
struct Manifest {
    // A manifest whose backup holds compressed or encrypted files is of the newer format, so
    // that a program that knows only plain copies refuses it instead of restoring stored
    // bytes as the files.
    static constexpr int kPlainFormat = 1;
    static constexpr int kFormat = 2;
    // A manifest whose files live partly in other backups (references, blocks) is of the
    // newest format: a reader that knows nothing of them would restore a partial cluster.
    static constexpr int kReferenceFormat = 3;
    // A manifest with a file stored in parts: a reader that knows nothing of parts would take
    // the first part for the whole copy.
    static constexpr int kPartsFormat = 4;
    // A manifest with packed files: a reader that knows nothing of packs would read a whole
    // pack as one file.
    static constexpr int kPackFormat = 5;

    std::string id;
    std::string instance;
    std::string type; // "full", "diff", "incr", "log" or "dump"
    // diff and incr backups: the backup they store the changes since.
    std::string reference;
    std::uint64_t jobId = 0;
    std::int64_t startMicros = 0;
    std::int64_t endMicros = 0;
    // The server's time just before the switch that closed the backup's last WAL segment:
    // every transaction committed up to it is in the backed-up WAL. 0 in manifests written
    // before it was recorded (then the end time stands in).
    std::int64_t walCompleteMicros = 0;
    std::string startWal;   // first WAL segment the backup needs (full) or holds (log)
    std::string endWal;     // last WAL segment the backup holds
    std::string baseWal;    // log backups: the last segment of the backup they continue
    std::string previousId; // log backups: the backup they continue
    std::string serverVersion;
    std::string dataDirectory;
    std::string configFile;
    std::string hbaFile;
    std::string identFile;
    std::string archiveDirectory;
    std::string osUser; // owner of the data directory
    std::vector<std::string> databases;
    std::vector<std::string> folders; // link targets the agent's walk followed
    std::vector<ManifestTablespace> tablespaces;
    std::string backupLabel;   // stored name of the job's backup_label (15 and later)
    std::string tablespaceMap; // stored name of the job's tablespace_map, when there is one
    std::string checksumAlgorithm;
    std::uint64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    // How the backup's files are stored ("none", "zstd:3", "lz4"; whether encrypted) and
    // what they take in the repository.
    std::string compression = "none";
    bool encrypted = false;
    std::uint64_t storedBytes = 0;
    // Full backups that took up an unfinished one: its id, and the bytes of the files whose
    // stored copies it kept instead of copying them again.
    std::string resumedFrom;
    std::uint64_t keptBytes = 0;
    // What the backup read of the cluster: less than totalBytes when files were referenced.
    std::uint64_t readBytes = 0;
    std::vector<ManifestEntry> entries;

    nlohmann::json ToJson() const;
    // Throws std::runtime_error for a manifest this program cannot read.
    static Manifest FromJson(const nlohmann::json& json);
    static const char* KindName(ManifestEntry::Kind kind);
    static const char* RoleName(ManifestEntry::Role role);
    // The time up to which the backup's WAL holds every commit.
    std::int64_t WalCompleteMicros() const { return walCompleteMicros ? walCompleteMicros : endMicros; }
    // full, diff and incr backups: a copy of the cluster's files a restore starts from.
    static bool IsDataBackup(const std::string& type) {
        return type == "full" || type == "diff" || type == "incr";
    }
};
