#include "pgulo/host/UloBackup.h"

#include "pgulo/host/PropertyStore.h"

#include <cerrno>

int UloBackup::getProxyDBInstallDir(const Ulo::GetProxyDBInstallDirReq& request,
                                    Ulo::GetProxyDBInstallDirResp& response) {
    const long long proxyId = request.getProxyClientId();
    PropertyStore::ClientRecord proxy;
    int rc = proxyId > 0
                 ? PropertyStore().getClient(static_cast<unsigned long long>(proxyId), proxy)
                 : ENOENT;
    if (rc != 0) {
        response.setError(rc, "Proxy client " + std::to_string(proxyId) + " is not registered");
        return rc;
    }
    if (proxy.proxyDBInstallDir.empty()) {
        response.setError(ENOENT, "No database install directory is registered for proxy client " +
                                      std::to_string(proxyId));
        return ENOENT;
    }
    response.setInstallDir(proxy.proxyDBInstallDir);
    response.setError(0, std::string());
    return 0;
}
