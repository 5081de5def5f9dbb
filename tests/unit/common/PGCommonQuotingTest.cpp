// Quoting for the shell and for SQL: hostile values must stay one word or one literal.
#include "pgulo/PGCommon.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using Cases = std::pair<const char*, const char*>;

TEST(Quoting, ShellQuoteQuotesOnlyWhatTheShellWouldInterpret) {
    const Cases cases[] = {
        // Plain values keep the command texts exactly as they are written.
        {"/var/lib/pgsql/data", "/var/lib/pgsql/data"},
        {"user@db1:5432/a_b.c-d+e,f=g%h", "user@db1:5432/a_b.c-d+e,f=g%h"},
        {"-f", "-f"},
        // Anything else is one single-quoted word.
        {"", "''"}, {"my dir/file", "'my dir/file'"}, {"it's", "'it'\\''s'"},
        {"'", "''\\'''"}, {"$HOME", "'$HOME'"}, {"a;rm -rf /", "'a;rm -rf /'"},
        {"line1\nline2", "'line1\nline2'"}, {"a\\b", "'a\\b'"}, {"\t", "'\t'"},
        {"~root", "'~root'"}, {"\xc3\xa9t\xc3\xa9", "'\xc3\xa9t\xc3\xa9'"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(PGCommon::ShellQuote(input), expected) << input;
}

// What the shell makes of a quoted word is the word itself, whatever it holds.
TEST(Quoting, TheShellSeesTheOriginalWord) {
    for (const std::string word : {"two words", "''''", "$(touch /tmp/pgulo_never)",
                                   "`touch /tmp/pgulo_never`", "a; echo injected", "new\nline",
                                   "back\\slash", "*", "!event"}) {
        const auto result = pgulo::test::runCommand(
            {"/bin/sh", "-c", "printf '%s' " + PGCommon::ShellQuote(word)});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, word);
    }
}

TEST(Quoting, QuoteIdentFollowsTheServer) {
    const Cases cases[] = {
        {"sales", "sales"}, {"_private", "_private"}, {"t1_2", "t1_2"},
        {"Sales", "\"Sales\""}, {"1abc", "\"1abc\""}, {"a-b", "\"a-b\""}, {"", "\"\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""}, {"x;drop table y", "\"x;drop table y\""},
        {"\xc3\xa9t\xc3\xa9", "\"\xc3\xa9t\xc3\xa9\""},
        // Reserved keywords are quoted; unreserved ones are not.
        {"select", "\"select\""}, {"user", "\"user\""}, {"all", "\"all\""},
        {"xmltable", "\"xmltable\""}, {"current_user", "\"current_user\""},
        {"int", "\"int\""}, {"join", "\"join\""}, {"index", "index"}, {"schema", "schema"},
        {"selection", "selection"}, {"users", "users"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(PGCommon::QuoteIdent(input), expected) << input;
}

TEST(Quoting, QuoteLiteralFollowsTheServer) {
    const Cases cases[] = {
        {"", "''"}, {"0/3000028", "'0/3000028'"}, {"it's", "'it''s'"}, {"'", "''''"},
        {"a\\b", "E'a\\\\b'"}, {"\\", "E'\\\\'"},
        // A backslash before a quote cannot end the literal early.
        {"x\\'; DROP TABLE t; --", "E'x\\\\''; DROP TABLE t; --'"},
        {"line1\nline2", "'line1\nline2'"}, {"\xc3\xa9t\xc3\xa9", "'\xc3\xa9t\xc3\xa9'"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(PGCommon::QuoteLiteral(input), expected) << input;
}

} // namespace
