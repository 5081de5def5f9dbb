#pragma once

#include "pgulo/Export.h"

#include <memory>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/types.h>

// libpq's handles stay opaque here so a host program can use the session without the
// PostgreSQL client headers; they are the same structs that <libpq-fe.h> names PGconn and
// PGresult.
struct pg_conn;
struct pg_result;

// Set by the backup host to make waiting asynchronous queries give up. Read once per polling
// round, never written by the agent.
extern PGULO_API bool libpqInterfaceGlobalQuitFlag;

// A notice receiver with libpq's signature that ignores what it gets.
PGULO_API void PGNoticeReciever_fp(void* arg, const pg_result* result);

// One libpq session. libpq is never linked: the library of the protected cluster is loaded at
// run time from its own library directory, so the client always matches the installed server,
// and every libpq function is called through a pointer resolved by name.
//
// A session belongs to the process and thread that built it; use after fork() or from another
// thread throws. Failures throw PGException; a statement the server rejects makes ExecQuery /
// ExecQueryAsync return false instead.
class PGULO_API libpqInterface {
public:
    // binDir is accepted for the callers' sake and not used. libDir is a directory holding
    // libpq (libpq.so, else libpq.so.<n>...) or the library file itself. Unless noConnect is
    // true, connects and checks the connection and the server version.
    libpqInterface(const std::string& binDir, const std::string& libDir, const std::string& dbName,
                   const std::string& login, const std::string& password, const std::string& port,
                   const std::string& connectTimeout, const std::string& host,
                   const std::string& hostAddr, const std::string& options, bool noConnect);
    ~libpqInterface();

    libpqInterface(const libpqInterface&) = delete;
    libpqInterface& operator=(const libpqInterface&) = delete;
    libpqInterface(libpqInterface&&) = delete;
    libpqInterface& operator=(libpqInterface&&) = delete;

    // Runs one statement and waits for it. True for a tuple or command result.
    bool ExecQuery(const std::string& query);
    // Sends one statement and polls once a second. Returns false at once when
    // libpqInterfaceGlobalQuitFlag is set (cancelling the statement first when cancelOnQuit).
    bool ExecQueryAsync(const std::string& query, bool cancelOnQuit);

    // Bounds-checked access to the current result; rows and columns count from 0. The
    // returned text belongs to the result and lives until the next query.
    char* GetValue(int row, int column);
    bool CheckIfNull(int row, int column);
    int GetLength(int row, int column);
    int GetNumberOfTuples();
    int GetNumberOfFields();

    // Appends the name of every database.
    void GetDbList(std::vector<std::string>* names);
    // A setting through "SHOW <name>"; value is set only when exactly one row comes back.
    bool GetServerParameter(const std::string& name, std::string* value);
    // A parameter the server reported on the connection (PQparameterStatus).
    bool GetParameterValue(const std::string& name, std::string* value);
    int GetServerVersion();
    // "server_version" as reported, or empty.
    std::string GetServerVersionString();
    // The connection's libpq error message, or "NULL" when there is none.
    std::string GetPgErrorMsg();

    // Throw when the login is not a superuser / the server or protocol is too old.
    void IsSuperUser();
    void IsThisPostGreVersoinSupported();

    // Reconnects to another database with the stored connection values.
    void ResetDb(const std::string& dbName);
    // Refuses use from a forked child or another thread; resets a broken connection once.
    void ValidateConnection();
    void SetNonBlocking();
    // Asks the server to cancel the running statement; never throws for a refused request.
    void CancelCurrentQuery(std::string* query);
    // Classifies the current result; true for a tuple or command result.
    bool AnalyzeResult(std::string* query);
    // Quotes a connection-string value in place: '...' with \ before every ' and \.
    void EscapeSlashAndQuote(std::string* text);
    // Drops the current result and drains results an asynchronous query left behind.
    void ResetQueryInfo();
    // Logs the transaction status and the parameters the server reported.
    void DisplayAdditionalParams();

    // The connection string sent to libpq, and the same with the password replaced by "*****"
    // for the log. Keys in order host, host address (a path is a socket directory and goes
    // as host), port, dbname, user, connect_timeout, options, password; empty values are left
    // out except the password.
    struct ConnectionString {
        std::string real;
        std::string masked;
    };
    static ConnectionString
    BuildConnectionString(const std::string& dbName, const std::string& login,
                          const std::string& password, const std::string& port,
                          const std::string& connectTimeout, const std::string& host,
                          const std::string& hostAddr, const std::string& options);
    // The quoting of EscapeSlashAndQuote, as a pure function.
    static std::string QuoteConnectionValue(const std::string& value);

    // The library file this session loaded (the directory given, resolved to its libpq file).
    const std::string& LibraryPath() const { return LibDir_m; }

private:
    void LoadlibpqSymbols();
    void ConnectDb(const std::string& dbName, const std::string& login, const std::string& password,
                   const std::string& port, const std::string& connectTimeout,
                   const std::string& host, const std::string& hostAddr,
                   const std::string& options);
    void CheckForResultAccessViolation(int row, int column);
    void CheckIfThereWasAFork();
    void CheckMultiThreadUsage();
    void DumpResult(const std::string& query);
    // Returns when the server has sent something on the connection, or after timeoutMs.
    void WaitForServerData(int timeoutMs);

    struct LibraryCloser {
        void operator()(void* handle) const noexcept;
    };
    struct ConnectionCloser {
        ConnectionCloser() noexcept : finish(nullptr) {}
        explicit ConnectionCloser(void (*f)(pg_conn*)) noexcept : finish(f) {}
        void operator()(pg_conn* connection) const noexcept;
        void (*finish)(pg_conn*);
    };
    struct ResultClearer {
        ResultClearer() noexcept : clear(nullptr) {}
        explicit ResultClearer(void (*c)(pg_result*)) noexcept : clear(c) {}
        void operator()(pg_result* result) const noexcept;
        void (*clear)(pg_result*);
    };
    // The resolved libpq functions, in libpq's own types (kept out of this header).
    struct Functions;

    pid_t creatorPid_;
    pthread_t creatorThread_;
    char fallbackError_[16];
    std::string LibDir_m;
    std::string dbName_;
    std::string login_;
    std::string password_;
    std::string port_;
    std::string connectTimeout_;
    std::string host_;
    std::string hostAddr_;
    std::string options_;
    // The library is declared before the connection and the result so that, should
    // construction fail half way, they are released while libpq is still loaded.
    std::unique_ptr<void, LibraryCloser> library_;
    std::unique_ptr<Functions> fn_;
    std::unique_ptr<pg_conn, ConnectionCloser> connection_;
    std::unique_ptr<pg_result, ResultClearer> result_;
    int rows_ = 0;
    int fields_ = 0;
    char queryBuffer_[4096];
    bool asyncPending_ = false;
};
