#pragma once

#include "HostContext.h"
#include "InstanceRegistry.h"
#include "SignalGuard.h"

#include <string>
#include <vector>

// A throwaway copy of an instance as it was at a point in time: the physical backups restored
// into a scratch directory of its own and started on a free loopback port with a private
// socket directory, readable once recovery has reached the target. The copy is stopped and
// removed when the object goes, when a step fails and on Ctrl-C, so nothing of it outlives
// the job that needed it.
class ScratchServer {
public:
    struct Options {
        std::string instance;
        // Empty: the end of the backed-up WAL.
        std::string targetTime;
        // The directory the scratch copy is made in; empty: $PGULO_HOME/scratch.
        std::string scratchParent;
        // "name=value" settings for the server's command line.
        std::vector<std::string> serverSettings;
        unsigned jobs = 1;
        bool quiet = false;
        int waitSeconds = 600;
    };

    // Restores and starts the copy; throws CliError, leaving nothing behind, when a step fails
    // or Ctrl-C asks to stop.
    ScratchServer(HostContext& host, Options options);
    ~ScratchServer();
    ScratchServer(const ScratchServer&) = delete;
    ScratchServer& operator=(const ScratchServer&) = delete;

    int Port() const { return port_; }
    const std::string& SocketDirectory() const { return socketDir_; }
    const std::string& BinDirectory() const { return binDir_; }
    const std::string& LibDirectory() const { return libDir_; }
    // The database user the instance is reached as, and the OS user the server runs as.
    const std::string& User() const { return user_; }
    const std::string& OsUser() const { return osUser_; }
    // The scratch copy's own directory (data directory, WAL, socket and log inside).
    const std::string& Directory() const { return directory_; }
    const std::string& DataDirectory() const { return dataDir_; }

    // How a client reaches the copy: its socket, port and the instance's user and password.
    AgentConnection Connection() const;

    // A custom-format dump (pg_dump -Fc, uncompressed: it lives only as long as the job) of
    // one database of the copy into outFile; extraArgs narrow it (--table=...).
    void DumpDatabase(const std::string& database, const std::string& pgDumpPath,
                      const std::string& outFile,
                      const std::vector<std::string>& extraArgs = {}) const;

private:
    void MakeDirectory();
    void RestoreAndStart(HostContext& host);
    void Say(const std::string& line) const;
    static void StopIfAsked(const std::string& step);
    void Remove() noexcept;

    SignalGuard signals_;
    Options options_;
    std::string directory_;
    std::string dataDir_;
    std::string socketDir_;
    std::string binDir_;
    std::string libDir_;
    std::string user_;
    std::string osUser_;
    std::string password_;
    std::string version_;
    int port_ = 0;
    bool started_ = false;
};
