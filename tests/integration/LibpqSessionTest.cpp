// A libpq session against real servers of every major we know: each cluster's own libpq is
// loaded, the session connects over the cluster's socket directory and runs the statements a
// backup job runs, and it refuses the uses libpq cannot survive.

#include "ChattyHostHome.h"
#include "TestFiles.h"

#include "PgCluster.h"
#include "PgInstall.h"

#include "pgulo/PGException.h"
#include "pgulo/PGLastError.h"
#include "pgulo/libpqInterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using pgulo::test::PgCluster;
using pgulo::test::PgInstall;
using Clock = std::chrono::steady_clock;

const pgulo::test::ChattyHostHome g_home;

const char* const kSuperPassword = "Sup3r-pw";
const char* const kPlainPassword = "Pl4in-pw";
const char* const kDumpFile = "/tmp/libpqinterface_debug";

std::string ExpectedText(const char* label, const char* type, const std::string& message) {
    return std::string("Exception in [") + label + "]\tType:[" + type + "]\tMsg:[" + message + "]";
}

// The host's quit request, undone whatever way the test ends.
class QuitRequest {
public:
    QuitRequest() = default;
    QuitRequest(const QuitRequest&) = delete;
    QuitRequest& operator=(const QuitRequest&) = delete;
    ~QuitRequest() {
        Join();
        Set(false);
    }
    static void Set(bool on) {
        __atomic_store_n(&libpqInterfaceGlobalQuitFlag, on, __ATOMIC_RELAXED);
    }
    // Raises the flag from another thread after the delay, as a host would.
    void RaiseAfter(std::chrono::milliseconds delay) {
        raiser_ = std::thread([delay] {
            std::this_thread::sleep_for(delay);
            Set(true);
        });
    }
    void Join() {
        if (raiser_.joinable())
            raiser_.join();
    }

private:
    std::thread raiser_;
};

class LibpqSessionTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        const int major = GetParam();
        PGULO_REQUIRE_MAJOR(major);
        const std::vector<int> wanted = PgInstall::testMajors();
        if (std::find(wanted.begin(), wanted.end(), major) == wanted.end())
            GTEST_SKIP() << "PostgreSQL " << major << " is left out by PGULO_TEST_MAJORS";
        cluster_ = &ClusterFor(major);
        PGLastError("earlier failure");
        logStart_ = pgulo::test::ChattyHostHome::Log().size();
    }

    static void TearDownTestSuite() { Clusters().clear(); }

    static std::map<int, std::unique_ptr<PgCluster>>& Clusters() {
        static std::map<int, std::unique_ptr<PgCluster>> clusters;
        return clusters;
    }

    // One cluster per major for the whole suite, with a plain role and a second database.
    static PgCluster& ClusterFor(int major) {
        auto& slot = Clusters()[major];
        if (!slot) {
            PgCluster::Options options;
            options.name = "libpq-" + std::to_string(major);
            auto cluster = std::make_unique<PgCluster>(major, options);
            cluster->start();
            cluster->psql(std::string("CREATE ROLE pgulo_plain LOGIN NOSUPERUSER PASSWORD '") +
                          kPlainPassword + "'");
            cluster->psql("CREATE DATABASE pgulo_other");
            slot = std::move(cluster);
        }
        return *slot;
    }

    std::unique_ptr<libpqInterface> Connect(const std::string& login = "postgres",
                                            const std::string& password = kSuperPassword,
                                            const std::string& db = "postgres") const {
        return std::make_unique<libpqInterface>(cluster_->binDir(), cluster_->libDir(), db, login,
                                                password, std::to_string(cluster_->port()), "10",
                                                "", cluster_->socketDir(), "", false);
    }

    std::string NewLog() const { return pgulo::test::ChattyHostHome::Log().substr(logStart_); }

    static std::string FirstValue(libpqInterface& session, const std::string& query) {
        EXPECT_TRUE(session.ExecQuery(query)) << query;
        return session.GetNumberOfTuples() > 0 ? session.GetValue(0, 0) : "<no row>";
    }

    PgCluster* cluster_ = nullptr;
    std::size_t logStart_ = 0;
};

TEST_P(LibpqSessionTest, ConnectsWithTheClustersOwnLibpq) {
    auto session = Connect();
    EXPECT_EQ(session->LibraryPath().rfind(cluster_->libDir() + "/libpq.so", 0), 0u)
        << session->LibraryPath();
    EXPECT_EQ(session->GetServerVersion() / 10000, GetParam());
    EXPECT_EQ(std::to_string(session->GetServerVersion()),
              cluster_->psql("SHOW server_version_num"));
    EXPECT_EQ(session->GetServerVersionString().rfind(std::to_string(GetParam()) + ".", 0), 0u);
    EXPECT_NO_THROW(session->IsSuperUser());
    EXPECT_NO_THROW(session->SetNonBlocking());
    EXPECT_NO_THROW(session->SetNonBlocking());

    std::string encoding;
    EXPECT_TRUE(session->GetParameterValue("server_encoding", &encoding));
    EXPECT_EQ(encoding, "UTF8");
    EXPECT_FALSE(session->GetParameterValue("no_such_reported_parameter", &encoding));
    EXPECT_EQ(encoding, "UTF8");

    const std::string log = NewLog();
    EXPECT_NE(log.find("Transaction Status: currently idle"), std::string::npos);
    EXPECT_NE(log.find("is_superuser: on"), std::string::npos);
    EXPECT_NE(log.find("password = *****"), std::string::npos);
    EXPECT_EQ(log.find(kSuperPassword), std::string::npos);
    EXPECT_STREQ(PGLastError(nullptr), "earlier failure");
}

TEST_P(LibpqSessionTest, PlainRoleIsNoSuperUser) {
    auto session = Connect("pgulo_plain", kPlainPassword);
    EXPECT_EQ(FirstValue(*session, "select current_user"), "pgulo_plain");
    try {
        session->IsSuperUser();
        ADD_FAILURE() << "a plain role passed";
    } catch (const PGException& e) {
        EXPECT_EQ(std::string(e.what()),
                  ExpectedText("libpqInterface :: IsSuperUser", "APPLICATION_EXCEPTION",
                               "The user is not a super user"));
    }
    EXPECT_STREQ(PGLastError(nullptr), "eRRoR -- The user is not a super user.");
    EXPECT_EQ(pgulo::test::ChattyHostHome::Log().find(kPlainPassword), std::string::npos);
}

TEST_P(LibpqSessionTest, ServerSettingsAndDatabaseList) {
    auto session = Connect();
    std::string walLevel = "untouched";
    EXPECT_TRUE(session->GetServerParameter("wal_level", &walLevel));
    EXPECT_EQ(walLevel, cluster_->psql("SHOW wal_level"));

    std::string value = "untouched";
    EXPECT_FALSE(session->GetServerParameter("no_such_setting", &value));
    EXPECT_EQ(value, "untouched");
    // More than one row: the statement succeeds and the value is left alone.
    EXPECT_TRUE(session->GetServerParameter("all", &value));
    EXPECT_EQ(value, "untouched");
    EXPECT_GT(session->GetNumberOfTuples(), 1);

    std::vector<std::string> names = {"kept"};
    session->GetDbList(&names);
    for (const char* db : {"kept", "postgres", "template0", "template1", "pgulo_other"})
        EXPECT_NE(std::find(names.begin(), names.end(), db), names.end()) << db;
    EXPECT_EQ(names.size(), 1u + std::stoul(cluster_->psql("select count(*) from pg_database")));
}

TEST_P(LibpqSessionTest, FailingStatementReturnsFalseAndTheSessionGoesOn) {
    auto session = Connect();
    EXPECT_FALSE(session->ExecQuery("select * from no_such_table"));
    EXPECT_EQ(session->GetNumberOfTuples(), 0);
    EXPECT_THROW(session->GetValue(0, 0), PGException);
    EXPECT_NE(NewLog().find("eRRoR --  PQresultStatus indicates failure for select * from "
                            "no_such_table. Error:ERROR:  relation \"no_such_table\""),
              std::string::npos);
    EXPECT_TRUE(session->ExecQuery("create temporary table t(a int)"));
    EXPECT_EQ(FirstValue(*session, "select 40 + 2"), "42");
}

TEST_P(LibpqSessionTest, ResultAccessIsBoundsChecked) {
    auto session = Connect();
    ASSERT_TRUE(session->ExecQuery("select g, g * 2, null::text from generate_series(1, 3) g"));
    ASSERT_EQ(session->GetNumberOfTuples(), 3);
    ASSERT_EQ(session->GetNumberOfFields(), 3);
    EXPECT_STREQ(session->GetValue(2, 1), "6");
    EXPECT_STREQ(session->GetValue(0, 0), "1");
    EXPECT_EQ(session->GetLength(2, 1), 1);
    EXPECT_FALSE(session->CheckIfNull(2, 1));
    EXPECT_TRUE(session->CheckIfNull(2, 2));

    const struct {
        int row;
        int column;
    } outside[] = {{3, 0}, {0, 3}, {3, 3}, {-1, 0}, {0, -1}, {-1, -1}, {2147483647, 0}};
    for (const auto& at : outside) {
        SCOPED_TRACE(std::to_string(at.row) + "," + std::to_string(at.column));
        for (int accessor = 0; accessor < 3; ++accessor) {
            try {
                if (accessor == 0)
                    session->GetValue(at.row, at.column);
                else if (accessor == 1)
                    session->CheckIfNull(at.row, at.column);
                else
                    session->GetLength(at.row, at.column);
                ADD_FAILURE() << "accessor " << accessor << " read outside the result";
            } catch (const PGException& e) {
                EXPECT_EQ(std::string(e.what()),
                          ExpectedText("CheckForResultAccessViolation", "APPLICATION_EXCEPTION",
                                       "Accessing unavilable result"));
            }
        }
    }
    EXPECT_NE(NewLog().find("eRRoR -- Access voilation. Result Avilable:Row[3],Column[3]. "
                            "Requested:Row[-1],Column[0]."),
              std::string::npos);
}

TEST_P(LibpqSessionTest, AsyncQueryCompletes) {
    auto session = Connect();
    EXPECT_TRUE(session->ExecQueryAsync("select 1, 'two'", false));
    EXPECT_EQ(session->GetNumberOfTuples(), 1);
    EXPECT_STREQ(session->GetValue(0, 1), "two");
    EXPECT_FALSE(session->ExecQueryAsync("select 1/0", false));
    EXPECT_TRUE(session->ExecQueryAsync("select pg_sleep(1.5)", true));
    EXPECT_NE(NewLog().find("Waiting on response from server for Query[select pg_sleep(1.5)]"),
              std::string::npos);
}

TEST_P(LibpqSessionTest, QuitFlagStopsTheWaitAndLeavesTheStatementRunning) {
    auto session = Connect();
    QuitRequest quit;
    quit.RaiseAfter(std::chrono::seconds(1));
    const auto start = Clock::now();
    const bool finished = session->ExecQueryAsync("select pg_sleep(5)", false);
    const auto waited = Clock::now() - start;
    quit.Join();
    QuitRequest::Set(false);
    EXPECT_FALSE(finished);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(4));

    // The next statement first collects what the abandoned one still sends.
    EXPECT_EQ(FirstValue(*session, "select 7"), "7");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(4500));
    EXPECT_NE(NewLog().find("PQgetResult returned a non NULL result."), std::string::npos);
}

TEST_P(LibpqSessionTest, QuitFlagWithCancelStopsTheStatement) {
    auto session = Connect();
    QuitRequest quit;
    quit.RaiseAfter(std::chrono::seconds(1));
    const auto start = Clock::now();
    EXPECT_FALSE(session->ExecQueryAsync("select pg_sleep(30)", true));
    quit.Join();
    QuitRequest::Set(false);
    EXPECT_EQ(FirstValue(*session, "select 8"), "8");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(NewLog().find("Successful dispatch of request to cancel the query[select "
                            "pg_sleep(30)]"),
              std::string::npos);
}

TEST_P(LibpqSessionTest, QuitFlagRaisedBeforehandReturnsAtOnce) {
    auto session = Connect();
    QuitRequest quit;
    QuitRequest::Set(true);
    const auto start = Clock::now();
    EXPECT_FALSE(session->ExecQueryAsync("select 1", false));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
    QuitRequest::Set(false);
    EXPECT_EQ(FirstValue(*session, "select 9"), "9");
}

TEST_P(LibpqSessionTest, ForkedChildIsRefused) {
    auto session = Connect();
    const std::string expected =
        ExpectedText("libpqInterface :: CheckIfThereWasAFork", "APPLICATION_EXCEPTION",
                     "Improper Usage. On Unix, forking a process with open libpq connections can "
                     "lead to unpredictable results because the parent and child processes share "
                     "the same sockets and operating system resources");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 10;
        try {
            session->ExecQuery("select 1");
            code = 11;
        } catch (const PGException& e) {
            code = std::string(e.what()) == expected ? 0 : 12;
        } catch (...) {
            code = 13;
        }
        // Leave without destructors: they would close the parent's connection.
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no exception, 11: query ran, 12: other text";
    EXPECT_EQ(FirstValue(*session, "select 'parent'"), "parent");
}

TEST_P(LibpqSessionTest, OtherThreadIsRefused) {
    auto session = Connect();
    std::string text;
    std::thread other([&] {
        try {
            session->ExecQuery("select 1");
        } catch (const PGException& e) {
            text = e.what();
        }
    });
    other.join();
    EXPECT_EQ(text, ExpectedText("libpqInterface :: CheckMultiThreadUsage", "APPLICATION_EXCEPTION",
                                 "Improper Usage. no two threads attempt to manipulate the same "
                                 "PGconn object at the same time"));
    EXPECT_EQ(FirstValue(*session, "select 'owner'"), "owner");
}

TEST_P(LibpqSessionTest, ResetDbMovesToAnotherDatabase) {
    auto session = Connect();
    EXPECT_EQ(FirstValue(*session, "select current_database()"), "postgres");
    session->ResetDb("pgulo_other");
    EXPECT_EQ(FirstValue(*session, "select current_database()"), "pgulo_other");
    EXPECT_EQ(FirstValue(*session, "select current_user"), "postgres");
}

// Removes the dump file at the end only when this test created it.
class DumpFileGuard {
public:
    bool Create() {
        struct stat st {};
        if (::lstat(kDumpFile, &st) == 0)
            return false;
        pgulo::test::TestFiles::Write(kDumpFile, "");
        created_ = true;
        return true;
    }
    void Remove() {
        if (created_)
            ::unlink(kDumpFile);
        created_ = false;
    }
    ~DumpFileGuard() { Remove(); }

private:
    bool created_ = false;
};

TEST_P(LibpqSessionTest, DebugDumpFileReceivesEachTupleResult) {
    auto session = Connect();
    DumpFileGuard dump;
    if (!dump.Create())
        GTEST_SKIP() << kDumpFile << " already exists; it belongs to someone else";

    const std::string query = "select 1 as one, 'x' as two";
    ASSERT_TRUE(session->ExecQuery(query));
    ASSERT_TRUE(session->ExecQuery("set application_name to 'pgulo_dump_check'"));
    ASSERT_FALSE(session->ExecQuery("select pgulo_dump_failure()"));
    const std::string text = pgulo::test::TestFiles::Read(kDumpFile);
    dump.Remove();

    const auto block = text.find("DbName:[postgres]\nQuery:[" + query + "]\n");
    ASSERT_NE(block, std::string::npos) << text;
    const auto header = text.find("one|two", block);
    EXPECT_NE(header, std::string::npos) << text;
    EXPECT_NE(text.find("1|x", header), std::string::npos) << text;
    EXPECT_NE(text.find("\n" + std::string(100, '*') + "\n", header), std::string::npos) << text;
    // Only tuple results are dumped.
    EXPECT_EQ(text.find("pgulo_dump_check"), std::string::npos) << text;
    EXPECT_EQ(text.find("pgulo_dump_failure"), std::string::npos) << text;

    // Without the file nothing is written, and the file is not created.
    ASSERT_TRUE(session->ExecQuery(query));
    struct stat st {};
    EXPECT_NE(::lstat(kDumpFile, &st), 0);
}

std::string MajorName(const ::testing::TestParamInfo<int>& info) {
    return "PG" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(AllMajors, LibpqSessionTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         MajorName);

} // namespace
