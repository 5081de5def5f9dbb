#pragma once

#include "InstanceRegistry.h"
#include "Manifest.h"

#include <string>
#include <vector>

// What the host asks the server before a backup, through the agent's query object: the
// version and where the server keeps its files.
struct ServerFacts {
    std::string version; // server_version, such as 17.2
    std::string dataDirectory;
    std::string configFile;
    std::string hbaFile;
    std::string identFile;
    std::vector<ManifestTablespace> tablespaces;
    // Empty when the server cannot say (before 9.6): an unfinished backup is then never
    // taken up, as nothing proves it is of the same cluster and history.
    std::string systemIdentifier;
    std::string timeline; // of the latest checkpoint
};

class ServerInfo {
public:
    // Throws CliError carrying the agent's last-error text when the server cannot be asked.
    static ServerFacts Query(const AgentConnection& connection);
    // Whether a server runs on the data directory: its postmaster.pid names a live process.
    static bool IsRunning(const std::string& dataDirectory);
};
