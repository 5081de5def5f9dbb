#pragma once

#include "PgCluster.h"
#include "PgInstall.h"

#include "TestFiles.h"
#include "pgulo/host/EvDebug.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

// Shared by the object browse and restore tests: a fresh host home, one running cluster per
// major, and the "shop" database whose catalogue the tests read.
namespace objecttest {

namespace fs = std::filesystem;
using pgulo::test::PgCluster;
using pgulo::test::PgInstall;
using pgulo::test::TestFiles;

// A temporary directory, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) {
        std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// PGULO_HOME for the whole test program, so the debug log goes somewhere private.
inline TempDir& Home() {
    static TempDir home("pgulo-objects-home");
    static bool set = [] {
        ::setenv("PGULO_HOME", home.path().c_str(), 1);
        EvDebug::reloadSettings();
        return true;
    }();
    (void)set;
    return home;
}

// One running cluster per major, started on first use and shared by every test of the
// program; all are stopped after the last test.
class Clusters : public ::testing::Environment {
public:
    static PgCluster& For(int major) {
        auto& slot = Instance().clusters_[major];
        if (!slot) {
            PgCluster::Options options;
            options.name = "objects-" + std::to_string(major);
            options.archiving = false;
            slot = std::make_unique<PgCluster>(major, options);
            slot->start();
        }
        return *slot;
    }
    void TearDown() override { clusters_.clear(); }

private:
    static Clusters& Instance() {
        // GoogleTest owns the environment and destroys it after TearDown.
        static Clusters* instance =
            static_cast<Clusters*>(::testing::AddGlobalTestEnvironment(new Clusters));
        return *instance;
    }
    std::map<int, std::unique_ptr<PgCluster>> clusters_;
};

inline std::string ServerVersion(const PgCluster& cluster) {
    return cluster.psql("SHOW server_version");
}

// Two user schemas beside public: app, with one of everything the catalogue lists (and an
// aggregate and array types that it must not list), and zeta with a single table.
inline const char* ShopSchemaSql() {
    return R"SQL(
CREATE SCHEMA app;
CREATE SCHEMA zeta;
CREATE DOMAIN app.positive AS integer CHECK (VALUE > 0);
CREATE TABLE app.customers (id integer PRIMARY KEY, name text NOT NULL);
CREATE TABLE app.orders (
    id integer CONSTRAINT orders_pkey PRIMARY KEY,
    customer_id integer CONSTRAINT orders_customer_fk REFERENCES app.customers (id),
    code text CONSTRAINT orders_code_key UNIQUE,
    status text DEFAULT 'open',
    stamped text);
CREATE INDEX orders_status_idx ON app.orders (status);
CREATE RULE orders_no_delete AS ON DELETE TO app.orders DO INSTEAD NOTHING;
CREATE FUNCTION app.touch_order() RETURNS trigger LANGUAGE plpgsql AS
    $$BEGIN NEW.stamped := 'by trigger'; RETURN NEW; END$$;
CREATE TRIGGER orders_touch BEFORE INSERT ON app.orders
    FOR EACH ROW EXECUTE PROCEDURE app.touch_order();
CREATE FUNCTION app.price(integer) RETURNS integer LANGUAGE sql AS 'SELECT $1 * 2';
CREATE FUNCTION app.price(integer, integer) RETURNS integer LANGUAGE sql AS 'SELECT $1 * $2';
CREATE AGGREGATE app.total(integer) (sfunc = int4pl, stype = integer);
CREATE VIEW app.open_orders AS SELECT id, status FROM app.orders WHERE status = 'open';
CREATE SEQUENCE app.ticket_seq;
CREATE TYPE app.address AS (street text, city text);
CREATE TYPE app.mood AS ENUM ('sad', 'happy');
CREATE TABLE zeta.events (happened text);
INSERT INTO app.customers VALUES (1, 'Ada'), (2, 'Bob');
INSERT INTO app.orders (id, customer_id, code) VALUES (10, 1, 'A-10'), (11, 2, 'B-11');
)SQL";
}

} // namespace objecttest
