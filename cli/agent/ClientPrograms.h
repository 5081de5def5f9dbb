#pragma once

#include "InstanceRegistry.h"
#include "Subprocess.h"

#include <string>
#include <vector>

// The client programs a dump or an object restore runs for an instance: the instance's own
// when its binary directory has them, else Debian's PostgreSQL 15 ones for servers up to 15
// (a pg_dump reads servers up to its own major, not newer ones).
struct ClientPrograms {
    static constexpr const char* kFallbackBinDir = "/usr/lib/postgresql/15/bin";
    static constexpr int kFallbackMajor = 15;

    std::string pgDump;
    std::string pgRestore;
    std::string psql;

    // Throws CliError naming the programs it needs and where it looked.
    static ClientPrograms For(const AgentConnection& connection, const std::string& serverVersion);
    static ClientPrograms For(const InstanceSettings& settings, const std::string& serverVersion);
    static ClientPrograms In(const std::string& binDir, const std::string& fallbackDir,
                             int serverMajor);

    // -h/-p/-U of the connection, for any of the programs.
    static std::vector<std::string> ConnectionArgs(const AgentConnection& connection);
    // How the programs run: no inherited PG variables, the password (when there is one) only
    // in the program's own environment.
    static Subprocess::Options RunOptions(const AgentConnection& connection);
    // Runs program against the connection's server: its -h/-p/-U first, then args.
    // With output, the program's standard output goes there (Subprocess::Options::output).
    static Subprocess::Result Run(const std::string& program, const AgentConnection& connection,
                                  const std::vector<std::string>& args,
                                  const ByteSink& output = nullptr);
    // The --dbname value naming one database, whatever characters its name holds.
    static std::string DbnameArg(const std::string& database);
};
