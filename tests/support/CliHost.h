#pragma once

#include "PgCluster.h"
#include "TestProcess.h"

#include <string>
#include <vector>

namespace pgulo::test {

// The pgulo program of the build under test ($PGULO_BUILD_DIR/cli/pgulo).
std::string PguloBinary();

// A directory under /tmp that the server's OS user may enter, removed at the end.
class CliTempDir {
public:
    CliTempDir();
    ~CliTempDir();
    CliTempDir(const CliTempDir&) = delete;
    CliTempDir& operator=(const CliTempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// One backup host as a user runs it: the pgulo program with its own home (property store,
// registry, logs, repository), made fresh for each object.
class CliHost {
public:
    ProcessResult Run(const std::vector<std::string>& args, const std::string& input = "") const;

    // Registers the cluster under name, connecting as user with password (read from standard
    // input). The result is returned unchecked, for the caller to assert on.
    ProcessResult AddInstance(const std::string& name, const PgCluster& cluster,
                              const std::string& user, const std::string& password) const;

    std::string Home() const { return dir_.path() + "/home"; }
    // Every job's debug log under <home>/log, joined.
    std::string DebugLogs() const;

private:
    CliTempDir dir_;
};

} // namespace pgulo::test
