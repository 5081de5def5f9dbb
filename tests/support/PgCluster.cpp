#include "PgCluster.h"

#include "FreePort.h"
#include "TestFiles.h"

#include "pgulo/PGCommon.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>


#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace pgulo::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSuperuser = "postgres";

// Never destroyed: a cluster held in a static may be destroyed after function-local statics
// created later, and its destructor still needs these.
struct Registry {
    std::mutex mutex;
    std::set<int> majorsUsed;
    // Ports handed out in this process but perhaps not yet bound by their server.
    std::set<int> reservedPorts;
};
Registry& registry() {
    static Registry* const instance = std::make_unique<Registry>().release();
    return *instance;
}

std::map<std::string, std::unique_ptr<PgCluster>>& sharedClusters() {
    static std::map<std::string, std::unique_ptr<PgCluster>> clusters;
    return clusters;
}

// Servers refuse to run as root; as anyone else we simply run them as ourselves.
std::string serverOsUser() {
    return ::geteuid() == 0 ? std::string("postgres") : std::string();
}

bool envFlagSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' && std::string(value) != "0";
}

std::string tail(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    const size_t cut = text.size() - maxBytes;
    return "[... " + std::to_string(cut) + " bytes omitted ...]\n" + text.substr(cut);
}

// A quoted literal whose quote and backslash characters are escaped: for postgresql.conf
// (quote doubled, backslash an escape) and for libpq connection values (both escaped).
std::string quoteWith(const std::string& value, const std::string& quoteEscape) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += quoteEscape;
        else if (c == '\\')
            quoted += "\\\\";
        else
            quoted += c;
    }
    return quoted + "'";
}

// An ephemeral port from the kernel, also checked against sockets that a server elsewhere on
// the machine might already have for it: the number names the socket file even without TCP.
int pickFreePort(const std::string& ownSocketDir) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = ::FreePort(); // the kernel's, not this namespace's checked one
        const std::string socketName = "/.s.PGSQL." + std::to_string(port);
        bool taken = false;
        for (const std::string& dir :
             {ownSocketDir, std::string("/tmp"), std::string("/var/run/postgresql")}) {
            std::error_code ec;
            taken = taken || fs::exists(dir + socketName, ec) ||
                    fs::exists(dir + socketName + ".lock", ec);
        }
        std::lock_guard<std::mutex> lock(registry().mutex);
        if (!taken && registry().reservedPorts.insert(port).second)
            return port;
    }
    throw std::runtime_error("could not find a free port for a test server");
}

void chownToUser(const std::string& path, const std::string& user) {
    if (user.empty())
        return;
    const passwd* pw = ::getpwnam(user.c_str());
    if (pw == nullptr)
        throw std::runtime_error("OS user '" + user + "' does not exist; run scripts/setup.sh");
    if (::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0)
        throw std::runtime_error("chown " + path + ": " + std::strerror(errno));
}

bool runsBinary(long pid, const std::string& binary) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    const fs::path expected = ec ? fs::path() : fs::canonical(binary, ec);
    return !ec && exe == expected;
}

// Inside a test only that test's result counts. A cluster shared by a suite is destroyed in
// TearDownTestSuite, and one held in a static after all tests: then any failure counts.
bool currentTestFailed() {
    if (::testing::Test::HasFailure())
        return true;
    const ::testing::UnitTest* unitTest = ::testing::UnitTest::GetInstance();
    if (unitTest->current_test_info() != nullptr)
        return false;
    if (const ::testing::TestSuite* suite = unitTest->current_test_suite())
        return suite->Failed();
    return unitTest->Failed();
}

// Stops the shared clusters after the last test and prints the majors used.
class ProgramEnd : public ::testing::Environment {
public:
    void TearDown() override {
        sharedClusters().clear();
        const std::set<int> majors = majorsUsed();
        if (majors.empty())
            return;
        std::ostringstream line;
        line << "PostgreSQL majors used:";
        for (int major : majors)
            line << ' ' << major;
        std::cout << line.str() << std::endl;
    }
};

// GoogleTest takes ownership of the environment and deletes it at exit.
const bool kProgramEndRegistered = [] {
    ::testing::AddGlobalTestEnvironment(std::make_unique<ProgramEnd>().release());
    return true;
}();

ProcessResult runPgCtl(const std::string& binDir, const std::vector<std::string>& args,
                       const std::string& cwd,
                       std::chrono::milliseconds timeout = std::chrono::minutes(3)) {
    std::vector<std::string> argv = {binDir + "/pg_ctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.asUser = serverOsUser();
    // The caller's cwd may be unreadable for postgres, which makes initdb and pg_ctl fail.
    options.cwd = cwd;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    options.timeout = timeout;
    return runCommand(argv, options);
}

std::vector<std::string> psqlArgv(const std::string& socketDir, int port, const std::string& sql,
                                  const std::string& db) {
    // clang-format off
    return {PgInstall::clientTool("psql"), "-X", "-A", "-t", "-q", "-v", "ON_ERROR_STOP=1",
            "-h", socketDir,
            "-p", std::to_string(port),
            "-U", kSuperuser,
            "-d", db,
            "-c", sql};
    // clang-format on
}

ProcessResult runPsql(const std::string& socketDir, int port, const std::string& sql,
                      const std::string& db) {
    ProcessOptions options;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    return runCommand(psqlArgv(socketDir, port, sql, db), options);
}

} // namespace

std::set<int> majorsUsed() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().majorsUsed;
}

PgCluster& SharedCluster(int major, const PgClusterOptions& options) {
    std::unique_ptr<PgCluster>& slot = sharedClusters()[std::to_string(major) + "/" + options.name];
    if (!slot) {
        auto cluster = std::make_unique<PgCluster>(major, options);
        cluster->start();
        slot = std::move(cluster);
    }
    return *slot;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
}

void ChownToPostgres(const std::string& path) {
    const ProcessResult r = runCommand({"chown", "-R", "postgres:postgres", path});
    if (!r.ok())
        throw std::runtime_error("chown " + path + " failed: " + r.err);
}

int FreePort() {
    return pickFreePort("");
}

PgCluster::PgCluster(int major, Options options)
    : major_(major), options_(std::move(options)),
      uncaughtAtConstruction_(std::uncaught_exceptions()) {
    (void)kProgramEndRegistered;
    if (!PgInstall::available(major_))
        throw std::runtime_error("PostgreSQL " + std::to_string(major_) +
                                 " is not installed (expected in " + binDir() +
                                 "); run scripts/setup.sh");
    if (options_.walSegSizeMb != 0 && options_.walSegSizeMb != 16 && major_ < 11)
        throw std::invalid_argument("PostgreSQL " + std::to_string(major_) +
                                    " fixes the WAL segment size at build time (16 MB)");
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
        std::lock_guard<std::mutex> lock(registry().mutex);
        registry().reservedPorts.erase(port_);
    }
    try {
        if (currentTestFailed() || std::uncaught_exceptions() > uncaughtAtConstruction_)
            std::cerr << "===== server log of test cluster '" << options_.name << "' (PostgreSQL "
                      << major_ << ", " << logFile_ << ") =====\n"
                      << tail(serverLog(), 64 * 1024) << "===== end of server log =====\n";
        if (envFlagSet("PGULO_KEEP_TEST_CLUSTERS")) {
            std::cerr << "keeping test cluster '" << options_.name << "' at " << baseDir_ << "\n";
            return;
        }
    } catch (...) {
        // A destructor must not throw; the tree is still removed below.
    }
    removeTree();
}

void PgCluster::createTree() {
    std::string pattern = "/tmp/pgulo-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    baseDir_ = pattern;
    dataDir_ = baseDir_ + "/data";
    socketDir_ = baseDir_ + "/socket";
    archiveDir_ = baseDir_ + "/archive";
    logFile_ = baseDir_ + "/server.log";
    try {
        const std::string user = serverOsUser();
        // Owned by the server user, yet readable by the (root) test code that checks results.
        ::chmod(baseDir_.c_str(), 0755);
        fs::create_directory(socketDir_);
        fs::create_directory(archiveDir_);
        TestFiles::Write(logFile_, "");
        for (const std::string& path : {baseDir_, socketDir_, archiveDir_, logFile_})
            chownToUser(path, user);
    } catch (...) {
        removeTree();
        throw;
    }
}

ProcessResult PgCluster::runAsPostgres(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds timeout) const {
    ProcessOptions options;
    options.asUser = serverOsUser();
    options.cwd = baseDir_;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C"}};
    options.timeout = timeout;
    return runCommand(argv, options);
}

void PgCluster::init() {
    if (initialized_)
        throw std::logic_error("PgCluster::init called twice");
    // --no-sync skips only initdb's final flush of the fresh files; the server keeps fsync on.
    std::vector<std::string> argv = {
        binDir() + "/initdb", "-D", dataDir_,   "-E",           "UTF8",
        "--locale=C",         "-U", kSuperuser, "--auth=trust", "--no-sync"};
    if (options_.walSegSizeMb != 0)
        argv.push_back("--wal-segsize=" + std::to_string(options_.walSegSizeMb));
    const ProcessResult r = runAsPostgres(argv);
    if (!r.ok())
        throw std::runtime_error("initdb failed (exit " + std::to_string(r.exitCode) +
                                 "): " + describeCommand(argv) + "\n" + r.out + r.err);
    std::string conf = "\n# pgulo test cluster settings\nlisten_addresses = ''\n"
                       "unix_socket_directories = " +
                       quoteWith(socketDir_, "''") + "\nport = " + std::to_string(port_) +
                       "\ncluster_name = " + quoteWith(options_.name, "''") +
                       "\nwal_level = replica\nmax_wal_senders = 4\nsynchronous_commit = off\n"
                       "lc_messages = 'C'\n";
    // PostgreSQL hands archive_command to /bin/sh, hence shell quoting inside the literal.
    conf += options_.archiving
                ? "archive_mode = on\narchive_command = " +
                      quoteWith("cp %p " + PGCommon::ShellQuote(archiveDir_) + "/%f", "''") + "\n"
                : "archive_mode = off\n";
    for (const auto& line : options_.extraConf)
        conf += line + "\n";
    const std::string confFile = dataDir_ + "/postgresql.conf";
    TestFiles::Write(confFile, TestFiles::Read(confFile) + conf);
    initialized_ = true;
}

void PgCluster::appendConf(const std::string& line) {
    if (!initialized_) {
        options_.extraConf.push_back(line);
        return;
    }
    const std::string confFile = dataDir_ + "/postgresql.conf";
    TestFiles::Write(confFile, TestFiles::Read(confFile) + line + "\n");
}

void PgCluster::start() {
    if (!initialized_)
        init();
    const ProcessResult r =
        runPgCtl(binDir(), {"-D", dataDir_, "-l", logFile_, "-w", "-t", "120", "start"}, baseDir_);
    if (!r.ok())
        throw std::runtime_error("pg_ctl start failed (exit " + std::to_string(r.exitCode) +
                                 ") for cluster '" + options_.name + "': " + r.out + r.err +
                                 "\nserver log:\n" + tail(serverLog(), 8192));
    waitReady();
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().majorsUsed.insert(major_);
}

void PgCluster::stop(const std::string& mode) {
    const ProcessResult r =
        runPgCtl(binDir(), {"-D", dataDir_, "-m", mode, "-w", "-t", "120", "stop"}, baseDir_);
    if (!r.ok())
        throw std::runtime_error("pg_ctl stop -m " + mode + " failed (exit " +
                                 std::to_string(r.exitCode) + ") for cluster '" + options_.name +
                                 "': " + r.out + r.err);
}

void PgCluster::restart() {
    stop();
    start();
}

void PgCluster::reload() {
    const ProcessResult r = runPgCtl(binDir(), {"-D", dataDir_, "reload"}, baseDir_);
    if (!r.ok())
        throw std::runtime_error("pg_ctl reload failed for cluster '" + options_.name +
                                 "': " + r.out + r.err);
}

bool PgCluster::isRunning() const {
    // Exit 0: running; 3: not running; 4: no data directory.
    return initialized_ &&
           runPgCtl(binDir(), {"-D", dataDir_, "status"}, baseDir_, std::chrono::seconds(30))
                   .exitCode == 0;
}

void PgCluster::waitReady(std::chrono::seconds timeout) const {
    // clang-format off
    const std::vector<std::string> argv = {PgInstall::clientTool("pg_isready"), "-q",
                                           "-h", socketDir_,
                                           "-p", std::to_string(port_),
                                           "-U", kSuperuser,
                                           "-d", "postgres",
                                           "-t", "5"};
    // clang-format on
    ProcessOptions options;
    options.timeout = std::chrono::seconds(30);
    if (!WaitFor([&] { return runCommand(argv, options).ok(); }, timeout))
        throw std::runtime_error("cluster '" + options_.name + "' not ready after " +
                                 std::to_string(timeout.count()) + " s\nserver log:\n" +
                                 tail(serverLog(), 8192));
}

ProcessResult PgCluster::tryPsql(const std::string& sql, const std::string& db) const {
    return runPsql(socketDir_, port_, sql, db);
}

std::string PgCluster::psql(const std::string& sql, const std::string& db) const {
    const ProcessResult r = tryPsql(sql, db);
    if (!r.ok())
        throw std::runtime_error(
            "psql failed (exit " + std::to_string(r.exitCode) + (r.timedOut ? ", timed out" : "") +
            ") on cluster '" + options_.name +
            "': " + describeCommand(psqlArgv(socketDir_, port_, sql, db)) + "\n" + r.err);
    return trim(r.out);
}

std::string PgCluster::switchWal() const {
    return psql("SELECT pg_walfile_name(pg_switch_wal())");
}

std::string PgCluster::connInfo(const std::string& db) const {
    return "host=" + quoteWith(socketDir_, "\\'") + " port=" + std::to_string(port_) +
           " user=" + kSuperuser + " dbname=" + quoteWith(db, "\\'");
}

std::string PgCluster::serverLog() const {
    return TestFiles::Read(logFile_);
}

void PgCluster::stopForTeardown() noexcept {
    const std::string pidFile = dataDir_ + "/postmaster.pid";
    std::error_code ec;
    if (!initialized_ || !fs::exists(pidFile, ec))
        return;
    try {
        for (const char* mode : {"fast", "immediate"}) {
            const ProcessResult r =
                runPgCtl(binDir(), {"-D", dataDir_, "-m", mode, "-w", "-t", "60", "stop"}, baseDir_,
                         std::chrono::seconds(90));
            if (r.ok() || !fs::exists(pidFile, ec))
                return;
            std::cerr << "pg_ctl stop -m " << mode << " failed for test cluster '" << options_.name
                      << "': " << r.out << r.err << std::endl;
        }
    } catch (const std::exception& e) {
        std::cerr << "stopping test cluster '" << options_.name << "': " << e.what() << std::endl;
    }
    // Last resort, so that no server outlives the test binary and holds the tree. The pid file
    // may be stale and its pid reused, so only a process running our postgres binary is killed.
    std::istringstream pidText(TestFiles::Read(pidFile));
    long pid = 0;
    if (pidText >> pid && pid > 0 && runsBinary(pid, binDir() + "/postgres")) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        for (int i = 0; i < 100 && isProcessAlive(pid); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void PgCluster::removeTree() noexcept {
    std::error_code ec;
    if (!baseDir_.empty())
        fs::remove_all(baseDir_, ec);
    if (ec)
        std::cerr << "could not remove test cluster tree " << baseDir_ << ": " << ec.message()
                  << std::endl;
}

ServerCopy::ServerCopy(const PgCluster& cluster, std::string dataDir, const std::string& root)
    : binDir_(cluster.binDir()), dataDir_(std::move(dataDir)), socketDir_(root + "/socket"),
      logFile_(root + "/server.log"), port_(FreePort()) {
    fs::create_directories(socketDir_);
    TestFiles::Write(logFile_, "");
    for (const std::string& path : {socketDir_, logFile_})
        chownToUser(path, serverOsUser());
}

ServerCopy::~ServerCopy() {
    if (started_)
        runPgCtl(binDir_, {"-D", dataDir_, "-m", "immediate", "-w", "stop"}, "/");
}

ProcessResult ServerCopy::Start(const std::string& options) {
    started_ = true;
    return runPgCtl(
        binDir_,
        {"-D", dataDir_, "-l", logFile_, "-w", "-t", "120", "-o",
         "-p " + std::to_string(port_) + " -k " + socketDir_ + " -c archive_mode=off " + options,
         "start"},
        "/");
}

ProcessResult ServerCopy::Psql(const std::string& sql) const {
    return runPsql(socketDir_, port_, sql, "postgres");
}

std::string ServerCopy::Query(const std::string& sql) const {
    const ProcessResult r = Psql(sql);
    return r.ok() ? trim(r.out) : "error: " + r.err;
}

std::string ServerCopy::Log() const {
    return TestFiles::Read(logFile_);
}

} // namespace pgulo::test
