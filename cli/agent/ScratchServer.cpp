#include "ScratchServer.h"

#include "CliError.h"
#include "ClientPrograms.h"
#include "FileOps.h"
#include "FreePort.h"
#include "HumanFormat.h"
#include "InstanceRegistry.h"
#include "PhysicalRestore.h"
#include "ServerControl.h"
#include "ServerInfo.h"
#include "Subprocess.h"
#include "TimeText.h"

#include "pgulo/host/HostHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// The server runs as its own user and must pass through the directories above its copy.
// Search alone lets it do that without listing them; every file the home holds is its
// owner's only (0600) and every directory in it 0700, so nothing more becomes readable.
void OpenForSearch(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw CliError("cannot read the directory " + path + ": " + FileOps::ErrnoText(errno));
    if ((st.st_mode & S_IXOTH) != 0)
        return;
    if (::chmod(path.c_str(), (st.st_mode & 07777) | S_IXOTH) != 0)
        throw CliError("cannot let the server's user pass through " + path + ": " +
                       FileOps::ErrnoText(errno));
}

void MakeOwnDirectory(const std::string& path, const std::string& osUser) {
    FileOps::MakeDirectories(path, 0700);
    const long uid = FileOps::UidOf(osUser);
    if (uid >= 0 && ::chown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(-1)) != 0)
        throw CliError("cannot give " + path + " to " + osUser + ": " + FileOps::ErrnoText(errno));
}

} // namespace

ScratchServer::ScratchServer(HostContext& host, Options options) : options_(std::move(options)) {
    try {
        MakeDirectory();
        RestoreAndStart(host);
    } catch (...) {
        Remove();
        throw;
    }
}

ScratchServer::~ScratchServer() {
    Remove();
}

void ScratchServer::Say(const std::string& line) const {
    if (options_.quiet)
        return;
    std::printf("scratch: %s\n", line.c_str());
    std::fflush(stdout);
}

void ScratchServer::StopIfAsked(const std::string& step) {
    if (SignalGuard::QuitRequested())
        throw CliError("interrupted " + step + "; the scratch copy is removed");
}

void ScratchServer::MakeDirectory() {
    std::string parent = options_.scratchParent;
    if (parent.empty()) {
        OpenForSearch(HostHome::root());
        parent = HostHome::root() + "/scratch";
    }
    parent = FileOps::Absolute(parent);
    FileOps::MakeDirectories(parent, 0711);
    OpenForSearch(parent);
    const std::string stem = parent + "/" + options_.instance + "-" +
                             std::to_string(TimeText::NowMicros()) + "-" +
                             std::to_string(::getpid());
    // Never reuse a directory: whatever is in it is not ours to remove.
    if (::mkdir(stem.c_str(), 0711) != 0)
        throw CliError("cannot create the scratch directory " + stem + ": " +
                       FileOps::ErrnoText(errno));
    directory_ = stem;
    OpenForSearch(directory_);
    dataDir_ = directory_ + "/data";
    socketDir_ = directory_ + "/socket";
}

void ScratchServer::RestoreAndStart(HostContext& host) {
    port_ = FreePort();
    PhysicalRestore::Options o;
    o.instance = options_.instance;
    o.targetTime = options_.targetTime;
    o.pgdata = dataDir_;
    o.walDir = directory_ + "/wal";
    o.logFile = directory_ + "/server.log";
    o.port = std::to_string(port_);
    o.socketDir = socketDir_;
    o.start = true;
    o.quiet = true;
    o.jobs = options_.jobs;
    o.waitSeconds = options_.waitSeconds;
    // Reached on the loopback address only, whatever the instance listens on.
    o.serverSettings = {"listen_addresses=127.0.0.1"};
    o.serverSettings.insert(o.serverSettings.end(), options_.serverSettings.begin(),
                            options_.serverSettings.end());
    Say("restoring instance '" + options_.instance + "' as of " +
             (options_.targetTime.empty() ? "the end of the backed-up WAL" : options_.targetTime) +
             " into " + directory_);
    PhysicalRestore restore(host, o);
    const PhysicalRestore::Outcome restored = restore.Restore();
    binDir_ = restore.Settings().binDir;
    libDir_ = restore.Settings().libDir;
    osUser_ = restore.OsUser();
    const AgentConnection connection = InstanceRegistry::Connection(restore.Settings());
    user_ = connection.user;
    password_ = connection.password;
    Say("restored backup " + restored.fullId + " and " +
             std::to_string(restored.logIds.size()) + " log backup(s), " +
             HumanFormat::Bytes(restored.bytes) + ", " + std::to_string(restored.walFiles) +
             " WAL files");
    StopIfAsked("after restoring the files");
    MakeOwnDirectory(socketDir_, osUser_);
    Say("starting the server on port " + std::to_string(port_) + " (socket " + socketDir_ +
             ")");
    // From here on the copy may run: it is stopped before it is removed.
    started_ = true;
    const PhysicalRestore::Outcome up = restore.Start();
    StopIfAsked("while the server started");
    version_ = ServerInfo::Query(Connection()).version;
    Say("ready: recovery done, last replayed transaction " +
             (up.replayedUpTo.empty() ? std::string("(none)") : up.replayedUpTo) +
             ", timeline " + (up.timeline.empty() ? std::string("?") : up.timeline));
}

AgentConnection ScratchServer::Connection() const {
    AgentConnection connection;
    connection.binDir = binDir_;
    connection.libDir = libDir_;
    connection.hostAddr = socketDir_;
    connection.port = std::to_string(port_);
    connection.user = user_;
    connection.password = password_;
    connection.version = version_;
    connection.unixUser = osUser_;
    return connection;
}

void ScratchServer::DumpDatabase(const std::string& database, const std::string& pgDumpPath,
                                 const std::string& outFile,
                                 const std::vector<std::string>& extraArgs) const {
    std::vector<std::string> args = {"-Fc", "-Z0", "-f", outFile};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    args.push_back(ClientPrograms::DbnameArg(database));
    Say("dumping database '" + database + "' into " + outFile);
    const Subprocess::Result r = ClientPrograms::Run(pgDumpPath, Connection(), args);
    if (r.ok() && !SignalGuard::QuitRequested())
        return;
    if (::unlink(outFile.c_str()) != 0 && errno != ENOENT)
        std::fprintf(stderr, "pgulo: cannot remove the partial dump %s: %s\n", outFile.c_str(),
                     FileOps::ErrnoText(errno).c_str());
    StopIfAsked("while dumping database '" + database + "'");
    throw CliError("pg_dump of database '" + database + "' from the scratch server failed: " +
                   r.Message());
}

void ScratchServer::Remove() noexcept {
    if (directory_.empty())
        return;
    try {
        if (started_) {
            ServerControl server(binDir_, dataDir_, osUser_);
            if (server.Running())
                server.Stop("fast");
        }
        FileOps::RemoveTree(directory_);
        Say("stopped and removed " + directory_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pgulo: the scratch copy %s was not removed: %s\n",
                     directory_.c_str(), e.what());
    }
    directory_.clear();
}
