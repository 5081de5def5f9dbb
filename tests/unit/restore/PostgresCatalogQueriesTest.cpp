// The catalogue queries of object browse: which text stands for an oid, and where the queries
// follow the server's release (the queries themselves run against real servers elsewhere).
#include "restore/PostgresCatalogQueries.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using Q = PostgresCatalogQueries;

TEST(PostgresCatalogQueries, OnlyDigitsStandWhereAnOidGoes) {
    const struct {
        const char* text;
        bool oid;
    } cases[] = {
        {"0", true},       {"2200", true},   {"4294967295", true}, {"", false},
        {" 2200", false},  {"2200 ", false}, {"-1", false},        {"22a", false},
        {"1;DROP", false}, {"0x10", false},  {"1.5", false},       {"16384::oid", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Q::IsOidText(c.text), c.oid) << "[" << c.text << "]";
}

// Each row: a query for a release, a part it must hold and whether it does.
TEST(PostgresCatalogQueries, QueriesFollowTheServersRelease) {
    using Query = std::function<std::string(const std::string&)>;
    const Query schemas = [](const std::string& v) { return Q::Schemas(v); };
    const Query types = [](const std::string& v) { return Q::Types("2200", v); };
    const Query tables = [](const std::string& v) { return Q::Tables("2200", v); };
    const Query indexes = [](const std::string& v) { return Q::Indexes("16384", v); };
    const Query triggers = [](const std::string& v) { return Q::Triggers("16384", v); };
    const Query functions = [](const std::string& v) { return Q::Functions("2200", v); };
    const Query triggerFunctions = [](const std::string& v) {
        return Q::TriggerFunctions("2200", v);
    };
    const char* const oldTrigger = "WHERE NOT tgisconstraint AND tgrelid = 16384::oid";
    const char* const newTrigger = "WHERE NOT tgisinternal AND tgrelid = 16384::oid";
    const char* const oldAggregate = "WHERE proisagg = FALSE AND pronamespace = 2200::oid ";
    const char* const newAggregate = "WHERE prokind != 'a' AND pronamespace = 2200::oid ";
    const struct {
        const Query& query;
        const char* version;
        const char* part;
        bool held;
    } rows[] = {
        {schemas, "8.1.23", "nspname LIKE 'pg\\_temp\\_%'", true},
        {schemas, "8.1", "LIKE E", false},
        {schemas, "8.2", "nspname LIKE E'pg\\_temp\\_%'", true},
        {schemas, "15.8 (Debian 15.8-0+deb12u1)", "(nspname LIKE E'pg\\_%')", true},
        {types, "8.0.26", "NOT LIKE '\\\\_%'", true},
        {types, "18.1", "NOT LIKE E'\\\\_%'", true},
        {tables, "8.1", "fillfactor", false},
        {tables, "8.2", "AS fillfactor FROM pg_class rel", true},
        {indexes, "8.1.23", "fillfactor", false},
        {indexes, "9.6.24", "AS fillfactor FROM pg_index idx", true},
        {triggers, "8.4.22", oldTrigger, true},
        {triggers, "9.0", newTrigger, true},
        {triggers, "17.2", newTrigger, true},
        {functions, "10.23", oldAggregate, true},
        {functions, "11", newAggregate, true},
        {triggerFunctions, "10.23", oldAggregate, true},
        {triggerFunctions, "11.0", newAggregate, true},
        {functions, "15.8", "typname <> 'trigger' ORDER BY proname;", true},
        {triggerFunctions, "15.8", "typname = 'trigger' AND lanname != 'edbspl'", true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.query(r.version).find(r.part) != std::string::npos, r.held)
            << r.version << " " << r.part;
}

TEST(PostgresCatalogQueries, TheOidIsSplicedIntoEachQuery) {
    for (const std::string& query : {Q::Domains("77"), Q::KeyConstraints("77"),
                                     Q::ForeignKeys("77"), Q::Rules("77"), Q::Views("77"),
                                     Q::Sequences("77"), Q::Indexes("77", "15")})
        EXPECT_NE(query.find("= 77"), std::string::npos) << query;
}

} // namespace
