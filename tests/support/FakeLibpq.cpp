// A stand-in libpq for the libpq session's unit tests. It exports every function the session
// resolves (a variant built with OMIT_<name> lacks that one) and answers from environment
// variables, so the session's checks can be driven to any outcome without a server:
//   FAKEPQ_CONNECT_FAIL   set: PQconnectdb returns NULL
//   FAKEPQ_STATUS         PQstatus (0 = CONNECTION_OK, the default)
//   FAKEPQ_PROTOCOL       PQprotocolVersion (default 3)
//   FAKEPQ_SERVER_VERSION PQserverVersion (default 150000)
//   FAKEPQ_SUPERUSER      reported is_superuser; "-" reports none (default "on")
// fakepq_last_conninfo() returns the last connection string PQconnectdb received;
// fakepq_notice(text) hands text to the notice processor set last, as the server's notices are.

#include <cstdlib>
#include <cstring>

namespace {

char last_conninfo[8192];
char empty_text[] = "";
char server_gone[] = "fake server gone\n";

int env_int(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

} // namespace

extern "C" {

const char* fakepq_last_conninfo() { return last_conninfo; }

#ifndef OMIT_PQfreemem
void PQfreemem(void* p) { std::free(p); }
#endif
void PQconninfoFree(void*) {}
void* PQconnectdb(const char* conninfo) {
    std::strncpy(last_conninfo, conninfo, sizeof last_conninfo - 1);
    if (std::getenv("FAKEPQ_CONNECT_FAIL") != nullptr)
        return nullptr;
    return std::malloc(16);
}
const char* PQparameterStatus(const void*, const char* name) {
    if (std::strcmp(name, "is_superuser") == 0) {
        const char* v = std::getenv("FAKEPQ_SUPERUSER");
        if (v == nullptr)
            return "on";
        return std::strcmp(v, "-") == 0 ? nullptr : v;
    }
    if (std::strcmp(name, "server_version") == 0)
        return "15.0";
    return nullptr;
}
int PQprotocolVersion(const void*) { return env_int("FAKEPQ_PROTOCOL", 3); }
int PQserverVersion(const void*) { return env_int("FAKEPQ_SERVER_VERSION", 150000); }
char* PQerrorMessage(const void*) { return server_gone; }
int PQtransactionStatus(const void*) { return 0; }
int PQisnonblocking(const void*) { return 0; }
int PQsetnonblocking(void*, int) { return 0; }
void* PQgetCancel(void*) { return nullptr; }
int PQcancel(void*, char*, int) { return 0; }
void PQfreeCancel(void*) {}
int PQsendQuery(void*, const char*) { return 0; }
int PQconsumeInput(void*) { return 0; }
int PQisBusy(void*) { return 0; }
int PQsocket(const void*) { return -1; }
void* PQgetResult(void*) { return nullptr; }
int PQresultStatus(const void*) { return 7; }
int PQntuples(const void*) { return 0; }
int PQnfields(const void*) { return 0; }
void* PQexec(void*, const char*) { return nullptr; }
char* PQgetvalue(const void*, int, int) { return empty_text; }
int PQgetisnull(const void*, int, int) { return 1; }
int PQgetlength(const void*, int, int) { return 0; }
void PQclear(void*) {}
#ifndef OMIT_PQstatus
int PQstatus(const void*) { return env_int("FAKEPQ_STATUS", 0); }
#endif
#ifndef OMIT_PQreset
void PQreset(void*) {}
#endif
void* PQsetNoticeReceiver(void*, void*, void*) { return nullptr; }
char* PQresultErrorMessage(const void*) { return empty_text; }
void PQfinish(void* c) { std::free(c); }
void PQprint(void*, const void*, const void*) {}

typedef void (*fakepq_notice_fn)(void*, const char*);
static fakepq_notice_fn notice_processor;
static void* notice_arg;
fakepq_notice_fn PQsetNoticeProcessor(void*, fakepq_notice_fn f, void* a) {
    notice_processor = f;
    notice_arg = a;
    return nullptr;
}
int fakepq_notice(const char* text) {
    if (notice_processor == nullptr)
        return 0;
    notice_processor(notice_arg, text);
    return 1;
}

void* PQexecParams(void*, const char*, int, const void*, const char* const*, const int*,
                   const int*, int) {
    return nullptr;
}
char* PQresStatus(int) { return empty_text; }
#ifndef OMIT_PQbinaryTuples
int PQbinaryTuples(const void*) { return 0; }
#endif

} // extern "C"
