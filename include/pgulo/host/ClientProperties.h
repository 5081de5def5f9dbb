#pragma once

#include "pgulo/host/HostExport.h"

// A client's classification. 0 on success, otherwise an errno value.
class PGULO_HOST_API ClientProperties {
public:
    explicit ClientProperties(unsigned long long clientId) : clientId_(clientId) {}
    // 1 for a cloud database service.
    int getClientAppType(int& type, void* context) const;
    // The cloud the service runs in (301, 402, 403, 1301, ...).
    int getCloudHypervisorType(int& type, void* context) const;

private:
    unsigned long long clientId_;
};
