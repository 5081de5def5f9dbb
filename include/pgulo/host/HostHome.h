#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// The host home directory holds every file of the host services: the registry,
// the password key, the debug logs, the job results and the property store.
// It is $PGULO_HOME, or /var/lib/pgulo when that is not set.
class PGULO_HOST_API HostHome {
public:
    static std::string root();
    static std::string registryFile();    // <home>/registry.ini
    static std::string keyFile();         // <home>/secret.key (mode 0600)
    static std::string logDirectory();    // <home>/log
    static std::string jobResultsRoot();  // <home>/jobresults
    static std::string storeDirectory();  // <home>/store
    // Creates the directory and its parents (mode 0700 for new ones); true when it exists after.
    static bool ensureDirectory(const std::string& path);
};
