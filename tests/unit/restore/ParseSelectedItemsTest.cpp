#include "pgulo/Parse_selectedItems.h"

#include "TempHostHome.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

namespace {

using pgulo::test::TempHostHome;

// Debian's libpq; no server listens on the port given, so a connection always fails.
const char* const kLibDir = "/usr/lib/x86_64-linux-gnu";
const char* const kBinDir = "/usr/lib/postgresql/15/bin";

class ParseSelectedItemsTest : public ::testing::Test {
protected:
    // Parses the paths and returns what was understood.
    std::vector<Item_prop> Parse(const std::vector<std::string>& paths) {
        for (const std::string& path : paths)
            EXPECT_EQ(items_.addGUIitems(path), 0);
        EXPECT_EQ(items_.parse(), 0);
        return items_.ParsedItems();
    }

    // A target database that cannot be reached.
    void SetUnreachableDb() {
        ASSERT_EQ(items_.setDb(kLibDir, kBinDir, "postgres", "", "db1", home_.path(), "1", "15.8"),
                  0);
    }

    TempHostHome home_;
    Parse_selectedItems items_;
};

TEST_F(ParseSelectedItemsTest, EveryTagGivesItsKeywordAndNames) {
    const struct {
        const char *path, *keyword, *database, *schema, *parent, *name;
    } cases[] = {
        {"/TblView/db1/public/t1/#?#?#tabl", "TABLE", "db1", "public", "t1", "t1"},
        {"/TblView/db1/public/v1/#?#?#view", "VIEW", "db1", "public", "v1", "v1"},
        {"/TblView/db1/public/tf/#?#?#trfn", "FUNCTION", "db1", "public", "tf", "tf"},
        {"/TblView/db1/public/s1/#?#?#seqc", "SEQUENCE", "db1", "public", "s1", "s1"},
        {"/TblView/db1/public/f1/#?#?#func", "FUNCTION", "db1", "public", "f1", "f1"},
        {"/TblView/db1/public/d1/#?#?#domn", "DOMAIN", "db1", "public", "d1", "d1"},
        {"/TblView/db1/public/t1/t1_pkey/#?#?#cons", "CONSTRAINT", "db1", "public", "t1",
         "t1_pkey"},
        {"/TblView/db1/public/t1/tg/#?#?#trig", "TRIGGER", "db1", "public", "t1", "tg"},
        {"/TblView/db1/public/t1/r1/#?#?#rule", "RULE", "db1", "public", "t1", "r1"},
        {"/TblView/db1/public/t1/i1/#?#?#indx", "INDEX", "db1", "public", "t1", "i1"},
        {"/TblView/db1/sales/#?#?#schm", "SCHEMA", "db1", "sales", "", "sales"},
        {"/TblView/db1/#?#?#dbnm", "DATABASE", "db1", "", "", "db1"},
        {"/TblView/db1/public/mood/#?#?#type", "TYPE", "db1", "public", "mood", "mood"},
    };
    for (const auto& c : cases) {
        Parse_selectedItems items;
        items.addGUIitems(c.path);
        items.parse();
        ASSERT_EQ(items.ParsedItems().size(), 1u) << c.path;
        const Item_prop& item = items.ParsedItems()[0];
        EXPECT_EQ(item.type, c.keyword) << c.path;
        EXPECT_EQ(item.database, c.database) << c.path;
        EXPECT_EQ(item.schema, c.schema) << c.path;
        EXPECT_EQ(item.parent, c.parent) << c.path;
        EXPECT_EQ(item.name, c.name) << c.path;
    }
}

TEST_F(ParseSelectedItemsTest, UnknownTagsAndMalformedPathsAreLeftOut) {
    std::vector<Item_prop> parsed = Parse({
        "/TblView/db1/public/t1/#?#?#tabx",
        "/TblView/db1/public/t1/tabl",
        "/TblView/db1/public/t1/#?#?#TABL",
        "/TblView/db1/public/t1/#?#?#tabl/",
        "/TblView/db1/public/t1/",
        "TblView/db1/public/t1/#?#?#tabl",
        "/",
        "",
        "/TblView/db1/public/kept/#?#?#tabl",
    });
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].name, "kept");
    EXPECT_EQ(items_.DatabaseList(), (std::list<std::string>{"db1"}));
}

TEST_F(ParseSelectedItemsTest, PathsShorterThanTheirTagNeedsAreLeftOut) {
    // Each stands one component below what its tag needs; the last path of each pair is the
    // shortest accepted.
    std::vector<Item_prop> parsed = Parse({
        "/TblView/public/t1/#?#?#cons",
        "/TblView/db1/public/t1/t1_pkey/#?#?#cons",
        "/TblView/db1/t1/#?#?#tabl",
        "/TblView/db1/public/t1/#?#?#tabl",
        "/TblView/db1/#?#?#schm",
        "/TblView/db1/public/#?#?#schm",
        "/TblView/#?#?#dbnm",
        "/TblView/db1/#?#?#dbnm",
        "/#?#?#func",
    });
    ASSERT_EQ(parsed.size(), 4u);
    EXPECT_EQ(parsed[0].type, "CONSTRAINT");
    EXPECT_EQ(parsed[1].type, "TABLE");
    EXPECT_EQ(parsed[2].type, "SCHEMA");
    EXPECT_EQ(parsed[3].type, "DATABASE");
}

TEST_F(ParseSelectedItemsTest, DatabaseListDropsOnlyConsecutiveRepeats) {
    Parse({"/TblView/A/public/t1/#?#?#tabl", "/TblView/A/public/t2/#?#?#tabl",
           "/TblView/B/public/t1/#?#?#tabl", "/TblView/unknown/public/t1/#?#?#zzzz",
           "/TblView/A/public/t3/#?#?#tabl"});

    EXPECT_EQ(items_.DatabaseList(), (std::list<std::string>{"A", "B", "A"}));
}

TEST_F(ParseSelectedItemsTest, UnreachableTargetRestoresEverySchemaAndDropsNothing) {
    SetUnreachableDb();
    EXPECT_EQ(LangInstallFlag, 1);
    Parse({"/TblView/db1/#?#?#dbnm", "/TblView/db1/public/t1/#?#?#tabl",
           "/TblView/db2/public/t9/#?#?#tabl", "/TblView/db1/app/f/#?#?#func"});

    std::vector<object_type> objects;
    ASSERT_EQ(items_.getobjects("db1", objects, false), 0);

    ASSERT_EQ(objects.size(), 4u);
    auto text = [](const object_type& o) { return o.name + "|" + o.type + "|" + o.schema; };
    EXPECT_EQ(text(objects[0]), "t1|TABLE|public");
    EXPECT_EQ(text(objects[1]), "public|SCHEMA|public");
    EXPECT_EQ(text(objects[2]), "f|FUNCTION|app");
    EXPECT_EQ(text(objects[3]), "app|SCHEMA|app");
}

TEST_F(ParseSelectedItemsTest, DatabaseEntryAloneGivesNoObjects) {
    SetUnreachableDb();
    Parse({"/TblView/db1/#?#?#dbnm"});
    std::vector<object_type> objects;
    ASSERT_EQ(items_.getobjects("db1", objects, false), 0);
    EXPECT_TRUE(objects.empty());
}

} // namespace
