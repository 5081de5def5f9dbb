// A libpq session against real servers of every major we know: each cluster's own libpq is
// loaded, the session connects over the cluster's socket directory and runs the statements a
// backup job runs, and it refuses the uses libpq cannot survive.

#include "FsBackupHost.h"
#include "PgCluster.h"
#include "PgInstall.h"
#include "TestFiles.h"

#include "pgulo/PGException.h"
#include "pgulo/libpqInterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace pgulo::test;
using Clock = std::chrono::steady_clock;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new HostHome(9));

const char* const kSuperPassword = "Sup3r-pw";
const char* const kPlainPassword = "Pl4in-pw";
const char* const kDumpFile = "/tmp/libpqinterface_debug";

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
        PGULO_REQUIRE_MAJOR(GetParam());
        PgCluster::Options options;
        options.name = "libpq";
        cluster_ = &SharedCluster(GetParam(), options);
        // A plain role and a second database, made once per cluster.
        if (cluster_->tryPsql("CREATE DATABASE pgulo_other").ok())
            cluster_->psql(std::string("CREATE ROLE pgulo_plain LOGIN NOSUPERUSER PASSWORD '") +
                           kPlainPassword + "'");
        logStart_ = AgentLog().size();
    }

    std::unique_ptr<libpqInterface> Connect(const std::string& login = "postgres",
                                            const std::string& password = kSuperPassword,
                                            const std::string& db = "postgres") const {
        return std::make_unique<libpqInterface>(cluster_->binDir(), cluster_->libDir(), db, login,
                                                password, std::to_string(cluster_->port()), "10",
                                                "", cluster_->socketDir(), "", false);
    }

    std::string NewLog() const { return AgentLog().substr(logStart_); }

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
    EXPECT_EQ(std::to_string(session->GetServerVersion()),
              cluster_->psql("SHOW server_version_num"));
    EXPECT_EQ(session->GetServerVersionString().rfind(std::to_string(GetParam()) + ".", 0), 0u);
    EXPECT_NO_THROW(session->IsSuperUser());
    EXPECT_NO_THROW(session->SetNonBlocking());
    EXPECT_NO_THROW(session->SetNonBlocking());

    std::string value = "untouched";
    EXPECT_FALSE(session->GetParameterValue("no_such_reported_parameter", &value));
    EXPECT_FALSE(session->GetServerParameter("no_such_setting", &value));
    EXPECT_EQ(value, "untouched");
    EXPECT_TRUE(session->GetParameterValue("server_encoding", &value));
    EXPECT_EQ(value, "UTF8");
    EXPECT_TRUE(session->GetServerParameter("wal_level", &value));
    EXPECT_EQ(value, cluster_->psql("SHOW wal_level"));
    std::vector<std::string> names;
    session->GetDbList(&names);
    EXPECT_NE(std::find(names.begin(), names.end(), "pgulo_other"), names.end());

    session->ResetDb("pgulo_other");
    EXPECT_EQ(FirstValue(*session, "select current_database()"), "pgulo_other");
    EXPECT_THROW(Connect("pgulo_plain", kPlainPassword)->IsSuperUser(), PGException);

    const std::string log = NewLog();
    EXPECT_NE(log.find("password = *****"), std::string::npos);
    EXPECT_EQ(log.find(kSuperPassword), std::string::npos);
    EXPECT_EQ(log.find(kPlainPassword), std::string::npos);
}

TEST_P(LibpqSessionTest, ResultsAreBoundsCheckedAndAFailedStatementLeavesNone) {
    auto session = Connect();
    ASSERT_TRUE(session->ExecQuery("select g, g * 2, null::text from generate_series(1, 3) g"));
    ASSERT_EQ(session->GetNumberOfTuples(), 3);
    ASSERT_EQ(session->GetNumberOfFields(), 3);
    EXPECT_STREQ(session->GetValue(2, 1), "6");
    EXPECT_EQ(session->GetLength(2, 1), 1);
    EXPECT_FALSE(session->CheckIfNull(2, 1));
    EXPECT_TRUE(session->CheckIfNull(2, 2));
    for (const auto& [row, column] : std::vector<std::pair<int, int>>{
             {3, 0}, {0, 3}, {3, 3}, {-1, 0}, {0, -1}, {-1, -1}, {2147483647, 0}}) {
        SCOPED_TRACE(std::to_string(row) + "," + std::to_string(column));
        EXPECT_THROW(session->GetValue(row, column), PGException);
        EXPECT_THROW(session->CheckIfNull(row, column), PGException);
        EXPECT_THROW(session->GetLength(row, column), PGException);
    }

    EXPECT_FALSE(session->ExecQuery("select * from no_such_table"));
    EXPECT_EQ(session->GetNumberOfTuples(), 0);
    EXPECT_THROW(session->GetValue(0, 0), PGException);
    EXPECT_EQ(FirstValue(*session, "select 40 + 2"), "42");
}

TEST_P(LibpqSessionTest, AsyncQueryCompletes) {
    auto session = Connect();
    EXPECT_TRUE(session->ExecQueryAsync("select 1, 'two'", false));
    EXPECT_STREQ(session->GetValue(0, 1), "two");
    EXPECT_FALSE(session->ExecQueryAsync("select 1/0", false));
    EXPECT_TRUE(session->ExecQueryAsync("select pg_sleep(1.5)", true));
}

// The host's quit request during an asynchronous statement (raised after the delay, or before
// it starts when 0), and how long the wait and the wait plus the next statement take.
struct QuitRow {
    const char* name;
    int raiseAfterMs;
    const char* sql;
    bool cancel;
    int minWaitMs, maxWaitMs, minTotalMs, maxTotalMs;
};

TEST_P(LibpqSessionTest, QuitFlagStopsTheWait) {
    // clang-format off
    const std::vector<QuitRow> rows = {
        // Without a cancel the next statement first collects what the abandoned one sends.
        {"left running", 1000, "select pg_sleep(5)", false, 900, 4000, 4500, 10000},
        {"cancelled", 1000, "select pg_sleep(30)", true, 900, 4000, 900, 10000},
        {"raised beforehand", 0, "select 1", false, 0, 900, 0, 2000},
    };
    // clang-format on
    auto session = Connect();
    for (const QuitRow& r : rows) {
        SCOPED_TRACE(r.name);
        QuitRequest quit;
        if (r.raiseAfterMs == 0)
            QuitRequest::Set(true);
        else
            quit.RaiseAfter(std::chrono::milliseconds(r.raiseAfterMs));
        const auto start = Clock::now();
        EXPECT_FALSE(session->ExecQueryAsync(r.sql, r.cancel));
        const auto waited = Clock::now() - start;
        quit.Join();
        QuitRequest::Set(false);
        EXPECT_GE(waited, std::chrono::milliseconds(r.minWaitMs));
        EXPECT_LT(waited, std::chrono::milliseconds(r.maxWaitMs));
        EXPECT_EQ(FirstValue(*session, "select 7"), "7");
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(r.minTotalMs));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(r.maxTotalMs));
    }
}

TEST_P(LibpqSessionTest, ForkedChildAndOtherThreadAreRefused) {
    auto session = Connect();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 11;
        try {
            session->ExecQuery("select 1");
        } catch (const PGException&) {
            code = 0;
        }
        // Leave without destructors: they would close the parent's connection.
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ran the query";

    bool refused = false;
    std::thread other([&] {
        try {
            session->ExecQuery("select 1");
        } catch (const PGException&) {
            refused = true;
        }
    });
    other.join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(FirstValue(*session, "select 'owner'"), "owner");
}

TEST_P(LibpqSessionTest, DebugDumpFileReceivesEachTupleResult) {
    auto session = Connect();
    struct stat st {};
    if (::lstat(kDumpFile, &st) == 0)
        GTEST_SKIP() << kDumpFile << " already exists; it belongs to someone else";
    TestFiles::Write(kDumpFile, "");
    struct RemoveDump {
        ~RemoveDump() { ::unlink(kDumpFile); }
    } removeDump;

    const std::string query = "select 1 as one, 'x' as two";
    ASSERT_TRUE(session->ExecQuery(query));
    ASSERT_TRUE(session->ExecQuery("set application_name to 'pgulo_dump_check'"));
    ASSERT_FALSE(session->ExecQuery("select pgulo_dump_failure()"));
    const std::string text = TestFiles::Read(kDumpFile);
    ::unlink(kDumpFile);
    const auto header = text.find("DbName:[postgres]\nQuery:[" + query + "]\none|two");
    ASSERT_NE(header, std::string::npos) << text;
    EXPECT_NE(text.find("1|x", header), std::string::npos) << text;
    EXPECT_NE(text.find("\n" + std::string(100, '*') + "\n", header), std::string::npos) << text;
    // Only tuple results are dumped.
    EXPECT_EQ(text.find("pgulo_dump_check"), std::string::npos) << text;
    EXPECT_EQ(text.find("pgulo_dump_failure"), std::string::npos) << text;

    // Without the file nothing is written, and the file is not created.
    ASSERT_TRUE(session->ExecQuery(query));
    EXPECT_NE(::lstat(kDumpFile, &st), 0);
}

std::string MajorName(const ::testing::TestParamInfo<int>& info) {
    return "PG" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(AllMajors, LibpqSessionTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         MajorName);

} // namespace
