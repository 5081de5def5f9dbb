#pragma once

#include "pgulo/host/HostExport.h"
#include "pgulo/host/Instance.h"

#include <string>

// A PostgreSQL instance's properties. Getters give 0 and the text (empty when the property is
// not set) for an existing instance, non-zero when the instance cannot be read.
class PGULO_HOST_API PostgreSQLInstance : public Instance {
public:
    explicit PostgreSQLInstance(unsigned long long instanceId);

    int getUnixUser(std::string& value, void* context) const;
    int getSaUser(std::string& value, void* context) const;
    // The stored (sealed) form; KXPassword::decrypt opens it.
    int getSaPassword(std::string& value, void* context) const;
    int getSocketFile(std::string& value, void* context) const;
    int getNTUser(std::string& value, void* context) const;
    int getNTPassword(std::string& value, void* context) const;
    int getUNCUser(std::string& value, void* context) const;
    int getUNCPassword(std::string& value, void* context) const;
    int getPostgreSQLVersion(std::string& value, void* context) const;
    int getBinaryDirectory(std::string& value, void* context) const;
    // The directory libpq is loaded from.
    int getDataDirectoryPath(std::string& value, void* context) const;
    // The name of the database to connect to.
    int getConfigFile(std::string& value, void* context) const;
    // "5432" or "host:5432".
    int getPort(std::string& value, void* context) const;
    int getWriteAheadArchiveLogDir(std::string& value, void* context) const;
    int getLastBackupLogNumber(std::string& value, void* context) const;
    int getPgDataDir(std::string& value, void* context) const;
    int isArchiveDeleteSet(bool& flag, void* context) const;

    int setPostgreSQLVersion(const std::string& value, void* context);
    int setUnixUser(const std::string& value, void* context);
    // Host side.
    int setLastBackupLogNumber(const std::string& value, void* context);
    int setArchiveDelete(bool flag, void* context);
};
