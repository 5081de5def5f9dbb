#include "pgulo/host/CRoUTFOSAPI.h"

#include <cstdio>

int CRoUTFOSAPI::lstat(const std::string& path, struct stat* st) {
    return ::lstat(path.c_str(), st);
}

int CRoUTFOSAPI::rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str());
}
