// Only digits may stand where object browse splices an oid into a catalogue query; the
// queries themselves run against real servers elsewhere.
#include "restore/PostgresCatalogQueries.h"

#include <gtest/gtest.h>

namespace {

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
        EXPECT_EQ(PostgresCatalogQueries::IsOidText(c.text), c.oid) << "[" << c.text << "]";
}

} // namespace
