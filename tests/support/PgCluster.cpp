#include "PgCluster.h"

#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace pgulo::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSuperuser = "postgres";

// Never destroyed: a cluster held in a static may be destroyed after function-local statics
// created later, and its destructor still needs these registries.
template <typename T> class NoDestructor {
public:
    NoDestructor() { new (storage_) T(); }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

std::mutex& registryMutex() {
    static NoDestructor<std::mutex> mutex;
    return mutex.get();
}

std::set<int>& majorsUsedSet() {
    static NoDestructor<std::set<int>> majors;
    return majors.get();
}

// Ports handed out in this process but perhaps not yet bound by their server.
std::set<int>& reservedPorts() {
    static NoDestructor<std::set<int>> ports;
    return ports.get();
}

// Servers refuse to run as root; as anyone else we simply run them as ourselves.
std::string serverOsUser() {
    return ::geteuid() == 0 ? std::string("postgres") : std::string();
}

bool envFlagSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' && std::string(value) != "0";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tail(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    size_t cut = text.find('\n', text.size() - maxBytes);
    cut = cut == std::string::npos ? text.size() - maxBytes : cut + 1;
    return "[... " + std::to_string(cut) + " bytes omitted ...]\n" + text.substr(cut);
}

// postgresql.conf string literal: quotes are doubled, and backslash is an escape character.
std::string confQuote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'') {
            quoted += "''";
        } else if (c == '\\') {
            quoted += "\\\\";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string connValueQuote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "'";
}

// An ephemeral port from the kernel, also checked against sockets that a server elsewhere on
// the machine might already have for it: the number names the socket file even without TCP.
int pickFreePort(const std::string& ownSocketDir) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            port = ntohs(addr.sin_port);
        }
        ::close(fd);
        if (port == 0) {
            continue;
        }
        std::string socketName = "/.s.PGSQL." + std::to_string(port);
        bool taken = false;
        for (const std::string& dir :
             {ownSocketDir, std::string("/tmp"), std::string("/var/run/postgresql")}) {
            std::error_code ec;
            if (fs::exists(dir + socketName, ec) || fs::exists(dir + socketName + ".lock", ec)) {
                taken = true;
            }
        }
        std::lock_guard<std::mutex> lock(registryMutex());
        if (!taken && reservedPorts().insert(port).second) {
            return port;
        }
    }
    throw std::runtime_error("could not find a free port for a test cluster");
}

void chownToUser(const std::string& path, const std::string& user) {
    if (user.empty()) {
        return;
    }
    const passwd* pw = ::getpwnam(user.c_str());
    if (pw == nullptr) {
        throw std::runtime_error("OS user '" + user + "' does not exist; run scripts/setup.sh");
    }
    if (::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        throw std::runtime_error("chown " + path + ": " + std::strerror(errno));
    }
}

bool runsBinary(long pid, const std::string& binary) {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    if (ec) {
        return false;
    }
    fs::path expected = fs::canonical(binary, ec);
    return !ec && exe == expected;
}

// Inside a test only that test's result counts. A cluster shared by a suite is destroyed in
// TearDownTestSuite, and one held in a static after all tests: then any failure counts.
bool currentTestFailed() {
    if (::testing::Test::HasFailure()) {
        return true;
    }
    const ::testing::UnitTest* unitTest = ::testing::UnitTest::GetInstance();
    if (unitTest->current_test_info() != nullptr) {
        return false;
    }
    if (const ::testing::TestSuite* suite = unitTest->current_test_suite()) {
        return suite->Failed();
    }
    return unitTest->Failed();
}

class MajorsUsedReporter : public ::testing::Environment {
public:
    void TearDown() override {
        if (!majorsUsed().empty()) {
            printMajorsUsed();
        }
    }
};

// GoogleTest takes ownership of the environment and deletes it at exit.
const bool kMajorsUsedReporterRegistered = [] {
    ::testing::AddGlobalTestEnvironment(std::make_unique<MajorsUsedReporter>().release());
    return true;
}();

} // namespace

std::set<int> majorsUsed() {
    std::lock_guard<std::mutex> lock(registryMutex());
    return majorsUsedSet();
}

void printMajorsUsed() {
    std::ostringstream line;
    line << "PostgreSQL majors used:";
    for (int major : majorsUsed()) {
        line << ' ' << major;
    }
    std::cout << line.str() << std::endl;
}

PgCluster::PgCluster(int major, Options options)
    : major_(major), options_(std::move(options)),
      uncaughtAtConstruction_(std::uncaught_exceptions()) {
    (void)kMajorsUsedReporterRegistered;
    if (!PgInstall::available(major_)) {
        throw std::runtime_error("PostgreSQL " + std::to_string(major_) +
                                 " is not installed (expected in " + binDir() +
                                 "); run scripts/setup.sh");
    }
    if (options_.walSegSizeMb != 0 && options_.walSegSizeMb != 16 && major_ < 11) {
        throw std::invalid_argument("PostgreSQL " + std::to_string(major_) +
                                    " fixes the WAL segment size at build time (16 MB)");
    }
    createTree();
    try {
        port_ = pickFreePort(socketDir_);
    } catch (...) {
        removeTree();
        throw;
    }
}

PgCluster::~PgCluster() {
    stopForTeardown();
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        reservedPorts().erase(port_);
    }
    try {
        bool failed = currentTestFailed() || std::uncaught_exceptions() > uncaughtAtConstruction_;
        if (failed) {
            std::cerr << "===== server log of test cluster '" << options_.name << "' (PostgreSQL "
                      << major_ << ", " << logFile_ << ") =====\n"
                      << tail(serverLog(), 64 * 1024)
                      << "===== end of server log =====" << std::endl;
        }
        if (envFlagSet("PGULO_KEEP_TEST_CLUSTERS")) {
            std::cerr << "keeping test cluster '" << options_.name << "' at " << baseDir_
                      << std::endl;
            return;
        }
    } catch (...) {
        // A destructor must not throw; the tree is still removed below.
    }
    removeTree();
}

void PgCluster::createTree() {
    std::string pattern = "/tmp/pgulo-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    baseDir_ = pattern;
    dataDir_ = baseDir_ + "/data";
    socketDir_ = baseDir_ + "/socket";
    archiveDir_ = baseDir_ + "/archive";
    logFile_ = baseDir_ + "/server.log";
    try {
        const std::string user = serverOsUser();
        // Owned by the server user, yet readable by the (root) test code that checks results.
        if (::chmod(baseDir_.c_str(), 0755) != 0) {
            throw std::runtime_error("chmod " + baseDir_ + ": " + std::strerror(errno));
        }
        chownToUser(baseDir_, user);
        for (const std::string& dir : {socketDir_, archiveDir_}) {
            if (::mkdir(dir.c_str(), 0755) != 0) {
                throw std::runtime_error("mkdir " + dir + ": " + std::strerror(errno));
            }
            chownToUser(dir, user);
        }
        {
            std::ofstream log(logFile_);
            if (!log) {
                throw std::runtime_error("cannot create " + logFile_);
            }
        }
        ::chmod(logFile_.c_str(), 0644);
        chownToUser(logFile_, user);
    } catch (...) {
        removeTree();
        throw;
    }
}

ProcessResult PgCluster::runAsPostgres(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds timeout) const {
    ProcessOptions options;
    options.asUser = serverOsUser();
    // The caller's cwd may be unreadable for postgres, which makes initdb and pg_ctl fail.
    options.cwd = baseDir_;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    options.timeout = timeout;
    return runCommand(argv, options);
}

void PgCluster::init() {
    if (initialized_) {
        throw std::logic_error("PgCluster::init called twice");
    }
    std::vector<std::string> argv = {binDir() + "/initdb", "-D", dataDir_, "-E", "UTF8",
                                     "--locale=C", "-U", kSuperuser, "--auth=trust",
                                     // Skips only initdb's final flush of the fresh files; the
                                     // server itself keeps fsync on.
                                     "--no-sync"};
    if (options_.walSegSizeMb != 0) {
        argv.push_back("--wal-segsize=" + std::to_string(options_.walSegSizeMb));
    }
    ProcessResult r = runAsPostgres(argv);
    if (!r.ok()) {
        throw std::runtime_error("initdb failed (exit " + std::to_string(r.exitCode) +
                                 "): " + describeCommand(argv) + "\n" + r.out + r.err);
    }

    std::vector<std::string> conf = {
        "",
        "# pgulo test cluster settings",
        "listen_addresses = ''",
        "unix_socket_directories = " + confQuote(socketDir_),
        "port = " + std::to_string(port_),
        "cluster_name = " + confQuote(options_.name),
        "wal_level = replica",
        "max_wal_senders = 4",
        "synchronous_commit = off",
        "lc_messages = 'C'",
    };
    if (options_.archiving) {
        conf.push_back("archive_mode = on");
        // PostgreSQL hands this to /bin/sh, hence shell quoting inside the conf literal.
        conf.push_back("archive_command = " +
                       confQuote("cp %p " + shellQuote(archiveDir_) + "/%f"));
    } else {
        conf.push_back("archive_mode = off");
    }
    for (const auto& line : options_.extraConf) {
        conf.push_back(line);
    }
    std::ofstream out(dataDir_ + "/postgresql.conf", std::ios::app);
    for (const auto& line : conf) {
        out << line << '\n';
    }
    out.close();
    if (!out) {
        throw std::runtime_error("cannot append to " + dataDir_ + "/postgresql.conf");
    }
    initialized_ = true;
}

void PgCluster::appendConf(const std::string& line) {
    if (!initialized_) {
        options_.extraConf.push_back(line);
        return;
    }
    std::ofstream out(dataDir_ + "/postgresql.conf", std::ios::app);
    out << line << '\n';
    out.close();
    if (!out) {
        throw std::runtime_error("cannot append to " + dataDir_ + "/postgresql.conf");
    }
}

void PgCluster::start() {
    if (!initialized_) {
        init();
    }
    std::vector<std::string> argv = {
        binDir() + "/pg_ctl", "-D", dataDir_, "-l", logFile_, "-w", "-t", "120", "start"};
    ProcessResult r = runAsPostgres(argv);
    if (!r.ok()) {
        throw std::runtime_error("pg_ctl start failed (exit " + std::to_string(r.exitCode) +
                                 ") for cluster '" + options_.name + "': " + r.out + r.err +
                                 "\nserver log:\n" + tail(serverLog(), 8192));
    }
    waitReady();
    std::lock_guard<std::mutex> lock(registryMutex());
    majorsUsedSet().insert(major_);
}

void PgCluster::stop(const std::string& mode) {
    std::vector<std::string> argv = {
        binDir() + "/pg_ctl", "-D", dataDir_, "-m", mode, "-w", "-t", "120", "stop"};
    ProcessResult r = runAsPostgres(argv);
    if (!r.ok()) {
        throw std::runtime_error("pg_ctl stop -m " + mode + " failed (exit " +
                                 std::to_string(r.exitCode) + ") for cluster '" + options_.name +
                                 "': " + r.out + r.err);
    }
}

void PgCluster::restart() {
    stop();
    start();
}

void PgCluster::reload() {
    ProcessResult r = runAsPostgres({binDir() + "/pg_ctl", "-D", dataDir_, "reload"});
    if (!r.ok()) {
        throw std::runtime_error("pg_ctl reload failed for cluster '" + options_.name +
                                 "': " + r.out + r.err);
    }
}

bool PgCluster::isRunning() const {
    if (!initialized_) {
        return false;
    }
    // Exit 0: running; 3: not running; 4: no data directory.
    return runAsPostgres({binDir() + "/pg_ctl", "-D", dataDir_, "status"}, std::chrono::seconds(30))
               .exitCode == 0;
}

void PgCluster::waitReady(std::chrono::seconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> argv = {PgInstall::clientTool("pg_isready"),
                                     "-q",
                                     "-h",
                                     socketDir_,
                                     "-p",
                                     std::to_string(port_),
                                     "-U",
                                     kSuperuser,
                                     "-d",
                                     "postgres",
                                     "-t",
                                     "5"};
    ProcessOptions options;
    options.timeout = std::chrono::seconds(30);
    while (true) {
        if (runCommand(argv, options).ok()) {
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("cluster '" + options_.name + "' not ready after " +
                                     std::to_string(timeout.count()) + " s\nserver log:\n" +
                                     tail(serverLog(), 8192));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<std::string> PgCluster::psqlArgv(const std::string& sql, const std::string& db) const {
    return {PgInstall::clientTool("psql"),
            "-X",
            "-A",
            "-t",
            "-q",
            "-v",
            "ON_ERROR_STOP=1",
            "-h",
            socketDir_,
            "-p",
            std::to_string(port_),
            "-U",
            kSuperuser,
            "-d",
            db,
            "-c",
            sql};
}

ProcessResult PgCluster::tryPsql(const std::string& sql, const std::string& db) const {
    ProcessOptions options;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    options.timeout = std::chrono::minutes(5);
    return runCommand(psqlArgv(sql, db), options);
}

std::string PgCluster::psql(const std::string& sql, const std::string& db) const {
    ProcessResult r = tryPsql(sql, db);
    if (!r.ok()) {
        throw std::runtime_error("psql failed (exit " + std::to_string(r.exitCode) +
                                 (r.timedOut ? ", timed out" : "") + ") on cluster '" +
                                 options_.name + "': " + describeCommand(psqlArgv(sql, db)) + "\n" +
                                 r.err);
    }
    return trim(r.out);
}

std::string PgCluster::switchWal() const {
    if (major_ >= 10) {
        return psql("SELECT pg_walfile_name(pg_switch_wal())");
    }
    return psql("SELECT pg_xlogfile_name(pg_switch_xlog())");
}

std::string PgCluster::connInfo(const std::string& db) const {
    return "host=" + connValueQuote(socketDir_) + " port=" + std::to_string(port_) +
           " user=" + kSuperuser + " dbname=" + connValueQuote(db);
}

std::string PgCluster::serverLog() const {
    return readFile(logFile_);
}

void PgCluster::stopForTeardown() noexcept {
    if (!initialized_) {
        return;
    }
    const std::string pidFile = dataDir_ + "/postmaster.pid";
    std::error_code ec;
    if (!fs::exists(pidFile, ec)) {
        return;
    }
    try {
        for (const char* mode : {"fast", "immediate"}) {
            ProcessResult r = runAsPostgres(
                {binDir() + "/pg_ctl", "-D", dataDir_, "-m", mode, "-w", "-t", "60", "stop"},
                std::chrono::seconds(90));
            if (r.ok() || !fs::exists(pidFile, ec)) {
                return;
            }
            std::cerr << "pg_ctl stop -m " << mode << " failed for test cluster '" << options_.name
                      << "': " << r.out << r.err << std::endl;
        }
    } catch (const std::exception& e) {
        std::cerr << "stopping test cluster '" << options_.name << "': " << e.what() << std::endl;
    }
    // Last resort, so that no server outlives the test binary and holds the tree. The pid file
    // may be stale and its pid reused, so only a process running our postgres binary is killed.
    std::istringstream pidText(readFile(pidFile));
    long pid = 0;
    if (pidText >> pid && pid > 0 && runsBinary(pid, binDir() + "/postgres")) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        for (int i = 0; i < 100 && isProcessAlive(pid); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

void PgCluster::removeTree() noexcept {
    if (baseDir_.empty()) {
        return;
    }
    std::error_code ec;
    fs::remove_all(baseDir_, ec);
    if (ec) {
        std::cerr << "could not remove test cluster tree " << baseDir_ << ": " << ec.message()
                  << std::endl;
    }
}

} // namespace pgulo::test
