#include "pgulo/PGCommon.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "TestProcess.h"

namespace {

struct QuoteCase {
    const char* input;
    const char* expected;
};

class ShellQuoteTable : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(ShellQuoteTable, QuotesOnlyWhatTheShellWouldInterpret) {
    EXPECT_EQ(PGCommon::ShellQuote(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    PlainAndHostile, ShellQuoteTable,
    ::testing::Values(
        // Plain values keep the command texts exactly as they are written.
        QuoteCase{"/var/lib/pgsql/data", "/var/lib/pgsql/data"},
        QuoteCase{"000000010000000000000003", "000000010000000000000003"},
        QuoteCase{"user@db1:5432/a_b.c-d+e,f=g%h", "user@db1:5432/a_b.c-d+e,f=g%h"},
        QuoteCase{"-f", "-f"},
        // Anything else is one single-quoted word.
        QuoteCase{"", "''"}, QuoteCase{" ", "' '"}, QuoteCase{"my dir/file", "'my dir/file'"},
        QuoteCase{"it's", "'it'\\''s'"}, QuoteCase{"'", "''\\'''"}, QuoteCase{"$HOME", "'$HOME'"},
        QuoteCase{"`id`", "'`id`'"}, QuoteCase{"a;rm -rf /", "'a;rm -rf /'"},
        QuoteCase{"line1\nline2", "'line1\nline2'"}, QuoteCase{"\"double\"", "'\"double\"'"},
        QuoteCase{"a\\b", "'a\\b'"}, QuoteCase{"*", "'*'"}, QuoteCase{"a|b&c>d<e", "'a|b&c>d<e'"},
        QuoteCase{"\t", "'\t'"}, QuoteCase{"~root", "'~root'"},
        QuoteCase{"\xc3\xa9t\xc3\xa9", "'\xc3\xa9t\xc3\xa9'"}));

// What the shell makes of a quoted word is the word itself, whatever it holds.
class ShellQuoteRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(ShellQuoteRoundTrip, ShellSeesTheOriginalWord) {
    const std::string command = "printf '%s' " + PGCommon::ShellQuote(GetParam());
    auto result = pgulo::test::runCommand({"/bin/sh", "-c", command});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Hostile, ShellQuoteRoundTrip,
                         ::testing::Values(std::string("plain"), std::string("two words"),
                                           std::string("it's"), std::string("''''"),
                                           std::string("$(touch /tmp/pgulo_never)"),
                                           std::string("`touch /tmp/pgulo_never`"),
                                           std::string("a; echo injected"),
                                           std::string("new\nline"), std::string("back\\slash"),
                                           std::string("*"), std::string("!event")));

class QuoteIdentTable : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteIdentTable, FollowsTheServersQuoteIdent) {
    EXPECT_EQ(PGCommon::QuoteIdent(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    IdentifiersAndKeywords, QuoteIdentTable,
    ::testing::Values(QuoteCase{"sales", "sales"}, QuoteCase{"_private", "_private"},
                      QuoteCase{"t1_2", "t1_2"}, QuoteCase{"postgres", "postgres"},
                      QuoteCase{"Sales", "\"Sales\""}, QuoteCase{"1abc", "\"1abc\""},
                      QuoteCase{"my table", "\"my table\""}, QuoteCase{"a-b", "\"a-b\""},
                      QuoteCase{"", "\"\""}, QuoteCase{"say \"hi\"", "\"say \"\"hi\"\"\""},
                      QuoteCase{"\"", "\"\"\"\""}, QuoteCase{"a'b", "\"a'b\""},
                      QuoteCase{"x;drop table y", "\"x;drop table y\""},
                      QuoteCase{"\xc3\xa9t\xc3\xa9", "\"\xc3\xa9t\xc3\xa9\""},
                      // Reserved keywords are quoted; unreserved ones are not.
                      QuoteCase{"select", "\"select\""}, QuoteCase{"table", "\"table\""},
                      QuoteCase{"user", "\"user\""}, QuoteCase{"order", "\"order\""},
                      QuoteCase{"all", "\"all\""}, QuoteCase{"xmltable", "\"xmltable\""},
                      QuoteCase{"current_user", "\"current_user\""}, QuoteCase{"int", "\"int\""},
                      QuoteCase{"join", "\"join\""}, QuoteCase{"index", "index"},
                      QuoteCase{"schema", "schema"}, QuoteCase{"data", "data"},
                      QuoteCase{"selection", "selection"}, QuoteCase{"users", "users"}));

class QuoteLiteralTable : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteLiteralTable, FollowsTheServersQuoteLiteral) {
    EXPECT_EQ(PGCommon::QuoteLiteral(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    PlainAndHostile, QuoteLiteralTable,
    ::testing::Values(QuoteCase{"", "''"}, QuoteCase{"0/3000028", "'0/3000028'"},
                      QuoteCase{"pgulo_backup_5432", "'pgulo_backup_5432'"},
                      QuoteCase{"it's", "'it''s'"}, QuoteCase{"'", "''''"},
                      QuoteCase{"a\\b", "E'a\\\\b'"}, QuoteCase{"\\", "E'\\\\'"},
                      // A backslash before a quote cannot end the literal early.
                      QuoteCase{"x\\'; DROP TABLE t; --", "E'x\\\\''; DROP TABLE t; --'"},
                      QuoteCase{"\"double\"", "'\"double\"'"},
                      QuoteCase{"line1\nline2", "'line1\nline2'"},
                      QuoteCase{"\xc3\xa9t\xc3\xa9", "'\xc3\xa9t\xc3\xa9'"}));

} // namespace
