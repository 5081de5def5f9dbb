#pragma once

// Test helpers shared by the libpq session's unit tests: a fresh host home with a chatty
// debug log, and a stand-in libpq built at test time. The stand-in exports every function the
// session resolves (optionally all but one) and answers from environment variables, so the
// session's checks can be driven to any outcome without a server:
//   FAKEPQ_CONNECT_FAIL   set: PQconnectdb returns NULL
//   FAKEPQ_STATUS         PQstatus (0 = CONNECTION_OK, the default)
//   FAKEPQ_PROTOCOL       PQprotocolVersion (default 3)
//   FAKEPQ_SERVER_VERSION PQserverVersion (default 150000)
//   FAKEPQ_SUPERUSER      reported is_superuser; "-" reports none (default "on")
// fakepq_last_conninfo() returns the last connection string PQconnectdb received;
// fakepq_notice(text) hands text to the notice processor set last, as the server's notices are.

#include "pgulo/host/EvDebug.h"
#include "pgulo/host/HostHome.h"

#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace libpqtest {

namespace fs = std::filesystem;
using pgulo::test::TestFiles;

inline std::string MakeTempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return std::string();
    return pattern;
}

// Points the host services at a fresh home whose registry asks for every debug line.
// Must run before the first log line of the process reads the level.
inline std::string UseFreshHostHome(const std::string& prefix) {
    const std::string home = MakeTempDir(prefix);
    ::setenv("PGULO_HOME", home.c_str(), 1);
    TestFiles::Write(HostHome::registryFile(), "[EvDebug]\nnDebugLevel=9\n");
    EvDebug::reloadSettings();
    return home;
}

inline std::string DebugLog() {
    return TestFiles::Read(EvDebug::logFilePath());
}

// One fresh host home for the whole test program, removed after the last test (and after
// anything a test left to log). Register with
//   auto* const env = ::testing::AddGlobalTestEnvironment(new HostHomeEnvironment("x"));
class HostHomeEnvironment : public ::testing::Environment {
public:
    explicit HostHomeEnvironment(std::string prefix) : prefix_(std::move(prefix)) {}
    void SetUp() override { home_ = UseFreshHostHome(prefix_); }
    void TearDown() override {
        std::error_code ignored;
        if (!home_.empty())
            fs::remove_all(home_, ignored);
    }
    static const std::string& Home() { return home_; }

private:
    std::string prefix_;
    static inline std::string home_;
};

// The C source of the stand-in. Each function sits in its own #ifndef so one can be left out.
inline std::string FakeLibpqSource() {
    return R"C(
#include <stdlib.h>
#include <string.h>

static char last_conninfo[8192];
static int env_int(const char* name, int fallback) {
    const char* v = getenv(name);
    return v && *v ? atoi(v) : fallback;
}
const char* fakepq_last_conninfo(void) { return last_conninfo; }

#ifndef OMIT_PQfreemem
void PQfreemem(void* p) { free(p); }
#endif
#ifndef OMIT_PQconninfoFree
void PQconninfoFree(void* p) { (void)p; }
#endif
#ifndef OMIT_PQconnectdb
void* PQconnectdb(const char* conninfo) {
    strncpy(last_conninfo, conninfo, sizeof last_conninfo - 1);
    if (getenv("FAKEPQ_CONNECT_FAIL")) return NULL;
    return malloc(16);
}
#endif
#ifndef OMIT_PQparameterStatus
const char* PQparameterStatus(const void* c, const char* name) {
    (void)c;
    if (strcmp(name, "is_superuser") == 0) {
        const char* v = getenv("FAKEPQ_SUPERUSER");
        if (!v) return "on";
        return strcmp(v, "-") == 0 ? NULL : v;
    }
    if (strcmp(name, "server_version") == 0) return "15.0";
    return NULL;
}
#endif
#ifndef OMIT_PQprotocolVersion
int PQprotocolVersion(const void* c) { (void)c; return env_int("FAKEPQ_PROTOCOL", 3); }
#endif
#ifndef OMIT_PQserverVersion
int PQserverVersion(const void* c) { (void)c; return env_int("FAKEPQ_SERVER_VERSION", 150000); }
#endif
#ifndef OMIT_PQerrorMessage
char* PQerrorMessage(const void* c) { (void)c; return (char*)"fake server gone\n"; }
#endif
#ifndef OMIT_PQtransactionStatus
int PQtransactionStatus(const void* c) { (void)c; return 0; }
#endif
#ifndef OMIT_PQisnonblocking
int PQisnonblocking(const void* c) { (void)c; return 0; }
#endif
#ifndef OMIT_PQsetnonblocking
int PQsetnonblocking(void* c, int a) { (void)c; (void)a; return 0; }
#endif
#ifndef OMIT_PQgetCancel
void* PQgetCancel(void* c) { (void)c; return NULL; }
#endif
#ifndef OMIT_PQcancel
int PQcancel(void* c, char* b, int n) { (void)c; (void)b; (void)n; return 0; }
#endif
#ifndef OMIT_PQfreeCancel
void PQfreeCancel(void* c) { (void)c; }
#endif
#ifndef OMIT_PQsendQuery
int PQsendQuery(void* c, const char* q) { (void)c; (void)q; return 0; }
#endif
#ifndef OMIT_PQconsumeInput
int PQconsumeInput(void* c) { (void)c; return 0; }
#endif
#ifndef OMIT_PQisBusy
int PQisBusy(void* c) { (void)c; return 0; }
#endif
#ifndef OMIT_PQgetResult
void* PQgetResult(void* c) { (void)c; return NULL; }
#endif
#ifndef OMIT_PQresultStatus
int PQresultStatus(const void* r) { (void)r; return 7; }
#endif
#ifndef OMIT_PQntuples
int PQntuples(const void* r) { (void)r; return 0; }
#endif
#ifndef OMIT_PQnfields
int PQnfields(const void* r) { (void)r; return 0; }
#endif
#ifndef OMIT_PQexec
void* PQexec(void* c, const char* q) { (void)c; (void)q; return NULL; }
#endif
#ifndef OMIT_PQgetvalue
char* PQgetvalue(const void* r, int a, int b) { (void)r; (void)a; (void)b; return (char*)""; }
#endif
#ifndef OMIT_PQgetisnull
int PQgetisnull(const void* r, int a, int b) { (void)r; (void)a; (void)b; return 1; }
#endif
#ifndef OMIT_PQgetlength
int PQgetlength(const void* r, int a, int b) { (void)r; (void)a; (void)b; return 0; }
#endif
#ifndef OMIT_PQclear
void PQclear(void* r) { (void)r; }
#endif
#ifndef OMIT_PQstatus
int PQstatus(const void* c) { (void)c; return env_int("FAKEPQ_STATUS", 0); }
#endif
#ifndef OMIT_PQreset
void PQreset(void* c) { (void)c; }
#endif
#ifndef OMIT_PQsetNoticeReceiver
void* PQsetNoticeReceiver(void* c, void* f, void* a) { (void)c; (void)f; (void)a; return NULL; }
#endif
#ifndef OMIT_PQresultErrorMessage
char* PQresultErrorMessage(const void* r) { (void)r; return (char*)""; }
#endif
#ifndef OMIT_PQfinish
void PQfinish(void* c) { free(c); }
#endif
#ifndef OMIT_PQprint
void PQprint(void* f, const void* r, const void* o) { (void)f; (void)r; (void)o; }
#endif
#ifndef OMIT_PQsetNoticeProcessor
typedef void (*fakepq_notice_fn)(void*, const char*);
static fakepq_notice_fn notice_processor;
static void* notice_arg;
fakepq_notice_fn PQsetNoticeProcessor(void* c, fakepq_notice_fn f, void* a) {
    (void)c; notice_processor = f; notice_arg = a; return NULL;
}
int fakepq_notice(const char* text) {
    if (!notice_processor) return 0;
    notice_processor(notice_arg, text);
    return 1;
}
#endif
#ifndef OMIT_PQexecParams
void* PQexecParams(void* c, const char* q, int n, const void* t, const char* const* v,
                   const int* l, const int* f, int rf) {
    (void)c; (void)q; (void)n; (void)t; (void)v; (void)l; (void)f; (void)rf; return NULL;
}
#endif
#ifndef OMIT_PQresStatus
char* PQresStatus(int s) { (void)s; return (char*)""; }
#endif
#ifndef OMIT_PQbinaryTuples
int PQbinaryTuples(const void* r) { (void)r; return 0; }
#endif
)C";
}

// Builds the stand-in as <directory>/<fileName>, leaving out the named function when given.
// Empty on success, otherwise the compiler's complaint.
inline std::string BuildFakeLibpq(const std::string& directory, const std::string& fileName,
                                  const std::string& omit = std::string()) {
    const std::string source = directory + "/fakepq_" + (omit.empty() ? "all" : omit) + ".c";
    TestFiles::Write(source, FakeLibpqSource());
    std::vector<std::string> argv = {
        "cc", "-shared", "-fPIC", "-O0", "-o", directory + "/" + fileName, source};
    if (!omit.empty())
        argv.push_back("-DOMIT_" + omit);
    const pgulo::test::ProcessResult r = pgulo::test::runCommand(argv);
    if (!r.ok())
        return "cc failed (" + std::to_string(r.exitCode) + "): " + r.err;
    return std::string();
}

// The connection string the stand-in loaded from libraryPath last received.
inline std::string LastConnInfo(const std::string& libraryPath) {
    void* handle = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return "<stand-in not loaded>";
    using Getter = const char* (*)();
    auto getter = reinterpret_cast<Getter>(::dlsym(handle, "fakepq_last_conninfo"));
    std::string text = getter != nullptr ? getter() : "<no getter>";
    ::dlclose(handle);
    return text;
}

// Plays a server notice through the stand-in loaded from libraryPath: false when no notice
// processor was set.
inline bool EmitNotice(const std::string& libraryPath, const char* text) {
    void* handle = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    using Emitter = int (*)(const char*);
    auto emit = reinterpret_cast<Emitter>(::dlsym(handle, "fakepq_notice"));
    const bool emitted = emit != nullptr && emit(text) == 1;
    ::dlclose(handle);
    return emitted;
}

} // namespace libpqtest
