#pragma once

#include "pgulo/host/CNMessageBase.h"
#include "pgulo/host/HostExport.h"

#include <string>

namespace Ulo {

// The answer to GetProxyDBInstallDirReq.
class PGULO_HOST_API GetProxyDBInstallDirResp : public CNMessageBase {
public:
    static constexpr int kFamily = 22;
    static constexpr int kKind = 601;

    GetProxyDBInstallDirResp() : CNMessageBase(kFamily, kKind) {}

    // Field 1: the installation directory.
    bool hasInstallDir() const { return hasInstallDir_; }
    const std::string& getInstallDir() const { return installDir_; }
    void setInstallDir(const std::string& value) {
        installDir_ = value;
        hasInstallDir_ = true;
    }

    // Field 2: the error object (code 0 = none, and its text).
    bool hasError() const { return hasError_; }
    long long getErrorCode() const { return errorCode_; }
    const std::string& getErrorString() const { return errorString_; }
    void setError(long long code, const std::string& text) {
        errorCode_ = code;
        errorString_ = text;
        hasError_ = true;
    }

private:
    bool hasInstallDir_ = false;
    std::string installDir_;
    bool hasError_ = false;
    long long errorCode_ = 0;
    std::string errorString_;
};

} // namespace Ulo
