#include "pgulo/ExecutePostgre.h"

#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"

#include "MajorStage.h"
#include "TempHostHome.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using Values = std::vector<std::string>;

// One running cluster per major, started when a test first needs it and shared by the file.
class ExecutePostgreTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &SharedCluster(GetParam(), {"exec", 0, {}, false});
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

    int InitSession(ExecutePostgre& executor, const std::string& database,
                    const std::string& port) const {
        return executor.init(cluster_->libDir(), cluster_->binDir(), "postgres", "", database,
                             cluster_->socketDir(), port);
    }

    TempHostHome home_;
    PgCluster* cluster_ = nullptr;
};

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
    ASSERT_EQ(executor.postgre_exe("SELECT 'first' AS f"), 0);
    Values values{"kept"};
    EXPECT_EQ(executor.getcol(0, values), 0);
    EXPECT_EQ(values, (Values{"kept", "f"}));
    // A failed run keeps the output; positions out of range are refused and add nothing.
    EXPECT_EQ(executor.postgre_exe("SELECT * FROM no_such_table_at_all"), -1);
    EXPECT_EQ(executor.getcol(2, values), -1);
    EXPECT_EQ(executor.getcol(-1, values), -1);
    EXPECT_EQ(executor.getrow(1, values), -1);
    EXPECT_EQ(executor.getcol(1, values), 0);
    EXPECT_EQ(values, (Values{"kept", "f", "first"}));
    // A statement without output leaves nothing to read.
    ASSERT_EQ(executor.postgre_exe("SET search_path = public"), 0);
    EXPECT_EQ(executor.GetResultRows(), 0);
    EXPECT_EQ(executor.getcol(0, values), -1);
    EXPECT_EQ(executor.getrow(0, values), -1);
    EXPECT_EQ(values.size(), 3u);
}

// A user, database or statement, none of which may reach a shell as syntax.
struct HostileRow {
    std::string user, database, sql;
    int rc;
};

TEST_P(ExecutePostgreTest, HostileValuesNeverReachTheShell) {
    const std::string marker = home_.file("pwned");
    // clang-format off
    const std::vector<HostileRow> rows = {
        {"postgres", "postgres", "SELECT '$(touch " + marker + ")' AS a, '`touch " + marker +
         "`' AS b, '\"; touch " + marker + "; \"' AS c", 0},
        {"$(touch " + marker + ")`touch " + marker + "`", "postgres", "SELECT 1", -1},
        {"postgres", "x' \"; touch " + marker + " '", "SELECT 1", -1},
        // A name that looks like an option is still a database name to psql.
        {"postgres", "-o" + marker, "SELECT 1", -1},
        {"postgres", "second db", "SELECT 1", 0},
    };
    // clang-format on
    for (const HostileRow& r : rows) {
        ExecutePostgre executor = PsqlExecutor(r.user, r.database);
        EXPECT_EQ(executor.postgre_exe(r.sql), r.rc) << r.user << " " << r.database;
        EXPECT_FALSE(fs::exists(marker)) << r.user << " " << r.database << " " << r.sql;
    }
}

// The session path reads a dummy first entry before each column's and row's values; without a
// session every query fails.
TEST_P(ExecutePostgreTest, SessionQueryReadsColumnsAndRowsAfterADummyFirstEntry) {
    const std::string port = std::to_string(cluster_->port());
    ExecutePostgre executor;
    ASSERT_EQ(InitSession(executor, "postgres", port), 0);
    ASSERT_EQ(InitSession(executor, "second db", port), 0);
    ASSERT_EQ(executor.postgre_Query("SELECT current_database(), 'v' || g AS label FROM "
                                     "generate_series(1, 2) g ORDER BY g"),
              0);
    EXPECT_EQ(executor.GetResultRows(), 2);
    EXPECT_EQ(executor.GetResultColumns(), 2);
    Values column;
    EXPECT_EQ(executor.getCol(1, column), 0);
    EXPECT_EQ(column, (Values{"Dummy", "v1", "v2"}));
    Values row;
    EXPECT_EQ(executor.getRow(1, row), 0);
    EXPECT_EQ(row, (Values{"Dummy", "second db", "v2"}));
    EXPECT_THROW(executor.getCol(2, column), PGException);
    EXPECT_THROW(executor.getRow(2, row), PGException);

    ASSERT_EQ(executor.postgre_Query("SELECT 1 AS one WHERE false"), 0);
    EXPECT_EQ(executor.GetResultRows(), 0);
    EXPECT_EQ(executor.getRow(0, row), 0);
    EXPECT_TRUE(row.empty());
    EXPECT_EQ(executor.getCol(0, column), 0);
    EXPECT_EQ(column, (Values{"Dummy"}));
    EXPECT_EQ(executor.postgre_Query("SELECT * FROM no_such_table_at_all"), -1);

    ExecutePostgre unconnected;
    EXPECT_EQ(InitSession(unconnected, "postgres", "1"), -1);
    EXPECT_EQ(unconnected.GetSession(), nullptr);
    EXPECT_EQ(unconnected.postgre_Query("SELECT 1"), -1);
    Values values{"stale"};
    EXPECT_EQ(unconnected.getCol(0, values), -1);
    EXPECT_TRUE(values.empty());
}

// Every keyword the server knows, and a few awkward names: where the server quotes, we quote
// the same way. Quoting a word the server would leave bare is harmless, and happens only for
// words reserved in some other release, never in the newest. A quoted text reaches the server
// as the text itself (the same text dollar-quoted), whichever way standard_conforming_strings
// is set.
TEST_P(ExecutePostgreTest, IdentifiersAndLiteralsAreQuotedAsTheServerReadsThem) {
    std::istringstream lines(cluster_->psql(
        "SELECT w || '|' || quote_ident(w) FROM (SELECT word AS w FROM pg_get_keywords() UNION "
        "ALL SELECT unnest(ARRAY['sales', 'Sales', '1abc', '_x', 'a b', 'say \"hi\"', 'x;y', "
        "'caf\u00e9', 'users', 'a$b'])) AS t"));
    int quotedByServer = 0;
    std::string line;
    while (std::getline(lines, line)) {
        const std::string word = line.substr(0, line.find('|'));
        const std::string server = line.substr(word.size() + 1);
        const std::string ours = PGCommon::QuoteIdent(word);
        quotedByServer += server != word;
        if (server != word || GetParam() == PgInstall::knownMajors().back()) {
            EXPECT_EQ(ours, server) << word;
        } else if (ours != word) {
            EXPECT_EQ(ours, "\"" + word + "\"");
        }
    }
    EXPECT_GT(quotedByServer, 80);

    for (const char* setting : {"on", "off"}) {
        for (const std::string text : {"plain", "it's", "''", "a\\b", "\\", "x\\'; SELECT 1; --",
                                       "\\\\'", "tab\there", "caf\xc3\xa9"}) {
            const std::string sql = std::string("SET standard_conforming_strings = ") + setting +
                                    "; SELECT " + PGCommon::QuoteLiteral(text) + " = $pgulo$" +
                                    text + "$pgulo$";
            EXPECT_EQ(cluster_->psql(sql), "t") << setting << ": " << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Majors, ExecutePostgreTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         MajorName);

} // namespace
