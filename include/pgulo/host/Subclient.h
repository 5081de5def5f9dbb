#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// A subclient of the property store. 0 on success, otherwise an errno value.
class PGULO_HOST_API Subclient {
public:
    explicit Subclient(unsigned long long subclientId) : subclientId_(subclientId) {}
    unsigned long long getSubclientId() const { return subclientId_; }
    // The subclient's unique identifier text.
    int getGUIDStr(std::string& guid, void* context) const;

private:
    unsigned long long subclientId_;
};
