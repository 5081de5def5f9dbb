#pragma once

#include "Manifest.h"
#include "Repository.h"

#include <string>

// Where a dump backup keeps its databases' dumps: one custom-format file per database under
// dumps/, each a manifest entry of its own (role meta) whose path is "dump:" + the database.
class DumpSet {
public:
    static constexpr const char* kPathPrefix = "dump:";

    // The stored name of the n-th database's dump (names of databases may hold anything, so
    // the file is named by its place).
    static std::string StoredName(std::size_t index);
    // The manifest entry's path for a database's dump.
    static std::string EntryPath(const std::string& database);
    // Absolute path of the database's dump; throws CliError when the backup holds none.
    static std::string DumpFile(const Repository& repository, const Manifest& manifest,
                                const std::string& database);
    // A stored file's checksum, as the manifest records it.
    static std::string FileChecksum(const std::string& path);
    // Throws CliError when the dump no longer matches the manifest's size and checksum.
    static void CheckStored(const Manifest& manifest, const std::string& database,
                            const std::string& path);
    // The newest complete dump backup of the instance that holds the database; throws
    // CliError when there is none.
    static Manifest NewestHolding(const Repository& repository, const std::string& instance,
                                  const std::string& database);
};
