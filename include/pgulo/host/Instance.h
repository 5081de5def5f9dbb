#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// An instance of the property store, opened by number. Every call reads the store afresh, so
// changes made by other processes are seen. Results are 0 on success, otherwise an errno
// value (ENOENT when the instance does not exist).
class PGULO_HOST_API Instance {
public:
    explicit Instance(unsigned long long instanceId);
    virtual ~Instance();
    Instance(const Instance&) = default;
    Instance& operator=(const Instance&) = default;

    unsigned long long getInstanceId() const { return instanceId_; }
    bool exists() const;
    int getInstanceName(std::string& name, void* context) const;
    int getClientId(unsigned long long& clientId, void* context) const;

    // A property by its store name (see PropertyStore.h); a property that is not set gives 0
    // and an empty text.
    int getProperty(const std::string& name, std::string& value, void* context) const;
    int setProperty(const std::string& name, const std::string& value, void* context);

private:
    unsigned long long instanceId_;
};
