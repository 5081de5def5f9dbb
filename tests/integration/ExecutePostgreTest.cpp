#include "pgulo/ExecutePostgre.h"

#include "pgulo/PGException.h"

#include "PgCluster.h"
#include "PgInstall.h"
#include "TempHostHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

// One running cluster per major, started when a test first needs it and shared by the file.
class ExecutePostgreTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        PgCluster::Options options;
        options.name = "exec";
        options.archiving = false;
        cluster_ = &SharedCluster(GetParam(), options);
        cluster_->tryPsql("CREATE DATABASE \"second db\"");
        // The psql command names no host: the cluster's socket comes from the environment,
        // as it would for a host program.
        ::setenv("PGHOST", cluster_->socketDir().c_str(), 1);
    }

    // The psql path uses Debian's psql, which talks to every server major.
    ExecutePostgre PsqlExecutor(const std::string& user = "postgres",
                                const std::string& database = "postgres") const {
        return ExecutePostgre(cluster_->libDir(), PgInstall::clientBinDir(), user, "", database, "",
                              std::to_string(cluster_->port()));
    }

    int InitSession(ExecutePostgre& executor, const std::string& database = "postgres") const {
        return executor.init(cluster_->libDir(), cluster_->binDir(), "postgres", "", database,
                             cluster_->socketDir(), std::to_string(cluster_->port()));
    }

    // A marker path that a shell would create if any value reached it as syntax.
    std::string Marker(const std::string& name) const { return home_.file("pwned-" + name); }

    TempHostHome home_;
    PgCluster* cluster_ = nullptr;
};

using Values = std::vector<std::string>;

// A statement, and what getcol and getrow give for a position: a column of the output holds
// its name and then its values, a row its values.
struct OutputRow {
    std::string sql;
    int rows, columns;
    int col;
    Values colValues;
    int row;
    Values rowValues;
};

TEST_P(ExecutePostgreTest, PsqlOutputBecomesColumnsHeadedByTheirNames) {
    // clang-format off
    const std::vector<OutputRow> table = {
        {"SELECT 1 AS a, 2 AS b", 2, 2, 1, {"1", "2"}, 1, {"b", "2"}},
        {"SELECT g AS n, g * 10 AS tens FROM generate_series(1, 3) g ORDER BY g", 2, 4, 3,
         {"3", "30"}, 1, {"tens", "10", "20", "30"}},
        // Empty and null fields are empty texts.
        {"SELECT 'x' AS a, '' AS b, NULL AS c, 'z' AS d", 4, 2, 1, {"x", "", "", "z"}, 3,
         {"d", "z"}},
        // Values holding the separators' characters and shell syntax arrive as they are.
        {"SELECT '?#$#?' AS v, '$# \"quoted\" $HOME \\' AS w, 'it''s' AS x", 3, 2, 1,
         {"?#$#?", "$# \"quoted\" $HOME \\", "it's"}, 2, {"x", "it's"}},
        // A value holding the whole separator does not overrun the columns.
        {std::string("SELECT 'left") + ExecutePostgre::kFieldSeparator + "right' AS v", 1, 2, 1,
         {"left"}, 0, {"v", "left"}},
    };
    // clang-format on
    for (const OutputRow& r : table) {
        SCOPED_TRACE(r.sql);
        ExecutePostgre executor = PsqlExecutor();
        ASSERT_EQ(executor.postgre_exe(r.sql), 0);
        EXPECT_EQ(executor.GetResultRows(), r.rows);
        EXPECT_EQ(executor.GetResultColumns(), r.columns);
        Values col;
        EXPECT_EQ(executor.getcol(r.col, col), 0);
        EXPECT_EQ(col, r.colValues);
        Values row;
        EXPECT_EQ(executor.getrow(r.row, row), 0);
        EXPECT_EQ(row, r.rowValues);
    }
    // The names line is appended to what the caller holds.
    ExecutePostgre executor = PsqlExecutor();
    ASSERT_EQ(executor.postgre_exe("SELECT 1 AS a, 2 AS b"), 0);
    Values names{"kept"};
    EXPECT_EQ(executor.getcol(0, names), 0);
    EXPECT_EQ(names, (Values{"kept", "a", "b"}));
}

TEST_P(ExecutePostgreTest, HostileQueryTextNeverReachesTheShell) {
    const std::string dollar = Marker("query-dollar");
    const std::string backquote = Marker("query-backquote");
    ExecutePostgre executor = PsqlExecutor();

    ASSERT_EQ(executor.postgre_exe("SELECT '$(touch " + dollar + ")' AS a, '`touch " + backquote +
                                   "`' AS b, '\"; touch " + dollar + "; \"' AS c"),
              0);

    EXPECT_FALSE(fs::exists(dollar));
    EXPECT_FALSE(fs::exists(backquote));
    Values values;
    executor.getcol(1, values);
    EXPECT_EQ(values, (Values{"$(touch " + dollar + ")", "`touch " + backquote + "`",
                              "\"; touch " + dollar + "; \""}));
}

TEST_P(ExecutePostgreTest, HostileUserAndDatabaseNamesNeverReachTheShell) {
    const std::string user = Marker("user");
    const std::string database = Marker("database");
    const std::string dash = Marker("dash");

    ExecutePostgre hostileUser = PsqlExecutor("$(touch " + user + ")`touch " + user + "`");
    EXPECT_EQ(hostileUser.postgre_exe("SELECT 1"), -1);
    ExecutePostgre hostileDatabase = PsqlExecutor("postgres", "x' \"; touch " + database + " '");
    EXPECT_EQ(hostileDatabase.postgre_exe("SELECT 1"), -1);
    // A name that looks like an option is still a database name to psql.
    ExecutePostgre optionLike = PsqlExecutor("postgres", "-o" + dash);
    EXPECT_EQ(optionLike.postgre_exe("SELECT 1"), -1);

    EXPECT_FALSE(fs::exists(user));
    EXPECT_FALSE(fs::exists(database));
    EXPECT_FALSE(fs::exists(dash));
}

TEST_P(ExecutePostgreTest, DatabaseNameWithBlankIsReached) {
    ExecutePostgre executor = PsqlExecutor("postgres", "second db");
    ASSERT_EQ(executor.postgre_exe("SELECT current_database() AS db"), 0);

    Values values;
    executor.getcol(1, values);
    EXPECT_EQ(values, (Values{"second db"}));
}

TEST_P(ExecutePostgreTest, FailedPsqlRunKeepsThePreviousOutput) {
    ExecutePostgre executor = PsqlExecutor();
    ASSERT_EQ(executor.postgre_exe("SELECT 'first' AS f"), 0);

    EXPECT_EQ(executor.postgre_exe("SELECT * FROM no_such_table_at_all"), -1);

    Values values;
    executor.getcol(1, values);
    EXPECT_EQ(values, (Values{"first"}));
}

TEST_P(ExecutePostgreTest, CommandWithoutRowsGivesAnEmptyOutput) {
    ExecutePostgre executor = PsqlExecutor();
    ASSERT_EQ(executor.postgre_exe("SELECT 1 AS one"), 0);

    ASSERT_EQ(executor.postgre_exe("SET search_path = public"), 0);

    EXPECT_EQ(executor.GetResultRows(), 0);
    Values values{"kept"};
    EXPECT_EQ(executor.getcol(0, values), -1);
    EXPECT_EQ(executor.getrow(0, values), -1);
    EXPECT_EQ(values, (Values{"kept"}));
}

TEST_P(ExecutePostgreTest, OutOfRangePositionsAreRefused) {
    ExecutePostgre executor = PsqlExecutor();
    ASSERT_EQ(executor.postgre_exe("SELECT 1 AS a"), 0);

    Values values;
    EXPECT_EQ(executor.getcol(2, values), -1);
    EXPECT_EQ(executor.getcol(-1, values), -1);
    EXPECT_EQ(executor.getrow(1, values), -1);
    EXPECT_TRUE(values.empty());
}

TEST_P(ExecutePostgreTest, SessionQueryReadsColumnsAndRows) {
    ExecutePostgre executor;
    ASSERT_EQ(InitSession(executor), 0);

    ASSERT_EQ(executor.postgre_Query("SELECT g AS n, 'v' || g AS label FROM "
                                     "generate_series(1, 2) g ORDER BY g"),
              0);
    EXPECT_EQ(executor.GetResultRows(), 2);
    EXPECT_EQ(executor.GetResultColumns(), 2);
    Values column;
    EXPECT_EQ(executor.getCol(1, column), 0);
    EXPECT_EQ(column, (Values{"Dummy", "v1", "v2"}));
    Values row;
    EXPECT_EQ(executor.getRow(1, row), 0);
    EXPECT_EQ(row, (Values{"Dummy", "2", "v2"}));
    EXPECT_THROW(executor.getCol(2, column), PGException);
    EXPECT_THROW(executor.getRow(2, row), PGException);
}

TEST_P(ExecutePostgreTest, SessionQueryWithoutRows) {
    ExecutePostgre executor;
    ASSERT_EQ(InitSession(executor), 0);
    ASSERT_EQ(executor.postgre_Query("SELECT 1 AS one WHERE false"), 0);

    EXPECT_EQ(executor.GetResultRows(), 0);
    Values row{"stale"};
    EXPECT_EQ(executor.getRow(0, row), 0);
    EXPECT_TRUE(row.empty());
    Values column;
    EXPECT_EQ(executor.getCol(0, column), 0);
    EXPECT_EQ(column, (Values{"Dummy"}));
}

TEST_P(ExecutePostgreTest, FailedStatementAndMissingSessionAreFailures) {
    ExecutePostgre noSession;
    Values values{"stale"};
    EXPECT_EQ(noSession.postgre_Query("SELECT 1"), -1);
    EXPECT_EQ(noSession.getCol(0, values), -1);
    EXPECT_TRUE(values.empty());

    ExecutePostgre executor;
    ASSERT_EQ(InitSession(executor), 0);
    EXPECT_EQ(executor.postgre_Query("SELECT * FROM no_such_table_at_all"), -1);
}

TEST_P(ExecutePostgreTest, SecondInitMovesTheSessionToAnotherDatabase) {
    ExecutePostgre executor;
    ASSERT_EQ(InitSession(executor), 0);
    ASSERT_EQ(InitSession(executor, "second db"), 0);

    ASSERT_EQ(executor.postgre_Query("SELECT current_database()"), 0);
    Values column;
    executor.getCol(0, column);
    EXPECT_EQ(column, (Values{"Dummy", "second db"}));
}

TEST_P(ExecutePostgreTest, InitFailsForAServerThatIsNotThere) {
    ExecutePostgre executor;
    EXPECT_EQ(executor.init(cluster_->libDir(), cluster_->binDir(), "postgres", "", "postgres",
                            cluster_->socketDir(), "1"),
              -1);
    EXPECT_EQ(executor.GetSession(), nullptr);
    EXPECT_EQ(executor.postgre_Query("SELECT 1"), -1);
}

INSTANTIATE_TEST_SUITE_P(Majors, ExecutePostgreTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
