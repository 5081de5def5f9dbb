#include "pgulo/GetPostgresInfo.h"

#include "pgulo/ExecutePostgre.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PostgresChildProcess.h"
#include "pgulo/host/CLogWriterInterface.h"
#include "pgulo/host/ClientFromInstanceId.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/FXPath.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/PostgreSQLInstance.h"
#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static EvDebug g_log(nullptr);

namespace {

const char* const kInitAppLabel = "GetPostgresInfo::Init(ApplicationId appId)";
const char* const kInitIdLabel = "GetPostgresInfo::GetPostgresInfo";
const char* const kDisplayLabel = "GetPostgresInfo::display";
const char* const kDataDirLabel = "GetPostgresInfo::GetDataDirectory";
const char* const kGuidLabel = "GetPostgresInfo::getGUIDLocation";
const char* const kOsUserLabel = "GetPostgresInfo::GetPostgresOSUserName";
const char* const kStandbyLabel = "GetPostgresInfo::GetStandByServerStatus";
const char* const kCommandLabel = "GetPostgresInfo::executePostGresCommand";

const char* const kRestoreDirFilePrefix = "/tmp/pg_restore_DATA_DIR_";
// Application type sent with the proxy install-directory request.
constexpr long long kProxyAppType = 125;
constexpr int kPasswordBufferSize = 1025;
constexpr int kBrokenPipe = 32;
constexpr int kTryAgain = 11;

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The user name of a uid, or false when the password database has none.
bool UserName(uid_t uid, std::string& name) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    name = found->pw_name;
    return true;
}

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace

int GetPostgresInfo::ReadProperties(const PostgreSQLInstance& instance, const char* label) {
    // Read in this order; the first property that cannot be read ends the initialization.
    const bool ok =
        instance.getUnixUser(unixUser, nullptr) == 0 && instance.getSaUser(saUser, nullptr) == 0 &&
        instance.getSaPassword(encryptedPassword, nullptr) == 0 &&
        instance.getSocketFile(socketName, nullptr) == 0 &&
        instance.getNTUser(ntUser, nullptr) == 0 &&
        instance.getNTPassword(ntPassword, nullptr) == 0 &&
        instance.getUNCUser(uncUser, nullptr) == 0 &&
        instance.getUNCPassword(uncPassword, nullptr) == 0 &&
        instance.getSocketFile(socketName, nullptr) == 0 &&
        instance.getPostgreSQLVersion(postgresVersion, nullptr) == 0 &&
        instance.getBinaryDirectory(binaryPath, nullptr) == 0 &&
        instance.getDataDirectoryPath(datafilePath, nullptr) == 0 &&
        instance.getConfigFile(configFile, nullptr) == 0 && instance.getPort(Port, nullptr) == 0 &&
        instance.getWriteAheadArchiveLogDir(archlogFile, nullptr) == 0 &&
        instance.getLastBackupLogNumber(LastLogNumber, nullptr) == 0 &&
        instance.isArchiveDeleteSet(pruneLogs, nullptr) == 0;
    if (!ok) {
        g_log.DebugLvl(label, 1, "PostgreSQLInstance::getPostgresinformation failed");
        return -1;
    }
    g_log.DebugLvl(label, 1, "Got all the information from appmanager");
    return 0;
}

bool GetPostgresInfo::DecryptPassword(const char* label) {
    char buffer[kPasswordBufferSize] = {};
    int length = kPasswordBufferSize;
    const bool ok = KXPassword(0).decrypt(encryptedPassword, buffer, &length) != 0;
    if (ok)
        password.assign(buffer, static_cast<size_t>(length));
    else
        g_log.DebugLvl(label, 1, "PW.decrypt error");
    // The clear text does not stay behind on the stack.
    ::explicit_bzero(buffer, sizeof buffer);
    return ok;
}

void GetPostgresInfo::SplitHostAndPort(const char* label) {
    std::string host;
    std::string port;
    PGCommon::ParseHostAndPort(Port, host, port);
    if (!host.empty()) {
        HostAddr = PGCommon::ConvertHostToIP(host);
        g_log.DebugLvl(label, 1, "Host IP [%s]", HostAddr.c_str());
    }
    if (!port.empty()) {
        Port = port;
        g_log.DebugLvl(label, 1, "Port [%s]", Port.c_str());
    }
}

int GetPostgresInfo::UseProxyInstallDirectory(unsigned long long clientId, const char* label) {
    std::string installDir;
    int rc = PGCommon::GetProxyDBInstallDir(clientId, kProxyAppType, postgresVersion, installDir);
    if (rc != 0 || installDir.empty()) {
        g_log.Error(label, "Error: Unable to fetch DB Install Directory on proxy machine");
        // Without the proxy's programs and client library nothing can be run for a cloud
        // database, so the initialization fails.
        return rc != 0 ? rc : -1;
    }
    binaryPath = FXPath::Append(installDir, "bin", 0);
    datafilePath = FXPath::Append(installDir, "lib", 0);
    return 0;
}

void GetPostgresInfo::FindUnixUser(PostgreSQLInstance& instance, bool cloud,
                                   const ApplicationId* appId, const char* label) {
    if (!unixUser.empty())
        return;
    if (cloud) {
        g_log.DebugLvl(label, 1,
                       "PostgreSQL\\<instance> property [unixUser] value [<blank>] not set for "
                       "a cloud DB instance");
        return;
    }
    std::string pgDataDir;
    if (instance.getPgDataDir(pgDataDir, nullptr) != 0)
        pgDataDir.clear();
    std::string user;
    int rc;
    if (!pgDataDir.empty())
        rc = GetPostgresOSUserName(user, pgDataDir);
    else if (appId != nullptr)
        rc = GetPostgresOSUserName(user, *appId);
    else
        rc = GetPostgresOSUserName(user);
    if (rc != 0) {
        g_log.DebugLvl(label, 1, "Could not get unixUser for Postgres");
        return;
    }
    unixUser = user;
    if (instance.setUnixUser(unixUser, nullptr) != 0)
        g_log.DebugLvl(label, 1, "Could not set unixUser in Postgres instance property");
    else
        g_log.DebugLvl(label, 1, "Set unixUser in Postgres instance property = [%s]",
                       unixUser.c_str());
}

int GetPostgresInfo::Init(ApplicationId appId) {
    const char* const label = kInitAppLabel;
    std::unique_ptr<PostgreSQLInstance> instance = appId.getInstance(nullptr);
    if (!instance || !appId.getBackupSet(nullptr)) {
        g_log.DebugLvl(label, 1, "ApplicationId::getInstance failed");
        return -1;
    }
    autoDiscoveryFlag = 1;
    g_log.DebugLvl(label, 1, "autoDiscoveryFlag = %d", autoDiscoveryFlag);

    if (ReadProperties(*instance, label) != 0)
        return -1;
    if (!DecryptPassword(label))
        return -1;
    ::setenv("PGPASSWORD", password.c_str(), 1);
    ::setenv("PGUSER", saUser.c_str(), 1);
    SplitHostAndPort(label);

    std::unique_ptr<Client> client = appId.getClient(nullptr);
    unsigned long long clientId = 0;
    int rc = client ? client->getClientId(clientId, nullptr) : -1;
    if (rc != 0) {
        g_log.Error(label, "Error: Unable to fetch client Id for app Id, RetCode [%d]",
                    client ? rc : 0);
        // A subclient without a client cannot be checked for a cloud database: a failure.
        return rc;
    }

    const bool cloud = PGCommon::IsCloudDBInstance(clientId);
    if (cloud && (rc = UseProxyInstallDirectory(clientId, label)) != 0)
        return rc;
    FindUnixUser(*instance, cloud, &appId, label);
    display();
    return 0;
}

int GetPostgresInfo::Init(long instanceId) {
    const char* const label = kInitIdLabel;
    PostgreSQLInstance instance(static_cast<unsigned long long>(instanceId));
    if (ReadProperties(instance, label) != 0)
        return -1;
    if (!DecryptPassword(label))
        password.clear();
    ::setenv("PGPASSWORD", password.c_str(), 1);
    SplitHostAndPort(label);

    unsigned long long clientId = 0;
    int rc = ClientFromInstanceId().getClientId(instanceId, clientId, nullptr);
    if (rc != 0) {
        g_log.Error(label, "Error: Unable to fetch client Id for instance Id, RetCode [%d]", rc);
        return rc;
    }

    const bool cloud = PGCommon::IsCloudDBInstance(clientId);
    if (cloud && (rc = UseProxyInstallDirectory(clientId, label)) != 0)
        return rc;
    FindUnixUser(instance, cloud, nullptr, label);
    display();
    return 0;
}

int GetPostgresInfo::display() {
    const char* const label = kDisplayLabel;
    g_log.DebugLvl(label, 1, "archlogFile     = %s", archlogFile.c_str());
    g_log.DebugLvl(label, 1, "socketName      = %s", socketName.c_str());
    g_log.DebugLvl(label, 1, "unixUser        = %s", unixUser.c_str());
    g_log.DebugLvl(label, 1, "saUser          = %s", saUser.c_str());
    g_log.DebugLvl(label, 1, "postgresVersion    = %s", postgresVersion.c_str());
    g_log.DebugLvl(label, 1, "binaryPath      = %s", binaryPath.c_str());
    g_log.DebugLvl(label, 1, "datafilePath    = %s", datafilePath.c_str());
    g_log.DebugLvl(label, 1, "configFile      = %s", configFile.c_str());
    g_log.DebugLvl(label, 1, "ntUser          = %s", ntUser.c_str());
    g_log.DebugLvl(label, 1, "uncUser         = %s", uncUser.c_str());
    g_log.DebugLvl(label, 1, "HostAddr\t\t   = %s", HostAddr.c_str());
    g_log.DebugLvl(label, 1, "Port\t     = %s", Port.c_str());
    g_log.DebugLvl(label, 1, "autoDiscoveryFlag = %d", autoDiscoveryFlag);
    g_log.DebugLvl(label, 1, "LastLogNumber = %s", LastLogNumber.c_str());
    g_log.DebugLvl(label, 1, "Prune Logs = %s", pruneLogs ? "true" : "false");
    return 0;
}

int GetPostgresInfo::GetDataDirectory(std::string& dataDir) {
    const char* const label = kDataDirLabel;
    const std::string query = "SHOW DATA_DIRECTORY";
    ExecutePostgre exepg;
    if (exepg.init(datafilePath, binaryPath, saUser, password, configFile, HostAddr, Port) != 0 ||
        exepg.postgre_Query(query) != 0) {
        g_log.Error(label, "exepg.postgre_exe  failed");
        return -1;
    }
    std::vector<std::string> values;
    exepg.getCol(0, values);
    if (values.size() < 2) {
        g_log.Error(label, "Failed to get query [%s] output", query.c_str());
        return -1;
    }
    dataDir = values[1];
    g_log.DebugLvl(label, 1, "Command =%s dataDir = %s", query.c_str(), dataDir.c_str());
    return 0;
}

int GetPostgresInfo::getGUIDLocation(std::string& path, ApplicationId* appId) {
    const char* const label = kGuidLabel;
    std::unique_ptr<Subclient> subclient =
        appId != nullptr ? appId->getSubclient(nullptr) : std::unique_ptr<Subclient>();
    std::string guid;
    // An empty identifier would name the archive directory itself.
    if (!subclient || subclient->getGUIDStr(guid, nullptr) != 0 || guid.empty()) {
        g_log.Error(label, "Failed to get subclient");
        return 1;
    }
    g_log.DebugLvl(label, 1, "GUID Received is [%s]", guid.c_str());

    std::string candidate = archlogFile + "/" + guid;
    if (!IsRegularFile(candidate)) {
        const std::string fallback = kRestoreDirFilePrefix + guid;
        g_log.DebugLvl(label, 1, "Could not get GUID file in [%s]. Checking in [%s]",
                       candidate.c_str(), fallback.c_str());
        candidate = fallback;
        if (!IsRegularFile(candidate)) {
            g_log.Error(label, "Failed to get GUID file in location [%s]", candidate.c_str());
            return 1;
        }
    }
    path = candidate;
    g_log.DebugLvl(label, 1, "Guid file location [%s]", path.c_str());
    return 0;
}

int GetPostgresInfo::GetDataDirectory(std::string& dataDir, ApplicationId appId) {
    const char* const label = kDataDirLabel;
    std::string path;
    int rc = getGUIDLocation(path, &appId);
    if (rc != 0) {
        g_log.Error(label, "Failed to get GUID location");
        return rc;
    }
    UniqueFile file = UniqueFile::Open(path, "r");
    if (!file) {
        g_log.Error(label, "fopen failed on [%s]. errno:%d", path.c_str(), errno);
        return -1;
    }
    std::string value;
    if (PGCommon::ReadTokenFromFile(file.get(), "data_directory", &value) != 1 || value.empty()) {
        g_log.Error(label, "No data_directory in [%s]", path.c_str());
        return -1;
    }
    dataDir = value;
    return 0;
}

int GetPostgresInfo::OwnerOf(const std::string& dataDir, std::string& user, bool uidFallback,
                             const char* label) {
    struct stat st {};
    int rc = ::stat(dataDir.c_str(), &st);
    if (rc != 0) {
        g_log.DebugLvl(label, 1, "Failed to stat on directory [%s]", dataDir.c_str());
        return rc;
    }
    std::string name;
    errno = 0;
    if (!UserName(st.st_uid, name)) {
        const int error = errno;
        if (!uidFallback) {
            g_log.DebugLvl(label, 1,
                           "Failed to get user name from stat buffer for Data directory [%s] "
                           "errno = [%d]",
                           dataDir.c_str(), error);
            return -1;
        }
        PGULO_LOG_WRITE(-1,
                        "Failed to get user name from stat buffer for Data directory [%s] "
                        "errno = [%d]",
                        dataDir.c_str(), error);
        PGULO_LOG_WRITE(0, "Will keep using the uid itslef - and not the username");
        name = std::to_string(static_cast<unsigned long>(st.st_uid));
    }
    user = name;
    g_log.DebugLvl(label, 1, "User name = [%s] for directory [%s]", user.c_str(), dataDir.c_str());
    return 0;
}

int GetPostgresInfo::GetPostgresOSUserName(std::string& user) {
    const char* const label = kOsUserLabel;
    std::string dataDir;
    int rc = GetDataDirectory(dataDir);
    if (rc != 0) {
        g_log.DebugLvl(label, 1, "Could not connect to Postgres DB to get Data directory");
        return rc;
    }
    g_log.DebugLvl(label, 1, "Got data directory = [%s]", dataDir.c_str());
    return OwnerOf(dataDir, user, true, label);
}

int GetPostgresInfo::GetPostgresOSUserName(std::string& user, std::string dataDir) {
    const char* const label = kOsUserLabel;
    g_log.DebugLvl(label, 1, "Data directory = [%s]", dataDir.c_str());
    return OwnerOf(dataDir, user, false, label);
}

int GetPostgresInfo::GetPostgresOSUserName(std::string& user, ApplicationId appId) {
    const char* const label = kOsUserLabel;
    std::string dataDir;
    if (GetDataDirectory(dataDir) != 0) {
        g_log.DebugLvl(label, 1, "Could not connect to Postgres DB");
        if (GetDataDirectory(dataDir, appId) != 0) {
            g_log.DebugLvl(label, 1, "Could not get data directory");
            return -1;
        }
        g_log.DebugLvl(label, 1, "Got data directory = [%s] using PG_LOG_RESTORE_DIR_FILE",
                       dataDir.c_str());
    }
    g_log.DebugLvl(label, 1, "Got data directory = [%s]", dataDir.c_str());
    return OwnerOf(dataDir, user, false, label);
}

int GetPostgresInfo::GetStandByServerStatus(bool& standby) {
    const char* const label = kStandbyLabel;
    const std::string query = "SELECT pg_is_in_recovery();";
    standby = false;
    ExecutePostgre exepg;
    if (exepg.init(datafilePath, binaryPath, saUser, password, configFile, HostAddr, Port) != 0 ||
        exepg.postgre_Query(query) != 0) {
        g_log.Error(label, "exepg.postgre_exe  failed");
        return -1;
    }
    std::vector<std::string> values;
    exepg.getCol(0, values);
    if (values.size() <= 1) {
        g_log.Error(label, "Failed to get query [%s] output", query.c_str());
        return -1;
    }
    const std::string& value = values[1];
    g_log.DebugLvl(label, 1, "Command =%s Standby status = %s", query.c_str(), value.c_str());
    standby = value == "t";
    g_log.DebugLvl(label, 1, "Postgres Server in read only mode status returned [%s]",
                   standby ? "TRUE" : "FALSE");
    return 0;
}

int GetPostgresInfo::executePostGresCommand(std::string command, std::string& output,
                                            std::string& error) {
    const char* const label = kCommandLabel;
    output.clear();
    error.clear();
    auto fail = [&](const std::string& reason) {
        error = reason;
        const std::string said = Trimmed(output);
        if (!said.empty())
            error += ": " + said;
        return -1;
    };

    // The shell reads the command on its standard input, runs it, and exits at the end of
    // that input, which closes its output and ends the exchange.
    PostgresChildProcess child;
    child.Initialize("/bin/sh", {"sh", "-s"}, {});
    if (child.PGCreateProcess() != 0) {
        g_log.Error(label, "Initialize failed");
        return fail("Could not start /bin/sh, errno " + std::to_string(child.GetLastErrNo()));
    }
    g_log.DebugLvl(label, 2, " commtemp=[%s]", command.c_str());
    if (child.WriteBuf(command.data(), static_cast<long>(command.size())) != 0 ||
        child.CloseInput() != 0) {
        const int lastError = child.GetLastErrNo();
        child.Wait(0);
        return fail("Could not write the command to /bin/sh, errno " + std::to_string(lastError));
    }

    bool readFailed = false;
    int readError = 0;
    for (;;) {
        char buffer[1024] = {};
        long length = sizeof buffer - 1;
        if (child.ReadBuf(buffer, &length) == 0) {
            if (length <= 0) {
                g_log.DebugLvl(label, 2, "Received [0] ;expected [%ld] bytes",
                               static_cast<long>(sizeof buffer - 1));
                break;
            }
            buffer[length] = '\0';
            g_log.DebugLvl(label, 4, "Received(%ld bytes)  length(%ld)", length,
                           static_cast<long>(std::strlen(buffer)));
            output.append(buffer, static_cast<size_t>(length));
            continue;
        }
        g_log.DebugLvl(label, 4, "Read [%ld] bytes", static_cast<long>(output.size()));
        const int lastError = child.GetLastErrNo();
        if (lastError == kBrokenPipe) {
            if (output.empty())
                g_log.DebugLvl(label, 2, "Didn't read any data from child. Received broken pipe");
            else
                g_log.DebugLvl(label, 2, "Received broken pipe from child. So far read %ld bytes",
                               static_cast<long>(output.size()));
            break;
        }
        if (lastError == kTryAgain || lastError == EINTR)
            continue;
        // Any other read failure would repeat for ever: the exchange ends as a failure.
        g_log.Error(label, "KxMySqlChildProcess::ReadBuf failed; lastErr=%d", lastError);
        readFailed = true;
        readError = lastError;
        break;
    }

    // The child is always waited for, so that a command that fails without a word is a
    // failure and leaves no zombie behind.
    if (child.Wait(0) != 0) {
        const int lastError = child.GetLastErrNo();
        g_log.Error(label, "Wait failed");
        g_log.Error(label, "ReadBuf failed");
        if (lastError > 0)
            return fail("Command exited with status " + std::to_string(lastError));
        if (lastError == -1)
            return fail("/bin/sh could not be run");
        return fail("Command was ended by a signal");
    }
    if (readFailed)
        return fail("Could not read the command's output, errno " + std::to_string(readError));
    return 0;
}

int GetPostgresInfo::executePostGresCommand(std::string command, std::string& output) {
    std::string error;
    int rc = executePostGresCommand(command, output, error);
    if (rc != 0)
        g_log.Error(kCommandLabel, "Failed to execute command [%s], Error [%s]", command.c_str(),
                    error.c_str());
    return rc;
}
