// A libpq session against real servers of every major we know: each cluster's own libpq is
// loaded, the session connects over the cluster's socket directory and runs the statements a
// backup job runs, and it refuses the uses libpq cannot survive.

#include "FsBackupHost.h"
#include "MajorStage.h"
#include "TestFiles.h"

#include "pgulo/PGException.h"
#include "pgulo/libpqInterface.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>

namespace {

using namespace pgulo::test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

auto* const g_home = ::testing::AddGlobalTestEnvironment(new HostHome(9));

const char* const kSuperPassword = "Sup3r-pw";
const char* const kPlainPassword = "Pl4in-pw";
const char* const kDumpFile = "/tmp/libpqinterface_debug";

// The host's quit request, raised from another thread after the delay (at once when 0) as a
// host would, and lowered whatever way the test ends.
class QuitRequest {
public:
    explicit QuitRequest(int afterMs) {
        Set(afterMs == 0);
        raiser_ = std::thread([afterMs] {
            std::this_thread::sleep_for(milliseconds(afterMs));
            Set(true);
        });
    }
    ~QuitRequest() { Lower(); }
    void Lower() {
        if (raiser_.joinable())
            raiser_.join();
        Set(false);
    }

private:
    static void Set(bool on) {
        __atomic_store_n(&libpqInterfaceGlobalQuitFlag, on, __ATOMIC_RELAXED);
    }
    std::thread raiser_;
};

class LibpqSessionTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &SharedCluster(GetParam(), {"libpq", 0, {}, true});
        // A plain role and a second database, made once per cluster.
        if (cluster_->tryPsql("CREATE DATABASE pgulo_other").ok())
            cluster_->psql(std::string("CREATE ROLE pgulo_plain LOGIN NOSUPERUSER PASSWORD '") +
                           kPlainPassword + "'");
    }

    std::unique_ptr<libpqInterface> Connect(const std::string& login = "postgres",
                                            const std::string& password = kSuperPassword) const {
        return std::make_unique<libpqInterface>(cluster_->binDir(), cluster_->libDir(), "postgres",
                                                login, password, std::to_string(cluster_->port()),
                                                "10", "", cluster_->socketDir(), "", false);
    }

    static std::string FirstValue(libpqInterface& session, const std::string& query) {
        EXPECT_TRUE(session.ExecQuery(query)) << query;
        return session.GetNumberOfTuples() > 0 ? session.GetValue(0, 0) : "<no row>";
    }

    PgCluster* cluster_ = nullptr;
};

TEST_P(LibpqSessionTest, ConnectsWithTheClustersOwnLibpq) {
    const std::size_t logStart = AgentLog().size();
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

    const std::string log = AgentLog().substr(logStart);
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

    EXPECT_TRUE(session->ExecQueryAsync("select 1, 'two'", false));
    EXPECT_STREQ(session->GetValue(0, 1), "two");
    EXPECT_FALSE(session->ExecQueryAsync("select 1/0", false));
    EXPECT_TRUE(session->ExecQueryAsync("select pg_sleep(1.5)", true));
}

// The host's quit request during an asynchronous statement (raised from another thread after
// the delay, or before it starts when 0), and how long the wait and the wait plus the next
// statement take.
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
        QuitRequest quit(r.raiseAfterMs);
        const auto start = Clock::now();
        EXPECT_FALSE(session->ExecQueryAsync(r.sql, r.cancel));
        const auto waited = Clock::now() - start;
        quit.Lower();
        EXPECT_GE(waited, milliseconds(r.minWaitMs));
        EXPECT_LT(waited, milliseconds(r.maxWaitMs));
        EXPECT_EQ(FirstValue(*session, "select 7"), "7");
        EXPECT_GE(Clock::now() - start, milliseconds(r.minTotalMs));
        EXPECT_LT(Clock::now() - start, milliseconds(r.maxTotalMs));
    }
}

TEST_P(LibpqSessionTest, ForkedChildAndOtherThreadAreRefused) {
    auto session = Connect();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Leave without destructors: they would close the parent's connection.
        try {
            session->ExecQuery("select 1");
        } catch (const PGException&) {
            ::_exit(0);
        }
        ::_exit(11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ran the query";

    EXPECT_THROW(std::async(std::launch::async, [&] { session->ExecQuery("select 1"); }).get(),
                 PGException);
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

INSTANTIATE_TEST_SUITE_P(AllMajors, LibpqSessionTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         MajorName);

} // namespace
