#include "pgulo/host/KXPI_CommClient.h"

#include "pgulo/host/HostHome.h"

std::string KXPI_CommClient::getJobResultsDirectory(const std::string& /*clientName*/) {
    const std::string directory = HostHome::jobResultsRoot();
    HostHome::ensureDirectory(directory);
    return directory;
}
