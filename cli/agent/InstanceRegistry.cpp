#include "InstanceRegistry.h"

#include "CliError.h"
#include "FileOps.h"
#include "HostContext.h"

#include "pgulo/GetPostgresInfo.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/PostgreSQLInstance.h"
#include "pgulo/host/PropertyStore.h"

#include <cctype>
#include <cerrno>

namespace {

// What 'instance add' writes into every record and the host cannot do without. A record
// that lacks one was damaged, not written that way, and must not be read as empty values.
const char* const kRequiredProperties[] = {"saUser",
                                           "saPassword",
                                           "binaryDirectory",
                                           "dataDirectoryPath",
                                           "port",
                                           "writeAheadArchiveLogDir",
                                           "pgDataDir"};

constexpr const char* kOn = "on";

void Store(unsigned long long id, const char* name, const std::string& value) {
    PropertyStore store;
    const int rc = store.setInstanceProperty(id, name, value);
    if (rc != 0)
        throw CliError(std::string("cannot store the instance property ") + name + ": " +
                       FileOps::ErrnoText(rc));
}

CliError DamagedRecord(const std::string& file, const std::string& why) {
    return CliError("the instance store file " + file + " is damaged: " + why);
}

// The retention rules and their properties, in one place for reading and writing.
struct RetentionProperty {
    const char* name;
    std::optional<unsigned> RetentionPolicy::*rule;
};
const RetentionProperty kRetentionProperties[] = {{"retainFull", &RetentionPolicy::retainFull},
                                                  {"retainDays", &RetentionPolicy::retainDays},
                                                  {"retainDump", &RetentionPolicy::retainDump}};
constexpr std::size_t kMaxRetentionDigits = 9;

bool ValidRetention(const std::string& text) {
    return text.size() <= kMaxRetentionDigits &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// The record of an instance, refused with the file's name when it cannot be trusted.
PropertyStore::InstanceRecord ReadRecord(const PropertyStore& store, unsigned long long id) {
    const std::string file = store.instanceFile(id);
    PropertyStore::InstanceRecord record;
    const int rc = store.getInstance(id, record);
    if (rc == EINVAL)
        throw DamagedRecord(file, "it does not hold a valid instance record");
    if (rc != 0)
        throw CliError("cannot read the instance store file " + file + ": " +
                       FileOps::ErrnoText(rc));
    if (record.name.empty())
        throw DamagedRecord(file, "it has no instance name");
    for (const char* name : kRequiredProperties) {
        if (record.properties.count(name) == 0)
            throw DamagedRecord(file, std::string("it has no ") + name + " property");
    }
    for (const RetentionProperty& p : kRetentionProperties) {
        const auto it = record.properties.find(p.name);
        if (it != record.properties.end() && !ValidRetention(it->second))
            throw DamagedRecord(file, std::string("its ") + p.name + " is not a whole number");
    }
    return record;
}

InstanceSettings FromRecord(const PropertyStore::InstanceRecord& record) {
    auto property = [&record](const char* name) {
        const auto it = record.properties.find(name);
        return it == record.properties.end() ? std::string() : it->second;
    };
    InstanceSettings s;
    s.id = record.id;
    s.name = record.name;
    s.pgdata = property("pgDataDir");
    s.binDir = property("binaryDirectory");
    s.libDir = property("dataDirectoryPath");
    s.port = property("port");
    s.user = property("saUser");
    s.archiveDir = property("writeAheadArchiveLogDir");
    s.socketDir = property("socketFile");
    s.database = property("configFile");
    s.unixUser = property("unixUser");
    s.version = property("postgreSQLVersion");
    s.lastLog = property("lastBackupLogNumber");
    s.hasPassword = !property("saPassword").empty();
    for (const RetentionProperty& p : kRetentionProperties) {
        const std::string value = property(p.name);
        if (!value.empty() && std::stoul(value) > 0)
            s.retention.*p.rule = static_cast<unsigned>(std::stoul(value));
    }
    s.compression = property("backupCompression");
    s.encrypt = property("backupEncryption") == kOn;
    s.repository = property("backupRepository");
    return s;
}

std::string KeyFailure(int rc) {
    const std::string key = HostHome::keyFile();
    if (rc == ENOENT)
        return "the password key " + key + " is missing";
    if (rc == EINVAL)
        return "the password key " + key + " is damaged: it does not hold a key";
    if (rc == EIO)
        return "the password key " + key + " cannot be used: the cipher library did not start";
    return "cannot read the password key " + key + ": " + FileOps::ErrnoText(rc);
}

// One sentence on why the sealed password of an instance does not open. Neither the key nor
// the password is ever part of it.
std::string PasswordFailure(int rc, const std::string& name, const std::string& file) {
    const std::string whose = "the stored password of instance '" + name + "' in " + file;
    if (rc == EBADMSG)
        return whose + " is damaged";
    if (rc == EKEYREJECTED)
        return whose + " does not open with the password key " + HostHome::keyFile() +
               ": one of the two files is damaged or was replaced";
    if (rc == ENOENT)
        return KeyFailure(rc) + ", so " + whose + " cannot be opened";
    return KeyFailure(rc);
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
    // A key file that is there but unusable is never replaced (that would lose every stored
    // password), so sealing would fail half way through the record.
    const int keyState = password.empty() ? 0 : KXPassword::checkKey();
    if (keyState != 0 && keyState != ENOENT)
        throw CliError(KeyFailure(keyState));
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
    return FromRecord(ReadRecord(PropertyStore(), id));
}

std::optional<InstanceSettings> InstanceRegistry::Find(const std::string& name) const {
    PropertyStore store;
    // A damaged record may be the one asked for: saying "no such instance" would hide it.
    std::optional<CliError> damage;
    for (unsigned long long id : store.listInstances()) {
        try {
            const PropertyStore::InstanceRecord record = ReadRecord(store, id);
            if (record.name == name)
                return FromRecord(record);
        } catch (const CliError& e) {
            if (!damage)
                damage = e;
        }
    }
    if (damage)
        throw *damage;
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
        all.push_back(FromRecord(ReadRecord(store, id)));
    return all;
}

void InstanceRegistry::CheckPassword(const InstanceSettings& settings) {
    PropertyStore store;
    const PropertyStore::InstanceRecord record = ReadRecord(store, settings.id);
    const int rc = KXPassword(0).check(record.properties.at("saPassword"));
    if (rc != 0)
        throw CliError(PasswordFailure(rc, settings.name, store.instanceFile(settings.id)));
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

void InstanceRegistry::SetRetention(unsigned long long id, const RetentionPolicy& policy) {
    for (const RetentionProperty& p : kRetentionProperties) {
        const std::optional<unsigned>& rule = policy.*p.rule;
        Store(id, p.name, rule ? std::to_string(*rule) : std::string());
    }
}

void InstanceRegistry::SetCompression(unsigned long long id, const std::string& compression) {
    Store(id, "backupCompression", compression);
}

void InstanceRegistry::SetRepository(unsigned long long id, const std::string& repository) {
    Store(id, "backupRepository", repository);
}

void InstanceRegistry::SetEncryption(unsigned long long id, bool encrypt) {
    Store(id, "backupEncryption", encrypt ? kOn : "off");
}

AgentConnection InstanceRegistry::Connection(const InstanceSettings& settings) {
    // The agent reads a password that does not open as none at all; the server's refusal
    // would then hide the damaged file.
    CheckPassword(settings);
    GetPostgresInfo info;
    if (info.Init(static_cast<long>(settings.id)) != 0)
        throw CliError(HostContext::AgentFailure("cannot read the settings of instance '" +
                                                 settings.name + "'"));
    if (settings.hasPassword && info.password.empty())
        throw CliError("the stored password of instance '" + settings.name +
                       "' could not be opened (details in " + EvDebug::logFilePath() + ")");
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
