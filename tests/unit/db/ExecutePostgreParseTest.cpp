#include "pgulo/ExecutePostgre.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Columns = std::vector<std::vector<std::string>>;

// Joins fields the way psql -A -F does.
std::string Line(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ExecutePostgre::kFieldSeparator;
        line += fields[i];
    }
    return line + "\n";
}

class ExecutePostgreParseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "pgulo-parse-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        ::setenv("PGULO_HOME", home_.c_str(), 1);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }
    static std::string home_;
};
std::string ExecutePostgreParseTest::home_;

TEST_F(ExecutePostgreParseTest, HeaderDataAndFooterGiveColumnsHeadedByTheirNames) {
    Columns columns =
        ExecutePostgre::ParsePsqlOutput(Line({"a", "b"}) + Line({"1", "2"}) + "(1 row)\n");
    EXPECT_EQ(columns, (Columns{{"a", "1"}, {"b", "2"}}));
}

TEST_F(ExecutePostgreParseTest, EmptyFieldsStayEmptyTexts) {
    Columns columns =
        ExecutePostgre::ParsePsqlOutput(Line({"a", "b", "c"}) + Line({"", "x", ""}) + "(1 row)\n");
    EXPECT_EQ(columns, (Columns{{"a", ""}, {"b", "x"}, {"c", ""}}));
}

TEST_F(ExecutePostgreParseTest, OutputsTooShortForHeaderAndFooterHaveNoColumns) {
    const std::vector<std::string> outputs = {"", "\n", "SET\n", "no newline at all",
                                              Line({"a", "b"})};
    for (const std::string& output : outputs)
        EXPECT_TRUE(ExecutePostgre::ParsePsqlOutput(output).empty()) << output;
}

TEST_F(ExecutePostgreParseTest, HeaderAndFooterAloneGiveNamesWithoutValues) {
    Columns columns = ExecutePostgre::ParsePsqlOutput(Line({"a", "b"}) + "(0 rows)\n");
    EXPECT_EQ(columns, (Columns{{"a"}, {"b"}}));
}

TEST_F(ExecutePostgreParseTest, TextAfterTheLastNewlineIsDropped) {
    Columns columns =
        ExecutePostgre::ParsePsqlOutput(Line({"a"}) + Line({"1"}) + "(1 row)\n" + "partial");
    EXPECT_EQ(columns, (Columns{{"a", "1"}}));
}

TEST_F(ExecutePostgreParseTest, FieldsBeyondTheHeaderAreDroppedAndMissingOnesAreEmpty) {
    Columns columns = ExecutePostgre::ParsePsqlOutput(
        Line({"a", "b"}) + Line({"1", "2", "3", "4"}) + Line({"only"}) + "(2 rows)\n");
    EXPECT_EQ(columns, (Columns{{"a", "1", "only"}, {"b", "2", ""}}));
}

TEST_F(ExecutePostgreParseTest, PlainValuesKeepTheCommandsShape) {
    EXPECT_EQ(ExecutePostgre::BuildPsqlCommand("/usr/lib/postgresql/15/bin", "postgres", "5432",
                                               "mydb", "SELECT 1"),
              "/usr/lib/postgresql/15/bin/psql -F '  ?#$#?  ' -U postgres -p 5432 -A mydb "
              "-c 'SELECT 1'");
}

TEST_F(ExecutePostgreParseTest, EveryValueIsQuotedForTheShell) {
    struct Case {
        std::string binpath, user, port, database, query, expected;
    };
    const std::vector<Case> cases = {
        {"/opt/pg bin", "u", "1", "d", "q",
         "'/opt/pg bin/psql' -F '  ?#$#?  ' -U u -p 1 -A d -c q"},
        {"/b", "$(id)", "1", "d", "q", "/b/psql -F '  ?#$#?  ' -U '$(id)' -p 1 -A d -c q"},
        {"/b", "u", "1;id", "d", "q", "/b/psql -F '  ?#$#?  ' -U u -p '1;id' -A d -c q"},
        {"/b", "u", "1", "it's", "q", "/b/psql -F '  ?#$#?  ' -U u -p 1 -A 'it'\\''s' -c q"},
        {"/b", "u", "1", "d", "SELECT \"x\" FROM `t`",
         "/b/psql -F '  ?#$#?  ' -U u -p 1 -A d -c 'SELECT \"x\" FROM `t`'"},
        {"/b", "", "1", "", "q", "/b/psql -F '  ?#$#?  ' -U '' -p 1 -A '' -c q"},
        // A name psql would take for an option goes after -d.
        {"/b", "u", "1", "-ofile", "q", "/b/psql -F '  ?#$#?  ' -U u -p 1 -A -d -ofile -c q"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExecutePostgre::BuildPsqlCommand(c.binpath, c.user, c.port, c.database, c.query),
                  c.expected);
}

TEST_F(ExecutePostgreParseTest, FailingPsqlIsAFailureAndReadingNothingIsRefused) {
    // A binary directory without psql: the shell reports the missing program.
    ExecutePostgre executor("/nonexistent", "/nonexistent/bin", "postgres", "", "postgres", "",
                            "5432");
    EXPECT_EQ(executor.postgre_exe("SELECT 1"), -1);

    std::vector<std::string> values;
    EXPECT_EQ(executor.getcol(0, values), -1);
    EXPECT_EQ(executor.getrow(0, values), -1);
    EXPECT_TRUE(values.empty());
}

} // namespace
