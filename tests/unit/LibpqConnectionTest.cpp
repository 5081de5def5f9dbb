// Connecting: the connection string a session hands to libpq, what its log shows of it, and
// the checks a fresh connection goes through. A stand-in libpq (FakeLibpq.h) plays the server.

#include "FakeLibpq.h"

#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/libpqInterface.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

using libpqtest::DebugLog;
namespace fs = std::filesystem;

auto* const g_home =
    ::testing::AddGlobalTestEnvironment(new libpqtest::HostHomeEnvironment("pgulo-libpq-connect"));

const char* const kPassword = "S3cr3t'pw\\x";

std::string ExpectedText(const char* label, const char* type, const std::string& message) {
    return std::string("Exception in [") + label + "]\tType:[" + type + "]\tMsg:[" + message + "]";
}

class LibpqConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = libpqtest::HostHomeEnvironment::Home();
        ASSERT_EQ(libpqtest::BuildFakeLibpq(home_, "libpq.so"), "");
        library_ = home_ + "/libpq.so";
    }
    void SetUp() override {
        for (const char* name : {"FAKEPQ_CONNECT_FAIL", "FAKEPQ_STATUS", "FAKEPQ_PROTOCOL",
                                 "FAKEPQ_SERVER_VERSION", "FAKEPQ_SUPERUSER"})
            ::unsetenv(name);
        PGLastError("earlier failure");
        logStart_ = DebugLog().size();
    }
    void TearDown() override { SetUp(); }

    std::string NewLog() const { return DebugLog().substr(logStart_); }

    static std::unique_ptr<libpqInterface> Connect(const std::string& hostAddr = "/run/pg sock",
                                                   const std::string& port = "5433") {
        return std::make_unique<libpqInterface>("/unused/bin", home_, "sales db", "backup'user",
                                                kPassword, port, "15", "db.example", hostAddr,
                                                "-c search_path=x", false);
    }

    // Runs the construction and returns the exception text, or "" when it succeeded.
    static std::string ConnectFailure() {
        try {
            Connect();
        } catch (const PGException& e) {
            return e.what();
        }
        return std::string();
    }

    static std::string home_;
    static std::string library_;
    std::size_t logStart_ = 0;
};
std::string LibpqConnectionTest::home_;
std::string LibpqConnectionTest::library_;

// ---- Quoting of one value.

TEST(LibpqQuoteTest, ValuesAreQuotedWithBackslashBeforeQuoteAndBackslash) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", "''"},     {"abc", "'abc'"}, {"a b", "'a b'"},   {"a'\\", "'a\\'\\\\'"},
        {"'", "'\\''"}, {"\\", "'\\\\'"}, {"''", "'\\'\\''"}, {"x\\'y", "'x\\\\\\'y'"},
        {"\"", "'\"'"}, {"=;", "'=;'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(libpqInterface::QuoteConnectionValue(c.in), c.out);
    }
}

TEST_F(LibpqConnectionTest, EscapeSlashAndQuoteQuotesInPlace) {
    libpqInterface session("", library_, "", "", "", "", "", "", "", "", true);
    std::string value = "a'\\";
    session.EscapeSlashAndQuote(&value);
    EXPECT_EQ(value, "'a\\'\\\\'");
    EXPECT_THROW(session.EscapeSlashAndQuote(nullptr), PGException);
}

// ---- The connection string.

TEST(LibpqConnectionStringTest, KeysComeInOrderAndEmptyValuesAreLeftOut) {
    const struct {
        const char* name;
        const char* db;
        const char* user;
        const char* password;
        const char* port;
        const char* timeout;
        const char* host;
        const char* hostAddr;
        const char* options;
        const char* prefix; // everything before the password's value
        const char* password_part;
    } cases[] = {
        {"every value", "db", "u", "pw", "5432", "10", "h", "10.0.0.1", "-c x=1",
         "host = 'h' hostaddr = '10.0.0.1' port = '5432' dbname = 'db' user = 'u' "
         "connect_timeout = '10' options = '-c x=1' password = ",
         "'pw' "},
        {"socket directory goes as host", "db", "u", "pw", "5432", "", "", "/var/run/post'gres", "",
         "host = '/var/run/post\\'gres' port = '5432' dbname = 'db' user = 'u' password = ",
         "'pw' "},
        {"host and socket directory", "db", "", "pw", "", "", "h", "/tmp", "",
         "host = 'h' host = '/tmp' dbname = 'db' password = ", "'pw' "},
        {"empty port is left out", "db", "u", "pw", "", "", "", "127.0.0.1", "",
         "hostaddr = '127.0.0.1' dbname = 'db' user = 'u' password = ", "'pw' "},
        {"empty password is still sent", "", "", "", "", "", "", "", "", "password = ", "'' "},
        {"quotes and backslashes", "d'b", "u\\", "p'w\\", "", "", "", "", "",
         "dbname = 'd\\'b' user = 'u\\\\' password = ", "'p\\'w\\\\' "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const libpqInterface::ConnectionString s = libpqInterface::BuildConnectionString(
            c.db, c.user, c.password, c.port, c.timeout, c.host, c.hostAddr, c.options);
        EXPECT_EQ(s.real, std::string(c.prefix) + c.password_part);
        EXPECT_EQ(s.masked, std::string(c.prefix) + "*****");
    }
}

TEST_F(LibpqConnectionTest, LibpqReceivesTheQuotedStringAndTheLogNeverThePassword) {
    auto session = Connect();
    const std::string sent = libpqtest::LastConnInfo(library_);
    EXPECT_EQ(sent, "host = 'db.example' host = '/run/pg sock' port = '5433' dbname = 'sales db' "
                    "user = 'backup\\'user' connect_timeout = '15' options = '-c search_path=x' "
                    "password = 'S3cr3t\\'pw\\\\x' ");

    const std::string log = NewLog();
    EXPECT_NE(log.find("Attempting to connect with the following params.DB:[sales db],"
                       "Login[backup'user],Port:[5433],Host:[db.example],Addr:[/run/pg sock],"
                       "Options:[-c search_path=x]"),
              std::string::npos);
    EXPECT_NE(log.find("Non default unix socket directory path /run/pg sock sending as host"),
              std::string::npos);
    EXPECT_NE(log.find("Connection Info string: host = 'db.example' host = '/run/pg sock' "),
              std::string::npos);
    EXPECT_NE(log.find("password = *****"), std::string::npos);
    EXPECT_EQ(log.find("S3cr3t"), std::string::npos);
    EXPECT_EQ(DebugLog().find("S3cr3t"), std::string::npos);
}

TEST_F(LibpqConnectionTest, ConnectedSessionLogsWhatTheServerReported) {
    auto session = Connect("10.1.2.3", "");
    EXPECT_EQ(libpqtest::LastConnInfo(library_).find("port"), std::string::npos);
    EXPECT_NE(libpqtest::LastConnInfo(library_).find("hostaddr = '10.1.2.3' "), std::string::npos);
    const std::string log = NewLog();
    EXPECT_NE(log.find("Transaction Status: currently idle"), std::string::npos);
    EXPECT_NE(log.find("server_version: 15.0"), std::string::npos);
    EXPECT_NE(log.find("is_superuser: on"), std::string::npos);
    // Parameters the server did not report are skipped silently.
    EXPECT_EQ(log.find("TimeZone"), std::string::npos);
    EXPECT_EQ(session->GetServerVersionString(), "15.0");
    std::string value = "untouched";
    EXPECT_FALSE(session->GetParameterValue("TimeZone", &value));
    EXPECT_EQ(value, "untouched");
    EXPECT_TRUE(session->GetParameterValue("is_superuser", &value));
    EXPECT_EQ(value, "on");
}

TEST_F(LibpqConnectionTest, ServerNoticesGoToTheDebugLogNotToStandardError) {
    auto session = Connect();
    const char* const notice = "NOTICE:  all required WAL segments have been archived\n";
    ::testing::internal::CaptureStderr();
    const bool emitted = libpqtest::EmitNotice(library_, notice);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(emitted) << "the session set no notice processor on its connection";
    EXPECT_EQ(err, "");
    EXPECT_NE(NewLog().find("NOTICE:  all required WAL segments have been archived"),
              std::string::npos)
        << NewLog();
}

// ---- Checks of a fresh connection.

TEST_F(LibpqConnectionTest, ServerVersionsBefore80AreRefused) {
    const struct {
        const char* version;
        bool accepted;
    } cases[] = {
        {"70400", false}, {"79999", false}, {"80000", true}, {"90624", true}, {"180000", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        ::setenv("FAKEPQ_SERVER_VERSION", c.version, 1);
        PGLastError("earlier failure");
        const std::string failure = ConnectFailure();
        if (c.accepted) {
            EXPECT_EQ(failure, "");
            EXPECT_STREQ(PGLastError(nullptr), "earlier failure");
        } else {
            EXPECT_EQ(failure, ExpectedText("libpqInterface :: IsThisPostGreVersoinSupported",
                                            "APPLICATION_EXCEPTION", "UnSupported Server"));
            EXPECT_STREQ(PGLastError(nullptr), "Postgres Server Version is not supported");
        }
    }
    EXPECT_NE(NewLog().find("eRRoR -- UnSupported Server version: 79999"), std::string::npos);
}

TEST_F(LibpqConnectionTest, ProtocolTwoIsRefused) {
    ::setenv("FAKEPQ_PROTOCOL", "2", 1);
    EXPECT_EQ(ConnectFailure(), ExpectedText("libpqInterface :: IsThisPostGreVersoinSupported",
                                             "APPLICATION_EXCEPTION", "UnSupported Protocol"));
    EXPECT_NE(NewLog().find("eRRoR -- UnSupported Protocol version: 2"), std::string::npos);
    EXPECT_STREQ(PGLastError(nullptr), "earlier failure");
}

TEST_F(LibpqConnectionTest, ConnectFailureTellsTheUserToCheckTheServer) {
    ::setenv("FAKEPQ_CONNECT_FAIL", "1", 1);
    EXPECT_EQ(ConnectFailure(), ExpectedText("libpqInterface :: ConnectDb", "POSTGRE_EXCEPTION",
                                             "PQconnectdb failed"));
    EXPECT_STREQ(PGLastError(nullptr),
                 "Failed to Connect to DB. Please check if PostGres Server is running");
    EXPECT_NE(NewLog().find("eRRoR -- PQconnectdb failed. Error:NULL"), std::string::npos);
}

TEST_F(LibpqConnectionTest, BrokenConnectionIsResetOnceThenReported) {
    ::setenv("FAKEPQ_STATUS", "1", 1);
    EXPECT_EQ(ConnectFailure(),
              ExpectedText("libpqInterface :: ValidateConnection", "POSTGRE_EXCEPTION",
                           "PQreset failed to reset the connection"));
    EXPECT_STREQ(PGLastError(nullptr), "Connection to Database Failedfake server gone\n");
    EXPECT_NE(NewLog().find("eRRoR -- PQreset failed to reset the connection. Error:fake server "
                            "gone"),
              std::string::npos);
}

TEST_F(LibpqConnectionTest, SuperUserCheckFollowsTheReportedValue) {
    EXPECT_NO_THROW(Connect()->IsSuperUser());

    ::setenv("FAKEPQ_SUPERUSER", "off", 1);
    try {
        Connect()->IsSuperUser();
        ADD_FAILURE() << "a plain user passed";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()),
                  ExpectedText("libpqInterface :: IsSuperUser", "APPLICATION_EXCEPTION",
                               "The user is not a super user"));
    }
    EXPECT_STREQ(PGLastError(nullptr), "eRRoR -- The user is not a super user.");

    ::setenv("FAKEPQ_SUPERUSER", "-", 1);
    try {
        Connect()->IsSuperUser();
        ADD_FAILURE() << "a missing is_superuser passed";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()),
                  ExpectedText("libpqInterface :: IsSuperUser", "POSTGRE_EXCEPTION",
                               "PQparameterStatus could not obtain the is_superuser"));
    }
    EXPECT_STREQ(PGLastError(nullptr), "eRRoR -- UnKnown Param.PQparameterStatus() returned NULL.");
}

// ---- SHOW: the name must fit the query buffer and be a parameter name.

TEST_F(LibpqConnectionTest, ShowNamesThatDoNotFitTheBufferAreRefused) {
    auto session = Connect();
    std::string value = "untouched";
    // "SHOW " + 4090 characters + NUL fill the 4096 bytes exactly: the statement is sent (the
    // stand-in then fails it as a server that went away would).
    try {
        session->GetServerParameter(std::string(4090, 'a'), &value);
        ADD_FAILURE() << "the stand-in answered";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()),
                  ExpectedText("libpqInterface :: ExecQuery", "POSTGRE_EXCEPTION",
                               "Query execution failed"));
    }
    try {
        session->GetServerParameter(std::string(4091, 'a'), &value);
        ADD_FAILURE() << "an oversized name was accepted";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()),
                  ExpectedText("libpqInterface :: GetServerParameter", "APPLICATION_EXCEPTION",
                               "Parameter name too long for SHOW"));
    }
    EXPECT_EQ(value, "untouched");
    EXPECT_NE(NewLog().find("eRRoR -- Parameter name of 4091 characters does not fit the "
                            "4096-byte query buffer"),
              std::string::npos);
}

TEST_F(LibpqConnectionTest, ShowRefusesTextThatIsNoParameterName) {
    auto session = Connect();
    std::string value = "untouched";
    for (const char* name : {"wal_level; drop table x", "x'y", "a--b", "x\"y", "a\nb"}) {
        SCOPED_TRACE(name);
        try {
            session->GetServerParameter(name, &value);
            ADD_FAILURE() << "sent";
        } catch (const PGException& e) {
            EXPECT_EQ(std::string(e.what()),
                      ExpectedText("libpqInterface :: GetServerParameter", "APPLICATION_EXCEPTION",
                                   "Invalid parameter name for SHOW"));
        }
    }
    EXPECT_EQ(value, "untouched");
}

// ---- A real libpq with nobody listening.

TEST_F(LibpqConnectionTest, RealLibpqWithoutServerFailsValidation) {
    const std::string emptySocketDir = home_ + "/nosocket";
    fs::create_directories(emptySocketDir);
    try {
        libpqInterface session("", "/usr/lib/x86_64-linux-gnu", "postgres", "postgres", kPassword,
                               "5999", "2", "", emptySocketDir, "", false);
        ADD_FAILURE() << "connected to nobody";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()),
                  ExpectedText("libpqInterface :: ValidateConnection", "POSTGRE_EXCEPTION",
                               "PQreset failed to reset the connection"));
    }
    const std::string lastError = PGLastError(nullptr);
    EXPECT_EQ(lastError.rfind("Connection to Database Failed", 0), 0u) << lastError;
    EXPECT_NE(lastError.find(emptySocketDir), std::string::npos) << lastError;
    EXPECT_EQ(DebugLog().find("S3cr3t"), std::string::npos);
}

} // namespace
