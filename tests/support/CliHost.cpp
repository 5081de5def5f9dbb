#include "CliHost.h"

#include "TestFiles.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace pgulo::test {

namespace fs = std::filesystem;

std::string PguloBinary() {
    const char* build = std::getenv("PGULO_BUILD_DIR");
    return std::string(build ? build : ".") + "/cli/pgulo";
}

CliTempDir::CliTempDir() {
    std::string pattern = "/tmp/pgulo-cli-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);
}

CliTempDir::~CliTempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ProcessResult CliHost::Run(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> argv = {PguloBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.env = {{"PGULO_HOME", Home()}};
    options.input = input;
    options.timeout = std::chrono::minutes(6);
    return runCommand(argv, options);
}

ProcessResult CliHost::AddInstance(const std::string& name, const PgCluster& cluster,
                                   const std::string& user, const std::string& password) const {
    return Run({"instance",
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
}

std::string CliHost::DebugLogs() const {
    std::string all;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Home() + "/log", ec))
        all += TestFiles::Read(entry.path().string());
    return all;
}

} // namespace pgulo::test
