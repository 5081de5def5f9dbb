// Browsing the objects of a database: live through the agent's catalogue, and as a
// custom-format dump holds them, as an indented tree and as one JSON object a line. The names
// shown are the ones `restore --object` takes, hostile ones SQL-quoted.

#include "MajorStage.h"
#include "ObjectTestSupport.h"
#include "PgCluster.h"
#include "PgInstall.h"
#include "PguloHost.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace {

using namespace pgulo::test;

const char* const kHostileSql = R"SQL(
CREATE SCHEMA "My Schema";
CREATE TABLE "My Schema"."Order Lines" (id integer PRIMARY KEY, "Qty" integer);
CREATE INDEX "Lines By Qty" ON "My Schema"."Order Lines" ("Qty");
CREATE FUNCTION "My Schema"."Line Total"(a integer, b character varying, app.mood)
    RETURNS integer LANGUAGE sql AS 'SELECT 1';
)SQL";

// The shop database, made once per cluster.
PgCluster& ShopCluster(int major) {
    PgCluster::Options options;
    options.name = "browse";
    options.archiving = false;
    PgCluster& cluster = SharedCluster(major, options);
    if (cluster.psql("SELECT count(*) FROM pg_database WHERE datname = 'shop'") == "0") {
        cluster.psql("CREATE DATABASE shop");
        cluster.psql(std::string(ShopSchemaSql()) + kHostileSql, "shop");
    }
    return cluster;
}

std::size_t Indent(const std::string& line) {
    return line.find_first_not_of(' ');
}

// The nearest line above with less indentation: where the tree put the line.
std::string ParentOf(const std::vector<std::string>& lines, std::size_t at) {
    for (std::size_t i = at; i-- > 0;) {
        if (Indent(lines[i]) < Indent(lines[at]))
            return lines[i].substr(Indent(lines[i]));
    }
    return "";
}

struct TreeRow {
    const char* line; // without its indentation
    const char* parent;
};

// What both a live database and its dump show, each line under its parent.
const std::vector<TreeRow> kCommonTree = {
    {"schema app", "database shop"},
    {"table app.orders", "schema app"},
    {"constraint orders_pkey", "table app.orders"},
    {"constraint orders_code_key", "table app.orders"},
    {"constraint orders_customer_fk", "table app.orders"},
    {"rule orders_no_delete", "table app.orders"},
    {"trigger orders_touch", "table app.orders"},
    {"view app.open_orders", "schema app"},
    {"sequence app.ticket_seq", "schema app"},
    {"function app.price(integer)", "schema app"},
    {"function app.price(integer,integer)", "schema app"},
    {"type app.address", "schema app"},
    {"type app.mood", "schema app"},
    {"domain app.positive", "schema app"},
    {"table zeta.events", "schema zeta"},
    {"schema \"My Schema\"", "database shop"},
    {"table \"My Schema\".\"Order Lines\"", "schema \"My Schema\""},
    {"constraint \"Order Lines_pkey\"", "table \"My Schema\".\"Order Lines\""},
    {"function \"My Schema\".\"Line Total\"(integer,character varying,app.mood)",
     "schema \"My Schema\""},
};

void ExpectTree(const std::string& out, std::vector<TreeRow> rows) {
    const std::vector<std::string> lines = TestFiles::SplitLines(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "database shop");
    std::map<std::string, std::string> parents;
    for (std::size_t i = 1; i < lines.size(); ++i)
        parents[lines[i].substr(Indent(lines[i]))] = ParentOf(lines, i);
    for (const TreeRow& row : rows) {
        const auto found = parents.find(row.line);
        ASSERT_NE(found, parents.end()) << "no line '" << row.line << "' in\n" << out;
        EXPECT_EQ(found->second, row.parent) << row.line << " in\n" << out;
    }
}

struct JsonRow {
    const char* kind;
    const char* schema;
    const char* name;
    const char* table;
    const char* selector;
    std::vector<std::string> arguments;
};

const std::vector<JsonRow> kCommonJson = {
    {"schema", "My Schema", "My Schema", "", "schema:\"My Schema\"", {}},
    {"table", "My Schema", "Order Lines", "", "table:\"My Schema\".\"Order Lines\"", {}},
    {"table", "app", "orders", "", "table:app.orders", {}},
    {"constraint", "app", "orders_customer_fk", "orders", "", {}},
    {"trigger", "app", "orders_touch", "orders", "", {}},
    {"rule", "app", "orders_no_delete", "orders", "", {}},
    {"function", "app", "price", "", "function:app.price(integer,integer)", {"integer", "integer"}},
    {"function",
     "My Schema",
     "Line Total",
     "",
     "function:\"My Schema\".\"Line Total\"(integer,character varying,app.mood)",
     {"integer", "character varying", "app.mood"}},
    {"view", "app", "open_orders", "", "view:app.open_orders", {}},
    {"sequence", "app", "ticket_seq", "", "sequence:app.ticket_seq", {}},
    {"type", "app", "mood", "", "type:app.mood", {}},
    {"domain", "app", "positive", "", "domain:app.positive", {}},
};

// Every line parses; each row names an object that is there, with its table, arguments and
// selector. Returns the objects for checks of their own.
std::vector<nlohmann::json> ExpectJson(const std::string& out, const std::vector<JsonRow>& rows) {
    std::vector<nlohmann::json> objects;
    for (const std::string& line : TestFiles::SplitLines(out))
        objects.push_back(nlohmann::json::parse(line));
    for (const JsonRow& row : rows) {
        bool found = false;
        for (const nlohmann::json& o : objects) {
            if (o["kind"] != row.kind || o["schema"] != row.schema || o["name"] != row.name ||
                o.value("arguments", std::vector<std::string>()) != row.arguments)
                continue;
            found = true;
            EXPECT_EQ(o["database"], "shop") << o;
            EXPECT_EQ(o.value("table", ""), row.table) << o;
            EXPECT_EQ(o.value("selector", ""), row.selector) << o;
        }
        EXPECT_TRUE(found) << row.kind << " " << row.schema << "." << row.name << " in\n" << out;
    }
    return objects;
}

class CliBrowseTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = &ShopCluster(GetParam());
        host_.AddInstance("main", *cluster_, "postgres", "");
    }
    ProcessResult Browse(std::vector<std::string> args) const {
        args.insert(args.begin(), {"browse", "main"});
        return host_.Run(args);
    }

    PgCluster* cluster_ = nullptr;
    PguloHost host_;
};

TEST_P(CliBrowseTest, LiveTreeShowsEveryKindUnderItsParent) {
    const ProcessResult r = Browse({"--database", "shop"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<TreeRow> rows = kCommonTree;
    // Only the catalogue names an index's table and tells trigger functions apart.
    rows.push_back({"index orders_status_idx", "table app.orders"});
    rows.push_back({"index \"Lines By Qty\"", "table \"My Schema\".\"Order Lines\""});
    rows.push_back({"trigger-function app.touch_order()", "schema app"});
    ExpectTree(r.out, rows);
    EXPECT_EQ(r.out.find("app.total"), std::string::npos) << "an aggregate is no function";
}

TEST_P(CliBrowseTest, LiveJsonGivesKindsNamesArgumentsOidsAndPaths) {
    const ProcessResult r = Browse({"--database", "shop", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<JsonRow> rows = kCommonJson;
    rows.push_back({"index", "app", "orders_status_idx", "orders", "", {}});
    rows.push_back(
        {"trigger-function", "app", "touch_order", "", "function:app.touch_order()", {}});
    for (const nlohmann::json& o : ExpectJson(r.out, rows)) {
        EXPECT_NE(o.value("oid", "").find_first_of("0123456789"), std::string::npos) << o;
        EXPECT_EQ(o.value("path", "").rfind("/TblView/shop/", 0), 0u) << o;
    }
}

TEST_P(CliBrowseTest, RefusesWhatItCannotBrowseInOneSentence) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    } cases[] = {
        {{"--database", "nowhere"}, 1, "instance 'main' has no database 'nowhere'"},
        {{}, 2, "browse needs --database DB"},
        {{"--dump-file", "/nonexistent/shop.dump"},
         1,
         "cannot list the dump /nonexistent/shop.dump"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = Browse(c.args);
        ExpectRefused(r, c.exitCode, c.message);
        EXPECT_EQ(r.out, "");
    }
}

TEST_P(CliBrowseTest, DumpFileShowsWhatTheDumpHolds) {
    const TempTree dir("pgulo-browse-dump");
    const std::string dump = dir.Path("shop.dump");
    const ProcessResult made = runCommand(
        {PgInstall::clientTool("pg_dump"), "-Fc", "-f", dump, "-d", cluster_->connInfo("shop")});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    cluster_->psql("CREATE TABLE app.after_the_dump (x integer)", "shop");

    const ProcessResult tree = Browse({"--dump-file", dump});
    ASSERT_EQ(tree.exitCode, 0) << tree.out << tree.err;
    std::vector<TreeRow> rows = kCommonTree;
    rows.push_back({"index app.orders_status_idx", "schema app"});
    rows.push_back({"function app.touch_order()", "schema app"});
    ExpectTree(tree.out, rows);
    EXPECT_EQ(tree.out.find("after_the_dump"), std::string::npos) << tree.out;

    const ProcessResult json = Browse({"--dump-file", dump, "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.out << json.err;
    for (const nlohmann::json& o : ExpectJson(json.out, kCommonJson)) {
        EXPECT_GT(o.value("dump_id", 0), 0) << o;
        EXPECT_EQ(o.value("owner", ""), "postgres") << o;
    }
    cluster_->psql("DROP TABLE app.after_the_dump", "shop");
}

INSTANTIATE_TEST_SUITE_P(Majors, CliBrowseTest, ::testing::Values(15, 14), MajorName);

} // namespace
