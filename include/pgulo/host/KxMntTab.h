#pragma once

#include "pgulo/host/HostExport.h"

#include <string>
#include <vector>

struct KxMntEntry {
    std::string device;
    std::string mountPoint;
    std::string fsType;
    unsigned long long deviceId = 0; // st_dev of the mount point, 0 when it cannot be examined
};

class PGULO_HOST_API KxMntTab {
public:
    // Fills the list from the kernel's mount table, one entry per mounted file system.
    // Returns 0 on success.
    static int getAll(std::vector<KxMntEntry>& list);
    // Decodes the kernel's octal escapes (\040 blank, \011 tab, \012 newline, \134 backslash)
    // in one field of the mount table; anything else is kept as it is.
    static std::string unescape(const std::string& field);
};
