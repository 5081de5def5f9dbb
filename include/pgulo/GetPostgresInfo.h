#pragma once

#include "pgulo/Export.h"
#include "pgulo/host/ApplicationId.h"

#include <string>

class PostgreSQLInstance;

// Everything the host's restore and browse programs need to know about one protected
// PostgreSQL instance, read from the host's property store and fixed up: the clear password,
// host and port split apart, the proxy's install directory for a cloud database, and the
// operating-system owner of the data directory. All operations return status codes (0
// success); exceptions of a libpq session pass through the operations that query the server.
class PGULO_API GetPostgresInfo {
public:
    GetPostgresInfo() = default;

    // Fill the fields from the subclient's instance, or from an instance by number.
    // 0 on success, non-zero on failure (the property store's own code where it gives one).
    int Init(ApplicationId appId);
    int Init(long instanceId);
    // Logs the fields (never the passwords). Always 0.
    int display();

    // The data directory as the server reports it.
    int GetDataDirectory(std::string& dataDir);
    // The data directory from the restore location file named after the subclient's GUID.
    int GetDataDirectory(std::string& dataDir, ApplicationId appId);
    // Finds the restore location file: <archlogFile>/<guid>, else
    // /tmp/pg_restore_DATA_DIR_<guid>. 0, or 1 when there is no subclient or no file.
    int getGUIDLocation(std::string& path, ApplicationId* appId);

    // The owner of the data directory the server reports; a uid without a user name is given
    // in decimal.
    int GetPostgresOSUserName(std::string& user);
    // The owner of the given directory; -1 when the owner has no user name.
    int GetPostgresOSUserName(std::string& user, std::string dataDir);
    // As above for the server's data directory, or, when the server cannot be reached, the
    // one in the restore location file.
    int GetPostgresOSUserName(std::string& user, ApplicationId appId);

    // Whether the server is in recovery (a standby). 0, or -1 when it cannot be asked.
    int GetStandByServerStatus(bool& standby);

    // Runs the command with /bin/sh, which reads it on its standard input; output receives
    // what the command wrote on its standard output and standard error (they share one pipe).
    // 0 when the shell exited with status 0, -1 otherwise. On failure error receives one
    // sentence saying what went wrong (the shell could not be started, the command could not
    // be written or its output read, or how the command ended: "Command exited with status 3",
    // "Command was ended by a signal", ...), followed by ": " and the command's output,
    // trimmed, when it wrote any. On success error is empty.
    int executePostGresCommand(std::string command, std::string& output, std::string& error);
    // As above; a failure is logged with the error text.
    int executePostGresCommand(std::string command, std::string& output);

    std::string archlogFile;
    std::string socketName;
    std::string unixUser;
    std::string saUser;
    std::string encryptedPassword;
    std::string password;
    std::string postgresVersion;
    std::string binaryPath;
    // The client library directory.
    std::string datafilePath;
    // The name of the database to connect to.
    std::string configFile;
    std::string ntUser;
    std::string ntPassword;
    std::string HostAddr;
    std::string Port;
    std::string LastLogNumber;
    bool pruneLogs = true;
    int autoDiscoveryFlag = 1;
    std::string uncUser;
    std::string uncPassword;

private:
    int ReadProperties(const PostgreSQLInstance& instance, const char* label);
    bool DecryptPassword(const char* label);
    void SplitHostAndPort(const char* label);
    int UseProxyInstallDirectory(unsigned long long clientId, const char* label);
    void FindUnixUser(PostgreSQLInstance& instance, bool cloud, const ApplicationId* appId,
                      const char* label);
    int OwnerOf(const std::string& dataDir, std::string& user, bool uidFallback, const char* label);
};
