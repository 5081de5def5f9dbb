#include "pgulo/host/ClientFromInstanceId.h"

#include "pgulo/host/PropertyStore.h"

#include <cerrno>

int ClientFromInstanceId::getClientId(long instanceId, unsigned long long& clientId,
                                      void* /*context*/) const {
    if (instanceId <= 0)
        return ENOENT;
    PropertyStore::InstanceRecord record;
    int rc = PropertyStore().getInstance(static_cast<unsigned long long>(instanceId), record);
    if (rc != 0)
        return rc;
    if (record.clientId == 0)
        return ENOENT;
    clientId = record.clientId;
    return 0;
}
