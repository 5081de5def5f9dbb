// Reading a dump's table of contents as pg_restore --list prints it: lines taken from a list
// of a real dump (PostgreSQL 15), names with blanks among them.

#include "DumpToc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const kHeader = R"(;
; Archive created at 2026-12-07 03:43:16 UTC
;     dbname: shop
;     TOC Entries: 35
;     Format: CUSTOM
;     Dumped from database version: 15.18 (Debian 15.18-0+deb12u1)
;
; Selected TOC Entries:
;
8; 2615 16438 SCHEMA - My Schema postgres
6; 2615 16385 SCHEMA - app postgres
223; 1259 16439 TABLE My Schema Order Lines postgres
218; 1259 16397 TABLE app orders postgres
219; 1259 16419 VIEW app open_orders postgres
)";

// What the reader must make of a line; aggregate-initialised, unlike DumpTocEntry.
struct Want {
    unsigned long long dumpId;
    std::string oid, kind, schema, name, table;
    std::vector<std::string> arguments;
    std::string owner;
};

struct Case {
    const char* line;
    Want expected;
};

TEST(DumpTocParse, SplitsEachEntryKindIntoSchemaTableNameAndOwner) {
    const std::vector<Case> cases = {
        {"8; 2615 16438 SCHEMA - My Schema postgres",
         {8, "16438", "SCHEMA", "", "My Schema", "", {}, "postgres"}},
        {"227; 1255 16445 FUNCTION My Schema Line Total(integer, character varying, app.mood) "
         "postgres",
         {227,
          "16445",
          "FUNCTION",
          "My Schema",
          "Line Total",
          "",
          {"integer", "character varying", "app.mood"},
          "postgres"}},
        {"224; 1255 16414 FUNCTION app touch_order() postgres",
         {224, "16414", "FUNCTION", "app", "touch_order", "", {}, "postgres"}},
        {"223; 1259 16439 TABLE My Schema Order Lines postgres",
         {223, "16439", "TABLE", "My Schema", "Order Lines", "", {}, "postgres"}},
        {"219; 1259 16419 VIEW app open_orders postgres",
         {219, "16419", "VIEW", "app", "open_orders", "", {}, "postgres"}},
        {"3393; 0 16439 TABLE DATA My Schema Order Lines postgres",
         {3393, "16439", "TABLE DATA", "My Schema", "Order Lines", "", {}, "postgres"}},
        {"3400; 0 0 SEQUENCE SET app ticket_seq postgres",
         {3400, "0", "SEQUENCE SET", "app", "ticket_seq", "", {}, "postgres"}},
        {"3242; 2606 16443 CONSTRAINT My Schema Order Lines Order Lines_pkey postgres",
         {3242,
          "16443",
          "CONSTRAINT",
          "My Schema",
          "Order Lines_pkey",
          "Order Lines",
          {},
          "postgres"}},
        {"3243; 2606 16407 FK CONSTRAINT app orders orders_customer_fk postgres",
         {3243, "16407", "FK CONSTRAINT", "app", "orders_customer_fk", "orders", {}, "postgres"}},
        {"3390; 0 16397 COMMENT app TABLE orders postgres",
         {3390, "16397", "COMMENT", "app", "TABLE orders", "", {}, "postgres"}},
        {"3401; 0 0 ACL - SCHEMA public pg_database_owner",
         {3401, "0", "ACL", "", "SCHEMA public", "", {}, "pg_database_owner"}},
        // No owner: the line ends in a blank.
        {"3385; 0 0 ENCODING - ENCODING ", {3385, "0", "ENCODING", "", "ENCODING", "", {}, ""}},
        // A schema the list does not define: its first word.
        {"17; 1259 16500 TABLE other things postgres",
         {17, "16500", "TABLE", "other", "things", "", {}, "postgres"}},
        // A kind this reader does not know keeps its whole text as the name.
        {"18; 1 2 NEW KIND x y", {18, "2", "", "", "NEW KIND x y", "", {}, ""}},
    };
    for (const Case& c : cases) {
        const DumpToc toc = DumpToc::Parse(std::string(kHeader) + c.line + "\n");
        ASSERT_FALSE(toc.entries.empty()) << c.line;
        const DumpTocEntry& got = toc.entries.back();
        const Want& want = c.expected;
        EXPECT_EQ(got.line, c.line);
        EXPECT_EQ(got.dumpId, want.dumpId) << c.line;
        EXPECT_EQ(got.oid, want.oid) << c.line;
        EXPECT_EQ(got.kind, want.kind) << c.line;
        EXPECT_EQ(got.schema, want.schema) << c.line;
        EXPECT_EQ(got.name, want.name) << c.line;
        EXPECT_EQ(got.table, want.table) << c.line;
        EXPECT_EQ(got.arguments, want.arguments) << c.line;
        EXPECT_EQ(got.owner, want.owner) << c.line;
    }
}

TEST(DumpTocParse, ReadsTheDatabaseAndSkipsWhatIsNoEntry) {
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {kHeader, 5},
        {"", 0},
        {"; just a comment\n", 0},
        {"not an entry\n12 TABLE public t postgres\n12; x 1 TABLE public t postgres\n", 0},
    };
    for (const auto& [text, count] : cases)
        EXPECT_EQ(DumpToc::Parse(text).entries.size(), count) << text;
    EXPECT_EQ(DumpToc::Parse(kHeader).database, "shop");
    // Handed back to pg_restore unchanged.
    EXPECT_EQ(DumpToc::Parse(kHeader).ListText(), kHeader);
    EXPECT_EQ(DumpToc::Parse("").database, "");
}

} // namespace
