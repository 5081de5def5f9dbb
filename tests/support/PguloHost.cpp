#include "PguloHost.h"

#include "TestFiles.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace pgulo::test {

namespace fs = std::filesystem;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

// The inherited environment without PG* variables (a developer's PGHOST must not redirect
// the program), plus the given ones.
std::vector<std::string>
ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> result;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        bool replaced = key.rfind("PG", 0) == 0;
        for (const auto& [name, value] : extra)
            replaced = replaced || name == key;
        if (!replaced)
            result.push_back(entry);
    }
    for (const auto& [name, value] : extra)
        result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

std::string PguloBinary() {
    const char* build = std::getenv("PGULO_BUILD_DIR");
    return std::string(build ? build : ".") + "/cli/pgulo";
}

PguloHost::PguloHost() : home_("pgulo-cli") {}

std::vector<std::pair<std::string, std::string>> PguloHost::Environment() const {
    std::vector<std::pair<std::string, std::string>> env = {{"PGULO_HOME", Home()}};
    env.insert(env.end(), variables_.begin(), variables_.end());
    return env;
}

void PguloHost::SetVariable(const std::string& name, const std::string& value) {
    for (auto& [key, old] : variables_) {
        if (key == name) {
            old = value;
            return;
        }
    }
    variables_.emplace_back(name, value);
}

ProcessResult PguloHost::Run(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> argv = {PguloBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.env = Environment();
    options.input = input;
    options.timeout = std::chrono::minutes(6);
    return runCommand(argv, options);
}

void PguloHost::AddInstance(const std::string& name, const PgCluster& cluster,
                            const std::string& user, const std::string& password) const {
    // clang-format off
    const ProcessResult r = Run({"instance", "add", name,
                                 "--pgdata", cluster.dataDir(),
                                 "--bindir", cluster.binDir(),
                                 "--libdir", cluster.libDir(),
                                 "--port", std::to_string(cluster.port()),
                                 "--user", user,
                                 "--archive-dir", cluster.archiveDir(),
                                 "--socket-dir", cluster.socketDir(),
                                 "--agent-option", "start_backup_immediate:on",
                                 "--password-stdin"},
                                password + "\n");
    // clang-format on
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
}

nlohmann::json PguloHost::List(const std::string& name, const std::string& repo) const {
    std::vector<std::string> args = {"list", name, "--json"};
    if (!repo.empty())
        args.insert(args.end(), {"--repo", repo});
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    try {
        return nlohmann::json::parse(r.out);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "pgulo list printed no JSON: " << e.what() << "\n" << r.out << r.err;
        return nlohmann::json::array();
    }
}

void MakeServerDirectory(const std::string& path) {
    fs::create_directories(path);
    runCommand({"chown", "postgres:postgres", path});
    ::chmod(path.c_str(), 0700);
}

std::unique_ptr<PgCluster> StartCluster(int major, const std::string& name, bool archiving) {
    PgCluster::Options options;
    options.name = name;
    options.archiving = archiving;
    auto cluster = std::make_unique<PgCluster>(major, options);
    cluster->start();
    return cluster;
}

std::string QueryValue(const PgCluster& cluster, int port, const std::string& sql) {
    ProcessOptions options;
    options.env = {{"LC_ALL", "C"}};
    const ProcessResult r =
        runCommand({PgInstall::clientTool("psql"), "-X", "-A", "-t", "-h", cluster.socketDir(),
                    "-p", std::to_string(port), "-U", "postgres", "-d", "postgres", "-c", sql},
                   options);
    return r.ok() ? trim(r.out) : "error: " + r.err;
}

std::string CountRows(const PgCluster& cluster, int port, const std::string& table) {
    return QueryValue(cluster, port, "SELECT count(*) FROM " + table);
}

void StopServer(const PgCluster& cluster, const std::string& dataDir) {
    ProcessOptions options;
    options.asUser = "postgres";
    options.cwd = "/";
    const ProcessResult r = runCommand(
        {cluster.binDir() + "/pg_ctl", "-D", dataDir, "-m", "immediate", "-w", "stop"}, options);
    if (!r.ok())
        std::cerr << "stopping the server of " << dataDir << ": " << r.out << r.err << std::endl;
}

bool RegularFileUnder(const std::string& dir, const std::string& part) {
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    // The tree changes under our feet while a backup writes it: errors only end the look.
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) &&
            (part.empty() || it->path().string().find(part) != std::string::npos))
            return true;
    }
    return false;
}

BackgroundPgulo::BackgroundPgulo(const PguloHost& host, const std::vector<std::string>& args)
    : dir_("pgulo-background"), outputFile_(dir_.Path("output")) {
    std::vector<std::string> argv = {PguloBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = ChildEnvironment(host.Environment());
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envPointers = Pointers(env);
    const int out = ::open(outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0)
        throw std::runtime_error("cannot open the output file of a background pgulo");
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls here: the test may run other threads.
        ::setpgid(0, 0);
        if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
            ::_exit(127);
        ::execve(argvPointers[0], argvPointers.data(), envPointers.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(in);
    if (pid_ < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
}

BackgroundPgulo::~BackgroundPgulo() {
    if (pid_ > 0)
        KillGroup();
}

void BackgroundPgulo::KillGroup() {
    // The whole group: children of the program (psql, the server's tools) go as well.
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::string BackgroundPgulo::Output() const {
    return TestFiles::Read(outputFile_);
}

void BackgroundPgulo::Reap(int status) {
    exitCode_ = DecodeStatus(status);
    pid_ = -1;
}

bool BackgroundPgulo::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        Reap(status);
        return false;
    }
    return true;
}

bool BackgroundPgulo::WaitUntil(const std::function<bool()>& condition,
                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        if (!Running())
            return condition();
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

bool BackgroundPgulo::WaitForLine(const std::function<bool(const std::string&)>& matches,
                                  std::chrono::milliseconds timeout) {
    return WaitUntil(
        [&] {
            std::istringstream lines(Output());
            std::string line;
            while (std::getline(lines, line)) {
                if (matches(line))
                    return true;
            }
            return false;
        },
        timeout);
}

void BackgroundPgulo::Signal(int signal) const {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

int BackgroundPgulo::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            KillGroup();
            return -1;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return exitCode_;
}

TmpfsMount::TmpfsMount(const std::string& dir, int sizeMb) : dir_(dir) {
    fs::create_directories(dir_);
    const ProcessResult r = runCommand(
        {"mount", "-t", "tmpfs", "-o", "size=" + std::to_string(sizeMb) + "m", "tmpfs", dir_});
    if (!r.ok())
        throw std::runtime_error("cannot mount a tmpfs on " + dir_ + ": " + r.out + r.err);
    mounted_ = true;
    ::chmod(dir_.c_str(), 0755);
}

TmpfsMount::~TmpfsMount() {
    if (!mounted_)
        return;
    if (!runCommand({"umount", dir_}).ok()) {
        const ProcessResult lazy = runCommand({"umount", "-l", dir_});
        if (!lazy.ok())
            std::cerr << "could not unmount " << dir_ << ": " << lazy.err << std::endl;
    }
    std::error_code ec;
    fs::remove(dir_, ec);
}

void TmpfsMount::FillLeaving(std::uint64_t keepBytes) const {
    struct statvfs st {};
    if (::statvfs(dir_.c_str(), &st) != 0)
        throw std::runtime_error("statvfs " + dir_ + ": " + std::strerror(errno));
    const std::uint64_t free = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    if (free <= keepBytes)
        return;
    const std::string filler = dir_ + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create " + filler + ": " + std::strerror(errno));
    const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(free - keepBytes));
    ::close(fd);
    if (rc != 0)
        throw std::runtime_error("cannot fill " + dir_ + ": " + std::strerror(rc));
}

std::string PguloHost::DebugLogs() const {
    return TestFiles::ReadDirectory(Home() + "/log");
}

} // namespace pgulo::test
