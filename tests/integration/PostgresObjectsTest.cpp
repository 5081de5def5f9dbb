#include "pgulo/Postgres_objects.h"

#include "MajorStage.h"
#include "ObjectTestSupport.h"

namespace {

using namespace pgulo::test;

// "Label|name|path" per record, the way the browse tree shows it.
std::vector<std::string> Shown(const std::vector<object_prop>& records) {
    std::vector<std::string> shown;
    for (const object_prop& r : records)
        shown.push_back(r.type + "|" + r.name + "|" + r.path);
    return shown;
}

// The shop's records in enumeration order. Types outside the search path come back
// schema-qualified from format_type.
const std::vector<std::string> kShopShown = {
    "Database|shop|",
    "Schema|app|/TblView/shop/app/#?#?#schm",
    "Domain|positive|/TblView/shop/app/positive/#?#?#domn",
    "Table|customers|/TblView/shop/app/customers/#?#?#tabl",
    "Constraint|customers_pkey|/TblView/shop/app/customers/customers_pkey/#?#?#cons",
    "Table|orders|/TblView/shop/app/orders/#?#?#tabl",
    "Constraint|orders_code_key|/TblView/shop/app/orders/orders_code_key/#?#?#cons",
    "Constraint|orders_pkey|/TblView/shop/app/orders/orders_pkey/#?#?#cons",
    "Constraint|orders_customer_fk|/TblView/shop/app/orders/orders_customer_fk/#?#?#cons",
    "Index|orders_status_idx|/TblView/shop/app/orders/orders_status_idx/#?#?#indx",
    "Rules|orders_no_delete|/TblView/shop/app/orders/orders_no_delete/#?#?#rule",
    "Trigger|orders_touch|/TblView/shop/app/orders/orders_touch/#?#?#trig",
    "TriggFunction|touch_order|/TblView/shop/app/touch_order/#?#?#trfn",
    "View|open_orders|/TblView/shop/app/open_orders/#?#?#view",
    "Function|price|/TblView/shop/app/price/#?#?#func",
    "Function|price|/TblView/shop/app/price/#?#?#func",
    "Seqeunce|ticket_seq|/TblView/shop/app/ticket_seq/#?#?#seqc",
    "Type|app.address|/TblView/shop/app/app.address/#?#?#type",
    "Type|app.mood|/TblView/shop/app/app.mood/#?#?#type",
    "Schema|public|/TblView/shop/public/#?#?#schm",
    "Schema|zeta|/TblView/shop/zeta/#?#?#schm",
    "Table|events|/TblView/shop/zeta/events/#?#?#tabl",
};

class PostgresObjectsTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &ObjectCluster(GetParam());
        if (cluster_->psql("SELECT count(*) FROM pg_database WHERE datname = 'shop'") == "0") {
            cluster_->psql("CREATE DATABASE shop");
            cluster_->psql(ShopSchemaSql(), "shop");
            cluster_->psql("CREATE DATABASE bare");
            cluster_->psql("DROP SCHEMA public", "bare");
        }
        version_ = ServerVersion(*cluster_);
    }

    int Init(Postgres_objects& objects, const std::string& database, const std::string& port = "",
             const std::string& version = "") const {
        return objects.init(cluster_->libDir(), cluster_->binDir(), "postgres", "", database,
                            cluster_->socketDir(),
                            port.empty() ? std::to_string(cluster_->port()) : port,
                            version.empty() ? version_ : version);
    }

    std::string Oid(const std::string& sql) const { return cluster_->psql(sql, "shop"); }

    static std::vector<object_prop> Records(Postgres_objects& objects) {
        std::vector<object_prop> records;
        objects.getObjects(records);
        return records;
    }

    PgCluster* cluster_ = nullptr;
    std::string version_;
};

// Every kind in enumeration order with its path, schema, database and catalogue oid.
TEST_P(PostgresObjectsTest, ListsEveryKindInEnumerationOrderWithItsPathAndOid) {
    Postgres_objects objects;
    ASSERT_EQ(Init(objects, "shop"), 0);
    ASSERT_EQ(objects.fillSchemas(), 0);
    std::vector<object_prop> records;
    ASSERT_EQ(objects.getObjects(records), 0);
    ASSERT_EQ(Shown(records), kShopShown);
    EXPECT_TRUE(records[0].schema.empty() && records[0].database.empty() && records[0].oid.empty());
    EXPECT_EQ(records[8].schema, "app");
    EXPECT_EQ(records[8].database, "shop");
    // The two overloads of price are two records, one per function.
    const std::vector<std::pair<size_t, std::string>> oids = {
        {1, "SELECT oid FROM pg_namespace WHERE nspname = 'app'"},
        {5, "SELECT 'app.orders'::regclass::oid"},
        {8, "SELECT oid FROM pg_constraint WHERE conname = 'orders_customer_fk'"},
        {11, "SELECT oid FROM pg_trigger WHERE tgname = 'orders_touch'"},
        {14, "SELECT 'app.price(integer)'::regprocedure::oid"},
        {15, "SELECT 'app.price(integer,integer)'::regprocedure::oid"},
    };
    for (const auto& [index, sql] : oids)
        EXPECT_EQ(records[index].oid, Oid(sql)) << records[index].path;
}

TEST_P(PostgresObjectsTest, SetMovesToAnotherDatabaseAndRecordsAccumulate) {
    Postgres_objects objects;
    EXPECT_EQ(Init(objects, "shop", "1"), -1);
    // Nothing was stored, so set has no cluster to move within.
    EXPECT_EQ(objects.set("shop"), -1);
    EXPECT_EQ(objects.fillSchemas(), -1);

    ASSERT_EQ(Init(objects, "bare"), 0);
    ASSERT_EQ(objects.fillSchemas(), 0);
    EXPECT_EQ(Shown(Records(objects)), (std::vector<std::string>{"Database|bare|"}));
    // A failed set leaves no session; a later set reconnects.
    EXPECT_EQ(objects.set("no_such_database"), -1);
    EXPECT_EQ(objects.fillSchemas(), -1);
    ASSERT_EQ(objects.set("shop"), 0);
    ASSERT_EQ(objects.fillSchemas(), 0);
    EXPECT_EQ(objects.displayObjects(), 0);

    std::vector<std::string> paths{"kept"};
    ASSERT_EQ(objects.getObjects(paths), 0);
    ASSERT_EQ(paths.size(), 24u);
    EXPECT_EQ(paths[0], "kept");
    EXPECT_EQ(paths[1], "");
    EXPECT_EQ(paths[3], "/TblView/shop/app/#?#?#schm");
}

TEST_P(PostgresObjectsTest, StepCalledDirectlyListsItsKindAndAnOidThatIsNotANumberRunsNothing) {
    Postgres_objects objects;
    ASSERT_EQ(Init(objects, "shop"), 0);
    EXPECT_EQ(objects.fillTableObjects("0::oid; DROP TABLE zeta.events; SELECT 1"), -1);
    EXPECT_EQ(objects.fillRulesNames("0 OR true"), -1);
    EXPECT_EQ(objects.fillTypeObjects(""), -1);
    EXPECT_EQ(Oid("SELECT count(*) FROM pg_class WHERE relname = 'events'"), "1");

    ASSERT_EQ(
        objects.fillFunctionObjects(Oid("SELECT oid FROM pg_namespace WHERE nspname = 'app'")), 0);
    const std::vector<object_prop> records = Records(objects);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].type + "|" + records[0].name, "Function|price");
}

TEST_P(PostgresObjectsTest, FailedQueryEndsTheEnumerationKeepingEarlierRecords) {
    Postgres_objects objects;
    // A version text before 9.0 sends "NOT tgisconstraint", which no supported server knows.
    ASSERT_EQ(Init(objects, "shop", "", "8.4.22"), 0);
    EXPECT_EQ(objects.fillSchemas(), -1);
    // Database, schema app, its domain, the first table and that table's constraint: the
    // trigger query of the first table is the one that fails.
    EXPECT_EQ(Shown(Records(objects)),
              std::vector<std::string>(kShopShown.begin(), kShopShown.begin() + 5));
}

INSTANTIATE_TEST_SUITE_P(Majors, PostgresObjectsTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         MajorName);

} // namespace
