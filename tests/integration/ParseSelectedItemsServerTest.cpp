#include "pgulo/Parse_selectedItems.h"

#include "pgulo/PGLastError.h"

#include "ObjectTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace objecttest;

std::vector<std::string> Texts(const std::vector<object_type>& objects) {
    std::vector<std::string> texts;
    for (const object_type& o : objects)
        texts.push_back(o.name + "|" + o.type + "|" + o.schema);
    return texts;
}

// Each test gets a fresh target database "target" holding public.t1 and the objects of
// ShopSchemaSql (schemas app and zeta).
class ParseSelectedItemsServerTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        Home();
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &Clusters::For(GetParam());
        cluster_->psql("DROP DATABASE IF EXISTS target");
        cluster_->psql("CREATE DATABASE target");
        cluster_->psql(ShopSchemaSql(), "target");
        cluster_->psql("CREATE TABLE public.t1 (v integer)", "target");
    }

    void SetDb(Parse_selectedItems& items, const std::string& database = "target") const {
        ASSERT_EQ(items.setDb(cluster_->libDir(), cluster_->binDir(), "postgres", "", database,
                              cluster_->socketDir(), std::to_string(cluster_->port()),
                              ServerVersion(*cluster_)),
                  0);
    }

    // Selects the paths on the target and returns getobjects' status.
    int Select(const std::vector<std::string>& paths, std::vector<object_type>& objects,
               bool noDrop = false) {
        SetDb(items_);
        for (const std::string& path : paths)
            items_.addGUIitems(path);
        items_.parse();
        return items_.getobjects("target", objects, noDrop);
    }

    bool Exists(const std::string& regclass) const {
        std::string literal;
        for (char c : regclass)
            literal += c == '\'' ? std::string("''") : std::string(1, c);
        return cluster_->psql("SELECT to_regclass('" + literal + "') IS NOT NULL", "target") == "t";
    }

    PgCluster* cluster_ = nullptr;
    Parse_selectedItems items_;
};

TEST_P(ParseSelectedItemsServerTest, SelectedTableIsDroppedBeforeRestore) {
    std::vector<object_type> objects;
    ASSERT_EQ(Select({"/TblView/target/public/t1/#?#?#tabl"}, objects), 0);

    EXPECT_EQ(Texts(objects), (std::vector<std::string>{"t1|TABLE|public"}));
    EXPECT_EQ(LangInstallFlag, 0);
    EXPECT_FALSE(Exists("public.t1"));
}

TEST_P(ParseSelectedItemsServerTest, NoDropLeavesTheTargetAsItIs) {
    std::vector<object_type> objects;
    ASSERT_EQ(
        Select({"/TblView/target/public/t1/#?#?#tabl", "/TblView/target/app/orders/#?#?#tabl"},
               objects, true),
        0);

    EXPECT_EQ(Texts(objects), (std::vector<std::string>{"t1|TABLE|public", "orders|TABLE|app"}));
    EXPECT_TRUE(Exists("public.t1"));
    EXPECT_TRUE(Exists("app.orders"));
}

TEST_P(ParseSelectedItemsServerTest, ViewDomainAndSequenceAreDroppedTheOtherKindsNever) {
    std::vector<object_type> objects;
    ASSERT_EQ(
        Select({"/TblView/target/app/open_orders/#?#?#view",
                "/TblView/target/app/positive/#?#?#domn",
                "/TblView/target/app/ticket_seq/#?#?#seqc",
                "/TblView/target/app/orders/orders_pkey/#?#?#cons",
                "/TblView/target/app/orders/orders_status_idx/#?#?#indx",
                "/TblView/target/app/orders/orders_no_delete/#?#?#rule",
                "/TblView/target/app/orders/orders_touch/#?#?#trig",
                "/TblView/target/app/price/#?#?#func", "/TblView/target/app/touch_order/#?#?#trfn",
                "/TblView/target/app/mood/#?#?#type"},
               objects),
        0);

    EXPECT_EQ(objects.size(), 10u);
    EXPECT_FALSE(Exists("app.open_orders"));
    EXPECT_FALSE(Exists("app.ticket_seq"));
    EXPECT_EQ(cluster_->psql("SELECT count(*) FROM pg_type WHERE typname = 'positive'", "target"),
              "0");
    EXPECT_TRUE(Exists("app.orders_pkey"));
    EXPECT_TRUE(Exists("app.orders_status_idx"));
    EXPECT_EQ(cluster_->psql("SELECT count(*) FROM pg_rewrite WHERE rulename = "
                             "'orders_no_delete'",
                             "target"),
              "1");
    EXPECT_EQ(
        cluster_->psql("SELECT count(*) FROM pg_trigger WHERE tgname = 'orders_touch'", "target"),
        "1");
    EXPECT_EQ(cluster_->psql("SELECT count(*) FROM pg_proc WHERE proname IN ('price', "
                             "'touch_order')",
                             "target"),
              "3");
    EXPECT_EQ(cluster_->psql("SELECT count(*) FROM pg_type WHERE typname = 'mood'", "target"), "1");
}

TEST_P(ParseSelectedItemsServerTest, MissingSchemaIsAddedAndNothingOfItDropped) {
    std::vector<object_type> objects;
    ASSERT_EQ(Select({"/TblView/target/ghost/t9/#?#?#tabl"}, objects), 0);

    EXPECT_EQ(Texts(objects), (std::vector<std::string>{"t9|TABLE|ghost", "ghost|SCHEMA|ghost"}));
}

TEST_P(ParseSelectedItemsServerTest, MissingSchemaDoesNotSpareTablesOfExistingSchemas) {
    std::vector<object_type> objects;
    ASSERT_EQ(Select({"/TblView/target/ghost/t9/#?#?#tabl", "/TblView/target/public/t1/#?#?#tabl",
                      "/TblView/target/ghost/t8/#?#?#tabl"},
                     objects),
              0);

    EXPECT_EQ(Texts(objects),
              (std::vector<std::string>{"t9|TABLE|ghost", "ghost|SCHEMA|ghost", "t1|TABLE|public",
                                        "t8|TABLE|ghost", "ghost|SCHEMA|ghost"}));
    // Left in place, t1 would receive the dump's rows on top of its own.
    EXPECT_FALSE(Exists("public.t1"));
}

TEST_P(ParseSelectedItemsServerTest, TargetWithoutAnyUserSchemaLacksTheSchema) {
    cluster_->psql("DROP SCHEMA public CASCADE; DROP SCHEMA app CASCADE; DROP SCHEMA zeta CASCADE",
                   "target");

    std::vector<object_type> objects;
    ASSERT_EQ(Select({"/TblView/target/public/t1/#?#?#tabl"}, objects), 0);

    EXPECT_EQ(Texts(objects),
              (std::vector<std::string>{"t1|TABLE|public", "public|SCHEMA|public"}));
}

TEST_P(ParseSelectedItemsServerTest, MixedCaseBlankAndQuoteNamesAreDroppedExactly) {
    cluster_->psql(R"SQL(
CREATE SCHEMA "Sales Dept";
CREATE TABLE "Sales Dept"."Orders" (v integer);
CREATE TABLE "Sales Dept".orders (v integer);
CREATE TABLE public."my table" (v integer);
CREATE TABLE public.my (v integer);
CREATE TABLE public.table (v integer);
CREATE TABLE public."it's ""x""" (v integer);
)SQL",
                   "target");

    std::vector<object_type> objects;
    ASSERT_EQ(Select({"/TblView/target/Sales Dept/Orders/#?#?#tabl",
                      "/TblView/target/public/my table/#?#?#tabl",
                      "/TblView/target/public/table/#?#?#tabl",
                      "/TblView/target/public/it's \"x\"/#?#?#tabl"},
                     objects),
              0);

    EXPECT_EQ(objects.size(), 4u);
    EXPECT_FALSE(Exists("\"Sales Dept\".\"Orders\""));
    EXPECT_FALSE(Exists("public.\"my table\""));
    EXPECT_FALSE(Exists("public.\"table\""));
    EXPECT_FALSE(Exists("public.\"it's \"\"x\"\"\""));
    // The lower-case namesakes were not the ones selected.
    EXPECT_TRUE(Exists("\"Sales Dept\".orders"));
    EXPECT_TRUE(Exists("public.my"));
}

TEST_P(ParseSelectedItemsServerTest, NameCarryingSqlDropsOnlyThatName) {
    cluster_->psql("CREATE TABLE public.\"t1; drop table app.customers cascade; --\" (v integer)",
                   "target");

    std::vector<object_type> objects;
    ASSERT_EQ(Select({"/TblView/target/public/t1; drop table app.customers cascade; --/#?#?#tabl"},
                     objects),
              0);

    EXPECT_FALSE(Exists("public.\"t1; drop table app.customers cascade; --\""));
    EXPECT_TRUE(Exists("app.customers"));
    EXPECT_TRUE(Exists("public.t1"));
}

TEST_P(ParseSelectedItemsServerTest, FailedDropEndsWithItsMessage) {
    // orders refers to customers, so customers cannot go alone.
    std::vector<object_type> objects;
    ASSERT_EQ(
        Select({"/TblView/target/public/t1/#?#?#tabl", "/TblView/target/app/customers/#?#?#tabl",
                "/TblView/target/zeta/events/#?#?#tabl"},
               objects),
        -1);

    EXPECT_STREQ(PGLastError(nullptr),
                 "Failed to drop TABLE - app.customers. Please make sure all dependent objects "
                 "associated with this TABLE is selected for restore.");
    EXPECT_TRUE(Exists("app.customers"));
    EXPECT_TRUE(Exists("zeta.events"));
    EXPECT_FALSE(Exists("public.t1"));
    EXPECT_EQ(Texts(objects), (std::vector<std::string>{"t1|TABLE|public", "customers|TABLE|app"}));
}

TEST_P(ParseSelectedItemsServerTest, EntriesOfOtherDatabasesAreLeftForTheirOwnCall) {
    std::vector<object_type> objects;
    ASSERT_EQ(Select({"/TblView/other/public/t1/#?#?#tabl", "/TblView/target/#?#?#dbnm",
                      "/TblView/target/zeta/events/#?#?#tabl"},
                     objects),
              0);

    EXPECT_EQ(Texts(objects), (std::vector<std::string>{"events|TABLE|zeta"}));
    EXPECT_TRUE(Exists("public.t1"));
    EXPECT_FALSE(Exists("zeta.events"));
}

TEST_P(ParseSelectedItemsServerTest, MissingTargetDatabaseSetsTheLanguageFlag) {
    Parse_selectedItems items;
    SetDb(items, "no_such_database");
    EXPECT_EQ(LangInstallFlag, 1);

    // A later successful connection clears it.
    Parse_selectedItems again;
    SetDb(again);
    EXPECT_EQ(LangInstallFlag, 0);
}

INSTANTIATE_TEST_SUITE_P(Majors, ParseSelectedItemsServerTest,
                         ::testing::ValuesIn(PgInstall::knownMajors()),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
