#include "pgulo/host/Instance.h"

#include "pgulo/host/PropertyStore.h"

Instance::Instance(unsigned long long instanceId) : instanceId_(instanceId) {}

Instance::~Instance() = default;

bool Instance::exists() const {
    PropertyStore::InstanceRecord record;
    return PropertyStore().getInstance(instanceId_, record) == 0;
}

int Instance::getInstanceName(std::string& name, void* /*context*/) const {
    PropertyStore::InstanceRecord record;
    int rc = PropertyStore().getInstance(instanceId_, record);
    if (rc == 0)
        name = record.name;
    return rc;
}

int Instance::getClientId(unsigned long long& clientId, void* /*context*/) const {
    PropertyStore::InstanceRecord record;
    int rc = PropertyStore().getInstance(instanceId_, record);
    if (rc == 0)
        clientId = record.clientId;
    return rc;
}

int Instance::getProperty(const std::string& name, std::string& value, void* /*context*/) const {
    return PropertyStore().getInstanceProperty(instanceId_, name, value);
}

int Instance::setProperty(const std::string& name, const std::string& value, void* /*context*/) {
    return PropertyStore().setInstanceProperty(instanceId_, name, value);
}
