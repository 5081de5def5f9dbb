#include "ChangedBlocks.h"

#include <algorithm>
#include <sstream>

namespace {

const char* const kForkSuffixes[] = {"", "_fsm", "_vm", "_init"};

// A decimal OID or segment number: digits only, no leading zero, within 32 bits.
bool ParseNumber(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0') ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long number = std::stoull(text);
    if (number > UINT32_MAX)
        return false;
    value = static_cast<std::uint32_t>(number);
    return true;
}

std::vector<std::string> Parts(const std::string& path) {
    std::vector<std::string> parts;
    std::istringstream in(path);
    std::string part;
    while (std::getline(in, part, '/'))
        parts.push_back(part);
    return parts;
}

// "<relfilenode>[_fsm|_vm|_init][.<segment>]"
bool ParseFileName(const std::string& name, ChangedBlocks::Relation& relation,
                   std::uint32_t& segment) {
    std::string base = name;
    segment = 0;
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos) {
        if (!ParseNumber(name.substr(dot + 1), segment) || segment == 0)
            return false;
        base = name.substr(0, dot);
    }
    relation.fork = ChangedBlocks::kMainFork;
    const std::size_t underscore = base.find('_');
    if (underscore != std::string::npos) {
        const std::string suffix = base.substr(underscore);
        relation.fork = -1;
        for (int fork = ChangedBlocks::kFreeSpaceFork; fork <= ChangedBlocks::kInitFork; ++fork) {
            if (suffix == kForkSuffixes[fork])
                relation.fork = fork;
        }
        if (relation.fork < 0)
            return false;
        base = base.substr(0, underscore);
    }
    return ParseNumber(base, relation.relfilenode) && relation.relfilenode != 0;
}

} // namespace

bool ChangedBlocks::FileChanges::Changed(std::uint32_t block) const {
    return block >= limit || std::binary_search(blocks.begin(), blocks.end(), block);
}

void ChangedBlocks::AddBlock(const Relation& relation, std::uint64_t block) {
    entries_[relation].blocks.insert(block);
}

void ChangedBlocks::AddLimit(const Relation& relation, std::uint64_t limit) {
    Entry& entry = entries_[relation];
    if (limit < entry.limit)
        entry.limit = limit;
}

bool ChangedBlocks::ForFile(const std::string& path, FileChanges& changes) const {
    Relation relation;
    std::uint32_t segment = 0;
    if (!ParseRelationPath(path, relation, segment))
        return false;
    const auto found = entries_.find(relation);
    changes = InSegment(relation, found == entries_.end() ? nullptr : &found->second, segment);
    return true;
}

std::map<std::string, ChangedBlocks::FileChanges> ChangedBlocks::Files() const {
    std::map<std::string, FileChanges> files;
    const bool otherTablespaces = !versionDirectory_.empty();
    for (const auto& [relation, entry] : entries_) {
        if (relation.relfilenode == 0 ||
            (!otherTablespaces && relation.tablespace != kDefaultTablespace &&
             relation.tablespace != kGlobalTablespace))
            continue;
        std::set<std::uint32_t> segments;
        for (const std::uint64_t block : entry.blocks)
            segments.insert(static_cast<std::uint32_t>(block / kBlocksPerSegment));
        if (entry.limit != UINT64_MAX)
            segments.insert(static_cast<std::uint32_t>(entry.limit / kBlocksPerSegment));
        for (const std::uint32_t segment : segments)
            files[RelationPath(relation, segment, versionDirectory_)] =
                InSegment(relation, &entry, segment);
    }
    return files;
}

ChangedBlocks::FileChanges ChangedBlocks::InSegment(const Relation& relation, const Entry* entry,
                                                    std::uint32_t segment) const {
    FileChanges changes;
    // The free-space map is not WAL-logged block by block, and a database copied as a whole
    // names none of its files: the summaries cannot vouch for any block of either.
    if (relation.fork == kFreeSpaceFork || DatabaseRecreated(relation)) {
        changes.limit = 0;
        return changes;
    }
    if (!entry)
        return changes;
    const std::uint64_t first = std::uint64_t{segment} * kBlocksPerSegment;
    const std::uint64_t end = first + kBlocksPerSegment;
    if (entry->limit <= first) {
        changes.limit = 0;
        return changes;
    }
    if (entry->limit < end)
        changes.limit = static_cast<std::uint32_t>(entry->limit - first);
    for (auto it = entry->blocks.lower_bound(first);
         it != entry->blocks.end() && *it < end && *it - first < changes.limit; ++it)
        changes.blocks.push_back(static_cast<std::uint32_t>(*it - first));
    return changes;
}

bool ChangedBlocks::DatabaseRecreated(const Relation& relation) const {
    const auto found =
        entries_.find(Relation{relation.tablespace, relation.database, 0, kMainFork});
    return found != entries_.end() && found->second.limit == 0;
}

std::string ChangedBlocks::RelationPath(const Relation& relation, std::uint32_t segment,
                                        const std::string& versionDirectory) {
    std::string path;
    if (relation.tablespace == kGlobalTablespace)
        path = "global/";
    else if (relation.tablespace == kDefaultTablespace)
        path = "base/" + std::to_string(relation.database) + "/";
    else
        path = "pg_tblspc/" + std::to_string(relation.tablespace) + "/" + versionDirectory + "/" +
               std::to_string(relation.database) + "/";
    path += std::to_string(relation.relfilenode);
    if (relation.fork > kMainFork && relation.fork <= kInitFork)
        path += kForkSuffixes[relation.fork];
    if (segment > 0)
        path += "." + std::to_string(segment);
    return path;
}

bool ChangedBlocks::ParseRelationPath(const std::string& path, Relation& relation,
                                      std::uint32_t& segment) {
    const std::vector<std::string> parts = Parts(path);
    Relation parsed;
    if (parts.size() == 2 && parts[0] == "global") {
        parsed.tablespace = kGlobalTablespace;
    } else if (parts.size() == 3 && parts[0] == "base") {
        parsed.tablespace = kDefaultTablespace;
        if (!ParseNumber(parts[1], parsed.database))
            return false;
    } else if (parts.size() == 5 && parts[0] == "pg_tblspc") {
        if (!ParseNumber(parts[1], parsed.tablespace) || parts[2].empty() ||
            !ParseNumber(parts[3], parsed.database))
            return false;
    } else {
        return false;
    }
    if (!ParseFileName(parts.back(), parsed, segment))
        return false;
    relation = parsed;
    return true;
}
