#include "InstanceRegistry.h"

#include "CliError.h"
#include "FileOps.h"
#include "HostContext.h"

#include "pgulo/GetPostgresInfo.h"
#include "pgulo/host/PostgreSQLInstance.h"
#include "pgulo/host/PropertyStore.h"

#include <cctype>

namespace {

std::string Property(const PostgreSQLInstance& instance, const char* name) {
    std::string value;
    instance.getProperty(name, value, nullptr);
    return value;
}

void Store(unsigned long long id, const char* name, const std::string& value) {
    PropertyStore store;
    const int rc = store.setInstanceProperty(id, name, value);
    if (rc != 0)
        throw CliError(std::string("cannot store the instance property ") + name + ": " +
                       FileOps::ErrnoText(rc));
}

} // namespace

bool InstanceRegistry::ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-')
            return false;
    }
    return true;
}

unsigned long long InstanceRegistry::Add(InstanceSettings settings, const std::string& password) {
    if (!ValidName(settings.name))
        throw CliError::Usage("instance name '" + settings.name +
                              "' may hold only letters, digits, '.', '_' and '-'");
    if (Find(settings.name))
        throw CliError("an instance named '" + settings.name + "' exists already");
    struct stat st {};
    if (!settings.pgdata.empty() && FileOps::LStat(settings.pgdata, st) &&
        settings.unixUser.empty())
        settings.unixUser = FileOps::UserName(st.st_uid);

    PropertyStore store;
    PropertyStore::InstanceRecord record;
    record.clientId = HostContext::ClientId();
    record.name = settings.name;
    record.properties = {{"unixUser", settings.unixUser},
                         {"saUser", settings.user},
                         {"socketFile", settings.socketDir},
                         {"binaryDirectory", settings.binDir},
                         {"dataDirectoryPath", settings.libDir},
                         {"configFile", settings.database},
                         {"port", settings.port},
                         {"writeAheadArchiveLogDir", settings.archiveDir},
                         {"pgDataDir", settings.pgdata}};
    const int rc = store.addInstance(record);
    if (rc != 0)
        throw CliError("cannot add the instance to the property store under " + store.directory() +
                       ": " + FileOps::ErrnoText(rc));
    // The store seals the password itself; the clear text never reaches a file.
    Store(record.id, "saPassword", password);
    return record.id;
}

InstanceSettings InstanceRegistry::Load(unsigned long long id) {
    PropertyStore store;
    PropertyStore::InstanceRecord record;
    PostgreSQLInstance instance(id);
    InstanceSettings s;
    s.id = id;
    if (store.getInstance(id, record) == 0)
        s.name = record.name;
    s.pgdata = Property(instance, "pgDataDir");
    s.binDir = Property(instance, "binaryDirectory");
    s.libDir = Property(instance, "dataDirectoryPath");
    s.port = Property(instance, "port");
    s.user = Property(instance, "saUser");
    s.archiveDir = Property(instance, "writeAheadArchiveLogDir");
    s.socketDir = Property(instance, "socketFile");
    s.database = Property(instance, "configFile");
    s.unixUser = Property(instance, "unixUser");
    s.version = Property(instance, "postgreSQLVersion");
    s.lastLog = Property(instance, "lastBackupLogNumber");
    s.hasPassword = !Property(instance, "saPassword").empty();
    return s;
}

std::optional<InstanceSettings> InstanceRegistry::Find(const std::string& name) const {
    PropertyStore store;
    for (unsigned long long id : store.listInstances()) {
        PropertyStore::InstanceRecord record;
        if (store.getInstance(id, record) == 0 && record.name == name)
            return Load(id);
    }
    return std::nullopt;
}

InstanceSettings InstanceRegistry::Require(const std::string& name) const {
    if (auto found = Find(name))
        return *found;
    throw CliError("no instance named '" + name + "' (see 'pgulo instance list')");
}

std::vector<InstanceSettings> InstanceRegistry::List() const {
    PropertyStore store;
    std::vector<InstanceSettings> all;
    for (unsigned long long id : store.listInstances())
        all.push_back(Load(id));
    return all;
}

void InstanceRegistry::SetLastLog(unsigned long long id, const std::string& log) {
    PostgreSQLInstance instance(id);
    if (instance.setLastBackupLogNumber(log, nullptr) != 0)
        throw CliError("cannot record the last backed-up WAL segment of the instance");
}

void InstanceRegistry::SetVersion(unsigned long long id, const std::string& version) {
    PostgreSQLInstance instance(id);
    if (instance.setPostgreSQLVersion(version, nullptr) != 0)
        throw CliError("cannot record the server version of the instance");
}

AgentConnection InstanceRegistry::Connection(const InstanceSettings& settings) {
    GetPostgresInfo info;
    if (info.Init(static_cast<long>(settings.id)) != 0)
        throw CliError(HostContext::AgentFailure("cannot read the settings of instance '" +
                                                 settings.name + "'"));
    AgentConnection c;
    c.binDir = info.binaryPath;
    c.libDir = info.datafilePath;
    c.database = info.configFile.empty() ? std::string("postgres") : info.configFile;
    c.hostAddr = !info.HostAddr.empty() ? info.HostAddr : info.socketName;
    c.port = info.Port;
    c.user = info.saUser;
    c.password = info.password;
    c.archiveDir = info.archlogFile;
    c.version = info.postgresVersion;
    c.unixUser = info.unixUser;
    return c;
}
