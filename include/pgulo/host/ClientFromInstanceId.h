#pragma once

#include "pgulo/host/HostExport.h"

// The client an instance belongs to. 0 on success, otherwise an errno value.
class PGULO_HOST_API ClientFromInstanceId {
public:
    int getClientId(long instanceId, unsigned long long& clientId, void* context) const;
};
