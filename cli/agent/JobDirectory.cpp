#include "JobDirectory.h"

#include "FileOps.h"
#include "HostContext.h"

#include <cstdio>

JobDirectory::JobDirectory(unsigned long long instanceId)
    : path_(HostContext::JobResultsDirectory(instanceId, HostContext::BeginJob())) {}

JobDirectory::~JobDirectory() {
    try {
        FileOps::RemoveTree(path_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: warning: cannot remove %s: %s\n", path_.c_str(), e.what());
    }
}
