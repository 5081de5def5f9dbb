#pragma once

#include "pgulo/host/CRoError.h"
#include "pgulo/host/HostExport.h"

#include <string>

class PGULO_HOST_API FXPath {
public:
    // Joins with exactly one "/" between path and name.
    static std::string Append(const std::string& path, const std::string& name, int flags = 0);
    static bool DoesPathExist(const std::string& path);
    // An error when the path does not exist or cannot be examined; otherwise isFile is
    // true for anything but a directory.
    static CRoError DoesPathExist(const std::string& path, bool& isFile);
};
