#include "pgulo/Parse_selectedItems.h"
#include "pgulo/Postgres_objects.h"
#include "pgulo/postgresRestoreObjects.h"

#include "MajorStage.h"
#include "ObjectTestSupport.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <algorithm>
#include <filesystem>

namespace {

using namespace pgulo::test;
namespace fs = std::filesystem;

// What the source database holds beyond the shop: a schema that the target lacks.
const char* const kArchiveSql = R"SQL(
CREATE SCHEMA archive;
CREATE TABLE archive.old_orders (id integer PRIMARY KEY, note text);
INSERT INTO archive.old_orders VALUES (1, 'first'), (2, 'second');
)SQL";

// The target: an older orders table to be replaced, what the restored table refers to, and
// tables that nobody selected.
const char* const kTargetSql = R"SQL(
CREATE SCHEMA app;
CREATE TABLE app.customers (id integer PRIMARY KEY, name text NOT NULL);
INSERT INTO app.customers VALUES (1, 'Ada'), (2, 'Bob');
CREATE FUNCTION app.touch_order() RETURNS trigger LANGUAGE plpgsql AS
    $$BEGIN NEW.stamped := 'by target trigger'; RETURN NEW; END$$;
CREATE TABLE app.orders (id integer, junk text);
INSERT INTO app.orders VALUES (99, 'stale');
CREATE TABLE app.keepme (v text);
INSERT INTO app.keepme VALUES ('survives');
CREATE TABLE public.bystander (v integer);
INSERT INTO public.bystander VALUES (7);
)SQL";

// Debian's pg_dump 15 dumps servers up to its own major.
class ObjectRestoreTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &ObjectCluster(GetParam());
        // The programs name no host: the cluster's socket comes from the environment, as for
        // a host program run next to its server.
        ::setenv("PGHOST", cluster_->socketDir().c_str(), 1);
        version_ = ServerVersion(*cluster_);
        for (const char* database : {"shop", "target"})
            cluster_->psql(std::string("DROP DATABASE IF EXISTS ") + database);
        cluster_->psql("CREATE DATABASE shop");
        cluster_->psql(ShopSchemaSql(), "shop");
        cluster_->psql(kArchiveSql, "shop");
        cluster_->psql("CREATE DATABASE target");
        cluster_->psql(kTargetSql, "target");
    }

    // pg_dump -Fc of the source database into path.
    void Dump(const std::string& path) const {
        ProcessResult r = runCommand({PgInstall::clientTool("pg_dump"), "-h", cluster_->socketDir(),
                                      "-p", std::to_string(cluster_->port()), "-U", "postgres",
                                      "-Fc", "-f", path, "shop"});
        ASSERT_TRUE(r.ok()) << r.err;
    }

    // The source's browse paths of the shop database that end with the given tails.
    std::vector<std::string> Browse(const std::vector<std::string>& tails) const {
        Postgres_objects catalogue;
        EXPECT_EQ(catalogue.init(cluster_->libDir(), cluster_->binDir(), "postgres", "", "shop",
                                 cluster_->socketDir(), std::to_string(cluster_->port()), version_),
                  0);
        EXPECT_EQ(catalogue.fillSchemas(), 0);
        std::vector<std::string> paths;
        std::vector<std::string> chosen;
        catalogue.getObjects(paths);
        for (const std::string& tail : tails)
            if (std::count(paths.begin(), paths.end(), "/TblView/shop" + tail) > 0)
                chosen.push_back("/TblView/shop" + tail);
        return chosen;
    }

    // Selection parsing against the target, then the edited list and the restore.
    int Restore(const std::vector<std::string>& paths, const std::string& target,
                const std::string& dump, const std::string& workDir) {
        Parse_selectedItems items;
        items.setDb(cluster_->libDir(), PgInstall::clientBinDir(), "postgres", "", target,
                    cluster_->socketDir(), std::to_string(cluster_->port()), version_);
        for (const std::string& path : paths)
            items.addGUIitems(path);
        items.parse();
        std::vector<object_type> objects;
        if (items.getobjects("shop", objects, false) != 0)
            return -1;

        postgresRestoreObjects restore;
        restore.init(cluster_->libDir(), "", PgInstall::clientBinDir(), "postgres",
                     cluster_->socketDir(), std::to_string(cluster_->port()), target, dump, workDir,
                     version_);
        if (restore.getObjectsList() != 0)
            return -1;
        for (const object_type& object : objects)
            restore.addObjects(object);
        if (restore.setObjectsList() != 0)
            return -1;
        return restore.RestoreObjects();
    }

    std::string Target(const std::string& sql, const std::string& database = "target") const {
        return cluster_->psql(sql, database);
    }

    TempTree work{"pgulo-objrestore"};
    PgCluster* cluster_ = nullptr;
    std::string version_;
};

TEST_P(ObjectRestoreTest, ChosenObjectsComeBackAndNothingElseIsTouched) {
    const std::string dump = work.Path("shop.dump");
    Dump(dump);
    const std::vector<std::string> paths =
        Browse({"/app/orders/#?#?#tabl", "/app/price/#?#?#func", "/archive/#?#?#schm",
                "/archive/old_orders/#?#?#tabl"});
    ASSERT_EQ(paths.size(), 4u);

    ASSERT_EQ(Restore(paths, "target", dump, work.Root()), 0);

    // clang-format off
    const std::vector<std::pair<std::string, std::string>> checks = {
        // The table with its data, default, constraints, rule and trigger; not its index.
        {"SELECT string_agg(id || ':' || customer_id || ':' || code || ':' || status || ':' || "
         "stamped, ',' ORDER BY id) FROM app.orders", "10:1:A-10:open:by trigger,11:2:B-11:open:by trigger"},
        {"INSERT INTO app.orders (id, customer_id, code) VALUES (12, 1, 'C-12') "
         "RETURNING status || ':' || stamped", "open:by target trigger"},
        {"SELECT string_agg(conname, ',' ORDER BY conname) FROM pg_constraint "
         "WHERE conrelid = 'app.orders'::regclass", "orders_code_key,orders_customer_fk,orders_pkey"},
        {"SELECT count(*) FROM pg_rewrite WHERE rulename = 'orders_no_delete'", "1"},
        {"SELECT to_regclass('app.orders_status_idx') IS NULL", "t"},
        // Both overloads of the function.
        {"SELECT app.price(4) || ':' || app.price(4, 5)", "8:20"},
        // The schema the target lacked, with the table chosen in it.
        {"SELECT string_agg(note, ',' ORDER BY id) FROM archive.old_orders", "first,second"},
        // Everything else is as it was.
        {"SELECT v FROM app.keepme", "survives"},
        {"SELECT v FROM public.bystander", "7"},
        {"SELECT count(*) FROM app.customers", "2"},
        {"SELECT count(*) FROM pg_namespace WHERE nspname = 'zeta'", "0"},
        // app: customers(+pkey), orders(+pkey, code key), keepme; archive: old_orders(+pkey);
        // public: bystander.
        {"SELECT count(*) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
         "WHERE n.nspname IN ('app', 'archive', 'public')", "9"},
        {"SELECT count(*) FROM pg_type WHERE typname IN ('positive', 'mood', 'address')", "0"},
    };
    // clang-format on
    for (const auto& [sql, expected] : checks)
        EXPECT_EQ(Target(sql), expected) << sql;
}

// The missing target database is created, whatever its name holds.
TEST_P(ObjectRestoreTest, HostileDatabaseAndPathNamesWorkAndRunNothingElse) {
    // Names hold no "/", so the marker's path comes from the environment.
    const std::string marker = work.Path("pwned");
    ::setenv("PGULO_OBJ_MARKER", marker.c_str(), 1);
    const std::string workDir = work.Path("work dir; touch $PGULO_OBJ_MARKER");
    fs::create_directories(workDir);
    const std::string dump = workDir + "/it's \"shop\" $(touch $PGULO_OBJ_MARKER).dump";
    Dump(dump);
    const std::string target = "odd db'; touch $PGULO_OBJ_MARKER; x=\"1\"";

    ASSERT_EQ(Restore(Browse({"/zeta/#?#?#schm", "/zeta/events/#?#?#tabl"}), target, dump, workDir),
              0);

    EXPECT_FALSE(fs::exists(marker));
    // psql, too, reads a database name holding "=" as a connection string.
    const std::string dbname = "dbname='odd db\\'; touch $PGULO_OBJ_MARKER; x=\"1\"'";
    EXPECT_EQ(Target("SELECT count(*) FROM zeta.events", dbname), "0");
    EXPECT_EQ(Target("SELECT count(*) FROM pg_namespace WHERE nspname = 'app'", dbname), "0");
    cluster_->psql("DROP DATABASE \"odd db'; touch $PGULO_OBJ_MARKER; x=\"\"1\"\"\"");
}

// A schema the target holds is left out of the list; customers is not dropped (it is not
// selected), so restoring it fails on the existing table.
TEST_P(ObjectRestoreTest, PresentSchemaIsLeftOutAndAFailedRestoreIsReported) {
    const std::string dump = work.Path("shop.dump");
    Dump(dump);
    postgresRestoreObjects restore;
    restore.init(cluster_->libDir(), "", PgInstall::clientBinDir(), "postgres",
                 cluster_->socketDir(), std::to_string(cluster_->port()), "target", dump,
                 work.Root(), version_);
    ASSERT_EQ(restore.getObjectsList(), 0);
    for (const object_type& object : std::vector<object_type>{{"app", "SCHEMA", "app"},
                                                              {"archive", "SCHEMA", "archive"},
                                                              {"customers", "TABLE", "app"}})
        restore.addObjects(object);
    ASSERT_EQ(restore.setObjectsList(), 0);
    std::string edited;
    restore.getEditObjectListfile(edited);
    const std::string text = TestFiles::Read(edited);
    EXPECT_NE(text.find(" SCHEMA - archive "), std::string::npos) << text;
    EXPECT_EQ(text.find(" SCHEMA - app "), std::string::npos) << text;

    EXPECT_EQ(restore.RestoreObjects(), -1);
    EXPECT_EQ(Target("SELECT v FROM app.keepme"), "survives");
}

INSTANTIATE_TEST_SUITE_P(Majors, ObjectRestoreTest, ::testing::Values(10, 12, 14, 15), MajorName);

} // namespace
