#include "pgulo/Parse_selectedItems.h"

#include "pgulo/PGLastError.h"

#include "ObjectTestSupport.h"
#include "PgInstall.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pgulo::test;

std::vector<std::string> Texts(const std::vector<object_type>& objects) {
    std::vector<std::string> texts;
    for (const object_type& o : objects)
        texts.push_back(o.name + "|" + o.type + "|" + o.schema);
    return texts;
}

class ParseSelectedItemsServerTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &ObjectCluster(GetParam());
    }

    // A fresh target database holding public.t1 and the objects of ShopSchemaSql (schemas app
    // and zeta).
    void FreshTarget() const {
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

    // True when the SQL condition holds in the target database.
    bool Holds(const std::string& condition) const {
        return cluster_->psql("SELECT " + condition, "target") == "t";
    }

    PgCluster* cluster_ = nullptr;
};

// A relation, as a condition for Holds.
std::string Rel(const std::string& regclass) {
    std::string literal;
    for (char c : regclass)
        literal += c == '\'' ? std::string("''") : std::string(1, c);
    return "to_regclass('" + literal + "') IS NOT NULL";
}

std::string Count(const std::string& catalog, const std::string& where, int n) {
    return "(SELECT count(*) FROM " + catalog + " WHERE " + where + ") = " + std::to_string(n);
}

// Paths selected on the target (after more SQL there), and what getobjects makes of them:
// its status, the objects it names (when given) and conditions that hold afterwards.
struct SelectRow {
    const char* name;
    std::string sql;
    std::vector<std::string> paths;
    bool noDrop;
    int rc;
    std::vector<std::string> texts; // empty: not checked
    std::vector<std::string> holding;
};

TEST_P(ParseSelectedItemsServerTest, SelectedObjectsAreDroppedBeforeRestoreAsFarAsTheyMayBe) {
    const std::string t = "/TblView/target/";
    const std::string nasty = "t1; drop table app.customers cascade; --";
    // clang-format off
    const std::vector<SelectRow> rows = {
        {"a table", "", {t + "public/t1/#?#?#tabl"}, false, 0, {"t1|TABLE|public"},
         {"NOT " + Rel("public.t1"), Rel("app.orders")}},
        {"no drop", "", {t + "public/t1/#?#?#tabl", t + "app/orders/#?#?#tabl"}, true, 0,
         {"t1|TABLE|public", "orders|TABLE|app"}, {Rel("public.t1"), Rel("app.orders")}},
        // Views, domains and sequences are dropped, the other kinds never.
        {"every kind", "",
         {t + "app/open_orders/#?#?#view", t + "app/positive/#?#?#domn",
          t + "app/ticket_seq/#?#?#seqc", t + "app/orders/orders_pkey/#?#?#cons",
          t + "app/orders/orders_status_idx/#?#?#indx", t + "app/orders/orders_no_delete/#?#?#rule",
          t + "app/orders/orders_touch/#?#?#trig", t + "app/price/#?#?#func",
          t + "app/touch_order/#?#?#trfn", t + "app/mood/#?#?#type"}, false, 0, {},
         {"NOT " + Rel("app.open_orders"), "NOT " + Rel("app.ticket_seq"),
          Count("pg_type", "typname = 'positive'", 0), Rel("app.orders_pkey"),
          Rel("app.orders_status_idx"), Count("pg_rewrite", "rulename = 'orders_no_delete'", 1),
          Count("pg_trigger", "tgname = 'orders_touch'", 1),
          Count("pg_proc", "proname IN ('price', 'touch_order')", 3),
          Count("pg_type", "typname = 'mood'", 1)}},
        // A missing schema is added, and nothing of it dropped...
        {"missing schema", "", {t + "ghost/t9/#?#?#tabl"}, false, 0,
         {"t9|TABLE|ghost", "ghost|SCHEMA|ghost"}, {}},
        // ... yet tables of existing schemas still are: left in place, t1 would receive the
        // dump's rows on top of its own.
        {"missing schema beside an existing one", "",
         {t + "ghost/t9/#?#?#tabl", t + "public/t1/#?#?#tabl", t + "ghost/t8/#?#?#tabl"}, false, 0,
         {"t9|TABLE|ghost", "ghost|SCHEMA|ghost", "t1|TABLE|public", "t8|TABLE|ghost",
          "ghost|SCHEMA|ghost"}, {"NOT " + Rel("public.t1")}},
        {"no user schema at all",
         "DROP SCHEMA public CASCADE; DROP SCHEMA app CASCADE; DROP SCHEMA zeta CASCADE",
         {t + "public/t1/#?#?#tabl"}, false, 0, {"t1|TABLE|public", "public|SCHEMA|public"}, {}},
        // Mixed case, blank and quote names are dropped exactly; their lower-case namesakes
        // were not selected.
        {"awkward names",
         "CREATE SCHEMA \"Sales Dept\"; CREATE TABLE \"Sales Dept\".\"Orders\" (v integer); "
         "CREATE TABLE \"Sales Dept\".orders (v integer); CREATE TABLE public.\"my table\" (v int);"
         "CREATE TABLE public.my (v integer); CREATE TABLE public.table (v integer); "
         "CREATE TABLE public.\"it's \"\"x\"\"\" (v integer)",
         {t + "Sales Dept/Orders/#?#?#tabl", t + "public/my table/#?#?#tabl",
          t + "public/table/#?#?#tabl", t + "public/it's \"x\"/#?#?#tabl"}, false, 0, {},
         {"NOT " + Rel("\"Sales Dept\".\"Orders\""), "NOT " + Rel("public.\"my table\""),
          "NOT " + Rel("public.\"table\""), "NOT " + Rel("public.\"it's \"\"x\"\"\""),
          Rel("\"Sales Dept\".orders"), Rel("public.my")}},
        {"a name carrying SQL", "CREATE TABLE public.\"" + nasty + "\" (v integer)",
         {t + "public/" + nasty + "/#?#?#tabl"}, false, 0, {},
         {"NOT " + Rel("public.\"" + nasty + "\""), Rel("app.customers"), Rel("public.t1")}},
        // orders refers to customers, so customers cannot go alone; the drop ends there.
        {"a failed drop", "",
         {t + "public/t1/#?#?#tabl", t + "app/customers/#?#?#tabl", t + "zeta/events/#?#?#tabl"},
         false, -1, {"t1|TABLE|public", "customers|TABLE|app"},
         {Rel("app.customers"), Rel("zeta.events"), "NOT " + Rel("public.t1")}},
        // Entries of other databases are left for their own call.
        {"other databases", "",
         {"/TblView/other/public/t1/#?#?#tabl", t + "#?#?#dbnm", t + "zeta/events/#?#?#tabl"},
         false, 0, {"events|TABLE|zeta"}, {Rel("public.t1"), "NOT " + Rel("zeta.events")}},
    };
    // clang-format on
    // A missing target database sets the language flag; the next connection clears it.
    Parse_selectedItems missing;
    SetDb(missing, "no_such_database");
    EXPECT_EQ(LangInstallFlag, 1);
    for (const SelectRow& r : rows) {
        SCOPED_TRACE(r.name);
        FreshTarget();
        if (!r.sql.empty())
            cluster_->psql(r.sql, "target");
        Parse_selectedItems items;
        SetDb(items);
        for (const std::string& path : r.paths)
            items.addGUIitems(path);
        items.parse();
        std::vector<object_type> objects;
        EXPECT_EQ(items.getobjects("target", objects, r.noDrop), r.rc);
        if (r.texts.empty())
            EXPECT_EQ(objects.size(), r.paths.size());
        else
            EXPECT_EQ(Texts(objects), r.texts);
        if (r.rc == 0)
            EXPECT_EQ(LangInstallFlag, 0);
        else
            EXPECT_STREQ(PGLastError(nullptr),
                         "Failed to drop TABLE - app.customers. Please make sure all dependent "
                         "objects associated with this TABLE is selected for restore.");
        for (const std::string& condition : r.holding)
            EXPECT_TRUE(Holds(condition)) << condition;
    }
}

INSTANTIATE_TEST_SUITE_P(Majors, ParseSelectedItemsServerTest,
                         ::testing::ValuesIn(PgInstall::knownMajors()),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
