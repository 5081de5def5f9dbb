#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// A client looked up by name. 0 on success, otherwise an errno value.
class PGULO_HOST_API KXClient {
public:
    KXClient(std::string name, bool create, int flags);
    int getClientId(unsigned long long& clientId, void* context) const;

private:
    std::string name_;
};
