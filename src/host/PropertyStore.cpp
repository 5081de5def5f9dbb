#include "pgulo/host/PropertyStore.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sodium.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

using nlohmann::json;

namespace {

const char* const kClients = "clients";
const char* const kInstances = "instances";
const char* const kSubclients = "subclients";
const char* const kArchiveDelete = "archiveDelete";
const std::string kSealedPrefix = "v1:";

// Malformed records surface as this, caught at the store's boundary.
struct BadRecord {};

// Holds the store's writer lock, shared with other processes through flock.
class WriterLock {
public:
    explicit WriterLock(const std::string& directory) {
        if (!HostHome::ensureDirectory(directory))
            return;
        fd_.reset(::open((directory + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!fd_)
            return;
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                fd_.reset();
                return;
            }
        }
        held_ = true;
    }
    bool held() const { return held_; }

private:
    UniqueFd fd_;
    bool held_ = false;
};

std::string recordPath(const std::string& directory, const char* kind, unsigned long long id) {
    return directory + "/" + kind + "/" + std::to_string(id) + ".json";
}

std::string text(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::string();
    if (!it->is_string())
        throw BadRecord();
    return it->get<std::string>();
}

unsigned long long number(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return 0;
    if (it->is_number_unsigned())
        return it->get<unsigned long long>();
    if (it->is_number_integer() && it->get<long long>() >= 0)
        return static_cast<unsigned long long>(it->get<long long>());
    throw BadRecord();
}

int smallNumber(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return 0;
    if (!it->is_number_integer())
        throw BadRecord();
    long long value = it->get<long long>();
    if (value < -2147483647LL || value > 2147483647LL)
        throw BadRecord();
    return static_cast<int>(value);
}

bool flag(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return false;
    if (!it->is_boolean())
        throw BadRecord();
    return it->get<bool>();
}

int readJson(const std::string& path, json& object) {
    std::string content;
    int rc = AtomicFile::read(path, content);
    if (rc != 0)
        return rc;
    object = json::parse(content, nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return EINVAL;
    return 0;
}

int writeJson(const std::string& path, const json& object) {
    std::string directory = path.substr(0, path.find_last_of('/'));
    if (!HostHome::ensureDirectory(directory))
        return EACCES;
    return AtomicFile::write(path, object.dump(2) + "\n", 0600);
}

int createJson(const std::string& path, const json& object) {
    std::string directory = path.substr(0, path.find_last_of('/'));
    if (!HostHome::ensureDirectory(directory))
        return EACCES;
    return AtomicFile::create(path, object.dump(2) + "\n", 0600);
}

std::vector<unsigned long long> listIds(const std::string& directory) {
    std::vector<unsigned long long> ids;
    UniqueDir dir(::opendir(directory.c_str()));
    if (!dir)
        return ids;
    while (struct dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        const std::string suffix = ".json";
        if (name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string digits = name.substr(0, name.size() - suffix.size());
        if (digits.size() > 19 || digits[0] < '1' || digits[0] > '9' ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        ids.push_back(std::stoull(digits));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool isTextProperty(const std::string& name) {
    const auto& names = PropertyStore::instancePropertyNames();
    return name != kArchiveDelete && std::find(names.begin(), names.end(), name) != names.end();
}

bool isSealedOrEmpty(const std::string& value) {
    return value.empty() || value.compare(0, kSealedPrefix.size(), kSealedPrefix) == 0;
}

bool parseFlag(const std::string& value, bool& result) {
    static const char* const yes[] = {"true", "1", "yes", "on"};
    static const char* const no[] = {"false", "0", "no", "off"};
    for (const char* word : yes) {
        if (::strcasecmp(value.c_str(), word) == 0) {
            result = true;
            return true;
        }
    }
    for (const char* word : no) {
        if (::strcasecmp(value.c_str(), word) == 0) {
            result = false;
            return true;
        }
    }
    return false;
}

std::string randomGuid() {
    unsigned char bytes[16];
    if (::sodium_init() < 0)
        return std::string();
    ::randombytes_buf(bytes, sizeof bytes);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    char out[37];
    std::snprintf(out, sizeof out,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return out;
}

json toJson(const PropertyStore::ClientRecord& r) {
    return json{{"id", r.id},
                {"name", r.name},
                {"appType", r.appType},
                {"cloudType", r.cloudType},
                {"proxyDBInstallDir", r.proxyDBInstallDir}};
}

json toJson(const PropertyStore::InstanceRecord& r) {
    json properties = json::object();
    for (const auto& [name, value] : r.properties)
        properties[name] = value;
    properties[kArchiveDelete] = r.archiveDelete;
    return json{
        {"id", r.id}, {"clientId", r.clientId}, {"name", r.name}, {"properties", properties}};
}

json toJson(const PropertyStore::SubclientRecord& r) {
    return json{{"id", r.id},
                {"instanceId", r.instanceId},
                {"backupSetId", r.backupSetId},
                {"clientId", r.clientId},
                {"guid", r.guid}};
}

void fromJson(const json& j, PropertyStore::ClientRecord& r) {
    r.name = text(j, "name");
    r.appType = smallNumber(j, "appType");
    r.cloudType = smallNumber(j, "cloudType");
    r.proxyDBInstallDir = text(j, "proxyDBInstallDir");
}

void fromJson(const json& j, PropertyStore::InstanceRecord& r) {
    r.clientId = number(j, "clientId");
    r.name = text(j, "name");
    r.properties.clear();
    r.archiveDelete = false;
    auto it = j.find("properties");
    if (it == j.end() || it->is_null())
        return;
    if (!it->is_object())
        throw BadRecord();
    for (const std::string& name : PropertyStore::instancePropertyNames()) {
        if (name == kArchiveDelete)
            r.archiveDelete = flag(*it, kArchiveDelete);
        else if (it->contains(name))
            r.properties[name] = text(*it, name.c_str());
    }
}

void fromJson(const json& j, PropertyStore::SubclientRecord& r) {
    r.instanceId = number(j, "instanceId");
    r.backupSetId = number(j, "backupSetId");
    r.clientId = number(j, "clientId");
    r.guid = text(j, "guid");
}

bool valid(const PropertyStore::InstanceRecord& r) {
    for (const auto& [name, value] : r.properties) {
        if (!isTextProperty(name))
            return false;
        // A clear password must never reach the disk.
        if (PropertyStore::isPasswordProperty(name) && !isSealedOrEmpty(value))
            return false;
    }
    return true;
}

template <typename Record>
int readRecord(const std::string& directory, const char* kind, unsigned long long id,
               Record& record) {
    if (id == 0)
        return ENOENT;
    json object;
    int rc = readJson(recordPath(directory, kind, id), object);
    if (rc != 0)
        return rc;
    try {
        Record loaded;
        fromJson(object, loaded);
        loaded.id = id;
        record = std::move(loaded);
        return 0;
    } catch (...) {
        return EINVAL;
    }
}

template <typename Record>
int addRecord(const std::string& directory, const char* kind, Record& record) {
    WriterLock lock(directory);
    if (!lock.held())
        return EACCES;
    if (record.id != 0)
        return createJson(recordPath(directory, kind, record.id), toJson(record));
    std::vector<unsigned long long> ids = listIds(directory + "/" + kind);
    unsigned long long next = ids.empty() ? 1 : ids.back() + 1;
    // Creation refuses an existing file, so a writer outside the lock cannot be overwritten.
    for (int attempt = 0; attempt < 1000; ++attempt, ++next) {
        Record candidate = record;
        candidate.id = next;
        int rc = createJson(recordPath(directory, kind, next), toJson(candidate));
        if (rc == EEXIST)
            continue;
        if (rc == 0)
            record.id = next;
        return rc;
    }
    return EEXIST;
}

template <typename Record>
int putRecord(const std::string& directory, const char* kind, const Record& record) {
    if (record.id == 0)
        return EINVAL;
    WriterLock lock(directory);
    if (!lock.held())
        return EACCES;
    return writeJson(recordPath(directory, kind, record.id), toJson(record));
}

int removeRecord(const std::string& directory, const char* kind, unsigned long long id) {
    if (id == 0)
        return ENOENT;
    WriterLock lock(directory);
    if (!lock.held())
        return EACCES;
    const std::string path = recordPath(directory, kind, id);
    if (::unlink(path.c_str()) != 0)
        return errno;
    AtomicFile::syncDirectoryOf(path);
    return 0;
}

} // namespace

PropertyStore::PropertyStore() : directory_(HostHome::storeDirectory()) {}

PropertyStore::PropertyStore(std::string directory) : directory_(std::move(directory)) {}

std::string PropertyStore::instanceFile(unsigned long long id) const {
    return recordPath(directory_, kInstances, id);
}

const std::vector<std::string>& PropertyStore::instancePropertyNames() {
    static const std::vector<std::string> names = {"unixUser",
                                                   "saUser",
                                                   "saPassword",
                                                   "socketFile",
                                                   "ntUser",
                                                   "ntPassword",
                                                   "uncUser",
                                                   "uncPassword",
                                                   "postgreSQLVersion",
                                                   "binaryDirectory",
                                                   "dataDirectoryPath",
                                                   "configFile",
                                                   "port",
                                                   "writeAheadArchiveLogDir",
                                                   "lastBackupLogNumber",
                                                   "pgDataDir",
                                                   "retainFull",
                                                   "retainDays",
                                                   "retainDump",
                                                   "backupCompression",
                                                   "backupEncryption",
                                                   "backupRepository",
                                                   kArchiveDelete};
    return names;
}

bool PropertyStore::isPasswordProperty(const std::string& name) {
    return name == "saPassword" || name == "ntPassword" || name == "uncPassword";
}

int PropertyStore::addClient(ClientRecord& record) {
    return addRecord(directory_, kClients, record);
}

int PropertyStore::addInstance(InstanceRecord& record) {
    if (!valid(record))
        return EINVAL;
    return addRecord(directory_, kInstances, record);
}

int PropertyStore::addSubclient(SubclientRecord& record) {
    if (record.guid.empty())
        record.guid = randomGuid();
    if (record.guid.empty())
        return EIO;
    return addRecord(directory_, kSubclients, record);
}

int PropertyStore::putClient(const ClientRecord& record) {
    return putRecord(directory_, kClients, record);
}

int PropertyStore::putInstance(const InstanceRecord& record) {
    if (!valid(record))
        return EINVAL;
    return putRecord(directory_, kInstances, record);
}

int PropertyStore::putSubclient(const SubclientRecord& record) {
    return putRecord(directory_, kSubclients, record);
}

int PropertyStore::getClient(unsigned long long id, ClientRecord& record) const {
    return readRecord(directory_, kClients, id, record);
}

int PropertyStore::getInstance(unsigned long long id, InstanceRecord& record) const {
    return readRecord(directory_, kInstances, id, record);
}

int PropertyStore::getSubclient(unsigned long long id, SubclientRecord& record) const {
    return readRecord(directory_, kSubclients, id, record);
}

int PropertyStore::findClientByName(const std::string& name, ClientRecord& record) const {
    for (unsigned long long id : listClients()) {
        ClientRecord candidate;
        if (getClient(id, candidate) == 0 && candidate.name == name) {
            record = std::move(candidate);
            return 0;
        }
    }
    return ENOENT;
}

int PropertyStore::removeClient(unsigned long long id) {
    return removeRecord(directory_, kClients, id);
}

int PropertyStore::removeInstance(unsigned long long id) {
    return removeRecord(directory_, kInstances, id);
}

int PropertyStore::removeSubclient(unsigned long long id) {
    return removeRecord(directory_, kSubclients, id);
}

std::vector<unsigned long long> PropertyStore::listClients() const {
    return listIds(directory_ + "/" + kClients);
}

std::vector<unsigned long long> PropertyStore::listInstances() const {
    return listIds(directory_ + "/" + kInstances);
}

std::vector<unsigned long long> PropertyStore::listSubclients() const {
    return listIds(directory_ + "/" + kSubclients);
}

int PropertyStore::getInstanceProperty(unsigned long long id, const std::string& name,
                                       std::string& value) const {
    if (name != kArchiveDelete && !isTextProperty(name))
        return EINVAL;
    InstanceRecord record;
    int rc = getInstance(id, record);
    if (rc != 0)
        return rc;
    if (name == kArchiveDelete) {
        value = record.archiveDelete ? "true" : "false";
        return 0;
    }
    auto it = record.properties.find(name);
    value = it == record.properties.end() ? std::string() : it->second;
    return 0;
}

int PropertyStore::setInstanceProperty(unsigned long long id, const std::string& name,
                                       const std::string& value) {
    json stored;
    bool archiveDelete = false;
    if (name == kArchiveDelete) {
        if (!parseFlag(value, archiveDelete))
            return EINVAL;
    } else if (!isTextProperty(name)) {
        return EINVAL;
    } else if (isPasswordProperty(name) && !value.empty()) {
        // Sealed before the lock is taken: the key may have to be made first.
        std::string sealed = KXPassword(0).encrypt(value);
        if (sealed.empty())
            return EIO;
        stored = sealed;
    } else {
        stored = value;
    }
    if (name == kArchiveDelete)
        stored = archiveDelete;

    if (id == 0)
        return ENOENT;
    WriterLock lock(directory_);
    if (!lock.held())
        return EACCES;
    // Edited as JSON so that fields this version does not know survive the update.
    const std::string path = recordPath(directory_, kInstances, id);
    json object;
    int rc = readJson(path, object);
    if (rc != 0)
        return rc;
    json& properties = object["properties"];
    if (properties.is_null())
        properties = json::object();
    if (!properties.is_object())
        return EINVAL;
    properties[name] = stored;
    return writeJson(path, object);
}
