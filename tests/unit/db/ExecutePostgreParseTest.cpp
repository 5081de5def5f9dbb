// The psql runner: the command line it builds and the columns it reads from psql's output.
#include "pgulo/ExecutePostgre.h"

#include "TempHostHome.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Columns = std::vector<std::vector<std::string>>;

// Joins fields the way psql -A -F does.
std::string Line(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i > 0 ? ExecutePostgre::kFieldSeparator : "") + fields[i];
    return line + "\n";
}

TEST(ExecutePostgreParse, HeaderDataAndFooterGiveColumnsHeadedByTheirNames) {
    const std::pair<std::string, Columns> cases[] = {
        {Line({"a", "b"}) + Line({"1", "2"}) + "(1 row)\n", {{"a", "1"}, {"b", "2"}}},
        {Line({"a", "b", "c"}) + Line({"", "x", ""}) + "(1 row)\n",
         {{"a", ""}, {"b", "x"}, {"c", ""}}},
        {Line({"a", "b"}) + "(0 rows)\n", {{"a"}, {"b"}}},
        // Text after the last newline is dropped.
        {Line({"a"}) + Line({"1"}) + "(1 row)\npartial", {{"a", "1"}}},
        // Fields beyond the header are dropped and missing ones are empty.
        {Line({"a", "b"}) + Line({"1", "2", "3", "4"}) + Line({"only"}) + "(2 rows)\n",
         {{"a", "1", "only"}, {"b", "2", ""}}},
        // Too short for header and footer.
        {"", {}}, {"\n", {}}, {"SET\n", {}}, {"no newline at all", {}}, {Line({"a", "b"}), {}},
    };
    for (const auto& [output, columns] : cases)
        EXPECT_EQ(ExecutePostgre::ParsePsqlOutput(output), columns) << output;
}

TEST(ExecutePostgreParse, EveryValueIsQuotedForTheShell) {
    const struct {
        std::string binpath, user, port, database, query, expected;
    } cases[] = {
        {"/usr/lib/postgresql/15/bin", "postgres", "5432", "mydb", "SELECT 1",
         "/usr/lib/postgresql/15/bin/psql -F '  ?#$#?  ' -U postgres -p 5432 -A mydb "
         "-c 'SELECT 1'"},
        {"/opt/pg bin", "u", "1", "d", "q",
         "'/opt/pg bin/psql' -F '  ?#$#?  ' -U u -p 1 -A d -c q"},
        {"/b", "$(id)", "1;id", "it's", "SELECT \"x\" FROM `t`",
         "/b/psql -F '  ?#$#?  ' -U '$(id)' -p '1;id' -A 'it'\\''s' -c 'SELECT \"x\" FROM `t`'"},
        {"/b", "", "1", "", "q", "/b/psql -F '  ?#$#?  ' -U '' -p 1 -A '' -c q"},
        // A name psql would take for an option goes after -d.
        {"/b", "u", "1", "-ofile", "q", "/b/psql -F '  ?#$#?  ' -U u -p 1 -A -d -ofile -c q"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExecutePostgre::BuildPsqlCommand(c.binpath, c.user, c.port, c.database, c.query),
                  c.expected);
}

TEST(ExecutePostgreParse, FailingPsqlIsAFailureAndReadingNothingIsRefused) {
    pgulo::test::TempHostHome home;
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
