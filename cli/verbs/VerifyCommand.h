#pragma once

#include "HostContext.h"
#include "ReferenceSet.h"
#include "Repository.h"

#include <map>
#include <string>
#include <vector>

// "pgulo verify": reads every stored file of a backup again (decrypted and decompressed when
// it is stored so) and compares its size and checksum with the manifest, looks for files the manifest does not know, and checks that
// the backup can be restored: its WAL is whole from the full backup's start, and a log
// backup continues a sound data backup. The files a diff or incr backup keeps in the backups
// it builds on are read there (and files kept as blocks rebuilt and checked whole).
class VerifyCommand {
public:
    struct Options {
        std::string instance;
        std::string id; // empty: the newest complete backup
        bool all = false;
        unsigned jobs = 1;
        bool quiet = false;
    };
    // Returns the process exit code: 0 sound, 1 damaged.
    static int Run(HostContext& host, const Options& options);

private:
    VerifyCommand(const Options& options, std::vector<BackupRecord> all);
    // The problems found, one sentence each; empty when the backup is sound.
    std::vector<std::string> Check(const BackupRecord& record);
    // The stored files alone: sizes, checksums and files the manifest does not know.
    const std::vector<std::string>& StoredProblems(const BackupRecord& record);
    std::vector<std::string> ChainProblems(const BackupRecord& record);
    std::vector<std::string> ReadStoredFiles(const BackupRecord& record) const;
    std::vector<std::string> AssembledProblems(const BackupRecord& record) const;

    const Options& options_;
    std::vector<BackupRecord> all_;
    ReferenceSet references_{all_};
    std::map<std::string, std::vector<std::string>> stored_;
};
