#include "PguloHost.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace pgulo::test {

std::string PguloBinary() {
    const char* build = std::getenv("PGULO_BUILD_DIR");
    return std::string(build ? build : ".") + "/cli/pgulo";
}

PguloHost::PguloHost() : home_("pgulo-cli") {}

ProcessResult PguloHost::Run(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> argv = {PguloBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.env = {{"PGULO_HOME", Home()}};
    options.input = input;
    options.timeout = std::chrono::minutes(6);
    return runCommand(argv, options);
}

void PguloHost::AddInstance(const std::string& name, const PgCluster& cluster,
                            const std::string& user, const std::string& password) const {
    const ProcessResult r = Run({"instance",
                                 "add",
                                 name,
                                 "--pgdata",
                                 cluster.dataDir(),
                                 "--bindir",
                                 cluster.binDir(),
                                 "--libdir",
                                 cluster.libDir(),
                                 "--port",
                                 std::to_string(cluster.port()),
                                 "--user",
                                 user,
                                 "--archive-dir",
                                 cluster.archiveDir(),
                                 "--socket-dir",
                                 cluster.socketDir(),
                                 "--agent-option",
                                 "start_backup_immediate:on",
                                 "--password-stdin"},
                                password + "\n");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
}

void MakeServerDirectory(const std::string& path) {
    std::filesystem::create_directories(path);
    runCommand({"chown", "postgres:postgres", path});
    ::chmod(path.c_str(), 0700);
}

} // namespace pgulo::test
