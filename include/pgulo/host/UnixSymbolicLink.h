#pragma once

#include "pgulo/host/CRoError.h"
#include "pgulo/host/HostExport.h"

#include <string>
#include <vector>

class PGULO_HOST_API UnixSymbolicLink {
public:
    // The physical path with every link resolved (a relative path starts at the working
    // directory), and its components. A dangling link, a loop of links or a component that
    // cannot be examined is an error. With mustExist false, a tail of the path that does not
    // exist yet is kept as written. resolveAll is accepted for the callers' sake: links are
    // always resolved throughout.
    static bool getPhysicalPath(const std::string& path, std::string& physical,
                                std::vector<std::string>& components, bool resolveAll,
                                bool mustExist);
    // As above; isLink tells whether the path itself was a symbolic link.
    static CRoError getPhysicalPath(const std::string& path, std::string& physical,
                                    std::vector<std::string>& components, bool resolveAll,
                                    bool mustExist, bool& isLink);
};
