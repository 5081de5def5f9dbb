#include "BlockPlan.h"

#include "BlockDigest.h"
#include "RestorePlan.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

namespace {

bool StartsWithDirectory(const std::string& path, const std::string& base,
                         const char* const* names) {
    for (const char* const* name = names; *name; ++name) {
        if (RestorePlan::IsUnder(path, base + "/" + *name))
            return true;
    }
    return false;
}

std::uint64_t CountOf(const std::string& digests) {
    return digests.size() / BlockDigest::kDigestSize;
}

std::string DigestAt(const std::string& digests, std::uint64_t i) {
    return digests.substr(i * BlockDigest::kDigestSize, BlockDigest::kDigestSize);
}

void Append(std::vector<BlockRun>& runs, const std::string& backup, std::uint64_t block) {
    if (!runs.empty() && runs.back().backup == backup &&
        runs.back().first + runs.back().count == block) {
        ++runs.back().count;
        return;
    }
    runs.push_back({backup, block, 1});
}

// The rank of block among the blocks the runs give to backup: its place in a delta copy.
std::uint64_t RankIn(const std::vector<BlockRun>& runs, const std::string& backup,
                     std::uint64_t block) {
    std::uint64_t rank = 0;
    for (const BlockRun& r : runs) {
        if (r.backup != backup)
            continue;
        if (block >= r.first && block < r.first + r.count)
            return rank + (block - r.first);
        rank += r.count;
    }
    throw std::runtime_error("block " + std::to_string(block) + " is not among those of backup " +
                             backup);
}

} // namespace

bool BlockPlan::IsRelationFile(const std::string& path, const std::string& dataDirectory,
                               const std::vector<ManifestTablespace>& tablespaces) {
    static const char* const kDirectories[] = {"base", "global", "pg_tblspc", nullptr};
    // Relation files are named by number ("16384", "16384_fsm", "16384.2"); the server's other
    // files there (pg_control, pg_filenode.map) are small and rewritten whole.
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size() ||
        !std::isdigit(static_cast<unsigned char>(path[slash + 1])))
        return false;
    const std::string data = RestorePlan::Normalize(dataDirectory);
    if (StartsWithDirectory(path, data, kDirectories))
        return true;
    for (const ManifestTablespace& t : tablespaces) {
        if (!t.location.empty() && RestorePlan::IsUnder(path, RestorePlan::Normalize(t.location)))
            return true;
    }
    return false;
}

bool BlockPlan::StoreBlock(const std::string& referenceDigests, std::uint64_t block,
                           const std::string& digest) {
    return block >= CountOf(referenceDigests) || DigestAt(referenceDigests, block) != digest;
}

std::string BlockPlan::ClusterPath(const std::string& path, const std::string& dataDirectory,
                                   const std::vector<ManifestTablespace>& tablespaces) {
    const std::string data = RestorePlan::Normalize(dataDirectory);
    if (RestorePlan::IsUnder(path, data) && path.size() > data.size())
        return path.substr(data.size() + 1);
    for (const ManifestTablespace& t : tablespaces) {
        const std::string location = RestorePlan::Normalize(t.location);
        if (!t.location.empty() && RestorePlan::IsUnder(path, location) &&
            path.size() > location.size())
            return "pg_tblspc/" + t.oid + path.substr(location.size());
    }
    return "";
}

bool BlockPlan::Matches(const ManifestEntry& entry, const std::string& checksum,
                        const std::string& blockDigests) {
    return entry.blockChecked ? blockDigests == entry.blockDigests : checksum == entry.checksum;
}

std::vector<BlockRun> BlockPlan::OwnersOf(const ManifestEntry& entry,
                                          const std::string& reference) {
    if (!entry.blockRuns.empty())
        return entry.blockRuns;
    const std::uint64_t count = BlockDigest::BlockCount(entry.size);
    if (count == 0)
        return {};
    return {{entry.storedIn.empty() ? reference : entry.storedIn, 0, count}};
}

std::vector<BlockRun> BlockPlan::Merge(const std::vector<BlockRun>& referenceRuns,
                                       const std::vector<bool>& stored, const std::string& self) {
    std::vector<BlockRun> runs;
    auto owner = referenceRuns.begin();
    for (std::uint64_t block = 0; block < stored.size(); ++block) {
        while (owner != referenceRuns.end() && owner->first + owner->count <= block)
            ++owner;
        const bool referenced =
            !stored[block] && owner != referenceRuns.end() && owner->first <= block;
        Append(runs, referenced ? owner->backup : self, block);
    }
    return runs;
}

std::vector<BlockPlan::Source> BlockPlan::SourcesOf(const ManifestEntry& entry,
                                                    const EntryLookup& lookup) {
    std::vector<Source> sources;
    std::map<std::string, std::size_t> index;
    std::uint64_t next = 0;
    for (const BlockRun& run : entry.blockRuns) {
        if (run.first != next)
            throw std::runtime_error("the block runs of " + entry.path + " leave a gap at block " +
                                     std::to_string(next));
        next = run.first + run.count;
        auto found = index.find(run.backup);
        if (found == index.end()) {
            const ManifestEntry* owner = lookup(run.backup, entry.path);
            if (owner == nullptr)
                throw std::runtime_error("backup " + run.backup + " does not hold " + entry.path);
            found = index.emplace(run.backup, sources.size()).first;
            sources.push_back({run.backup, owner, {}});
        }
        Source& source = sources[found->second];
        for (std::uint64_t block = run.first; block < next; ++block) {
            const std::uint64_t slot =
                source.entry->delta ? RankIn(source.entry->blockRuns, run.backup, block) : block;
            source.blocks.push_back({block, slot * BlockDigest::kBlockSize});
        }
    }
    if (next != BlockDigest::BlockCount(entry.size))
        throw std::runtime_error("the block runs of " + entry.path + " cover " +
                                 std::to_string(next) + " blocks, not " +
                                 std::to_string(BlockDigest::BlockCount(entry.size)));
    for (Source& source : sources)
        std::sort(source.blocks.begin(), source.blocks.end(),
                  [](const Placement& a, const Placement& b) { return a.position < b.position; });
    return sources;
}

std::vector<std::string> BlockPlan::BackupsUsed(const ManifestEntry& entry) {
    std::vector<std::string> used;
    auto add = [&used](const std::string& id) {
        if (!id.empty() && std::find(used.begin(), used.end(), id) == used.end())
            used.push_back(id);
    };
    add(entry.storedIn);
    for (const BlockRun& run : entry.blockRuns)
        add(run.backup);
    return used;
}
