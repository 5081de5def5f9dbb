#pragma once

#include "PgCluster.h"
#include "TempTree.h"
#include "TestProcess.h"

#include <string>
#include <vector>

namespace pgulo::test {

// build/cli/pgulo, the build directory taken from $PGULO_BUILD_DIR.
std::string PguloBinary();

// One backup host for a test: its own home (property store, registry, logs, repository),
// removed at the end, and the pgulo program run against it.
class PguloHost {
public:
    PguloHost();

    ProcessResult Run(const std::vector<std::string>& args, const std::string& input = "") const;
    // Registers the cluster under name, connecting as user with password; the test fails
    // when pgulo refuses.
    void AddInstance(const std::string& name, const PgCluster& cluster, const std::string& user,
                     const std::string& password) const;

    std::string Home() const { return home_.Path("home"); }
    std::string Repository() const { return Home() + "/repo"; }

private:
    TempTree home_;
};

// Creates the directory (and its parents) owned by the server's OS user, mode 0700, as the
// server needs for directories of its own.
void MakeServerDirectory(const std::string& path);

} // namespace pgulo::test
