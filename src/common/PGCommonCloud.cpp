#include "pgulo/PGCommon.h"

#include "pgulo/host/CLogWriterInterface.h"
#include "pgulo/host/ClientProperties.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXClient.h"
#include "pgulo/host/UloBackup.h"

static EvDebug g_log(nullptr);

namespace {

const char* const kLabelIsCloud = "::IsCloudDBInstance";
const char* const kLabelProxyDir = "::GetProxyDBInstallDir";

constexpr int kCloudDatabaseAppType = 1;

} // namespace

bool PGCommon::IsCloudDBInstance(std::uint64_t clientId) {
    int type = 0;
    const int rc = ClientProperties(clientId).getClientAppType(type, nullptr);
    if (rc != 0) {
        g_log.Error(kLabelIsCloud,
                    "Error : Failed to get Client App type for client [%llu] , ErrorCode [%d] ",
                    static_cast<unsigned long long>(clientId), rc);
        return false;
    }
    return type == kCloudDatabaseAppType;
}

void PGCommon::GetDatabasesToSkip(std::uint64_t clientId, std::set<std::string>& names) {
    names.clear();
    names.insert("template0");
    if (!IsCloudDBInstance(clientId))
        return;
    // Cloud services keep administrative databases that nobody may back up or restore.
    names.insert("template1");
    int cloudType = 0;
    if (ClientProperties(clientId).getCloudHypervisorType(cloudType, nullptr) != 0) {
        PGULO_LOG_WRITE(-1,
                        "ClientProperties::getCloudHypervisorType module failed for client "
                        "id [%llu]",
                        static_cast<unsigned long long>(clientId));
        return;
    }
    switch (cloudType) {
    case 301:
        names.insert("rdsadmin");
        break;
    case 402:
    case 403:
        names.insert("azure_maintenance");
        names.insert("azure_sys");
        break;
    case 1301:
        names.insert("cloudsqladmin");
        break;
    default:
        PGULO_LOG_WRITE(0, "Cloud type is not set");
        break;
    }
}

void PGCommon::GetWhereClauseToSkipDatabases(std::uint64_t clientId, const std::string& column,
                                             std::string& clause) {
    clause.clear();
    if (column.empty())
        return;
    std::set<std::string> names;
    GetDatabasesToSkip(clientId, names);
    std::string terms;
    for (const std::string& name : names) {
        if (!terms.empty())
            terms += "and ";
        terms += column + " not like '" + name + "' ";
    }
    clause = names.size() >= 2 ? "( " + terms + ") " : terms;
}

int PGCommon::GetProxyDBInstallDir(std::uint64_t clientId, std::int64_t appType,
                                   const std::string& version, std::string& installDir) {
    unsigned long long proxyClientId = 0;
    int rc = KXClient(EvDebug::getClientName(), false, 0).getClientId(proxyClientId, nullptr);
    if (rc != 0) {
        g_log.Error(kLabelProxyDir, "Unable to get proxy Client ID, error code [%d]", rc);
        return rc;
    }
    Ulo::GetProxyDBInstallDirReq request;
    request.setClientId(static_cast<long long>(clientId));
    request.setAppType(static_cast<long long>(appType));
    request.setVersion(version);
    request.setProxyClientId(static_cast<long long>(proxyClientId));
    g_log.DebugLvl(kLabelProxyDir, 3,
                   "Calling getProxyDBInstallDir with input Client ID [%llu] , App Type [%lld] , "
                   "Version [%s] , Proxy Client ID [%llu]",
                   static_cast<unsigned long long>(clientId), static_cast<long long>(appType),
                   version.c_str(), proxyClientId);

    Ulo::GetProxyDBInstallDirResp response;
    rc = UloBackup().getProxyDBInstallDir(request, response);
    if (rc != 0)
        g_log.Error(kLabelProxyDir, "UloBackup::getProxyDBInstallDir failed");
    if (response.hasError() && response.getErrorCode() != 0)
        g_log.Error(kLabelProxyDir, "Response error code [%lld] , error string [%s]",
                    response.getErrorCode(), response.getErrorString().c_str());
    if (response.hasInstallDir())
        installDir = response.getInstallDir();
    return rc;
}

bool PGCommon::IsIgnoreError(const std::string& output) {
    static const std::string kTocError = "Error from TOC entry";
    bool ignorable = false;
    std::string::size_type start = 0;
    while (start <= output.size()) {
        std::string::size_type end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        const std::string line = output.substr(start, end - start);
        if (line.find(kTocError) != std::string::npos) {
            if (line.compare(0, 7, "COMMENT") == 0)
                return false;
            ignorable = true;
        }
        start = end + 1;
    }
    return ignorable;
}
