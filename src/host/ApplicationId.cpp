#include "pgulo/host/ApplicationId.h"

#include "pgulo/host/PropertyStore.h"

namespace {

bool subclientOf(unsigned long long appId, PropertyStore::SubclientRecord& record) {
    return PropertyStore().getSubclient(appId, record) == 0;
}

} // namespace

std::unique_ptr<PostgreSQLInstance> ApplicationId::getInstance(void* /*context*/) const {
    PropertyStore::SubclientRecord subclient;
    if (!subclientOf(appId_, subclient))
        return nullptr;
    auto instance = std::make_unique<PostgreSQLInstance>(subclient.instanceId);
    if (!instance->exists())
        return nullptr;
    return instance;
}

std::unique_ptr<BackupSet> ApplicationId::getBackupSet(void* /*context*/) const {
    PropertyStore::SubclientRecord subclient;
    if (!subclientOf(appId_, subclient))
        return nullptr;
    return std::make_unique<BackupSet>(subclient.backupSetId);
}

std::unique_ptr<Client> ApplicationId::getClient(void* /*context*/) const {
    PropertyStore::SubclientRecord subclient;
    if (!subclientOf(appId_, subclient))
        return nullptr;
    unsigned long long clientId = subclient.clientId;
    if (clientId == 0) {
        // A subclient registered without its client belongs to its instance's client.
        PropertyStore::InstanceRecord instance;
        if (PropertyStore().getInstance(subclient.instanceId, instance) != 0)
            return nullptr;
        clientId = instance.clientId;
    }
    PropertyStore::ClientRecord client;
    if (PropertyStore().getClient(clientId, client) != 0)
        return nullptr;
    return std::make_unique<Client>(clientId);
}

std::unique_ptr<Subclient> ApplicationId::getSubclient(void* /*context*/) const {
    PropertyStore::SubclientRecord subclient;
    if (!subclientOf(appId_, subclient))
        return nullptr;
    return std::make_unique<Subclient>(appId_);
}
