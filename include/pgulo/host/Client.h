#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// A client (machine) of the property store. 0 on success, otherwise an errno value.
class PGULO_HOST_API Client {
public:
    explicit Client(unsigned long long clientId) : clientId_(clientId) {}
    int getClientId(unsigned long long& clientId, void* context) const;
    int getClientName(std::string& name, void* context) const;

private:
    unsigned long long clientId_;
};
