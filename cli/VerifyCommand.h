#pragma once

#include "HostContext.h"
#include "Repository.h"

#include <string>
#include <vector>

// "pgulo verify": reads every stored file of a backup again and compares its size and
// checksum with the manifest.
class VerifyCommand {
public:
    struct Options {
        std::string instance;
        std::string id; // empty: the newest complete backup
        bool all = false;
        unsigned jobs = 1;
        bool quiet = false;
    };
    // The problems found, one sentence each; empty when the backup is sound.
    static std::vector<std::string> Check(const BackupRecord& record, unsigned jobs, bool quiet);
    // Returns the process exit code: 0 sound, 1 damaged.
    static int Run(HostContext& host, const Options& options);
};
