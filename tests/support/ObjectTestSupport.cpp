#include "ObjectTestSupport.h"

#include "TempTree.h"

#include "pgulo/host/EvDebug.h"

#include <cstdlib>

namespace pgulo::test {

PgCluster& ObjectCluster(int major) {
    static const TempTree home("pgulo-objects-home");
    static const bool homeSet = [] {
        ::setenv("PGULO_HOME", home.Root().c_str(), 1);
        EvDebug::reloadSettings();
        return true;
    }();
    (void)homeSet;
    PgCluster::Options options;
    options.name = "objects-" + std::to_string(major);
    options.archiving = false;
    return SharedCluster(major, options);
}

std::string ServerVersion(const PgCluster& cluster) {
    return cluster.psql("SHOW server_version");
}

const char* ShopSchemaSql() {
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

} // namespace pgulo::test
