#include "pgulo/host/KXClient.h"

#include "pgulo/host/PropertyStore.h"

#include <utility>

KXClient::KXClient(std::string name, bool /*create*/, int /*flags*/) : name_(std::move(name)) {}

int KXClient::getClientId(unsigned long long& clientId, void* /*context*/) const {
    PropertyStore::ClientRecord record;
    int rc = PropertyStore().findClientByName(name_, record);
    if (rc == 0)
        clientId = record.id;
    return rc;
}
