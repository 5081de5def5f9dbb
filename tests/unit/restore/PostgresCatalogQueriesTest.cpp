#include "restore/PostgresCatalogQueries.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(PostgresCatalogQueries, OnlyDigitsStandWhereAnOidGoes) {
    struct Case {
        const char* text;
        bool oid;
    };
    const Case cases[] = {
        {"0", true},       {"2200", true},   {"4294967295", true}, {"", false},
        {" 2200", false},  {"2200 ", false}, {"-1", false},        {"22a", false},
        {"1;DROP", false}, {"0x10", false},  {"1.5", false},       {"16384::oid", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PostgresCatalogQueries::IsOidText(c.text), c.oid) << "[" << c.text << "]";
}

TEST(PostgresCatalogQueries, OldServersGetNoEscapeStringLiteralsAndNoFillFactor) {
    for (const char* version : {"8.0.26", "8.1", "8.1.23"}) {
        SCOPED_TRACE(version);
        const std::string schemas = PostgresCatalogQueries::Schemas(version);
        EXPECT_TRUE(Has(schemas, "nspname LIKE 'pg\\_temp\\_%'"));
        EXPECT_TRUE(Has(schemas, "(nspname LIKE 'pg\\_%')"));
        EXPECT_FALSE(Has(schemas, "LIKE E"));
        EXPECT_TRUE(Has(PostgresCatalogQueries::Types("2200", version), "NOT LIKE '\\\\_%'"));
        EXPECT_FALSE(Has(PostgresCatalogQueries::Tables("2200", version), "fillfactor"));
        EXPECT_FALSE(Has(PostgresCatalogQueries::Indexes("16384", version), "fillfactor"));
    }
}

TEST(PostgresCatalogQueries, LaterServersGetEscapeStringLiteralsAndFillFactor) {
    for (const char* version :
         {"8.2", "8.4.22", "9.6.24", "15.8 (Debian 15.8-0+deb12u1)", "18.1"}) {
        SCOPED_TRACE(version);
        const std::string schemas = PostgresCatalogQueries::Schemas(version);
        EXPECT_TRUE(Has(schemas, "nspname LIKE E'pg\\_temp\\_%'"));
        EXPECT_TRUE(Has(schemas, "(nspname LIKE E'pg\\_%')"));
        EXPECT_TRUE(Has(PostgresCatalogQueries::Types("2200", version), "NOT LIKE E'\\\\_%'"));
        EXPECT_TRUE(Has(PostgresCatalogQueries::Tables("2200", version),
                        ", substring(array_to_string(reloptions, ',') from "
                        "'fillfactor=([0-9]*)') AS fillfactor FROM pg_class rel"));
        EXPECT_TRUE(Has(PostgresCatalogQueries::Indexes("16384", version),
                        "substring(array_to_string(cls.reloptions, ',') from "
                        "'fillfactor=([0-9]*)') AS fillfactor FROM pg_index idx"));
    }
}

TEST(PostgresCatalogQueries, TriggerFilterChangesAtRelease9) {
    struct Case {
        const char* version;
        const char* filter;
    };
    const Case cases[] = {
        {"8.1", "WHERE NOT tgisconstraint AND tgrelid = 16384::oid"},
        {"8.4.22", "WHERE NOT tgisconstraint AND tgrelid = 16384::oid"},
        {"9.0", "WHERE NOT tgisinternal AND tgrelid = 16384::oid"},
        {"9.0.23", "WHERE NOT tgisinternal AND tgrelid = 16384::oid"},
        {"17.2", "WHERE NOT tgisinternal AND tgrelid = 16384::oid"},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(Has(PostgresCatalogQueries::Triggers("16384", c.version), c.filter))
            << c.version;
}

TEST(PostgresCatalogQueries, AggregateFilterChangesAtRelease11) {
    struct Case {
        const char* version;
        const char* filter;
    };
    const Case cases[] = {
        {"9.6.24", "WHERE proisagg = FALSE AND pronamespace = 2200::oid "},
        {"10.23", "WHERE proisagg = FALSE AND pronamespace = 2200::oid "},
        {"11.0", "WHERE prokind != 'a' AND pronamespace = 2200::oid "},
        {"11", "WHERE prokind != 'a' AND pronamespace = 2200::oid "},
        {"18.1", "WHERE prokind != 'a' AND pronamespace = 2200::oid "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        const std::string functions = PostgresCatalogQueries::Functions("2200", c.version);
        const std::string triggers = PostgresCatalogQueries::TriggerFunctions("2200", c.version);
        EXPECT_TRUE(Has(functions, c.filter));
        EXPECT_TRUE(Has(triggers, c.filter));
    }
}

TEST(PostgresCatalogQueries, FunctionQueriesDifferInHeadAndTail) {
    const std::string functions = PostgresCatalogQueries::Functions("2200", "15.8");
    const std::string triggers = PostgresCatalogQueries::TriggerFunctions("2200", "15.8");

    EXPECT_EQ(functions.rfind("SELECT pr.oid, proname, pr.xmin, format_type(TYP.oid, NULL)", 0),
              0u);
    EXPECT_EQ(triggers.rfind("SELECT pr.oid, pr.xmin, pr.proname, format_type(TYP.oid, NULL)", 0),
              0u);
    EXPECT_TRUE(Has(functions, "::oid AND typname <> 'trigger' ORDER BY proname;"));
    EXPECT_TRUE(
        Has(triggers, "::oid AND typname = 'trigger' AND lanname != 'edbspl' ORDER BY proname"));
}

TEST(PostgresCatalogQueries, OidIsSplicedIntoEachQuery) {
    EXPECT_TRUE(Has(PostgresCatalogQueries::Domains("77"), "d.typnamespace = 77::oid ORDER BY"));
    EXPECT_TRUE(Has(PostgresCatalogQueries::KeyConstraints("77"),
                    "WHERE indrelid = 77::oid AND (contype='p' OR contype='u') "));
    EXPECT_TRUE(Has(PostgresCatalogQueries::ForeignKeys("77"),
                    "WHERE contype='f' AND conrelid = 77::oid ORDER BY conname"));
    EXPECT_TRUE(Has(PostgresCatalogQueries::Indexes("77", "15"),
                    "WHERE indrelid = 77::oid AND conname IS NULL ORDER BY cls.relname"));
    // The rule query alone takes the oid without a cast.
    EXPECT_TRUE(Has(PostgresCatalogQueries::Rules("77"), "WHERE ev_class = 77 ORDER BY"));
    EXPECT_TRUE(Has(PostgresCatalogQueries::Views("77"), "AND relnamespace = 77::oid ORDER BY"));
    EXPECT_TRUE(Has(PostgresCatalogQueries::Sequences("77"),
                    "WHERE relkind = 'S' AND relnamespace = 77::oid ORDER BY relname"));
}

} // namespace
