#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

// The blocks of relation files that may have changed between two points of the WAL, as the
// server's WAL summaries tell them, answered per file as a backup sees it: a path relative to
// the data directory and blocks numbered within that 1 GiB segment file.
class ChangedBlocks {
public:
    static constexpr std::uint32_t kBlockSize = 8192;
    static constexpr std::uint32_t kSegmentBytes = 1u << 30;
    static constexpr std::uint32_t kBlocksPerSegment = kSegmentBytes / kBlockSize;
    static constexpr std::uint32_t kDefaultTablespace = 1663; // base/
    static constexpr std::uint32_t kGlobalTablespace = 1664;  // global/
    static constexpr std::uint32_t kNoLimit = UINT32_MAX;
    enum Fork { kMainFork = 0, kFreeSpaceFork = 1, kVisibilityFork = 2, kInitFork = 3 };

    // One fork of one relation, as the summaries name it.
    struct Relation {
        std::uint32_t tablespace = 0;
        std::uint32_t database = 0;
        std::uint32_t relfilenode = 0;
        int fork = kMainFork;
        bool operator<(const Relation& o) const {
            return std::tie(tablespace, database, relfilenode, fork) <
                   std::tie(o.tablespace, o.database, o.relfilenode, o.fork);
        }
    };

    // What may have changed in one segment file.
    struct FileChanges {
        std::vector<std::uint32_t> blocks; // ascending, within the segment file
        // Blocks at or after it count as changed: the relation was truncated to it (0: the
        // file was created, or its whole contents cannot be trusted). kNoLimit when neither.
        std::uint32_t limit = kNoLimit;

        bool Whole() const { return limit == 0; }
        bool Unchanged() const { return blocks.empty() && limit == kNoLimit; }
        bool Changed(std::uint32_t block) const;
    };

    // A block of the relation (numbered over the whole relation) was written.
    void AddBlock(const Relation& relation, std::uint64_t block);
    // The relation was truncated to limit blocks; the smallest limit seen wins. The server
    // marks a database created or dropped as a whole with relfilenode 0 and limit 0.
    void AddLimit(const Relation& relation, std::uint64_t limit);
    // The PG_<major>_<catalog version> directory inside every tablespace's directory, which
    // the paths of relations outside base/ and global/ go through. Only Files() needs it.
    void SetTablespaceVersionDirectory(const std::string& name) { versionDirectory_ = name; }

    // What the summaries say of the file at path. False when path is not a relation file
    // (the summaries do not track it). A relation file they do not name has not changed.
    bool ForFile(const std::string& path, FileChanges& changes) const;
    // Every segment file the summaries name with a block or a limit, by path (relations of
    // other tablespaces only once the version directory is set).
    std::map<std::string, FileChanges> Files() const;

    static std::string RelationPath(const Relation& relation, std::uint32_t segment,
                                    const std::string& versionDirectory);
    // The relation and segment of a path such as base/5/16384_vm.2. False for other files.
    static bool ParseRelationPath(const std::string& path, Relation& relation,
                                  std::uint32_t& segment);

private:
    struct Entry {
        std::set<std::uint64_t> blocks;
        std::uint64_t limit = UINT64_MAX;
    };
    FileChanges InSegment(const Relation& relation, const Entry* entry,
                          std::uint32_t segment) const;
    bool DatabaseRecreated(const Relation& relation) const;

    std::map<Relation, Entry> entries_;
    std::string versionDirectory_;
};
