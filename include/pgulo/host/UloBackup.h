#pragma once

#include "pgulo/host/GetProxyDBInstallDirReq.h"
#include "pgulo/host/GetProxyDBInstallDirResp.h"
#include "pgulo/host/HostExport.h"

// Requests to the management server about backups.
class PGULO_HOST_API UloBackup {
public:
    // Answers from the proxy client's record: its proxyDBInstallDir. 0 with the directory in
    // the response; otherwise an errno value and the response's error object says why.
    int getProxyDBInstallDir(const Ulo::GetProxyDBInstallDirReq& request,
                             Ulo::GetProxyDBInstallDirResp& response);
};
