// Reading release texts as servers and packages print them.
#include "pgulo/PGVersion.h"
#include "pgulo/PGCommon.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

TEST(VersionText, ReadsOnlyTheStartOfTheText) {
    const struct {
        const char* text;
        bool old, release10;
        int number;
    } cases[] = {
        {"8.0", true, false, 80000},      {"8.1.22", true, false, 80122},
        {"8.2.23", false, false, 80223},  {"9.6.24", false, false, 90624},
        {"10", false, true, 100000},      {"10.1", false, true, 100001},
        {"17beta1", false, true, 170000}, {"18.0.1", false, true, 180000},
        {"18.4 (Debian 18.4-1)", false, true, 180004}, {"15\n", false, true, 150000},
        {" 8.1", false, false, 80100},    {"1", false, false, 10000},
        {"", false, false, 0},            {"PostgreSQL 16.2", false, false, 0},
        {"v10", false, false, 0},         {"99999999999999999999", false, true, INT_MAX},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PGCommon::IsOldPGVersion(c.text), c.old) << c.text;
        EXPECT_EQ(PGCommon::IsPGVersion10(c.text), c.release10) << c.text;
        EXPECT_EQ(PGVersionNumFromText(c.text), c.number) << c.text;
    }
    EXPECT_TRUE(PGVersionAtLeast("18.4 (Debian 18.4-1)", PG_VERSION_15));
    EXPECT_TRUE(PGVersionAtLeast("9.3.0", PG_VERSION_9_3));
    EXPECT_FALSE(PGVersionAtLeast("9.2.24", PG_VERSION_9_3));
    EXPECT_FALSE(PGVersionAtLeast("", PG_VERSION_8_0));
}

TEST(VersionText, ComparesMajorVersions) {
    const struct {
        const char *a, *b, *separator;
        int expected;
    } cases[] = {
        {"9.6", "9.3", ".", 1},       {"10.4", "10.1", ".", 0},      {"9.2", "10.0", ".", -1},
        {"", "9.3", ".", -1},         {"9.6", "9.10", ".", -1},      {"10", "9.6", ".", 1},
        {"17beta1", "17", ".", 0},    {"garbled", "junk", ".", 0},   {"9_6", "9_3", "_", 1},
        // With a separator that the text lacks the minor number counts as 0.
        {"9.6", "9.3", "_", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PGCommon::PGMajorCompareVersion(c.a, c.b, c.separator), c.expected)
            << c.a << " vs " << c.b;
}

TEST(VersionText, ExtractionTakesTheFirstRunOfDigitsAndDots) {
    const std::pair<const char*, const char*> cases[] = {
        {"pg_config (PostgreSQL) 12.4", "12.4"}, {"14beta1", "14"},
        {"PostgreSQL 15.8 (Debian 15.8-0+deb12u1)", "15.8"}, {"no digits here", ""},
        {"", ""}, {"10\n", "10"}, {"v.1.2", "1.2"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(PGCommon::ExtractVersionFromString(text), expected) << text;
}

} // namespace
