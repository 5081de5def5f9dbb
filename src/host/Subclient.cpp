#include "pgulo/host/Subclient.h"

#include "pgulo/host/PropertyStore.h"

int Subclient::getGUIDStr(std::string& guid, void* /*context*/) const {
    PropertyStore::SubclientRecord record;
    int rc = PropertyStore().getSubclient(subclientId_, record);
    if (rc == 0)
        guid = record.guid;
    return rc;
}
