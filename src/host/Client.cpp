#include "pgulo/host/Client.h"

#include "pgulo/host/PropertyStore.h"

int Client::getClientId(unsigned long long& clientId, void* /*context*/) const {
    PropertyStore::ClientRecord record;
    int rc = PropertyStore().getClient(clientId_, record);
    if (rc == 0)
        clientId = record.id;
    return rc;
}

int Client::getClientName(std::string& name, void* /*context*/) const {
    PropertyStore::ClientRecord record;
    int rc = PropertyStore().getClient(clientId_, record);
    if (rc == 0)
        name = record.name;
    return rc;
}
