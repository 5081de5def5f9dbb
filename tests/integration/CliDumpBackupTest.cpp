// Dump backups and object restore from them: a database with two schemas (one with blanks and
// capitals, one named like a keyword) and one object of each kind; a dropped table comes back
// with its rows and everything that hangs on it, an unchosen table keeps its changes, and a
// restore that cannot be done is refused with nothing changed.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PgInstall.h"
#include "PguloHost.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace pgulo::test;

const char* const kLines = "\"My Schema\".\"Order Lines\"";
const char* const kLinesObject = "table:\"My Schema\".\"Order Lines\"";

const char* const kSchema = R"SQL(
CREATE SCHEMA "My Schema";
CREATE SCHEMA "select";
CREATE ROLE clerk;
CREATE TYPE "My Schema".mood AS ENUM ('ok', 'bad');
CREATE DOMAIN "My Schema".positive AS integer CHECK (VALUE > 0);
CREATE SEQUENCE "select".tickets START 40;
CREATE FUNCTION public.add(a integer, b integer) RETURNS integer LANGUAGE sql AS 'SELECT a + b';
CREATE FUNCTION public.add(a text, b text) RETURNS text LANGUAGE sql AS 'SELECT a || b';
CREATE FUNCTION public.touch() RETURNS trigger LANGUAGE plpgsql
    AS $$BEGIN NEW.note := NEW.note || '+'; RETURN NEW; END$$;
CREATE TABLE "My Schema".customers (id serial PRIMARY KEY, name text NOT NULL,
                                    mood "My Schema".mood);
CREATE TABLE "My Schema"."Order Lines" (
    id serial PRIMARY KEY,
    customer integer REFERENCES "My Schema".customers (id),
    qty "My Schema".positive,
    note text DEFAULT 'new');
CREATE INDEX "Lines by customer" ON "My Schema"."Order Lines" (customer);
CREATE TRIGGER touch BEFORE INSERT ON "My Schema"."Order Lines"
    FOR EACH ROW EXECUTE FUNCTION public.touch();
COMMENT ON TABLE "My Schema"."Order Lines" IS 'lines of orders';
GRANT SELECT ON "My Schema"."Order Lines" TO clerk;
CREATE VIEW "select"."big lines" AS SELECT * FROM "My Schema"."Order Lines" WHERE qty > 1;
INSERT INTO "My Schema".customers (name, mood) VALUES ('ann', 'ok'), ('bob', 'bad');
INSERT INTO "My Schema"."Order Lines" (customer, qty) VALUES (1, 2), (2, 3);
SELECT nextval('"select".tickets');
)SQL";

class CliDumpBackupTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        PGULO_REQUIRE_MAJOR(GetParam());
        cluster_ = StartCluster(GetParam(), "dump");
        cluster_->psql("CREATE DATABASE shop");
        cluster_->psql(kSchema, "shop");
        host_.AddInstance("main", *cluster_, "postgres", "");
    }

    std::string Shop(const std::string& sql) const { return cluster_->psql(sql, "shop"); }

    ProcessResult Pgulo(const std::vector<std::string>& args) const { return host_.Run(args); }

    std::string DumpBackup() const {
        const ProcessResult r =
            Pgulo({"backup", "main", "--type", "dump", "--database", "shop", "--database",
                   "postgres", "--jobs", "2"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const nlohmann::json list = host_.List("main");
        return list.empty() ? std::string() : list.back().value("id", std::string());
    }

    // What a refused restore must leave as it was.
    std::string State() const {
        return Shop("SELECT (SELECT string_agg(name, ',' ORDER BY id) FROM \"My Schema\".customers)"
                    " || '/' || (SELECT count(*) FROM " + std::string(kLines) + ")"
                    " || '/' || (SELECT count(*) FROM pg_class c JOIN pg_namespace n ON"
                    " n.oid = c.relnamespace WHERE n.nspname IN ('My Schema', 'select'))");
    }

    PguloHost host_;
    std::unique_ptr<PgCluster> cluster_;
};

TEST_P(CliDumpBackupTest, DroppedTableComesBackWithAllThatBelongsToIt) {
    const std::string id = DumpBackup();
    ASSERT_EQ(id.size(), 16u) << id;
    EXPECT_EQ(id.back(), 'D');
    const nlohmann::json backup = host_.List("main").back();
    EXPECT_EQ(backup.value("type", ""), "dump");
    EXPECT_EQ(backup.at("databases"), nlohmann::json({"shop", "postgres"}));
    const ProcessResult list = Pgulo({"list", "main"});
    EXPECT_NE(list.out.find("dump"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("shop,postgres"), std::string::npos) << list.out;
    const ProcessResult verify = Pgulo({"verify", "main", id});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("2 files"), std::string::npos) << verify.out;
    // Browsing the backup shows what its dump of shop holds.
    const ProcessResult browse =
        Pgulo({"browse", "main", "--backup", id, "--database", "shop", "--json"});
    ASSERT_EQ(browse.exitCode, 0) << browse.err;
    std::vector<std::string> tables;
    for (const std::string& line : TestFiles::SplitLines(browse.out)) {
        const nlohmann::json object = nlohmann::json::parse(line);
        if (object.value("kind", "") == "table")
            tables.push_back(object.value("schema", "") + "." + object.value("name", ""));
    }
    EXPECT_EQ(tables, (std::vector<std::string>{"My Schema.Order Lines", "My Schema.customers"}));

    Shop("DROP TABLE " + std::string(kLines) + " CASCADE; DROP SEQUENCE \"select\".tickets;"
         " UPDATE \"My Schema\".customers SET name = 'changed' WHERE id = 1;");
    const ProcessResult restore =
        Pgulo({"restore", "main", "--database", "shop", "--object", kLinesObject, "--object",
               "sequence:\"select\".tickets"});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;

    const std::string lines = kLines;
    const struct {
        const char* what;
        std::string sql;
        const char* expected;
    } checks[] = {
        {"rows", "SELECT count(*) FROM " + lines, "2"},
        {"index", "SELECT count(*) FROM pg_indexes WHERE indexname = 'Lines by customer'", "1"},
        {"foreign key", "SELECT count(*) FROM pg_constraint WHERE contype = 'f' AND conrelid = '" +
                            lines + "'::regclass", "1"},
        {"check of the domain", "SELECT count(*) FROM pg_attribute WHERE attname = 'qty' AND "
                                "atttypid = '\"My Schema\".positive'::regtype", "1"},
        {"comment", "SELECT obj_description('" + lines + "'::regclass, 'pg_class')",
         "lines of orders"},
        {"grant", "SELECT has_table_privilege('clerk', '" + lines + "', 'SELECT')", "t"},
        {"owned sequence", "SELECT pg_get_serial_sequence('" + lines + "', 'id') IS NOT NULL", "t"},
        // Default, owned sequence's value and trigger at once.
        {"new row", "INSERT INTO " + lines + " (customer, qty) VALUES (1, 5) RETURNING id || note",
         "3new+"},
        {"keyword schema's sequence", "SELECT nextval('\"select\".tickets')", "41"},
        {"unchosen table", "SELECT name FROM \"My Schema\".customers WHERE id = 1", "changed"},
    };
    for (const auto& check : checks)
        EXPECT_EQ(Shop(check.sql), check.expected) << check.what;
}

TEST_P(CliDumpBackupTest, IntoAnotherDatabaseCreatesIt) {
    const std::string id = DumpBackup();
    const std::vector<std::string> restoreArgs = {
        "restore", "main", "--database", "shop", "--backup", id, "--into-database", "shop copy",
        "--object", "type:\"My Schema\".mood", "--object", "table:\"My Schema\".customers",
        "--object", "function:public.add(int, int)"};
    const ProcessResult restore = Pgulo(restoreArgs);
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    EXPECT_EQ(cluster_->psql("SELECT count(*) FROM \"My Schema\".customers", "shop copy"), "2");
    // A second time the objects are there: they are replaced by their backed-up state.
    cluster_->psql("UPDATE \"My Schema\".customers SET name = 'changed'", "shop copy");
    const ProcessResult again = Pgulo(restoreArgs);
    ASSERT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_EQ(cluster_->psql("SELECT string_agg(name, ',' ORDER BY id) FROM "
                             "\"My Schema\".customers", "shop copy"),
              "ann,bob");
    // Only the overload named came back.
    EXPECT_EQ(cluster_->psql("SELECT count(*) FROM pg_proc WHERE proname = 'add'", "shop copy"),
              "1");
    EXPECT_EQ(cluster_->psql("SELECT public.add(2, 3)", "shop copy"), "5");
}

TEST_P(CliDumpBackupTest, ImpossibleRestoresAreRefusedWithNothingChanged) {
    const std::string id = DumpBackup();
    Shop("DELETE FROM " + std::string(kLines) + " WHERE id = 1;"
         " UPDATE \"My Schema\".customers SET name = 'changed' WHERE id = 1;");
    const std::string before = State();
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* says;
    } cases[] = {
        {{"--database", "shop", "--object", "table:public.nothing"}, 1,
         "holds no table:public.nothing"},
        {{"--database", "shop", "--object", kLinesObject, "--object", "view:\"My Schema\".customers"},
         1, "holds no view:\"My Schema\".customers"},
        {{"--database", "shop", "--object", "function:public.add(boolean)"}, 1,
         "holds no function:public.add(boolean)"},
        {{"--database", "nosuch", "--object", kLinesObject}, 1,
         "no complete dump backup of database 'nosuch'"},
        {{"--database", "nosuch", "--backup", id, "--object", kLinesObject}, 1,
         "holds no dump of database 'nosuch'"},
        {{"--database", "shop", "--object", "table:nodot"}, 2, "qualified with its schema"},
        {{"--object", kLinesObject}, 2, "needs --database"},
        {{"--database", "shop", "--object", kLinesObject, "--target-time", "2020-01-01 00:00:00"},
         1, "has no complete full backup that finished before"},
        {{"--database", "shop", "--object", kLinesObject, "--backup", id, "--target-time",
          "2020-01-01 00:00:00"},
         2, "either --backup"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"restore", "main"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ExpectRefused(Pgulo(args), c.exitCode, c.says);
        EXPECT_EQ(State(), before) << c.says;
    }
}

TEST_P(CliDumpBackupTest, FailedDumpFailsTheBackup) {
    const ProcessResult r =
        Pgulo({"backup", "main", "--type", "dump", "--database", "shop", "--database", "nosuch"});
    ExpectRefused(r, 1, "pg_dump of database 'nosuch' failed");
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    const nlohmann::json list = host_.List("main");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].value("state", ""), "failed");
    EXPECT_FALSE(list[0].value("restorable", true));
}

INSTANTIATE_TEST_SUITE_P(Majors, CliDumpBackupTest, ::testing::Values(15, 14), MajorName);

} // namespace
