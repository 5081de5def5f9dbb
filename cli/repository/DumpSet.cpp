#include "DumpSet.h"

#include "CliError.h"
#include "FileCopier.h"
#include "FileOps.h"

#include <algorithm>

std::string DumpSet::StoredName(std::size_t index) {
    return "dumps/" + std::to_string(index + 1) + ".dump";
}

std::string DumpSet::EntryPath(const std::string& database) {
    return kPathPrefix + database;
}

std::string DumpSet::DumpFile(const Repository& repository, const Manifest& manifest,
                              const std::string& database) {
    if (manifest.type == "dump") {
        for (const ManifestEntry& entry : manifest.entries) {
            if (entry.kind == ManifestEntry::Kind::File && entry.path == EntryPath(database)) {
                const std::string path =
                    repository.BackupDirectory(manifest.instance, manifest.id) + "/" + entry.stored;
                if (!FileOps::Exists(path))
                    throw CliError("the dump of database '" + database + "' in backup " +
                                   manifest.id + " is missing (" + path + ")");
                return path;
            }
        }
    }
    throw CliError("backup " + manifest.id + " holds no dump of database '" + database + "'");
}

Manifest DumpSet::NewestHolding(const Repository& repository, const std::string& instance,
                                const std::string& database) {
    const std::vector<BackupRecord> all = repository.List(instance);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (!it->complete || it->type != "dump")
            continue;
        const std::vector<std::string>& held = it->manifest->databases;
        if (std::find(held.begin(), held.end(), database) != held.end())
            return *it->manifest;
    }
    throw CliError("instance '" + instance + "' has no complete dump backup of database '" +
                   database + "'");
}

std::string DumpSet::FileChecksum(const std::string& path) {
    FileCopier::Options options;
    options.sync = false;
    FileCopier::Result read;
    try {
        read = FileCopier(options).Copy(path, "", 0600);
    } catch (const std::runtime_error& e) {
        throw CliError("cannot read " + path + ": " + e.what());
    }
    if (read.status == FileCopier::Status::Vanished)
        throw CliError("cannot read " + path + ": it is missing");
    return read.checksum;
}

void DumpSet::CheckStored(const Manifest& manifest, const std::string& database,
                          const std::string& path) {
    for (const ManifestEntry& entry : manifest.entries) {
        if (entry.path != EntryPath(database))
            continue;
        if (FileChecksum(path) != entry.checksum)
            throw CliError("the dump of database '" + database + "' in backup " + manifest.id +
                           " is damaged (its checksum does not match the manifest)");
        return;
    }
}
