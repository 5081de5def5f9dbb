// Naming WAL segments: the segment holding the byte before a location, the time line a backup
// label starts on, and the release-dependent SQL that asks the server the same questions.
#include "pgulo/PGCommon.h"

#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using namespace pgulo::test;
constexpr std::uint64_t MB = 1024 * 1024;

TEST(WalName, NamesTheSegmentHoldingTheByteBeforeTheLocation) {
    const struct {
        const char* location;
        const char* timeLine;
        std::uint64_t segmentSize; // 0: the default of 16 MB
        const char* expected;
    } cases[] = {
        {"0/3000000", "1", 0, "000000010000000000000002"},
        {"0/3000001", "00000001", 16 * MB, "000000010000000000000003"},
        // The very start of a segment belongs to the segment before.
        {"0/1000000", "00000001", 16 * MB, "000000010000000000000000"},
        {"0/1000001", "00000001", 16 * MB, "000000010000000000000001"},
        {"1/0", "00000001", 16 * MB, "0000000100000000000000FF"},
        {"a/ff000001", "00000001", 16 * MB, "000000010000000A000000FF"},
        {"FFFFFFFF/FFFFFFFF", "00000001", 16 * MB, "00000001FFFFFFFF000000FF"},
        {" 0/3000000\n", "00000001", 16 * MB, "000000010000000000000002"},
        // Time lines come from a segment file name, so they are hexadecimal.
        {"0/3000000", "0000000a", 0, "0000000A0000000000000002"},
        {"0/3000000", "zz", 0, "000000000000000000000002"},
        {"1/0", "00000001", 1 * MB, "000000010000000000000FFF"},
        {"B/0", "00000002", 64 * MB, "000000020000000A0000003F"},
        {"FF/FFFFFFFF", "00000001", 1024 * MB, "00000001000000FF00000003"},
    };
    for (const auto& c : cases) {
        std::string name = "untouched";
        EXPECT_EQ(PGCommon::pg_xlogfile_name(c.location, c.timeLine, c.segmentSize, name), 0);
        EXPECT_EQ(name, c.expected) << c.location << " " << c.timeLine << " " << c.segmentSize;
    }
}

TEST(WalName, RefusesWhatItCannotReadAndLeavesTheNameAlone) {
    const struct {
        const char* location;
        const char* timeLine;
        std::uint64_t segmentSize;
    } cases[] = {
        {"3000000", "1", 0}, {"0/", "1", 0}, {"/5", "1", 0}, {"G/0", "1", 0},
        {"0/3000000x", "1", 0}, {"100000000/0", "1", 0}, {"-1/0", "1", 0},
        {"0/0", "1", 0},                // no byte lies before the very first location
        {"0/3000000", "100000000", 0}, // wider than the 8 digits of a file name
        // Sizes that do not divide a log id, or exceed it.
        {"0/3000000", "1", 3 * MB}, {"0/3000000", "1", 0x200000000ULL}, {"0/3000000", "1", 5},
    };
    for (const auto& c : cases) {
        std::string name = "untouched";
        EXPECT_EQ(PGCommon::pg_xlogfile_name(c.location, c.timeLine, c.segmentSize, name), -1)
            << c.location << " " << c.timeLine << " " << c.segmentSize;
        EXPECT_EQ(name, "untouched");
    }
}

TEST(TimeLine, ReadsTheHexadecimalTimeLineOfTheStartSegmentFromABackupLabel) {
    TempTree tree("pgulo-timeline");
    const std::string label = tree.Path("backup_label");
    const struct {
        std::string text;     // "-": no file at all
        const char* timeLine; // "" when the label is refused
    } cases[] = {
        {"START WAL LOCATION: 0/F3000028 (file 0000000A00000000000000F3)\n"
         "CHECKPOINT LOCATION: 0/F3000060\nBACKUP METHOD: streamed\nLABEL: x\n",
         "0000000A"},
        {"START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\r\nLABEL: x\r\n",
         "00000001"},
        {"START WAL LOCATION: " + std::string(5000, ' ') + "(file 0000001200000000000000F3)\n",
         "00000012"},
        {"-", ""},
        {"", ""},
        {"START WAL LOCATION: 0/2000028\n(file 000000010000000000000002)\n", ""},
        {"START WAL LOCATION: 0/2000028 (file 0000000G0000000000000002)\n", ""},
    };
    for (const auto& c : cases) {
        if (c.text == "-")
            std::remove(label.c_str());
        else
            TestFiles::Write(label, c.text);
        std::string timeLine = "untouched";
        const bool read = *c.timeLine != '\0';
        EXPECT_EQ(PGCommon::getTimeLineID(label, timeLine), read ? 0 : -1) << c.text.substr(0, 60);
        EXPECT_EQ(timeLine, read ? c.timeLine : "untouched");
    }
}

TEST(VersionedSql, ChoosesNamesByReleaseAndQuotesTheLocation) {
    // Old servers' names are asked for on garbled release texts too.
    EXPECT_EQ(PGCommon::GetPGXlogFolder("garbled"), "pg_xlog");
    EXPECT_EQ(PGCommon::GetPGXlogFolder("10"), "pg_wal");
    // The location cannot leave its literal; from 17 on the byte before it is asked for, as the
    // server names the segment holding a location itself.
    EXPECT_EQ(PGCommon::GetQueryForXLogFileName("0/1'); drop table t; --", "16.2"),
              "select pg_walfile_name ( '0/1''); drop table t; --' );");
    EXPECT_EQ(PGCommon::GetQueryForXLogFileName("0/1\\'", "9.6"),
              "select pg_xlogfile_name ( E'0/1\\\\''' );");
    EXPECT_EQ(PGCommon::GetQueryForXLogFileName("0/1'); drop table t; --", "17.2"),
              "select pg_walfile_name ( '0/1''); drop table t; --'::pg_lsn - 1 );");
}

} // namespace
