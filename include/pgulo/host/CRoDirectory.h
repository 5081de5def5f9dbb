#pragma once

#include "pgulo/host/CRoError.h"
#include "pgulo/host/FXFile.h"
#include "pgulo/host/HostExport.h"

#include <string>

// Lists one directory; "." and ".." are never returned.
class PGULO_HOST_API CRoDirectory {
public:
    CRoError Open(const std::string& directory, const std::string& pattern, bool includeHidden);
    // Fills the next entry's name; done is set when there is none left.
    CRoError GetEntry(std::string& entry, bool& done);

private:
    std::string directory_;
    std::string pattern_;
    bool includeHidden_ = true;
    auto_find_handle handle_;
    bool started_ = false;
};
