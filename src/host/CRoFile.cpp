#include "pgulo/host/CRoFile.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/FXErrorUtil.h"

#include <cerrno>
#include <cstring>

CRoError CRoFile::ReadWholeFile(const std::string& path, std::string& text) {
    int rc = AtomicFile::read(path, text);
    if (rc != 0)
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, rc, "cannot read [%s]: %s", path.c_str(),
                                       std::strerror(rc));
    return CRoError::Success();
}

CRoError CRoFile::Stat(const std::string& path, struct stat& st) {
    if (::stat(path.c_str(), &st) != 0) {
        int code = errno;
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, code, "cannot stat [%s]: %s", path.c_str(),
                                       std::strerror(code));
    }
    return CRoError::Success();
}

CRoError CRoFile::WriteWholeFileAtomic(const std::string& path, const std::string& text,
                                       unsigned mode) {
    int rc = AtomicFile::write(path, text, static_cast<mode_t>(mode));
    if (rc != 0)
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, rc, "cannot write [%s]: %s", path.c_str(),
                                       std::strerror(rc));
    return CRoError::Success();
}
