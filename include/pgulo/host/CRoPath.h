#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

class PGULO_HOST_API CRoPath {
public:
    static std::string Append(const std::string& path, const std::string& name);
    static bool IsDirectory(const std::string& path);
};
