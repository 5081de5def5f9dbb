#pragma once

#include "pgulo/host/HostExport.h"

#include <map>
#include <string>
#include <vector>

/*
 * The host's instance property store.
 *
 * Host home (HostHome::root(): $PGULO_HOME, or /var/lib/pgulo):
 *   registry.ini                  host registry, INI sections of key=value lines
 *   secret.key                    32-byte password key, mode 0600, made on first encryption
 *   log/job_<jobId>.log           per-job debug log
 *   jobresults/                   base of the job results directories
 *   store/clients/<id>.json       one file per client
 *   store/instances/<id>.json     one file per PostgreSQL instance
 *   store/subclients/<id>.json    one file per subclient (the application id)
 *   store/.lock                   taken by writers so that concurrent updates are not lost
 *
 * Records are JSON objects; <id> is a decimal number greater than 0:
 *   client:    {"id", "name", "appType", "cloudType", "proxyDBInstallDir"}
 *              appType 1 marks a cloud database service; cloudType names its cloud
 *              (301, 402, 403, 1301, ...); proxyDBInstallDir is the database installation
 *              directory on this client when it serves as a proxy.
 *   instance:  {"id", "clientId", "name", "properties": {...}} where properties holds the texts
 *              unixUser, saUser, saPassword, socketFile, ntUser, ntPassword, uncUser,
 *              uncPassword, postgreSQLVersion, binaryDirectory, dataDirectoryPath (the libpq
 *              library directory), configFile (the database to connect to), port ("5432" or
 *              "host:5432"), writeAheadArchiveLogDir, lastBackupLogNumber, pgDataDir,
 *              backupCompression, backupEncryption and backupRepository (the host's backup
 *              defaults), the host's retention rules retainFull, retainDays and retainDump
 *              (decimal, empty for no rule), and the boolean archiveDelete. A property left out reads as
 *              empty (false).
 *              Passwords are kept only in the sealed form of KXPassword::encrypt ("v1:...").
 *   subclient: {"id", "instanceId", "backupSetId", "clientId", "guid"}
 *
 * Every write goes to a temporary file that is flushed and renamed over the record, so a
 * crash leaves the old or the new record, never a torn one.
 *
 * Operations return 0 on success, otherwise an errno value: ENOENT for a missing record,
 * EINVAL for an unknown property or a malformed value or record, EEXIST when a new record's
 * number is taken.
 */
class PGULO_HOST_API PropertyStore {
public:
    struct ClientRecord {
        unsigned long long id = 0;
        std::string name;
        int appType = 0;
        int cloudType = 0;
        std::string proxyDBInstallDir;
    };
    struct InstanceRecord {
        unsigned long long id = 0;
        unsigned long long clientId = 0;
        std::string name;
        // Text properties by name; passwords in sealed form only.
        std::map<std::string, std::string> properties;
        bool archiveDelete = false;
    };
    struct SubclientRecord {
        unsigned long long id = 0;
        unsigned long long instanceId = 0;
        unsigned long long backupSetId = 0;
        unsigned long long clientId = 0;
        std::string guid;
    };

    // The store under the current host home.
    PropertyStore();
    explicit PropertyStore(std::string directory);
    const std::string& directory() const { return directory_; }
    // The file that holds an instance record: <directory>/instances/<id>.json.
    std::string instanceFile(unsigned long long id) const;

    // A record with id 0 gets the next free number, written back into it. A new subclient
    // without a guid gets a fresh random one.
    int addClient(ClientRecord& record);
    int addInstance(InstanceRecord& record);
    int addSubclient(SubclientRecord& record);

    // Replace an existing record or create one with the given number.
    int putClient(const ClientRecord& record);
    int putInstance(const InstanceRecord& record);
    int putSubclient(const SubclientRecord& record);

    int getClient(unsigned long long id, ClientRecord& record) const;
    int getInstance(unsigned long long id, InstanceRecord& record) const;
    int getSubclient(unsigned long long id, SubclientRecord& record) const;
    // The client with exactly this name; the lowest number wins when several share it.
    int findClientByName(const std::string& name, ClientRecord& record) const;

    int removeClient(unsigned long long id);
    int removeInstance(unsigned long long id);
    int removeSubclient(unsigned long long id);

    // Numbers in ascending order.
    std::vector<unsigned long long> listClients() const;
    std::vector<unsigned long long> listInstances() const;
    std::vector<unsigned long long> listSubclients() const;

    // One instance property. archiveDelete reads as "true" or "false" and accepts
    // true/false/1/0/yes/no/on/off. A password property takes the clear text and stores it
    // sealed; it reads back in sealed form.
    int getInstanceProperty(unsigned long long id, const std::string& name,
                            std::string& value) const;
    int setInstanceProperty(unsigned long long id, const std::string& name,
                            const std::string& value);

    static const std::vector<std::string>& instancePropertyNames();
    static bool isPasswordProperty(const std::string& name);

private:
    std::string directory_;
};
