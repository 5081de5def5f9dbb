#include "ReferenceSet.h"

#include "BlockDigest.h"
#include "BlockPlan.h"
#include "CliError.h"
#include "StoredParts.h"

#include <stdexcept>

ReferenceSet::ReferenceSet(const std::vector<BackupRecord>& all) : all_(all) {}

const BackupRecord* ReferenceSet::Find(const std::string& id) const {
    for (const BackupRecord& r : all_) {
        if (r.id == id)
            return r.complete ? &r : nullptr;
    }
    return nullptr;
}

const BackupRecord& ReferenceSet::Record(const std::string& id, const std::string& referrer) const {
    const BackupRecord* record = Find(id);
    if (record == nullptr)
        throw CliError("backup " + referrer + " builds on backup " + id +
                       ", which is missing or incomplete; the backup cannot be used");
    return *record;
}

const std::unordered_map<std::string, const ManifestEntry*>&
ReferenceSet::Files(const BackupRecord& record) const {
    auto known = files_.find(record.id);
    if (known != files_.end())
        return known->second;
    std::unordered_map<std::string, const ManifestEntry*> files;
    for (const ManifestEntry& e : record.manifest->entries) {
        if (e.kind == ManifestEntry::Kind::File && e.role == ManifestEntry::Role::Data)
            files.emplace(e.path, &e);
    }
    return files_.emplace(record.id, std::move(files)).first->second;
}

const ManifestEntry* ReferenceSet::Entry(const std::string& id, const std::string& path) const {
    const BackupRecord* record = Find(id);
    if (record == nullptr)
        return nullptr;
    const auto& files = Files(*record);
    const auto found = files.find(path);
    return found == files.end() ? nullptr : found->second;
}

std::vector<const BackupRecord*> ReferenceSet::References(const BackupRecord& backup) const {
    std::vector<const BackupRecord*> chain;
    const BackupRecord* current = &backup;
    while (current->manifest && !current->manifest->reference.empty()) {
        current = &Record(current->manifest->reference, current->id);
        chain.push_back(current);
    }
    return chain;
}

const BackupRecord& ReferenceSet::Owner(const BackupRecord& holder,
                                        const ManifestEntry& entry) const {
    return entry.storedIn.empty() ? holder : Record(entry.storedIn, holder.id);
}

CopyEngine::Task ReferenceSet::ReadTask(const BackupRecord& holder, const ManifestEntry& entry,
                                        const std::string& target) const {
    return Owner(holder, entry).ReadTask(entry, target);
}

std::vector<BlockAssembler::Source> ReferenceSet::SourcesOf(const BackupRecord& holder,
                                                            const ManifestEntry& entry) const {
    std::vector<BlockAssembler::Source> sources;
    try {
        const auto lookup = [&](const std::string& id, const std::string& path) {
            return id == holder.id && entry.storedIn.empty() ? &entry : Entry(id, path);
        };
        for (const BlockPlan::Source& s : BlockPlan::SourcesOf(entry, lookup)) {
            const BackupRecord& owner =
                s.backup == holder.id ? holder : Record(s.backup, holder.id);
            BlockAssembler::Source source{owner.storage,
                                          owner.PathOf(s.entry->stored),
                                          owner.FormOf(*s.entry),
                                          {},
                                          std::max<std::size_t>(1, s.entry->partSizes.size()),
                                          nullptr};
            if (s.entry->packed)
                source.open = owner.ReadTask(*s.entry, "").openSource;
            for (const BlockPlan::Placement& p : s.blocks)
                source.blocks.push_back({p.position, p.block * BlockDigest::kBlockSize});
            sources.push_back(std::move(source));
        }
    } catch (const std::runtime_error& e) {
        if (dynamic_cast<const CliError*>(&e))
            throw;
        throw CliError("backup " + holder.id + " cannot rebuild " + entry.path + ": " + e.what());
    }
    return sources;
}

void ReferenceSet::RequireOne(const BackupRecord& owner, const ManifestEntry& entry) const {
    const std::string path = owner.PathOf(entry.stored);
    // The members of a pack are checked one by one: each has its own range.
    const std::string checked =
        entry.packed ? path + "@" + std::to_string(entry.packOffset) : path;
    if (checked_.count(checked) != 0)
        return;
    if (entry.packed) {
        const std::optional<std::uint64_t> size = owner.storage->Size(path);
        if (!size || *size < entry.packOffset + entry.storedSize)
            throw CliError("backup " + owner.id + " is damaged: " + entry.path + " is " +
                           (size ? "in a pack of " + std::to_string(*size) +
                                       " bytes, shorter than its manifest records"
                                 : "in a pack that is missing"));
        checked_.emplace(checked, true);
        return;
    }
    const std::vector<std::string> parts = StoredParts::Names(path, entry.partSizes.size());
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const std::uint64_t expected = parts.size() > 1 ? entry.partSizes[k] : entry.storedSize;
        const std::optional<std::uint64_t> size = owner.storage->Size(parts[k]);
        // The whole copy, or the part of it, that is not as the manifest records.
        const std::string what = entry.path + (k > 0 ? " (part " + std::to_string(k) + ")" : "");
        if (!size)
            throw CliError("backup " + owner.id + " is damaged: " + what + " is missing");
        if (*size != expected)
            throw CliError("backup " + owner.id + " is damaged: " + what + " is stored in " +
                           std::to_string(*size) + " bytes, not the " + std::to_string(expected) +
                           " its manifest records");
    }
    checked_.emplace(checked, true);
}

void ReferenceSet::RequireStored(const BackupRecord& holder, const ManifestEntry& entry) const {
    if (!Assembled(entry)) {
        RequireOne(entry.storedIn.empty() ? holder : Record(entry.storedIn, holder.id), entry);
        return;
    }
    for (const std::string& id : BlockPlan::BackupsUsed(entry)) {
        const BackupRecord& owner = id == holder.id ? holder : Record(id, holder.id);
        const ManifestEntry* own =
            id == holder.id && entry.storedIn.empty() ? &entry : Entry(id, entry.path);
        if (own == nullptr)
            throw CliError("backup " + id + " is damaged: it does not hold " + entry.path);
        RequireOne(owner, *own);
    }
}
