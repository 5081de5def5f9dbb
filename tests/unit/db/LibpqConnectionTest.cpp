// Connecting: the connection string a session hands to libpq, what its log shows of it, and
// the checks a fresh connection goes through. A stand-in libpq plays the server.

#include "FsBackupHost.h"
#include "FakeLibpq.h"
#include "PGFailure.h"
#include "TempTree.h"

#include "pgulo/PGLastError.h"
#include "pgulo/libpqInterface.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using namespace pgulo::test;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new pgulo::test::HostHome(9));
const char* const kPassword = "S3cr3t'pw\\x";
const std::string kLibrary = FakeLibpqPath();

class LibpqConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"FAKEPQ_CONNECT_FAIL", "FAKEPQ_STATUS", "FAKEPQ_PROTOCOL",
                                 "FAKEPQ_SERVER_VERSION", "FAKEPQ_SUPERUSER"})
            ::unsetenv(name);
        PGLastError("earlier failure");
        logStart_ = AgentLog().size();
    }
    void TearDown() override { SetUp(); }

    std::string NewLog() const { return AgentLog().substr(logStart_); }

    static std::unique_ptr<libpqInterface> Connect(const std::string& hostAddr = "/run/pg sock",
                                                   const std::string& port = "5433") {
        return std::make_unique<libpqInterface>("/unused/bin", kLibrary, "sales db",
                                                "backup'user", kPassword, port, "15",
                                                "db.example", hostAddr, "-c search_path=x", false);
    }

    std::size_t logStart_ = 0;
};

TEST_F(LibpqConnectionTest, ValuesAreQuotedWithBackslashBeforeQuoteAndBackslash) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "''"},     {"a b", "'a b'"}, {"a'\\", "'a\\'\\\\'"},
        {"x\\'y", "'x\\\\\\'y'"}, {"\"", "'\"'"}, {"=;", "'=;'"},
    };
    // Quoted as a copy, and in place.
    libpqInterface session("", kLibrary, "", "", "", "", "", "", "", "", true);
    for (const auto& [in, out] : cases) {
        std::string value = in;
        session.EscapeSlashAndQuote(&value);
        EXPECT_EQ(libpqInterface::QuoteConnectionValue(in), out) << in;
        EXPECT_EQ(value, out) << in;
    }
    EXPECT_THROW(session.EscapeSlashAndQuote(nullptr), PGException);
}

TEST(LibpqConnectionStringTest, KeysComeInOrderAndEmptyValuesAreLeftOut) {
    const struct {
        const char *db, *user, *password, *port, *timeout, *host, *hostAddr, *options;
        const char* prefix; // everything before the password's value
        const char* passwordPart;
    } cases[] = {
        {"db", "u", "pw", "5432", "10", "h", "10.0.0.1", "-c x=1",
         "host = 'h' hostaddr = '10.0.0.1' port = '5432' dbname = 'db' user = 'u' "
         "connect_timeout = '10' options = '-c x=1' password = ",
         "'pw' "},
        {"db", "u", "pw", "5432", "", "", "/var/run/post'gres", "",
         "host = '/var/run/post\\'gres' port = '5432' dbname = 'db' user = 'u' password = ",
         "'pw' "},
        {"db", "", "pw", "", "", "h", "/tmp", "", "host = 'h' host = '/tmp' dbname = 'db' password = ",
         "'pw' "},
        {"db", "u", "pw", "", "", "", "127.0.0.1", "",
         "hostaddr = '127.0.0.1' dbname = 'db' user = 'u' password = ", "'pw' "},
        {"", "", "", "", "", "", "", "", "password = ", "'' "},
        {"d'b", "u\\", "p'w\\", "", "", "", "", "", "dbname = 'd\\'b' user = 'u\\\\' password = ",
         "'p\\'w\\\\' "},
    };
    for (const auto& c : cases) {
        const libpqInterface::ConnectionString s = libpqInterface::BuildConnectionString(
            c.db, c.user, c.password, c.port, c.timeout, c.host, c.hostAddr, c.options);
        EXPECT_EQ(s.real, std::string(c.prefix) + c.passwordPart);
        EXPECT_EQ(s.masked, std::string(c.prefix) + "*****");
    }
}

TEST_F(LibpqConnectionTest, LibpqReceivesTheQuotedStringTheLogNeverThePassword) {
    auto session = Connect();
    EXPECT_EQ(LastConnInfo(kLibrary),
              "host = 'db.example' host = '/run/pg sock' port = '5433' dbname = 'sales db' "
              "user = 'backup\\'user' connect_timeout = '15' options = '-c search_path=x' "
              "password = 'S3cr3t\\'pw\\\\x' ");
    EXPECT_NE(NewLog().find("password = *****"), std::string::npos);
    EXPECT_EQ(AgentLog().find("S3cr3t"), std::string::npos);

    // A connected session reads what the server reported.
    session = Connect("10.1.2.3", "");
    EXPECT_NE(LastConnInfo(kLibrary).find("hostaddr = '10.1.2.3' "), std::string::npos);
    EXPECT_EQ(session->GetServerVersionString(), "15.0");
    std::string value = "untouched";
    EXPECT_FALSE(session->GetParameterValue("TimeZone", &value));
    EXPECT_EQ(value, "untouched");
    EXPECT_TRUE(session->GetParameterValue("is_superuser", &value));
    EXPECT_EQ(value, "on");
}

TEST_F(LibpqConnectionTest, ServerNoticesGoToTheDebugLogNotToStandardError) {
    auto session = Connect();
    ::testing::internal::CaptureStderr();
    const bool emitted = EmitNotice(kLibrary, "NOTICE:  all WAL segments archived\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(emitted) << "the session set no notice processor on its connection";
    EXPECT_NE(NewLog().find("NOTICE:  all WAL segments archived"), std::string::npos);
}

// What the stand-in reports; what connecting (and, with superUser, asking whether the user is
// a superuser) throws, and the user's last error (nullptr: the earlier one stays).
TEST_F(LibpqConnectionTest, FreshConnectionsAreCheckedBeforeUse) {
    const std::string version = "libpqInterface :: IsThisPostGreVersoinSupported";
    const std::string superUser = "libpqInterface :: IsSuperUser";
    const struct {
        const char *variable, *value;
        bool superUser;
        std::string failure;
        const char* lastError;
    } cases[] = {
        {"FAKEPQ_SERVER_VERSION", "80000", true, "", nullptr}, // and the default superuser "on"
        {"FAKEPQ_SERVER_VERSION", "79999", false,
         PGFailureText(version, "APPLICATION_EXCEPTION", "UnSupported Server"),
         "Postgres Server Version is not supported"},
        {"FAKEPQ_PROTOCOL", "2", false,
         PGFailureText(version, "APPLICATION_EXCEPTION", "UnSupported Protocol"), nullptr},
        {"FAKEPQ_CONNECT_FAIL", "1", false,
         PGFailureText("libpqInterface :: ConnectDb", "POSTGRE_EXCEPTION", "PQconnectdb failed"),
         "Failed to Connect to DB. Please check if PostGres Server is running"},
        {"FAKEPQ_STATUS", "1", false,
         PGFailureText("libpqInterface :: ValidateConnection", "POSTGRE_EXCEPTION",
                       "PQreset failed to reset the connection"),
         "Connection to Database Failedfake server gone\n"},
        {"FAKEPQ_SUPERUSER", "off", true,
         PGFailureText(superUser, "APPLICATION_EXCEPTION", "The user is not a super user"),
         "eRRoR -- The user is not a super user."},
        {"FAKEPQ_SUPERUSER", "-", true,
         PGFailureText(superUser, "POSTGRE_EXCEPTION",
                       "PQparameterStatus could not obtain the is_superuser"),
         "eRRoR -- UnKnown Param.PQparameterStatus() returned NULL."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
        SetUp();
        ::setenv(c.variable, c.value, 1);
        EXPECT_EQ(PGFailure([&] {
                      auto session = Connect();
                      if (c.superUser)
                          session->IsSuperUser();
                  }),
                  c.failure);
        EXPECT_STREQ(PGLastError(nullptr), c.lastError ? c.lastError : "earlier failure");
    }
}

TEST_F(LibpqConnectionTest, ShowSendsOnlyParameterNamesThatFitTheBuffer) {
    auto session = Connect();
    std::string value = "untouched";
    auto show = [&](const std::string& name) {
        return PGFailure([&] { session->GetServerParameter(name, &value); });
    };
    const std::string refused = "libpqInterface :: GetServerParameter";
    // "SHOW " + 4090 characters + NUL fill the 4096 bytes exactly: the statement is sent, and
    // the stand-in fails it as a server that went away would.
    EXPECT_EQ(show(std::string(4090, 'a')),
              PGFailureText("libpqInterface :: ExecQuery", "POSTGRE_EXCEPTION",
                            "Query execution failed"));
    EXPECT_EQ(show(std::string(4091, 'a')),
              PGFailureText(refused, "APPLICATION_EXCEPTION", "Parameter name too long for SHOW"));
    for (const char* name : {"wal_level; drop table x", "x'y", "a--b", "x\"y", "a\nb"})
        EXPECT_EQ(show(name), PGFailureText(refused, "APPLICATION_EXCEPTION",
                                            "Invalid parameter name for SHOW"))
            << name;
    EXPECT_EQ(value, "untouched");
}

TEST_F(LibpqConnectionTest, RealLibpqWithoutServerFailsValidation) {
    TempTree emptySocketDir("pgulo-nosocket");
    EXPECT_EQ(PGFailure([&] {
                  libpqInterface("", "/usr/lib/x86_64-linux-gnu", "postgres", "postgres",
                                 kPassword, "5999", "2", "", emptySocketDir.Root(), "", false);
              }),
              PGFailureText("libpqInterface :: ValidateConnection", "POSTGRE_EXCEPTION",
                            "PQreset failed to reset the connection"));
    EXPECT_NE(std::string(PGLastError(nullptr)).find(emptySocketDir.Root()), std::string::npos);
    EXPECT_EQ(AgentLog().find("S3cr3t"), std::string::npos);
}

} // namespace
