// The psql runner: the command line it builds and the columns it reads from psql's output.
#include "pgulo/ExecutePostgre.h"

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
        {Line({"a", "b"}) + "(0 rows)\n", {{"a"}, {"b"}}},
        // Text after the last newline is dropped.
        {Line({"a"}) + Line({"1"}) + "(1 row)\npartial", {{"a", "1"}}},
        // Fields beyond the header are dropped and missing ones are empty.
        {Line({"a", "b"}) + Line({"1", "2", "3", "4"}) + Line({"only"}) + "(2 rows)\n",
         {{"a", "1", "only"}, {"b", "2", ""}}},
        // Too short for header and footer.
        {"", {}}, {"SET\n", {}}, {Line({"a", "b"}), {}},
    };
    for (const auto& [output, columns] : cases)
        EXPECT_EQ(ExecutePostgre::ParsePsqlOutput(output), columns) << output;
}

TEST(ExecutePostgreParse, EveryValueIsQuotedForTheShell) {
    const struct {
        std::string binpath, user, port, database, query, expected;
    } cases[] = {
        {"/opt/pg bin", "u", "1", "d", "q",
         "'/opt/pg bin/psql' -F '  ?#$#?  ' -U u -p 1 -A d -c q"},
        {"/b", "$(id)", "1;id", "it's", "SELECT \"x\" FROM `t`",
         "/b/psql -F '  ?#$#?  ' -U '$(id)' -p '1;id' -A 'it'\\''s' -c 'SELECT \"x\" FROM `t`'"},
        // A name psql would take for an option goes after -d.
        {"/b", "u", "1", "-ofile", "q", "/b/psql -F '  ?#$#?  ' -U u -p 1 -A -d -ofile -c q"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExecutePostgre::BuildPsqlCommand(c.binpath, c.user, c.port, c.database, c.query),
                  c.expected);
}

} // namespace
