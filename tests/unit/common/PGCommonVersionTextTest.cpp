#include "common/PGVersion.h"
#include "pgulo/PGCommon.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct VersionCase {
    const char* text;
    bool old;
    bool release10;
    int number;
};

void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class VersionTextTable : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionTextTable, ReadsOnlyTheStartOfTheText) {
    EXPECT_EQ(PGCommon::IsOldPGVersion(GetParam().text), GetParam().old);
    EXPECT_EQ(PGCommon::IsPGVersion10(GetParam().text), GetParam().release10);
    EXPECT_EQ(PGVersionNumFromText(GetParam().text), GetParam().number);
}

INSTANTIATE_TEST_SUITE_P(
    ServerAndPackageTexts, VersionTextTable,
    ::testing::Values(
        VersionCase{"8.0", true, false, 80000}, VersionCase{"8.0.26", true, false, 80026},
        VersionCase{"8.1.22", true, false, 80122}, VersionCase{"8.2.23", false, false, 80223},
        VersionCase{"9.0", false, false, 90000}, VersionCase{"9.6.8", false, false, 90608},
        VersionCase{"9.6.24", false, false, 90624}, VersionCase{"10", false, true, 100000},
        VersionCase{"10.1", false, true, 100001}, VersionCase{"11", false, true, 110000},
        VersionCase{"14.23", false, true, 140023}, VersionCase{"17beta1", false, true, 170000},
        VersionCase{"18.0.1", false, true, 180000},
        VersionCase{"18.4 (Debian 18.4-1)", false, true, 180004},
        VersionCase{"15\n", false, true, 150000}, VersionCase{" 8.1", false, false, 80100},
        VersionCase{"1", false, false, 10000}, VersionCase{"", false, false, 0},
        VersionCase{"garbled", false, false, 0}, VersionCase{"PostgreSQL 16.2", false, false, 0},
        VersionCase{"v10", false, false, 0},
        VersionCase{"99999999999999999999", false, true, INT_MAX}));

TEST(VersionText, AtLeastComparesWithTheNamedReleases) {
    EXPECT_TRUE(PGVersionAtLeast("12.0", PG_VERSION_12));
    EXPECT_TRUE(PGVersionAtLeast("18.4 (Debian 18.4-1)", PG_VERSION_15));
    EXPECT_FALSE(PGVersionAtLeast("11.22", PG_VERSION_12));
    EXPECT_FALSE(PGVersionAtLeast("9.6.24", PG_VERSION_10));
    EXPECT_TRUE(PGVersionAtLeast("9.3.0", PG_VERSION_9_3));
    EXPECT_FALSE(PGVersionAtLeast("9.2.24", PG_VERSION_9_3));
    EXPECT_FALSE(PGVersionAtLeast("", PG_VERSION_8_0));
}

struct CompareCase {
    const char* a;
    const char* b;
    int expected;
};

void PrintTo(const CompareCase& c, std::ostream* os) {
    *os << '"' << c.a << "\" vs \"" << c.b << '"';
}

class MajorCompareTable : public ::testing::TestWithParam<CompareCase> {};

TEST_P(MajorCompareTable, ComparesMajorVersions) {
    EXPECT_EQ(PGCommon::PGMajorCompareVersion(GetParam().a, GetParam().b, "."),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Majors, MajorCompareTable,
    ::testing::Values(CompareCase{"9.6", "9.3", 1}, CompareCase{"10.4", "10.1", 0},
                      CompareCase{"9.2", "10.0", -1}, CompareCase{"", "9.3", -1},
                      CompareCase{"9.3", "", 1}, CompareCase{"", "", 0},
                      CompareCase{"9.6.24", "9.6", 0}, CompareCase{"9.6", "9.10", -1},
                      CompareCase{"9.3.25", "9.3", 0}, CompareCase{"10", "10.0", 0},
                      CompareCase{"10", "9.6", 1}, CompareCase{"14.23", "12.0", 1},
                      CompareCase{"17beta1", "17", 0}, CompareCase{"17beta1", "18.0", -1},
                      CompareCase{"18.4 (Debian 18.4-1)", "12.0", 1},
                      CompareCase{"8.1.22", "8.2", -1}, CompareCase{"garbled", "9.3", -1},
                      CompareCase{"garbled", "junk", 0}, CompareCase{"11", "11.0", 0}));

TEST(MajorCompare, UsesTheGivenSeparator) {
    EXPECT_EQ(PGCommon::PGMajorCompareVersion("9_6", "9_3", "_"), 1);
    // With a separator that the text lacks the minor number counts as 0.
    EXPECT_EQ(PGCommon::PGMajorCompareVersion("9.6", "9.3", "_"), 0);
}

struct ExtractCase {
    const char* text;
    const char* expected;
};

class ExtractVersionTable : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractVersionTable, TakesTheFirstRunOfDigitsAndDots) {
    EXPECT_EQ(PGCommon::ExtractVersionFromString(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ProgramOutputs, ExtractVersionTable,
    ::testing::Values(ExtractCase{"pg_config (PostgreSQL) 12.4", "12.4"},
                      ExtractCase{"PostgreSQL 9.6.3", "9.6.3"}, ExtractCase{"14beta1", "14"},
                      ExtractCase{"PostgreSQL 15.8 (Debian 15.8-0+deb12u1)", "15.8"},
                      ExtractCase{"no digits here", ""}, ExtractCase{"", ""},
                      ExtractCase{"10\n", "10"}, ExtractCase{"v.1.2", "1.2"}));

} // namespace
