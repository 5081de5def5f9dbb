// How --object texts are read: SQL's folding and quoting, a function's argument types as
// pg_dump lists them, and a usage error naming what is wrong.

#include "CliError.h"
#include "ObjectSelector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Good {
    const char* text;
    const char* kind;
    const char* schema;
    const char* listedName;
    const char* keyword;
};

const Good kGood[] = {
    {"table:public.orders", "table", "public", "orders", "TABLE"},
    {"TABLE:Public.Orders", "table", "public", "orders", "TABLE"},
    {"table:\"My Schema\".\"Order Lines\"", "table", "My Schema", "Order Lines", "TABLE"},
    {"view:\"select\".\"a\"\"b\"", "view", "select", "a\"b", "VIEW"},
    {"schema:\"My Schema\"", "schema", "My Schema", "My Schema", "SCHEMA"},
    {"function:public.add(int, INTEGER)", "function", "public", "add(integer, integer)", "FUNCTION"},
    {"function:s1.now_text()", "function", "s1", "now_text()", "FUNCTION"},
    {"function:public.f(varchar,  numeric(10,2))", "function", "public",
     "f(character varying, numeric(10,2))", "FUNCTION"},
    {"sequence:s1.ids", "sequence", "s1", "ids", "SEQUENCE"},
    {"domain:s1.positive", "domain", "s1", "positive", "DOMAIN"},
    {"type:s1.mood", "type", "s1", "mood", "TYPE"},
};

class CliObjectSelectorGood : public ::testing::TestWithParam<Good> {};

TEST_P(CliObjectSelectorGood, ReadsKindSchemaAndName) {
    const Good& c = GetParam();
    const ObjectSelector s = ObjectSelector::Parse(c.text);
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.schema, c.schema);
    EXPECT_EQ(s.ListedName(), c.listedName);
    EXPECT_EQ(s.Keyword(), c.keyword);
    // The text a message shows reads back as the same object.
    const ObjectSelector again = ObjectSelector::Parse(s.Text());
    EXPECT_EQ(again.schema, s.schema);
    EXPECT_EQ(again.ListedName(), s.ListedName());
}

INSTANTIATE_TEST_SUITE_P(Table, CliObjectSelectorGood, ::testing::ValuesIn(kGood));

struct Bad {
    const char* text;
    const char* says;
};

const Bad kBad[] = {
    {"orders", "is not KIND:SCHEMA.NAME"},
    {"index:public.i", "unknown kind"},
    {"table:orders", "qualified with its schema"},
    {"table:public.\"open", "no closing quote"},
    {"table:public.\"\"", "empty"},
    {"table:public.1abc", "name is missing"},
    {"table:public.a b", "unexpected ' b'"},
    {"function:public.add", "argument types"},
    {"function:public.add(integer,)", "argument type is empty"},
    {"table:public.\"a/b\"", "'/'"},
};

class CliObjectSelectorBad : public ::testing::TestWithParam<Bad> {};

TEST_P(CliObjectSelectorBad, IsAUsageErrorSayingWhy) {
    const Bad& c = GetParam();
    try {
        ObjectSelector::Parse(c.text);
        FAIL() << c.text << " was accepted";
    } catch (const CliError& e) {
        EXPECT_EQ(e.exitCode(), CliError::kUsage) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CliObjectSelectorBad, ::testing::ValuesIn(kBad));

} // namespace
