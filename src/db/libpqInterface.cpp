#include "pgulo/libpqInterface.h"

#include "common/PGGuard.h"
#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/PGVersion.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include <postgresql/libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <type_traits>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

bool libpqInterfaceGlobalQuitFlag = false;

void PGNoticeReciever_fp(void* /*arg*/, const pg_result* /*result*/) {}

namespace {

EvDebug g_log(nullptr);

const char* const kConstructorLabel = "libpqInterface :: libpqInterface";
const char* const kDestructorLabel = "libpqInterface :: ~libpqInterface";
const char* const kLoadLabel = "libpqInterface :: LoadlibpqSymbols";
const char* const kConnectLabel = "libpqInterface :: ConnectDb";
const char* const kNoticeLabel = "libpqInterface :: ServerNotice";
const char* const kResetDbLabel = "libpqInterface :: ResetDb";
const char* const kValidateLabel = "libpqInterface :: ValidateConnection";
const char* const kForkLabel = "libpqInterface :: CheckIfThereWasAFork";
const char* const kThreadLabel = "libpqInterface :: CheckMultiThreadUsage";
const char* const kQuoteLabel = "libpqInterface :: EscapeSpaceAndQuote";
const char* const kVersionSupportedLabel = "libpqInterface :: IsThisPostGreVersoinSupported";
const char* const kSuperUserLabel = "libpqInterface :: IsSuperUser";
const char* const kServerVersionLabel = "libpqInterface :: GetServerVersion";
const char* const kServerVersionStringLabel = "libpqInterface :: GetServerVersionString";
const char* const kParameterValueLabel = "libpqInterface :: GetParameterValue";
const char* const kServerParameterLabel = "libpqInterface :: GetServerParameter";
const char* const kErrorMsgLabel = "libpqInterface :: GetPgErrorMsg";
const char* const kDisplayLabel = "libpqInterface :: DisplayAdditionalParams";
const char* const kNonBlockingLabel = "libpqInterface :: SetNonBlocking";
const char* const kResetQueryInfoLabel = "libpqInterface :: ResetQueryInfo";
const char* const kExecQueryLabel = "libpqInterface :: ExecQuery";
const char* const kExecQueryAsyncLabel = "libpqInterface :: ExecQueryAsync";
const char* const kCancelLabel = "libpqInterface :: CancelCurrentQuery";
const char* const kAnalyzeLabel = "libpqInterface :: AnalyzeResult";
const char* const kDbListLabel = "libpqInterface :: GetDbList";
const char* const kTuplesLabel = "libpqInterface :: GetNumberOfTuples";
const char* const kFieldsLabel = "libpqInterface :: GetNumberOfFields";
const char* const kGetValueLabel = "libpqInterface :: GetValue";
const char* const kCheckIfNullLabel = "libpqInterface :: CheckIfNull";
const char* const kGetLengthLabel = "libpqInterface :: GetLength";
const char* const kAccessLabel = "CheckForResultAccessViolation";

const char* const kDebugDumpFile = "/tmp/libpqinterface_debug";

// One round of the wait for an asynchronous statement's result: the result is taken as soon
// as the server sends it, and a quit request is seen within this time.
constexpr int kAsyncRoundMs = 100;
// The waiting line is written once a second, however short the rounds.
constexpr int kAsyncRoundsPerLogLine = 1000 / kAsyncRoundMs;

// Without RTLD_DEEPBIND the cluster's libpq could bind to another libpq (or OpenSSL) already
// loaded into the host process. The sanitizer runtime aborts on RTLD_DEEPBIND because it must
// keep intercepting malloc and friends, so sanitizer builds do without it.
#ifdef PGULO_SANITIZER_BUILD
constexpr int kDlopenFlags = RTLD_NOW | RTLD_LOCAL;
#else
constexpr int kDlopenFlags = RTLD_NOW | RTLD_DEEPBIND;
#endif

// The parameters worth seeing in a job log when a connection misbehaves.
const char* const kReportedParameters[] = {"server_version",        "server_encoding",
                                           "client_encoding",       "is_superuser",
                                           "session_authorization", "DateStyle",
                                           "IntervalStyle",         "TimeZone",
                                           "integer_datetimes",     "standard_conforming_strings"};

bool QuitRequested() {
    // The host writes the flag from its own thread; an atomic read keeps the byte-sized
    // exported flag and still gives a well-defined read.
    return __atomic_load_n(&libpqInterfaceGlobalQuitFlag, __ATOMIC_RELAXED);
}

// SHOW takes a configuration parameter name (letters, digits, '_', '.' for custom
// settings), or a few multi-word forms such as "TIME ZONE". Nothing else may reach the
// statement, so a name cannot smuggle in a second statement.
bool IsShowableName(const std::string& name) {
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == ' ';
        if (!ok)
            return false;
    }
    return true;
}

// libpq's default processor prints the server's NOTICE and WARNING messages on the host's
// standard error, in the middle of whatever the host shows its user. They are the job's
// business, so they go to its debug log.
void LogServerNotice(void* /*arg*/, const char* message) {
    g_log.Debug(kNoticeLabel, "%s", message != nullptr ? message : "");
}

} // namespace

// Each resolved function keeps libpq's own published type.
struct libpqInterface::Functions {
    decltype(&::PQfreemem) PQfreemem = nullptr;
    decltype(&::PQconninfoFree) PQconninfoFree = nullptr;
    decltype(&::PQconnectdb) PQconnectdb = nullptr;
    decltype(&::PQparameterStatus) PQparameterStatus = nullptr;
    decltype(&::PQprotocolVersion) PQprotocolVersion = nullptr;
    decltype(&::PQserverVersion) PQserverVersion = nullptr;
    decltype(&::PQerrorMessage) PQerrorMessage = nullptr;
    decltype(&::PQtransactionStatus) PQtransactionStatus = nullptr;
    decltype(&::PQisnonblocking) PQisnonblocking = nullptr;
    decltype(&::PQsetnonblocking) PQsetnonblocking = nullptr;
    decltype(&::PQgetCancel) PQgetCancel = nullptr;
    decltype(&::PQcancel) PQcancel = nullptr;
    decltype(&::PQfreeCancel) PQfreeCancel = nullptr;
    decltype(&::PQsendQuery) PQsendQuery = nullptr;
    decltype(&::PQconsumeInput) PQconsumeInput = nullptr;
    decltype(&::PQisBusy) PQisBusy = nullptr;
    decltype(&::PQsocket) PQsocket = nullptr;
    decltype(&::PQgetResult) PQgetResult = nullptr;
    decltype(&::PQresultStatus) PQresultStatus = nullptr;
    decltype(&::PQntuples) PQntuples = nullptr;
    decltype(&::PQnfields) PQnfields = nullptr;
    decltype(&::PQexec) PQexec = nullptr;
    decltype(&::PQgetvalue) PQgetvalue = nullptr;
    decltype(&::PQgetisnull) PQgetisnull = nullptr;
    decltype(&::PQgetlength) PQgetlength = nullptr;
    decltype(&::PQclear) PQclear = nullptr;
    decltype(&::PQstatus) PQstatus = nullptr;
    decltype(&::PQreset) PQreset = nullptr;
    decltype(&::PQsetNoticeReceiver) PQsetNoticeReceiver = nullptr;
    decltype(&::PQfinish) PQfinish = nullptr;
    decltype(&::PQresultErrorMessage) PQresultErrorMessage = nullptr;
    decltype(&::PQprint) PQprint = nullptr;
    decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor = nullptr;
    decltype(&::PQexecParams) PQexecParams = nullptr;
    decltype(&::PQresStatus) PQresStatus = nullptr;
    decltype(&::PQbinaryTuples) PQbinaryTuples = nullptr;
};

void libpqInterface::LibraryCloser::operator()(void* handle) const noexcept {
    if (handle != nullptr)
        ::dlclose(handle);
}

void libpqInterface::ConnectionCloser::operator()(pg_conn* connection) const noexcept {
    if (connection != nullptr && finish != nullptr)
        finish(connection);
}

void libpqInterface::ResultClearer::operator()(pg_result* result) const noexcept {
    if (result != nullptr && clear != nullptr)
        clear(result);
}

libpqInterface::libpqInterface(const std::string& /*binDir*/, const std::string& libDir,
                               const std::string& dbName, const std::string& login,
                               const std::string& password, const std::string& port,
                               const std::string& connectTimeout, const std::string& host,
                               const std::string& hostAddr, const std::string& options,
                               bool noConnect)
    : creatorPid_(::getpid()), creatorThread_(::pthread_self()), fallbackError_("NULL"),
      LibDir_m(libDir), dbName_(dbName), login_(login), password_(password), port_(port),
      connectTimeout_(connectTimeout), host_(host), hostAddr_(hostAddr), options_(options),
      queryBuffer_() {
    const char* const kLabel = kConstructorLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        struct stat st {};
        if (::lstat(LibDir_m.c_str(), &st) != 0) {
            const int error = errno;
            PGLastError(("Could not find " + LibDir_m + " Lib directory. " +
                         "Please provide valid PostGres Lib directory path")
                            .c_str());
            g_log.Error(kLabel, "eRRoR -- lstat failed on[%s]. errno:%d", LibDir_m.c_str(), error);
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "Lib dir is not present");
        }
        // lstat on purpose: a link is taken for the library file itself.
        if (S_ISDIR(st.st_mode)) {
            g_log.DebugLvl(kLabel, 2, "[%s] is a directory looking for libpq.so in this dir",
                           LibDir_m.c_str());
            LibDir_m = PGCommon::GetPGLibraryPath(LibDir_m);
            if (::lstat(LibDir_m.c_str(), &st) != 0) {
                const int error = errno;
                PGLastError("Unable to locate libpq.so library file in PostGres Lib directory. "
                            "Please provide valid PostGres Lib Path");
                g_log.Error(kLabel, "eRRoR -- lstat failed on[%s]. errno:%d", LibDir_m.c_str(),
                            error);
                throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "Lib dir is not present");
            }
        }

        LoadlibpqSymbols();
        if (noConnect)
            return;

        g_log.DebugLvl(kLabel, 2,
                       "Attempting to connect with the following "
                       "params.DB:[%s],Login[%s],Port:[%s],Host:[%s],Addr:[%s],Options:[%s]",
                       dbName_.c_str(), login_.c_str(), port_.c_str(), host_.c_str(),
                       hostAddr_.c_str(), options_.c_str());
        ConnectDb(dbName_, login_, password_, port_, connectTimeout_, host_, hostAddr_, options_);
        ValidateConnection();
        DisplayAdditionalParams();
        IsThisPostGreVersoinSupported();
    });
}

libpqInterface::~libpqInterface() {
    // The connection and the result need libpq, so both go before the library.
    PGGuard::Quietly(g_log, kDestructorLabel, [&] {
        if (fn_)
            ResetQueryInfo();
        connection_.reset();
        result_.reset();
        fn_.reset();
        library_.reset();
    });
}

void libpqInterface::LoadlibpqSymbols() {
    const char* const kLabel = kLoadLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        // A second load would pull the library from under a live connection.
        if (connection_)
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "libpq is already in use");
        result_.reset();
        fn_.reset();
        library_.reset();

        g_log.DebugLvl(kLabel, 2, "dlopen on LibDir_m[%s]", LibDir_m.c_str());
        std::unique_ptr<void, LibraryCloser> library(::dlopen(LibDir_m.c_str(), kDlopenFlags));
        if (!library) {
            const char* error = ::dlerror();
            g_log.Debug(kLabel, "Failed to load library");
            g_log.Error(kLabel, "dlopen failed:%s", error != nullptr ? error : "");
            PGLastError("Loading libpq.so library failed. Please check if required libpq.so "
                        "file exists in Postgres Lib directory");
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "dlopen failed on libpq");
        }

        ::dlerror();
        auto functions = std::make_unique<Functions>();
        auto resolve = [&](auto& slot, const char* name, bool blankAfterName) {
            void* address = ::dlsym(library.get(), name);
            if (address == nullptr) {
                const char* error = ::dlerror();
                g_log.Error(kLabel, "dlopen failed:%s", error != nullptr ? error : "");
                std::string message = std::string("Could not locate symbol ") + name;
                if (blankAfterName)
                    message += ' ';
                throw PGException(kLabel, PG_EXCEPTION_APPLICATION, message.c_str());
            }
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
        };
        Functions& f = *functions;
        resolve(f.PQfreemem, "PQfreemem", false);
        resolve(f.PQconninfoFree, "PQconninfoFree", false);
        resolve(f.PQconnectdb, "PQconnectdb", false);
        resolve(f.PQparameterStatus, "PQparameterStatus", false);
        resolve(f.PQprotocolVersion, "PQprotocolVersion", false);
        resolve(f.PQserverVersion, "PQserverVersion", false);
        resolve(f.PQerrorMessage, "PQerrorMessage", false);
        resolve(f.PQtransactionStatus, "PQtransactionStatus", false);
        resolve(f.PQisnonblocking, "PQisnonblocking", false);
        resolve(f.PQsetnonblocking, "PQsetnonblocking", false);
        resolve(f.PQgetCancel, "PQgetCancel", false);
        resolve(f.PQcancel, "PQcancel", false);
        resolve(f.PQfreeCancel, "PQfreeCancel", false);
        resolve(f.PQsendQuery, "PQsendQuery", false);
        resolve(f.PQconsumeInput, "PQconsumeInput", false);
        resolve(f.PQisBusy, "PQisBusy", false);
        resolve(f.PQsocket, "PQsocket", false);
        resolve(f.PQgetResult, "PQgetResult", false);
        resolve(f.PQresultStatus, "PQresultStatus", false);
        resolve(f.PQntuples, "PQntuples", false);
        resolve(f.PQnfields, "PQnfields", false);
        resolve(f.PQexec, "PQexec", false);
        resolve(f.PQgetvalue, "PQgetvalue", false);
        resolve(f.PQgetisnull, "PQgetisnull", false);
        resolve(f.PQgetlength, "PQgetlength", false);
        resolve(f.PQclear, "PQclear", false);
        resolve(f.PQstatus, "PQstatus", true);
        resolve(f.PQreset, "PQreset", true);
        resolve(f.PQsetNoticeReceiver, "PQsetNoticeReceiver", false);
        resolve(f.PQresultErrorMessage, "PQresultErrorMessage", false);
        resolve(f.PQfinish, "PQfinish", false);
        resolve(f.PQprint, "PQprint", false);
        resolve(f.PQsetNoticeProcessor, "PQsetNoticeProcessor", false);
        resolve(f.PQexecParams, "PQexecParams", false);
        resolve(f.PQresStatus, "PQresStatus", false);
        resolve(f.PQbinaryTuples, "PQbinaryTuples", false);

        library_ = std::move(library);
        connection_ = std::unique_ptr<pg_conn, ConnectionCloser>(
            nullptr, ConnectionCloser{functions->PQfinish});
        result_ =
            std::unique_ptr<pg_result, ResultClearer>(nullptr, ResultClearer{functions->PQclear});
        fn_ = std::move(functions);
    });
}

std::string libpqInterface::QuoteConnectionValue(const std::string& value) {
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '\'';
    for (char c : value) {
        if (c == '\'' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '\'';
    return quoted;
}

void libpqInterface::EscapeSlashAndQuote(std::string* text) {
    PGGuard::Rethrow(g_log, kQuoteLabel, [&] {
        if (text == nullptr)
            throw PGException(kQuoteLabel, PG_EXCEPTION_APPLICATION, "No text to quote");
        *text = QuoteConnectionValue(*text);
    });
}

libpqInterface::ConnectionString
libpqInterface::BuildConnectionString(const std::string& dbName, const std::string& login,
                                      const std::string& password, const std::string& port,
                                      const std::string& connectTimeout, const std::string& host,
                                      const std::string& hostAddr, const std::string& options) {
    std::string text;
    auto add = [&text](const char* key, const std::string& value) {
        if (value.empty())
            return;
        text += key;
        text += " = ";
        text += QuoteConnectionValue(value);
        text += ' ';
    };
    add("host", host);
    if (!hostAddr.empty() && hostAddr[0] == '/') {
        g_log.DebugLvl(kConnectLabel, 2,
                       "Non default unix socket directory path %s sending as host",
                       hostAddr.c_str());
        add("host", hostAddr);
    } else {
        add("hostaddr", hostAddr);
    }
    add("port", port);
    add("dbname", dbName);
    add("user", login);
    add("connect_timeout", connectTimeout);
    add("options", options);
    text += "password = ";

    ConnectionString result;
    result.masked = text + "*****";
    result.real = text + QuoteConnectionValue(password) + ' ';
    return result;
}

void libpqInterface::ConnectDb(const std::string& dbName, const std::string& login,
                               const std::string& password, const std::string& port,
                               const std::string& connectTimeout, const std::string& host,
                               const std::string& hostAddr, const std::string& options) {
    const char* const kLabel = kConnectLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        ConnectionString info = BuildConnectionString(dbName, login, password, port, connectTimeout,
                                                      host, hostAddr, options);
        g_log.DebugLvl(kLabel, 2, "Connection Info string: %s***** ", info.masked.c_str());

        result_.reset();
        connection_.reset(fn_->PQconnectdb(info.real.c_str()));
        // The clear password has no business lingering in freed memory.
        std::fill(info.real.begin(), info.real.end(), '\0');
        if (!connection_) {
            PGLastError("Failed to Connect to DB. Please check if PostGres Server is running");
            g_log.Error(kLabel, "eRRoR -- PQconnectdb failed. Error:%s", GetPgErrorMsg().c_str());
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "PQconnectdb failed");
        }
        // Set on the connection object, so it holds across PQreset as well.
        fn_->PQsetNoticeProcessor(connection_.get(), LogServerNotice, nullptr);
    });
}

void libpqInterface::ResetDb(const std::string& dbName) {
    PGGuard::Rethrow(g_log, kResetDbLabel, [&] {
        // Closing sends a terminate message on the socket, which a forked child shares with
        // its parent.
        CheckIfThereWasAFork();
        CheckMultiThreadUsage();
        ResetQueryInfo();
        connection_.reset();
        dbName_ = dbName;
        ConnectDb(dbName_, login_, password_, port_, connectTimeout_, host_, hostAddr_, options_);
        ValidateConnection();
    });
}

void libpqInterface::CheckIfThereWasAFork() {
    PGGuard::Rethrow(g_log, kForkLabel, [&] {
        if (::getpid() != creatorPid_)
            throw PGException(kForkLabel, PG_EXCEPTION_APPLICATION,
                              "Improper Usage. On Unix, forking a process with open libpq "
                              "connections can lead to unpredictable results because the "
                              "parent and child processes share the same sockets and operating "
                              "system resources");
    });
}

void libpqInterface::CheckMultiThreadUsage() {
    PGGuard::Rethrow(g_log, kThreadLabel, [&] {
        if (!::pthread_equal(::pthread_self(), creatorThread_))
            throw PGException(kThreadLabel, PG_EXCEPTION_APPLICATION,
                              "Improper Usage. no two threads attempt to manipulate the same "
                              "PGconn object at the same time");
    });
}

void libpqInterface::ValidateConnection() {
    const char* const kLabel = kValidateLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        CheckIfThereWasAFork();
        CheckMultiThreadUsage();
        if (connection_) {
            if (fn_->PQstatus(connection_.get()) == CONNECTION_OK)
                return;
            fn_->PQreset(connection_.get());
            if (fn_->PQstatus(connection_.get()) == CONNECTION_OK)
                return;
        }
        const std::string message = GetPgErrorMsg();
        std::printf("ValidateConnection -- %s\n", message.c_str());
        PGLastError(("Connection to Database Failed" + message).c_str());
        g_log.Error(kLabel, "eRRoR -- PQreset failed to reset the connection. Error:%s",
                    message.c_str());
        throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "PQreset failed to reset the connection");
    });
}

void libpqInterface::IsThisPostGreVersoinSupported() {
    const char* const kLabel = kVersionSupportedLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        const int protocol = connection_ ? fn_->PQprotocolVersion(connection_.get()) : 0;
        if (protocol <= 2) {
            g_log.Error(kLabel, "eRRoR -- UnSupported Protocol version: %d", protocol);
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "UnSupported Protocol");
        }
        const int version = GetServerVersion();
        if (version < PG_VERSION_8_0) {
            PGLastError("Postgres Server Version is not supported");
            g_log.Error(kLabel, "eRRoR -- UnSupported Server version: %d", version);
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "UnSupported Server");
        }
    });
}

void libpqInterface::IsSuperUser() {
    const char* const kLabel = kSuperUserLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        const char* value =
            connection_ ? fn_->PQparameterStatus(connection_.get(), "is_superuser") : nullptr;
        if (value == nullptr) {
            g_log.Error(kLabel,
                        "eRRoR -- UnKnown Param.PQparameterStatus() returned NULL. Error:%s",
                        GetPgErrorMsg().c_str());
            PGLastError("eRRoR -- UnKnown Param.PQparameterStatus() returned NULL.");
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE_PARAMETER,
                              "PQparameterStatus could not obtain the is_superuser");
        }
        if (std::strcmp(value, "on") != 0) {
            PGLastError("eRRoR -- The user is not a super user.");
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "The user is not a super user");
        }
    });
}

int libpqInterface::GetServerVersion() {
    return PGGuard::Rethrow(g_log, kServerVersionLabel, [&] {
        return connection_ ? fn_->PQserverVersion(connection_.get()) : 0;
    });
}

std::string libpqInterface::GetServerVersionString() {
    const char* const kLabel = kServerVersionStringLabel;
    return PGGuard::Rethrow(g_log, kLabel, [&]() -> std::string {
        const char* value =
            connection_ ? fn_->PQparameterStatus(connection_.get(), "server_version") : nullptr;
        if (value == nullptr) {
            g_log.Error(kLabel, "ERROR:Server version is empty");
            return std::string();
        }
        g_log.DebugLvl(kLabel, 2, "server_version: %s", value);
        return value;
    });
}

bool libpqInterface::GetParameterValue(const std::string& name, std::string* value) {
    const char* const kLabel = kParameterValueLabel;
    return PGGuard::Rethrow(g_log, kLabel, [&] {
        const char* reported =
            connection_ ? fn_->PQparameterStatus(connection_.get(), name.c_str()) : nullptr;
        if (reported == nullptr) {
            g_log.Error(kLabel,
                        "eRRoR -- UnKnown Param.PQparameterStatus() returned NULL. Error:%s",
                        GetPgErrorMsg().c_str());
            return false;
        }
        if (value != nullptr)
            *value = reported;
        return true;
    });
}

std::string libpqInterface::GetPgErrorMsg() {
    return PGGuard::Rethrow(g_log, kErrorMsgLabel, [&]() -> std::string {
        const char* message = connection_ && fn_ ? fn_->PQerrorMessage(connection_.get()) : nullptr;
        return message != nullptr ? message : fallbackError_;
    });
}

void libpqInterface::DisplayAdditionalParams() {
    const char* const kLabel = kDisplayLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        if (!connection_)
            return;
        switch (fn_->PQtransactionStatus(connection_.get())) {
        case PQTRANS_IDLE:
            g_log.DebugLvl(kLabel, 2, "Transaction Status: currently idle");
            break;
        case PQTRANS_ACTIVE:
            g_log.DebugLvl(kLabel, 2, "Transaction Status: a command is in progress");
            break;
        case PQTRANS_INTRANS:
            g_log.DebugLvl(kLabel, 2, "Transaction Status: idle, in a valid transaction block");
            break;
        case PQTRANS_INERROR:
            g_log.DebugLvl(kLabel, 2, "Transaction Status: idle, in a failed transaction block");
            break;
        case PQTRANS_UNKNOWN:
            g_log.DebugLvl(kLabel, 2, "Transaction Status: connection is bad.");
            break;
        default:
            g_log.DebugLvl(kLabel, 2, "Transaction Status: UnKnown");
            break;
        }
        for (const char* name : kReportedParameters) {
            const char* value = fn_->PQparameterStatus(connection_.get(), name);
            if (value != nullptr)
                g_log.DebugLvl(kLabel, 2, "%s: %s", name, value);
        }
    });
}

void libpqInterface::SetNonBlocking() {
    const char* const kLabel = kNonBlockingLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        if (connection_ && fn_->PQisnonblocking(connection_.get()) == 1)
            return;
        if (!connection_ || fn_->PQsetnonblocking(connection_.get(), 1) != 0) {
            g_log.Error(kLabel, "eRRoR -- PQsetnonblocking() failed");
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE,
                              "Could not make the connection NonBlocking");
        }
    });
}

void libpqInterface::ResetQueryInfo() {
    const char* const kLabel = kResetQueryInfoLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        result_.reset();
        rows_ = 0;
        fields_ = 0;
        if (!asyncPending_)
            return;
        asyncPending_ = false;
        if (!connection_)
            return;
        while (pg_result* left = fn_->PQgetResult(connection_.get())) {
            g_log.DebugLvl(kLabel, 2, "PQgetResult returned a non NULL result.");
            fn_->PQclear(left);
        }
    });
}

bool libpqInterface::ExecQuery(const std::string& query) {
    const char* const kLabel = kExecQueryLabel;
    return PGGuard::Rethrow(g_log, kLabel, [&] {
        ValidateConnection();
        ResetQueryInfo();
        result_.reset(fn_->PQexec(connection_.get(), query.c_str()));
        if (!result_) {
            const std::string message = GetPgErrorMsg();
            std::printf("Err:%s\n", message.c_str());
            g_log.Error(kLabel, "eRRoR -- PQexec() failed for %s. Error:%s", query.c_str(),
                        message.c_str());
            PGLastError("Execute Query failed. Please check  if PostGres Server is running");
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "Query execution failed");
        }
        std::string text = query;
        return AnalyzeResult(&text);
    });
}

bool libpqInterface::ExecQueryAsync(const std::string& query, bool cancelOnQuit) {
    const char* const kLabel = kExecQueryAsyncLabel;
    return PGGuard::Rethrow(g_log, kLabel, [&] {
        ValidateConnection();
        ResetQueryInfo();
        if (fn_->PQsendQuery(connection_.get(), query.c_str()) != 1) {
            g_log.Error(kLabel, "eRRoR -- PQsendQuery() failed for %s. Error:%s", query.c_str(),
                        GetPgErrorMsg().c_str());
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE,
                              "PQsendQuery failed to Dispatch the query");
        }
        asyncPending_ = true;
        std::string text = query;
        for (int round = 0;; ++round) {
            if (QuitRequested()) {
                if (cancelOnQuit)
                    CancelCurrentQuery(&text);
                return false;
            }
            if (fn_->PQconsumeInput(connection_.get()) != 1) {
                g_log.Error(kLabel, "eRRoR -- PQconsumeInput() failed for %s. Error:%s",
                            query.c_str(), GetPgErrorMsg().c_str());
                throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "PQconsumeInput reported trouble");
            }
            const int busy = fn_->PQisBusy(connection_.get());
            if (busy == 0) {
                result_.reset(fn_->PQgetResult(connection_.get()));
                if (!result_)
                    return false;
                return AnalyzeResult(&text);
            }
            if (busy != 1)
                return false;
            if (round % kAsyncRoundsPerLogLine == 0)
                g_log.DebugLvl(kLabel, 2, "Waiting on response from server for Query[%s]",
                               query.c_str());
            WaitForServerData(kAsyncRoundMs);
        }
    });
}

void libpqInterface::WaitForServerData(int timeoutMs) {
    const int socket = fn_->PQsocket(connection_.get());
    if (socket < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return;
    }
    pollfd wait{};
    wait.fd = socket;
    wait.events = POLLIN;
    if (::poll(&wait, 1, timeoutMs) >= 0 || errno == EINTR)
        return;
    // The round then lasts its time all the same, rather than turning the wait into a spin.
    g_log.DebugLvl(kExecQueryAsyncLabel, 2, "poll on the connection failed. errno:%d", errno);
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
}

void libpqInterface::CancelCurrentQuery(std::string* query) {
    const char* const kLabel = kCancelLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        const char* text = query != nullptr ? query->c_str() : "";
        PGcancel* raw = connection_ ? fn_->PQgetCancel(connection_.get()) : nullptr;
        if (raw == nullptr) {
            g_log.Error(kLabel, "eRRoR -- PQgetCancel returned NULL. Is the connection invalid ?");
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "PQgetCancel returned null");
        }
        std::unique_ptr<PGcancel, decltype(fn_->PQfreeCancel)> cancel(raw, fn_->PQfreeCancel);
        char error[1024] = {};
        if (fn_->PQcancel(cancel.get(), error, sizeof error) != 1)
            g_log.Error(kLabel, "Could not dispatch cancel request fro query[%s]. Err:%s", text,
                        error);
        else
            g_log.Debug(kLabel, "Successful dispatch of request to cancel the query[%s]", text);
    });
}

bool libpqInterface::AnalyzeResult(std::string* query) {
    const char* const kLabel = kAnalyzeLabel;
    return PGGuard::Rethrow(g_log, kLabel, [&] {
        const std::string text = query != nullptr ? *query : std::string();
        const ExecStatusType status = fn_->PQresultStatus(result_.get());
        if (status == PGRES_TUPLES_OK) {
            DumpResult(text);
            rows_ = fn_->PQntuples(result_.get());
            fields_ = fn_->PQnfields(result_.get());
        }
        if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
            return true;
        const std::string message = GetPgErrorMsg();
        std::printf("Err:%s\n", message.c_str());
        g_log.Error(kLabel, "eRRoR --  PQresultStatus indicates failure for %s. Error:%s",
                    text.c_str(), message.c_str());
        return false;
    });
}

void libpqInterface::DumpResult(const std::string& query) {
    const char* const kLabel = kAnalyzeLabel;
    // The dump is switched on by creating the file by hand; it is never created here. The
    // directory is world-writable, so a link or a device placed there is not written through.
    struct stat st {};
    if (::lstat(kDebugDumpFile, &st) != 0)
        return;
    int fd = -1;
    int error = EINVAL;
    if (S_ISREG(st.st_mode)) {
        fd = ::open(kDebugDumpFile, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        error = errno;
    }
    if (fd < 0 && error == ENOENT)
        return;
    UniqueFile file(fd >= 0 ? ::fdopen(fd, "a") : nullptr);
    if (!file) {
        if (fd >= 0) {
            error = errno;
            ::close(fd);
        }
        g_log.Error(kLabel, "eRRoR -- fopen failed on %s. errno:%d ", kDebugDumpFile, error);
        throw PGException(kLabel, PG_EXCEPTION_SYSTEM, "Failed to open Debug file");
    }
    std::fprintf(file.get(), "DbName:[%s]\nQuery:[%s]\n", dbName_.c_str(), query.c_str());
    char separator[] = "|";
    PQprintOpt options{};
    options.header = 1;
    options.fieldSep = separator;
    fn_->PQprint(file.get(), result_.get(), &options);
    std::fprintf(file.get(), "\n%s\n", std::string(100, '*').c_str());
}

void libpqInterface::GetDbList(std::vector<std::string>* names) {
    const char* const kLabel = kDbListLabel;
    PGGuard::Rethrow(g_log, kLabel, [&] {
        std::snprintf(queryBuffer_, sizeof queryBuffer_, "%s", "select datname from pg_database");
        if (!ExecQuery(queryBuffer_)) {
            g_log.Debug(kLabel, "eRRoR -- Query[%s] failed", queryBuffer_);
            throw PGException(kLabel, PG_EXCEPTION_POSTGRE, "Could not get the db list");
        }
        for (int row = 0; row < rows_; ++row) {
            const char* name = GetValue(row, 0);
            if (names != nullptr)
                names->emplace_back(name != nullptr ? name : "");
        }
    });
}

bool libpqInterface::GetServerParameter(const std::string& name, std::string* value) {
    const char* const kLabel = kServerParameterLabel;
    return PGGuard::Rethrow(g_log, kLabel, [&] {
        static const char kShow[] = "SHOW ";
        if (name.size() > sizeof queryBuffer_ - sizeof kShow) {
            g_log.Error(kLabel,
                        "eRRoR -- Parameter name of %zu characters does not fit the %zu-byte "
                        "query buffer",
                        name.size(), sizeof queryBuffer_);
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "Parameter name too long for SHOW");
        }
        if (!IsShowableName(name)) {
            g_log.Error(kLabel, "eRRoR -- Refusing to SHOW [%s]: not a parameter name",
                        name.c_str());
            throw PGException(kLabel, PG_EXCEPTION_APPLICATION, "Invalid parameter name for SHOW");
        }
        std::snprintf(queryBuffer_, sizeof queryBuffer_, "%s%s", kShow, name.c_str());
        const bool succeeded = ExecQuery(queryBuffer_);
        if (succeeded && rows_ == 1 && value != nullptr) {
            const char* shown = GetValue(0, 0);
            *value = shown != nullptr ? shown : "";
        }
        return succeeded;
    });
}

void libpqInterface::CheckForResultAccessViolation(int row, int column) {
    PGGuard::Rethrow(g_log, kAccessLabel, [&] {
        if (row < 0 || column < 0 || row >= rows_ || column >= fields_) {
            g_log.Error(kAccessLabel,
                        "eRRoR -- Access voilation. Result Avilable:Row[%d],Column[%d]. "
                        "Requested:Row[%d],Column[%d].",
                        rows_, fields_, row, column);
            throw PGException(kAccessLabel, PG_EXCEPTION_RESULT_ACCESS,
                              "Accessing unavilable result");
        }
    });
}

char* libpqInterface::GetValue(int row, int column) {
    return PGGuard::Rethrow(g_log, kGetValueLabel, [&] {
        CheckForResultAccessViolation(row, column);
        return fn_->PQgetvalue(result_.get(), row, column);
    });
}

bool libpqInterface::CheckIfNull(int row, int column) {
    return PGGuard::Rethrow(g_log, kCheckIfNullLabel, [&] {
        CheckForResultAccessViolation(row, column);
        return fn_->PQgetisnull(result_.get(), row, column) != 0;
    });
}

int libpqInterface::GetLength(int row, int column) {
    return PGGuard::Rethrow(g_log, kGetLengthLabel, [&] {
        CheckForResultAccessViolation(row, column);
        return fn_->PQgetlength(result_.get(), row, column);
    });
}

int libpqInterface::GetNumberOfTuples() {
    return PGGuard::Rethrow(g_log, kTuplesLabel, [&] { return rows_; });
}

int libpqInterface::GetNumberOfFields() {
    return PGGuard::Rethrow(g_log, kFieldsLabel, [&] { return fields_; });
}
