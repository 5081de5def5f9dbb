#include "DemoCommand.h"

#include "BackupCommand.h"
#include "CliError.h"
#include "FileOps.h"
#include "FreePort.h"
#include "HostContext.h"
#include "HumanFormat.h"
#include "InstanceCommand.h"
#include "InstanceRegistry.h"
#include "RestoreCommand.h"
#include "ServerControl.h"
#include "ServerInfo.h"
#include "SignalGuard.h"
#include "Subprocess.h"
#include "TimeText.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

const char* const kDebianBin = "/usr/lib/postgresql/15/bin";
const char* const kDebianLib = "/usr/lib/x86_64-linux-gnu";
const char* const kServerUser = "postgres";

void GiveToServerUser(const std::string& path) {
    const long uid = FileOps::UidOf(kServerUser);
    const long gid = FileOps::GidOf(kServerUser);
    if (uid < 0 || ::chown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0)
        throw CliError(std::string("cannot give ") + path + " to OS user " + kServerUser);
}

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

DemoCommand::DemoCommand(Options options) : options_(options) {}

DemoCommand::~DemoCommand() {
    Cleanup();
}

void DemoCommand::Step(const std::string& text) const {
    std::printf("== %s\n", text.c_str());
    std::fflush(stdout);
}

void DemoCommand::FindInstallation() {
    if (options_.major == 15) {
        binDir_ = kDebianBin;
        libDir_ = kDebianLib;
    } else {
        const std::string base =
            "/var/cache/pgulo/pg/" + std::to_string(options_.major) + "/pkg/native";
        binDir_ = base + "/bin";
        libDir_ = base + "/lib";
    }
    if (!FileOps::Exists(binDir_ + "/postgres") || !FileOps::Exists(binDir_ + "/initdb"))
        throw CliError("PostgreSQL " + std::to_string(options_.major) + " is not installed in " +
                       binDir_ + " (scripts/setup.sh installs it)");
    if (!FileOps::Exists(std::string(kDebianBin) + "/pgbench"))
        throw CliError(std::string("pgbench is missing from ") + kDebianBin);
    if (FileOps::UidOf(kServerUser) < 0)
        throw CliError(std::string("OS user ") + kServerUser + " does not exist");
}

void DemoCommand::MakeWorkspace() {
    std::string pattern = "/tmp/pgulo-demo-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw CliError("cannot create a directory under /tmp");
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);
    // Everything of the host goes into the demo's own home, never into the real one.
    ::setenv("PGULO_HOME", (root_ + "/home").c_str(), 1);
    dataDir_ = root_ + "/data";
    archiveDir_ = root_ + "/archive";
    socketDir_ = root_ + "/socket";
    restoredDir_ = root_ + "/restored";
    for (const std::string& dir : {archiveDir_, socketDir_, restoredDir_}) {
        FileOps::MakeDirectories(dir, 0700);
        GiveToServerUser(dir);
    }
    GiveToServerUser(root_);
    port_ = FreePort();
    restoredPort_ = FreePort();
}

void DemoCommand::MakeCluster() {
    Subprocess::Options asServer;
    asServer.asUser = kServerUser;
    asServer.cwd = root_;
    asServer.env = {{"LC_ALL", "C"}};
    const Subprocess::Result init =
        Subprocess::Run({binDir_ + "/initdb", "-D", dataDir_, "-U", "postgres", "--auth=trust",
                         "-E", "UTF8", "--locale=C", "--no-sync"},
                        asServer);
    if (!init.ok())
        throw CliError("initdb failed: " + init.Message());
    std::string conf = "\n# pgulo demo\nlisten_addresses = ''\nunix_socket_directories = '" +
                       socketDir_ + "'\nport = " + std::to_string(port_) +
                       "\nwal_level = replica\narchive_mode = on\narchive_command = 'cp %p " +
                       archiveDir_ + "/%f'\n";
    const std::string confFile = dataDir_ + "/postgresql.conf";
    FileOps::WriteAtomically(confFile, FileOps::ReadWhole(confFile) + conf, 0600);
    GiveToServerUser(confFile);
    ServerControl(binDir_, dataDir_, kServerUser).Start(root_ + "/server.log", {}, 120);
    started_ = true;
}

std::string DemoCommand::Psql(int port, const std::string& sql) const {
    const Subprocess::Result r = Subprocess::Run(
        {std::string(kDebianBin) + "/psql", "-X", "-A", "-t", "-q", "-v", "ON_ERROR_STOP=1", "-h",
         socketDir_, "-p", std::to_string(port), "-U", "postgres", "-d", "postgres", "-c", sql});
    if (!r.ok())
        throw CliError("psql failed: " + r.Message());
    return Trim(r.out);
}

void DemoCommand::Pgbench(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {std::string(kDebianBin) + "/pgbench",
                                     "-h",
                                     socketDir_,
                                     "-p",
                                     std::to_string(port_),
                                     "-U",
                                     "postgres"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("postgres");
    const Subprocess::Result r = Subprocess::Run(argv);
    if (!r.ok())
        throw CliError("pgbench failed: " + r.Message());
}

void DemoCommand::RegisterInstance() {
    InstanceSettings s;
    s.name = "demo";
    s.pgdata = dataDir_;
    s.binDir = binDir_;
    s.libDir = libDir_;
    s.port = std::to_string(port_);
    s.user = "postgres";
    s.archiveDir = archiveDir_;
    s.socketDir = socketDir_;
    InstanceRegistry().Add(s, "");
    InstanceCommand::SetAgentOptions(s.port, {"start_backup_immediate:on"});
}

void DemoCommand::Change(const std::string& note) const {
    Pgbench({"-n", "-t", "300", "-c", "2"});
    Psql(port_, "INSERT INTO demo_notes(note) VALUES ('" + note + "')");
}

DemoCommand::Snapshot DemoCommand::Take(int port) const {
    Snapshot s;
    s.balance = Psql(port, "SELECT sum(abalance) FROM pgbench_accounts");
    s.history = Psql(port, "SELECT count(*) FROM pgbench_history");
    s.notes = Psql(port, "SELECT string_agg(note, ', ' ORDER BY id) FROM demo_notes");
    return s;
}

int DemoCommand::Run() {
    SignalGuard guard;
    FindInstallation();
    MakeWorkspace();
    Step("a PostgreSQL " + std::to_string(options_.major) + " cluster in " + root_);
    MakeCluster();
    Step("pgbench tables, scale " + std::to_string(options_.scale));
    Pgbench({"-i", "-q", "-s", std::to_string(options_.scale)});
    Psql(port_, "CREATE TABLE demo_notes(id serial PRIMARY KEY, note text)");
    RegisterInstance();
    HostContext host;

    BackupCommand::Options backup;
    backup.instance = "demo";
    backup.jobs = std::max(1u, std::thread::hardware_concurrency());
    backup.quiet = options_.quiet;
    Step("full backup");
    const Manifest full = BackupCommand(host, backup).Run();

    Step("first change");
    Change("first change");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const Snapshot noted = Take(port_);
    const std::string target = Psql(port_, "SELECT clock_timestamp()::text");
    std::printf("   noted time %s: balance %s, history %s, notes [%s]\n", target.c_str(),
                noted.balance.c_str(), noted.history.c_str(), noted.notes.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Step("second change");
    Change("second change");
    const Snapshot latest = Take(port_);
    std::printf("   now: balance %s, history %s, notes [%s]\n", latest.balance.c_str(),
                latest.history.c_str(), latest.notes.c_str());

    Step("log backup");
    backup.type = "log";
    const Manifest log = BackupCommand(host, backup).Run();

    Step("restore to " + target + " into " + restoredDir_);
    RestoreCommand::Options restore;
    restore.instance = "demo";
    restore.targetTime = target;
    restore.pgdata = restoredDir_;
    restore.start = true;
    restore.port = std::to_string(restoredPort_);
    restore.jobs = backup.jobs;
    restore.quiet = options_.quiet;
    const auto started = std::chrono::steady_clock::now();
    const RestoreCommand::Outcome outcome = RestoreCommand(host, restore).Run();
    restoredStarted_ = outcome.started;
    const double restoreSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const Snapshot restored = Take(restoredPort_);
    const bool match = restored == noted;
    std::printf("   restored: balance %s, history %s, notes [%s]: %s\n", restored.balance.c_str(),
                restored.history.c_str(), restored.notes.c_str(),
                match ? "the data of the noted time" : "DIFFERENT from the noted time");

    Step("summary");
    std::printf(
        "   full backup %s: %s in %llu files, %s, WAL %s..%s\n", full.id.c_str(),
        HumanFormat::Bytes(full.totalBytes).c_str(),
        static_cast<unsigned long long>(full.fileCount),
        HumanFormat::Duration(static_cast<double>(full.endMicros - full.startMicros) / 1e6).c_str(),
        full.startWal.c_str(), full.endWal.c_str());
    std::printf(
        "   log backup  %s: %s in %llu files, %s, WAL %s..%s\n", log.id.c_str(),
        HumanFormat::Bytes(log.totalBytes).c_str(), static_cast<unsigned long long>(log.fileCount),
        HumanFormat::Duration(static_cast<double>(log.endMicros - log.startMicros) / 1e6).c_str(),
        log.startWal.c_str(), log.endWal.c_str());
    std::printf("   restore: %s and %llu WAL files in %s, recovered to %s on timeline %s\n",
                HumanFormat::Bytes(outcome.bytes).c_str(),
                static_cast<unsigned long long>(outcome.walFiles),
                HumanFormat::Duration(restoreSeconds).c_str(), outcome.replayedUpTo.c_str(),
                outcome.timeline.c_str());
    if (options_.keep)
        std::printf("   kept: %s (PGULO_HOME=%s/home; servers on ports %d and %d)\n", root_.c_str(),
                    root_.c_str(), port_, restoredPort_);
    std::fflush(stdout);
    return match ? 0 : CliError::kFailure;
}

void DemoCommand::Cleanup() noexcept {
    if (root_.empty() || options_.keep)
        return;
    try {
        if (restoredStarted_ && ServerInfo::IsRunning(restoredDir_))
            ServerControl(binDir_, restoredDir_, kServerUser).Stop("immediate");
        if (started_ && ServerInfo::IsRunning(dataDir_))
            ServerControl(binDir_, dataDir_, kServerUser).Stop("fast");
        FileOps::RemoveTree(root_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: cleaning up %s: %s\n", root_.c_str(), e.what());
    }
}
