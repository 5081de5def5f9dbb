#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

class PGULO_HOST_API KXPI_CommClient {
public:
    // The base directory for job results: <home>/jobresults (created on demand).
    static std::string getJobResultsDirectory(const std::string& clientName);
};
