#include "pgulo/host/HostHome.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

std::string HostHome::root() {
    const char* home = std::getenv("PGULO_HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    return "/var/lib/pgulo";
}

std::string HostHome::registryFile() {
    return root() + "/registry.ini";
}
std::string HostHome::keyFile() {
    return root() + "/secret.key";
}
std::string HostHome::logDirectory() {
    return root() + "/log";
}
std::string HostHome::jobResultsRoot() {
    return root() + "/jobresults";
}
std::string HostHome::storeDirectory() {
    return root() + "/store";
}

bool HostHome::ensureDirectory(const std::string& path) {
    if (path.empty())
        return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    // Parents first; a concurrent creator winning the race is fine (EEXIST).
    std::string::size_type slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (!ensureDirectory(path.substr(0, slash)))
            return false;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
