#pragma once

#include "Manifest.h"
#include "Repository.h"

#include <string>

// Where a dump backup keeps its databases' dumps: one custom-format file per database under
// dumps/, each a manifest entry of its own (role meta) whose path is "dump:" + the database,
// stored in the backup's form like any other file.
class DumpSet {
public:
    static constexpr const char* kPathPrefix = "dump:";

    // The stored name of the n-th database's dump (names of databases may hold anything, so
    // the file is named by its place), before the compression's suffix.
    static std::string StoredName(std::size_t index);
    // The manifest entry's path for a database's dump.
    static std::string EntryPath(const std::string& database);
    // A dump of the database that pg_restore can read, checked against the manifest: the
    // stored file itself when it is plain, else its original bytes written into workDir.
    // Throws CliError when the backup holds none, or it is missing or damaged.
    static std::string ReadableDump(const BackupRecord& record, const std::string& database,
                                    const std::string& workDir);
    // The newest complete dump backup of the instance that holds the database; throws
    // CliError when there is none.
    static BackupRecord NewestHolding(const Repository& repository, const std::string& instance,
                                      const std::string& database);
};
