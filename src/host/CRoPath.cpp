#include "pgulo/host/CRoPath.h"

#include "pgulo/host/FXPath.h"

#include <sys/stat.h>

std::string CRoPath::Append(const std::string& path, const std::string& name) {
    return FXPath::Append(path, name, 0);
}

bool CRoPath::IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
