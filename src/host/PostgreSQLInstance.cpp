#include "pgulo/host/PostgreSQLInstance.h"

PostgreSQLInstance::PostgreSQLInstance(unsigned long long instanceId) : Instance(instanceId) {}

int PostgreSQLInstance::getUnixUser(std::string& value, void* context) const {
    return getProperty("unixUser", value, context);
}

int PostgreSQLInstance::getSaUser(std::string& value, void* context) const {
    return getProperty("saUser", value, context);
}

int PostgreSQLInstance::getSaPassword(std::string& value, void* context) const {
    return getProperty("saPassword", value, context);
}

int PostgreSQLInstance::getSocketFile(std::string& value, void* context) const {
    return getProperty("socketFile", value, context);
}

int PostgreSQLInstance::getNTUser(std::string& value, void* context) const {
    return getProperty("ntUser", value, context);
}

int PostgreSQLInstance::getNTPassword(std::string& value, void* context) const {
    return getProperty("ntPassword", value, context);
}

int PostgreSQLInstance::getUNCUser(std::string& value, void* context) const {
    return getProperty("uncUser", value, context);
}

int PostgreSQLInstance::getUNCPassword(std::string& value, void* context) const {
    return getProperty("uncPassword", value, context);
}

int PostgreSQLInstance::getPostgreSQLVersion(std::string& value, void* context) const {
    return getProperty("postgreSQLVersion", value, context);
}

int PostgreSQLInstance::getBinaryDirectory(std::string& value, void* context) const {
    return getProperty("binaryDirectory", value, context);
}

int PostgreSQLInstance::getDataDirectoryPath(std::string& value, void* context) const {
    return getProperty("dataDirectoryPath", value, context);
}

int PostgreSQLInstance::getConfigFile(std::string& value, void* context) const {
    return getProperty("configFile", value, context);
}

int PostgreSQLInstance::getPort(std::string& value, void* context) const {
    return getProperty("port", value, context);
}

int PostgreSQLInstance::getWriteAheadArchiveLogDir(std::string& value, void* context) const {
    return getProperty("writeAheadArchiveLogDir", value, context);
}

int PostgreSQLInstance::getLastBackupLogNumber(std::string& value, void* context) const {
    return getProperty("lastBackupLogNumber", value, context);
}

int PostgreSQLInstance::getPgDataDir(std::string& value, void* context) const {
    return getProperty("pgDataDir", value, context);
}

int PostgreSQLInstance::isArchiveDeleteSet(bool& flag, void* context) const {
    std::string value;
    int rc = getProperty("archiveDelete", value, context);
    if (rc == 0)
        flag = value == "true";
    return rc;
}

int PostgreSQLInstance::setPostgreSQLVersion(const std::string& value, void* context) {
    return setProperty("postgreSQLVersion", value, context);
}

int PostgreSQLInstance::setUnixUser(const std::string& value, void* context) {
    return setProperty("unixUser", value, context);
}

int PostgreSQLInstance::setLastBackupLogNumber(const std::string& value, void* context) {
    return setProperty("lastBackupLogNumber", value, context);
}

int PostgreSQLInstance::setArchiveDelete(bool flag, void* context) {
    return setProperty("archiveDelete", flag ? "true" : "false", context);
}
