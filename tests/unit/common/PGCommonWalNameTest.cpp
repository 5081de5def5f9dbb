#include "pgulo/PGCommon.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint64_t MB = 1024 * 1024;

struct WalNameCase {
    const char* location;
    const char* timeLine;
    std::uint64_t segmentSize;
    const char* expected;
};

void PrintTo(const WalNameCase& c, std::ostream* os) {
    *os << c.location << " tli " << c.timeLine << " seg " << c.segmentSize;
}

class WalNameTable : public ::testing::TestWithParam<WalNameCase> {};

TEST_P(WalNameTable, NamesTheSegmentHoldingTheByteBeforeTheLocation) {
    std::string name = "untouched";
    ASSERT_EQ(PGCommon::pg_xlogfile_name(GetParam().location, GetParam().timeLine,
                                         GetParam().segmentSize, name),
              0);
    EXPECT_EQ(name, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    DefaultSegments, WalNameTable,
    ::testing::Values(
        WalNameCase{"0/3000000", "1", 0, "000000010000000000000002"},
        WalNameCase{"0/3000000", "00000001", 16 * MB, "000000010000000000000002"},
        WalNameCase{"0/3000001", "00000001", 16 * MB, "000000010000000000000003"},
        WalNameCase{"0/3000028", "00000001", 16 * MB, "000000010000000000000003"},
        WalNameCase{"0/1", "00000001", 16 * MB, "000000010000000000000000"},
        // The very start of a segment belongs to the segment before.
        WalNameCase{"0/1000000", "00000001", 16 * MB, "000000010000000000000000"},
        WalNameCase{"0/1000001", "00000001", 16 * MB, "000000010000000000000001"},
        // Log id boundary.
        WalNameCase{"1/0", "00000001", 16 * MB, "0000000100000000000000FF"},
        WalNameCase{"0/FFFFFFFF", "00000001", 16 * MB, "0000000100000000000000FF"},
        WalNameCase{"1/1", "00000001", 16 * MB, "000000010000000100000000"},
        WalNameCase{"1/1000000", "00000001", 16 * MB, "000000010000000100000000"},
        WalNameCase{"2/A000000", "3", 16 * MB, "000000030000000200000009"},
        WalNameCase{"A/FF000000", "00000001", 16 * MB, "000000010000000A000000FE"},
        WalNameCase{"a/ff000001", "00000001", 16 * MB, "000000010000000A000000FF"},
        WalNameCase{"FF/FFFFFFFF", "00000001", 16 * MB, "00000001000000FF000000FF"},
        WalNameCase{"FFFFFFFF/FFFFFFFF", "00000001", 16 * MB, "00000001FFFFFFFF000000FF"},
        WalNameCase{" 0/3000000\n", "00000001", 16 * MB, "000000010000000000000002"}));

// Time lines come from a segment file name, so they are hexadecimal.
INSTANTIATE_TEST_SUITE_P(
    HexadecimalTimeLines, WalNameTable,
    ::testing::Values(WalNameCase{"0/3000000", "00000009", 0, "000000090000000000000002"},
                      WalNameCase{"0/3000000", "0000000A", 0, "0000000A0000000000000002"},
                      WalNameCase{"0/3000000", "0000000a", 0, "0000000A0000000000000002"},
                      WalNameCase{"0/3000000", "00000010", 0, "000000100000000000000002"},
                      WalNameCase{"0/3000000", "FFFFFFFF", 0, "FFFFFFFF0000000000000002"},
                      WalNameCase{"0/3000000", "", 0, "000000000000000000000002"},
                      WalNameCase{"0/3000000", "zz", 0, "000000000000000000000002"}));

INSTANTIATE_TEST_SUITE_P(
    OneMegabyteSegments, WalNameTable,
    ::testing::Values(WalNameCase{"0/100000", "00000001", 1 * MB, "000000010000000000000000"},
                      WalNameCase{"0/100001", "00000001", 1 * MB, "000000010000000000000001"},
                      WalNameCase{"1/0", "00000001", 1 * MB, "000000010000000000000FFF"},
                      WalNameCase{"1/1", "00000001", 1 * MB, "000000010000000100000000"},
                      WalNameCase{"1/100000", "00000001", 1 * MB, "000000010000000100000000"},
                      WalNameCase{"1/100001", "00000001", 1 * MB, "000000010000000100000001"},
                      WalNameCase{"FF/FFFFFFFF", "00000001", 1 * MB, "00000001000000FF00000FFF"}));

INSTANTIATE_TEST_SUITE_P(
    SixtyFourMegabyteSegments, WalNameTable,
    ::testing::Values(WalNameCase{"0/4000000", "00000001", 64 * MB, "000000010000000000000000"},
                      WalNameCase{"0/4000001", "00000001", 64 * MB, "000000010000000000000001"},
                      WalNameCase{"1/0", "00000001", 64 * MB, "00000001000000000000003F"},
                      WalNameCase{"1/1", "00000001", 64 * MB, "000000010000000100000000"},
                      WalNameCase{"A/FF000000", "00000001", 64 * MB, "000000010000000A0000003F"},
                      WalNameCase{"B/0", "00000002", 64 * MB, "000000020000000A0000003F"}));

INSTANTIATE_TEST_SUITE_P(
    OneGigabyteSegments, WalNameTable,
    ::testing::Values(WalNameCase{"0/40000000", "00000001", 1024 * MB, "000000010000000000000000"},
                      WalNameCase{"0/40000001", "00000001", 1024 * MB, "000000010000000000000001"},
                      WalNameCase{"1/0", "00000001", 1024 * MB, "000000010000000000000003"},
                      WalNameCase{"1/1", "00000001", 1024 * MB, "000000010000000100000000"},
                      WalNameCase{"FF/FFFFFFFF", "00000001", 1024 * MB,
                                  "00000001000000FF00000003"}));

struct BadWalNameCase {
    const char* location;
    const char* timeLine;
    std::uint64_t segmentSize;
};

class BadWalNameTable : public ::testing::TestWithParam<BadWalNameCase> {};

TEST_P(BadWalNameTable, RefusesAndLeavesTheNameAlone) {
    std::string name = "untouched";
    EXPECT_EQ(PGCommon::pg_xlogfile_name(GetParam().location, GetParam().timeLine,
                                         GetParam().segmentSize, name),
              -1);
    EXPECT_EQ(name, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    UnreadableLocationsAndSizes, BadWalNameTable,
    ::testing::Values(BadWalNameCase{"3000000", "1", 0}, BadWalNameCase{"", "1", 0},
                      BadWalNameCase{"0/", "1", 0}, BadWalNameCase{"/5", "1", 0},
                      BadWalNameCase{"G/0", "1", 0}, BadWalNameCase{"0/3000000x", "1", 0},
                      BadWalNameCase{"0 / 3000000", "1", 0}, BadWalNameCase{"100000000/0", "1", 0},
                      BadWalNameCase{"0/100000000", "1", 0}, BadWalNameCase{"-1/0", "1", 0},
                      // No byte lies before the very first location.
                      BadWalNameCase{"0/0", "1", 0},
                      // A time line wider than the 8 digits of a file name.
                      BadWalNameCase{"0/3000000", "100000000", 0},
                      // Sizes that do not divide a log id, or exceed it.
                      BadWalNameCase{"0/3000000", "1", 3 * MB},
                      BadWalNameCase{"0/3000000", "1", 0x200000000ULL},
                      BadWalNameCase{"0/3000000", "1", 5}));

// A backup label written by the server.
class TimeLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pgulo_timeline_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/backup_label";
    }
    void TearDown() override {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    void Write(const std::string& text) {
        std::ofstream out(path_, std::ios::binary);
        out << text;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(TimeLineTest, ReadsTheHexadecimalTimeLineOfTheStartSegment) {
    Write("START WAL LOCATION: 0/F3000028 (file 0000000A00000000000000F3)\n"
          "CHECKPOINT LOCATION: 0/F3000060\nBACKUP METHOD: streamed\nLABEL: x\n");
    std::string timeLine;
    ASSERT_EQ(PGCommon::getTimeLineID(path_, timeLine), 0);
    EXPECT_EQ(timeLine, "0000000A");

    // The two together name the start segment for time lines past 9.
    std::string name;
    ASSERT_EQ(PGCommon::pg_xlogfile_name("0/F3000028", timeLine, 0, name), 0);
    EXPECT_EQ(name, "0000000A00000000000000F3");
}

TEST_F(TimeLineTest, AcceptsCarriageReturnLineEnds) {
    Write("START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\r\nLABEL: x\r\n");
    std::string timeLine;
    ASSERT_EQ(PGCommon::getTimeLineID(path_, timeLine), 0);
    EXPECT_EQ(timeLine, "00000001");
}

TEST_F(TimeLineTest, ReadsAFirstLineLongerThanAnyFixedBuffer) {
    Write("START WAL LOCATION: " + std::string(5000, ' ') +
          "(file 0000001200000000000000F3)\nLABEL: x\n");
    std::string timeLine;
    ASSERT_EQ(PGCommon::getTimeLineID(path_, timeLine), 0);
    EXPECT_EQ(timeLine, "00000012");
}

TEST_F(TimeLineTest, FailsWithoutALabelOrASegmentName) {
    std::string timeLine = "untouched";
    EXPECT_EQ(PGCommon::getTimeLineID(path_, timeLine), -1) << "missing file";
    Write("");
    EXPECT_EQ(PGCommon::getTimeLineID(path_, timeLine), -1) << "empty file";
    Write("START WAL LOCATION: 0/2000028\n(file 000000010000000000000002)\n");
    EXPECT_EQ(PGCommon::getTimeLineID(path_, timeLine), -1) << "name not on the first line";
    Write("START WAL LOCATION: 0/2000028 (file 0000)\n");
    EXPECT_EQ(PGCommon::getTimeLineID(path_, timeLine), -1) << "truncated name";
    Write("START WAL LOCATION: 0/2000028 (file 0000000G0000000000000002)\n");
    EXPECT_EQ(PGCommon::getTimeLineID(path_, timeLine), -1) << "not hexadecimal";
    EXPECT_EQ(timeLine, "untouched");
}

struct QueryCase {
    const char* version;
    const char* walFileName;
    const char* folder;
    const char* replay;
    const char* switchWal;
};

class VersionedSqlTable : public ::testing::TestWithParam<QueryCase> {};

TEST_P(VersionedSqlTable, ChoosesNamesByRelease) {
    const QueryCase& c = GetParam();
    EXPECT_EQ(PGCommon::GetQueryForXLogFileName("0/3000028", c.version), c.walFileName);
    EXPECT_EQ(PGCommon::GetPGXlogFolder(c.version), c.folder);
    EXPECT_EQ(PGCommon::GetQueryForLastXlogReplayLocation(c.version), c.replay);
    EXPECT_EQ(PGCommon::GetQueryForSwitchXLog(c.version), c.switchWal);
}

const QueryCase kOld{"", "select pg_xlogfile_name ( '0/3000028' );", "pg_xlog",
                     "SELECT pg_last_xlog_replay_location();", "SELECT pg_switch_xlog()"};
const QueryCase kNew{"", "select pg_walfile_name ( '0/3000028' );", "pg_wal",
                     "SELECT pg_last_wal_replay_lsn();", "SELECT pg_switch_wal()"};
// From 17 on the server names the segment holding a location itself, so the agent asks for the
// byte before it: the segment the name stands for stays the same on every release.
const QueryCase kFrom17{"", "select pg_walfile_name ( '0/3000028'::pg_lsn - 1 );", "pg_wal",
                        "SELECT pg_last_wal_replay_lsn();", "SELECT pg_switch_wal()"};

QueryCase With(QueryCase c, const char* version) {
    c.version = version;
    return c;
}

INSTANTIATE_TEST_SUITE_P(Releases, VersionedSqlTable,
                         ::testing::Values(With(kOld, "8.1.22"), With(kOld, "9.6.24"),
                                           With(kOld, ""), With(kOld, "garbled"), With(kNew, "10"),
                                           With(kNew, "10.4"), With(kNew, "14.23"),
                                           With(kNew, "16.9"), With(kNew, "16beta2"),
                                           With(kFrom17, "17"), With(kFrom17, "17beta1"),
                                           With(kFrom17, "17.6"),
                                           With(kFrom17, "18.4 (Debian 18.4-1)")));

TEST(VersionedSql, LocationCannotLeaveItsLiteral) {
    EXPECT_EQ(PGCommon::GetQueryForXLogFileName("0/1'); drop table t; --", "16.2"),
              "select pg_walfile_name ( '0/1''); drop table t; --' );");
    EXPECT_EQ(PGCommon::GetQueryForXLogFileName("0/1\\'", "9.6"),
              "select pg_xlogfile_name ( E'0/1\\\\''' );");
    EXPECT_EQ(PGCommon::GetQueryForXLogFileName("0/1'); drop table t; --", "17.2"),
              "select pg_walfile_name ( '0/1''); drop table t; --'::pg_lsn - 1 );");
}

} // namespace
