#include "pgulo/host/ClientProperties.h"

#include "pgulo/host/PropertyStore.h"

int ClientProperties::getClientAppType(int& type, void* /*context*/) const {
    PropertyStore::ClientRecord record;
    int rc = PropertyStore().getClient(clientId_, record);
    if (rc == 0)
        type = record.appType;
    return rc;
}

int ClientProperties::getCloudHypervisorType(int& type, void* /*context*/) const {
    PropertyStore::ClientRecord record;
    int rc = PropertyStore().getClient(clientId_, record);
    if (rc == 0)
        type = record.cloudType;
    return rc;
}
