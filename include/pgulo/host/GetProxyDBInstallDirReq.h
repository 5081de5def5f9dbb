#pragma once

#include "pgulo/host/CNMessageBase.h"
#include "pgulo/host/HostExport.h"

#include <string>

namespace Ulo {

// Asks for the database installation directory on a proxy machine.
class PGULO_HOST_API GetProxyDBInstallDirReq : public CNMessageBase {
public:
    static constexpr int kFamily = 22;
    static constexpr int kKind = 600;

    GetProxyDBInstallDirReq() : CNMessageBase(kFamily, kKind) {}

    // Field 1: the instance's client.
    void setClientId(long long value) { clientId_ = value; }
    long long getClientId() const { return clientId_; }
    // Field 2: the application type.
    void setAppType(long long value) { appType_ = value; }
    long long getAppType() const { return appType_; }
    // Field 3: the server version.
    void setVersion(const std::string& value) { version_ = value; }
    const std::string& getVersion() const { return version_; }
    // Field 4: the proxy (this machine's client).
    void setProxyClientId(long long value) { proxyClientId_ = value; }
    long long getProxyClientId() const { return proxyClientId_; }

private:
    long long clientId_ = 0;
    long long appType_ = 0;
    std::string version_;
    long long proxyClientId_ = 0;
};

} // namespace Ulo
