#include "DumpSet.h"

#include "CliError.h"
#include "StoredFileReader.h"

#include <algorithm>

std::string DumpSet::StoredName(std::size_t index) {
    return "dumps/" + std::to_string(index + 1) + ".dump";
}

std::string DumpSet::EntryPath(const std::string& database) {
    return kPathPrefix + database;
}

std::string DumpSet::ReadableDump(const BackupRecord& record, const std::string& database,
                                  const std::string& workDir) {
    const Manifest& manifest = *record.manifest;
    const auto entry = std::find_if(
        manifest.entries.begin(), manifest.entries.end(), [&](const ManifestEntry& e) {
            return e.kind == ManifestEntry::Kind::File && e.path == EntryPath(database);
        });
    if (manifest.type != "dump" || entry == manifest.entries.end())
        throw CliError("backup " + manifest.id + " holds no dump of database '" + database + "'");
    const std::string stored = record.PathOf(entry->stored);
    if (!record.Holds(entry->stored))
        throw CliError("the dump of database '" + database + "' in backup " + manifest.id +
                       " is missing (" + record.Describe(entry->stored) + ")");
    const StoredForm form = record.FormOf(*entry);
    const StoredFileReader::Expected expected{entry->size, entry->checksum};
    try {
        const std::string local = record.storage->LocalPath(stored);
        if (form.Plain() && !local.empty()) {
            // pg_restore reads the stored file itself.
            StoredFileReader::Check(*record.storage, stored, form, expected);
            return local;
        }
        const std::string readable = workDir + "/database.dump";
        StoredFileReader::Extract(*record.storage, stored, form, expected, readable);
        return readable;
    } catch (const std::runtime_error& e) {
        throw CliError("the dump of database '" + database + "' in backup " + manifest.id +
                       " cannot be used: " + e.what());
    }
}

BackupRecord DumpSet::NewestHolding(const Repository& repository, const std::string& instance,
                                    const std::string& database) {
    const std::vector<BackupRecord> all = repository.List(instance);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (!it->complete || it->type != "dump")
            continue;
        const std::vector<std::string>& held = it->manifest->databases;
        if (std::find(held.begin(), held.end(), database) != held.end())
            return *it;
    }
    throw CliError("instance '" + instance + "' has no complete dump backup of database '" +
                   database + "'");
}
