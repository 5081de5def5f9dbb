#pragma once

#include "HostContext.h"
#include "Repository.h"
#include "RetentionPlan.h"

#include <string>

// "pgulo expire": removes the backups of an instance that its retention policy no longer
// keeps, never one that a kept backup needs, and finishes removals cut short.
class ExpireCommand {
public:
    struct Options {
        std::string instance;
        RetentionPolicy policy; // empty: the instance's own policy
        bool dryRun = false;
    };

    static void Run(HostContext& host, const Options& options);
    // Applies the policy to the instance's backups; the caller holds the instance's lock.
    static void Apply(Repository& repository, const std::string& instance,
                      const RetentionPolicy& policy, bool dryRun);
};
