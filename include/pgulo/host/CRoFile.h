#pragma once

#include "pgulo/host/CRoError.h"
#include "pgulo/host/HostExport.h"

#include <string>
#include <sys/stat.h>

class PGULO_HOST_API CRoFile {
public:
    static CRoError ReadWholeFile(const std::string& path, std::string& text);
    static CRoError Stat(const std::string& path, struct stat& st);
    // Host side: writes to a temporary name, fsyncs, renames over the path.
    static CRoError WriteWholeFileAtomic(const std::string& path, const std::string& text,
                                         unsigned mode = 0600);
};
