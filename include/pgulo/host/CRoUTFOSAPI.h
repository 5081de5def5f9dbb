#pragma once

#include "pgulo/host/HostExport.h"

#include <string>
#include <sys/stat.h>

class PGULO_HOST_API CRoUTFOSAPI {
public:
    // As the system calls: 0 on success, -1 with errno set.
    static int lstat(const std::string& path, struct stat* st);
    static int rename(const std::string& from, const std::string& to);
};
