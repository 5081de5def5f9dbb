#include "pgulo/PGCommon.h"

#include "pgulo/PGException.h"
#include "pgulo/host/ApplicationId.h"
#include "pgulo/host/CLogWriterInterface.h"
#include "pgulo/host/CRoFile.h"
#include "pgulo/host/FXCodeLocation.h"
#include "pgulo/host/FXErrorUtil.h"
#include "pgulo/host/FXPath.h"
#include "pgulo/host/FXString.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/KxProcess.h"
#include "pgulo/host/PostgreSQLInstance.h"
#include "pgulo/libpqInterface.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

// Error values name this unit as "PGCommon", the function and the line.
#define PGCOMMON_LOCATION FXCodeLocation("PGCommon", __PRETTY_FUNCTION__, __LINE__)

namespace {

constexpr int kInvalid = 22;            // EINVAL
constexpr int kVersionFileEmpty = 1627; // the host's "function failed" code
constexpr size_t kMaxAppArgument = 127;
constexpr int kPasswordBuffer = 1024;

// Holds a decrypted password and wipes it when done.
class ClearPassword {
public:
    ClearPassword() { std::memset(buffer_, 0, sizeof buffer_); }
    ~ClearPassword() {
        volatile char* p = buffer_;
        for (size_t i = 0; i < sizeof buffer_; ++i)
            p[i] = 0;
    }
    ClearPassword(const ClearPassword&) = delete;
    ClearPassword& operator=(const ClearPassword&) = delete;

    bool Decrypt(const std::string& stored) {
        int length = static_cast<int>(sizeof buffer_);
        return KXPassword(0).decrypt(stored, buffer_, &length) != 0;
    }
    const char* text() const { return buffer_; }

private:
    char buffer_[kPasswordBuffer];
};

// Decimal digits only; false for anything else or an empty text, or on overflow.
bool ParseUnsigned(const std::string& text, unsigned long& value) {
    if (text.empty())
        return false;
    unsigned long result = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        const unsigned long digit = static_cast<unsigned long>(c - '0');
        if (result > (static_cast<unsigned long>(-1) - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

// An optionally signed decimal; false for anything else or a value outside int.
bool ParseInt(const std::string& text, int& value) {
    std::string digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    unsigned long magnitude = 0;
    if (!ParseUnsigned(digits, magnitude) || magnitude > 2147483647UL)
        return false;
    value = negative ? -static_cast<int>(magnitude) : static_cast<int>(magnitude);
    return true;
}

} // namespace

CRoError PGCommon::CheckAndUpdateAppInstance(int argc, char** argv) {
    PGULO_LOG_WRITE(0, "Enter CheckAndUpdateAppInstance");
    for (int i = 0; argv != nullptr && i + 1 < argc; ++i) {
        if (argv[i] == nullptr || std::strcmp(argv[i], "-a") != 0)
            continue;
        if (argv[i + 1] == nullptr)
            break;
        const std::string value = argv[i + 1];
        const std::string::size_type colon = value.find(':');
        unsigned long quorixId = 0;
        int appId = 0;
        // A value that is too long, lacks the colon or holds no numbers names nothing.
        if (value.size() <= kMaxAppArgument && colon != std::string::npos &&
            ParseUnsigned(value.substr(0, colon), quorixId) &&
            ParseInt(value.substr(colon + 1), appId))
            return CheckAndUpdateAppInstanceByAppID(quorixId, appId);
        break;
    }
    return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid,
                                   "Unable to get QuorixID/AppID from command line parameter (-a)");
}

CRoError PGCommon::CheckAndUpdateAppInstanceByAppID(unsigned long quorixId, int appId) {
    if (appId <= 0)
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid, "AppID invalid %d", appId);
    ApplicationId application(quorixId, static_cast<unsigned long long>(appId));
    std::unique_ptr<PostgreSQLInstance> instance = application.getInstance(nullptr);
    if (!instance) {
        PGULO_LOG_WRITE(-1, "ApplicationId::getInstance failed:quorixID=%lu|appId=%d", quorixId,
                        appId);
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid,
                                       "App Instance for subclient not found. Internal error");
    }
    return queryVersionFromServerAndUpdateInstProperty(instance.get(), true);
}

CRoError PGCommon::CheckAndUpdateAppInstanceByInstanceID(unsigned long unused,
                                                         unsigned long instanceId) {
    if (instanceId == 0)
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid, "AppInstanceID invalid %lu",
                                       instanceId);
    PostgreSQLInstance instance(instanceId);
    if (!instance.exists()) {
        PGULO_LOG_WRITE(-1, "ApplicationId::getInstance failed:quorixID=%lu|appId=%d", unused,
                        static_cast<int>(instanceId));
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid,
                                       "App Instance for subclient not found. Internal error");
    }
    return queryVersionFromServerAndUpdateInstProperty(&instance, true);
}

CRoError PGCommon::queryVersionFromServerAndUpdateInstProperty(PostgreSQLInstance* instance,
                                                               bool force) {
    if (instance == nullptr)
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid, "App Instance passed as NULL");

    std::string stored;
    if (instance->getPostgreSQLVersion(stored, nullptr) != 0)
        stored.clear();
    if (!stored.empty() && !force) {
        PGULO_LOG_WRITE(2, "Version %s is already set in App Instance", stored.c_str());
        return CRoError::Success();
    }

    std::string version;
    CRoError error = GetPostgresVersion(instance, version);
    if (error.IsError())
        return error;
    if (version.empty()) {
        PGULO_LOG_WRITE(-1, "Unable to query/get version from pg server");
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid,
                                       "Unable to query/get version from pg server");
    }
    if (version == stored) {
        PGULO_LOG_WRITE(6, "Same Version %s set in App Instance. No need to update",
                        version.c_str());
        return CRoError::Success();
    }
    const int rc = instance->setPostgreSQLVersion(version, nullptr);
    if (rc != 0) {
        // The host would otherwise go on believing the old version was replaced.
        PGULO_LOG_WRITE(-1, "Unable to store version %s in App Instance, error %d", version.c_str(),
                        rc);
        return FXErrorUtil::ErrorErrNo(
            PGCOMMON_LOCATION, rc, "Unable to store version %s in App Instance", version.c_str());
    }
    PGULO_LOG_WRITE(0, "Version in Instance property updated to %s", version.c_str());
    return CRoError::Success();
}

CRoError PGCommon::GetPostgresVersion(PostgreSQLInstance* instance, std::string& version) {
    if (instance == nullptr)
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kInvalid, "App Instance passed as NULL");

    std::string binaryDirectory;
    std::string libraryDirectory;
    std::string dataDirectory;
    try {
        std::string portProperty;
        instance->getPort(portProperty, nullptr);
        std::string host;
        std::string port;
        if (portProperty.find(':') == std::string::npos)
            port = portProperty;
        else
            ParseHostAndPort(portProperty, host, port);
        const std::string hostAddress = host.empty() ? std::string() : ConvertHostToIP(host);
        PGULO_LOG_WRITE(0, "PortFromInstProperty=%s|Port to use: %s|host to use : %s",
                        portProperty.c_str(), port.c_str(), hostAddress.c_str());

        std::string database;
        std::string user;
        std::string storedPassword;
        instance->getBinaryDirectory(binaryDirectory, nullptr);
        instance->getDataDirectoryPath(libraryDirectory, nullptr);
        instance->getConfigFile(database, nullptr);
        instance->getSaUser(user, nullptr);
        instance->getSaPassword(storedPassword, nullptr);
        instance->getPgDataDir(dataDirectory, nullptr);

        ClearPassword password;
        if (!password.Decrypt(storedPassword)) {
            PGULO_LOG_WRITE(-1, "PW.decrypt error");
            return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, -1, "PW.decrypt error");
        }

        // The instance's data directory path property names the directory libpq is loaded
        // from, and its configuration file property the database to connect to.
        libpqInterface session(binaryDirectory, libraryDirectory,
                               database.empty() ? std::string("postgres") : database, user,
                               password.text(), port, "0", "", hostAddress, "", false);
        version = session.GetServerVersionString();
    } catch (const PGException& e) {
        PGULO_LOG_WRITE(-1, "Exception encountered when querying postgres server version: %s",
                        e.what());
    } catch (...) {
        PGULO_LOG_WRITE(-1, "Exception encountered while getting Postgres server version");
    }

    if (version.empty()) {
        GetPostgresVersionUsingPgConfig(binaryDirectory, version);
        if (version.empty()) {
            PGULO_LOG_WRITE(0, "Next..Try to get version using PG_VERSION file");
            CRoError error = GetPostgresVersionUsingPG_VERSIONfile(dataDirectory, version);
            if (error.IsError())
                PGULO_LOG_WRITE(-1, "Did not get version from PGVERSION file %s",
                                error.AsString().c_str());
        }
    }
    PGULO_LOG_WRITE(0, "Postgres version [%s]", version.c_str());
    if (!version.empty())
        return CRoError::Success();
    return FXErrorUtil::ErrorErrNo(
        PGCOMMON_LOCATION, kInvalid,
        "Unable to obtain version by connecting to PostgreSQL server and from pg_config");
}

CRoError PGCommon::GetPostgresVersionUsingPG_VERSIONfile(const std::string& dataDirectory,
                                                         std::string& version) {
    const std::string path = FXPath::Append(dataDirectory, "PG_VERSION", 0);
    std::string contents;
    CRoError error = CRoFile::ReadWholeFile(path, contents);
    if (error.IsError())
        return error.Push(PGCOMMON_LOCATION);
    // The server writes the major version followed by a line end.
    contents = FXString::Trim(contents, " \t\r\n");
    if (contents.empty())
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, kVersionFileEmpty,
                                       "Version file is empty %s", path.c_str());
    version = contents;
    return CRoError::Success();
}

CRoError PGCommon::GetPostgresVersionUsingPgConfig(const std::string& binaryDirectory,
                                                   std::string& version) {
    version.clear();
    const std::string program = FXPath::Append(binaryDirectory, "pg_config", 0);
    bool isFile = false;
    CRoError check = FXPath::DoesPathExist(program, isFile);
    if (check.IsError() || !isFile) {
        PGULO_LOG_WRITE(-1, "pg_config executable file check error : %s|bIsFile=%d",
                        check.AsString().c_str(), isFile ? 1 : 0);
        return CRoError::Success();
    }
    const std::string command = ShellQuote(program) + " --version";
    std::string output;
    std::string errors;
    const int status = KxProcess::system(command, &output, &errors, 0, false);
    if (status != 0) {
        PGULO_LOG_WRITE(-1, "%s", errors.c_str());
        return FXErrorUtil::ErrorErrNo(PGCOMMON_LOCATION, -1, "%s", errors.c_str());
    }
    output = FXString::Trim(output, " \t\r\n");
    version = ExtractVersionFromString(output);
    PGULO_LOG_WRITE(0, "Output from %s command : %s", command.c_str(), output.c_str());
    PGULO_LOG_WRITE(0, "Version %s set in Instance property", version.c_str());
    return CRoError::Success();
}

std::string PGCommon::ExtractVersionFromString(const std::string& text) {
    std::string::size_type start = 0;
    while (start < text.size() && !std::isdigit(static_cast<unsigned char>(text[start])))
        ++start;
    std::string::size_type end = start;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.'))
        ++end;
    return text.substr(start, end - start);
}
