#pragma once

#include "Manifest.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Which blocks of a relation file an incremental backup stores, and where a restore finds
// each block again. Pure: manifests in, decisions out.
class BlockPlan {
public:
    // Where one block of a file is read from: the position in the decoded stored stream of
    // its owner's entry.
    struct Placement {
        std::uint64_t block = 0;
        std::uint64_t position = 0;
    };
    struct Source {
        std::string backup;
        const ManifestEntry* entry = nullptr; // the owner's entry for the file
        std::vector<Placement> blocks;        // ascending positions
    };
    // The owner backup's entry for a path; nullptr when that backup does not hold it.
    using EntryLookup =
        std::function<const ManifestEntry*(const std::string& backup, const std::string& path)>;

    // Files of the cluster that are made of pages: relation files under base/, global/ or a
    // tablespace.
    static bool IsRelationFile(const std::string& path, const std::string& dataDirectory,
                               const std::vector<ManifestTablespace>& tablespaces);

    // Whether the backup stores block (whose digest is given) of a changed file: when its
    // digest differs from the reference's or it lies beyond the reference's end. With WAL
    // summaries only the blocks they name are read and weighed so (DeltaCopier::CopyBlocks).
    static bool StoreBlock(const std::string& referenceDigests, std::uint64_t block,
                           const std::string& digest);
    // The path the server's WAL summaries know a file by: relative to the data directory, a
    // tablespace's files through pg_tblspc/<oid>. Empty for a file outside them.
    static std::string ClusterPath(const std::string& path, const std::string& dataDirectory,
                                   const std::vector<ManifestTablespace>& tablespaces);
    // Whether a file rebuilt from its blocks is the entry's: by its checksum, or by every
    // block's digest when the entry has no checksum of its whole (blockChecked).
    static bool Matches(const ManifestEntry& entry, const std::string& checksum,
                        const std::string& blockDigests);
    // Which backup holds each block of the reference entry: its runs, or its whole copy in the
    // backup that stored it (reference is the id of the backup whose manifest holds it).
    static std::vector<BlockRun> OwnersOf(const ManifestEntry& entry, const std::string& reference);
    // The runs of a new delta entry of backup self: stored blocks are its own, the others
    // stay with the reference's owners.
    static std::vector<BlockRun> Merge(const std::vector<BlockRun>& referenceRuns,
                                       const std::vector<bool>& stored, const std::string& self);
    // Where a restore reads every block of the entry, grouped by owner in the order of the
    // runs' first mention. Throws std::runtime_error when an owner lacks the file or the runs
    // do not cover the entry's blocks.
    static std::vector<Source> SourcesOf(const ManifestEntry& entry, const EntryLookup& lookup);
    // The backups the entry's stored data lives in (its own among them when it holds blocks).
    static std::vector<std::string> BackupsUsed(const ManifestEntry& entry);
};
