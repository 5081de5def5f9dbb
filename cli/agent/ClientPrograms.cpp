#include "ClientPrograms.h"

#include "CliError.h"

#include "pgulo/PGVersion.h"

#include <unistd.h>


namespace {

bool Executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

bool HasAll(const std::string& dir) {
    return !dir.empty() && Executable(dir + "/pg_dump") && Executable(dir + "/pg_restore") &&
           Executable(dir + "/psql");
}

int MajorOf(const std::string& version) {
    return PGVersionNumFromText(version) / 10000;
}

} // namespace

ClientPrograms ClientPrograms::In(const std::string& binDir, const std::string& fallbackDir,
                                  int serverMajor) {
    std::string dir;
    if (HasAll(binDir))
        dir = binDir;
    else if (serverMajor <= kFallbackMajor && HasAll(fallbackDir))
        dir = fallbackDir;
    if (dir.empty())
        throw CliError("pg_dump, pg_restore and psql of PostgreSQL " +
                       std::to_string(serverMajor) + " or newer are needed, but '" + binDir +
                       "' lacks them" +
                       (serverMajor <= kFallbackMajor ? " and so does " + fallbackDir
                                                      : std::string()) +
                       "; install that release's client programs into the instance's binary "
                       "directory");
    return ClientPrograms{dir + "/pg_dump", dir + "/pg_restore", dir + "/psql"};
}

ClientPrograms ClientPrograms::For(const AgentConnection& connection,
                                   const std::string& serverVersion) {
    return In(connection.binDir, kFallbackBinDir, MajorOf(serverVersion));
}

ClientPrograms ClientPrograms::For(const InstanceSettings& settings,
                                   const std::string& serverVersion) {
    return In(settings.binDir, kFallbackBinDir, MajorOf(serverVersion));
}

std::vector<std::string> ClientPrograms::ConnectionArgs(const AgentConnection& connection) {
    std::vector<std::string> args;
    if (!connection.hostAddr.empty())
        args.insert(args.end(), {"-h", connection.hostAddr});
    if (!connection.port.empty())
        args.insert(args.end(), {"-p", connection.port});
    if (!connection.user.empty())
        args.insert(args.end(), {"-U", connection.user});
    args.push_back("--no-password");
    return args;
}

Subprocess::Options ClientPrograms::RunOptions(const AgentConnection& connection) {
    Subprocess::Options options;
    options.dropInheritedPg = true;
    if (!connection.password.empty())
        options.env.emplace_back("PGPASSWORD", connection.password);
    return options;
}

Subprocess::Result ClientPrograms::Run(const std::string& program,
                                       const AgentConnection& connection,
                                       const std::vector<std::string>& args,
                                       const ByteSink& output) {
    std::vector<std::string> argv = {program};
    for (const std::string& arg : ConnectionArgs(connection))
        argv.push_back(arg);
    argv.insert(argv.end(), args.begin(), args.end());
    Subprocess::Options options = RunOptions(connection);
    options.output = output;
    return Subprocess::Run(argv, options);
}

std::string ClientPrograms::DbnameArg(const std::string& database) {
    // A connection string: a name holding '=' or starting like a URI would otherwise be
    // read as one.
    std::string quoted = "dbname='";
    for (char c : database) {
        if (c == '\'' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return "--dbname=" + quoted + "'";
}
