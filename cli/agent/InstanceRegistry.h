#pragma once

#include "RetentionPlan.h"

#include <optional>
#include <string>
#include <vector>

// One protected PostgreSQL instance as the host knows it.
struct InstanceSettings {
    unsigned long long id = 0;
    std::string name;
    std::string pgdata;
    std::string binDir;
    std::string libDir;
    std::string port; // "5432" or "host:5432"
    std::string user;
    std::string archiveDir;
    std::string socketDir;
    std::string database = "postgres";
    std::string unixUser;
    std::string version;
    std::string lastLog;
    bool hasPassword = false;
    // What 'pgulo expire' applies when given no rule, and every backup after it completes.
    RetentionPolicy retention;
    // Backup defaults: the compression ("" for the program's own default) and whether the
    // stored files are encrypted.
    std::string compression;
    bool encrypt = false;
    // Where its backups go when no --repo is given (a directory or s3://BUCKET/PREFIX); empty:
    // $PGULO_HOME/repo.
    std::string repository;
};

// What the agent's entry points are called with for one instance: read back from the
// property store through the agent's own GetPostgresInfo, as a host's programs do.
struct AgentConnection {
    std::string binDir;
    std::string libDir;
    std::string database;
    std::string hostAddr; // a socket directory when it begins with "/"
    std::string port;
    std::string user;
    std::string password;
    std::string archiveDir;
    std::string version;
    std::string unixUser;
};

// The instances of this machine in the host's property store, found by name. A record that
// cannot be read, or lacks what 'instance add' writes, is a CliError naming its file, never
// an instance with empty values.
class InstanceRegistry {
public:
    // Throws CliError when the name is taken or a value is unusable.
    unsigned long long Add(InstanceSettings settings, const std::string& password);
    std::optional<InstanceSettings> Find(const std::string& name) const;
    // Throws CliError "no instance named ..." when there is none.
    InstanceSettings Require(const std::string& name) const;
    std::vector<InstanceSettings> List() const;

    void SetLastLog(unsigned long long id, const std::string& log);
    void SetVersion(unsigned long long id, const std::string& version);
    void SetRetention(unsigned long long id, const RetentionPolicy& policy);
    void SetCompression(unsigned long long id, const std::string& compression);
    void SetEncryption(unsigned long long id, bool encrypt);
    void SetRepository(unsigned long long id, const std::string& repository);

    // Throws CliError naming the damaged file when the instance's stored password does not
    // open (a damaged or missing key, an altered sealed text).
    static void CheckPassword(const InstanceSettings& settings);
    // The connection values of an instance, with the password opened.
    static AgentConnection Connection(const InstanceSettings& settings);
    // Checks an instance name: letters, digits, '.', '_' and '-', not starting with '.'.
    static bool ValidName(const std::string& name);

private:
    static InstanceSettings Load(unsigned long long id);
};
