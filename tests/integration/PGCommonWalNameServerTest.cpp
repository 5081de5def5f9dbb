#include "pgulo/PGCommon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "PgCluster.h"
#include "PgInstall.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace {

using namespace pgulo::test;

constexpr std::uint64_t MB = 1024 * 1024;
constexpr std::uint64_t kLogIdSpan = 0x100000000ULL;

struct ServerSetup {
    int major;
    int walSegSizeMb; // 0: the server's default of 16
    std::uint64_t segmentSize() const { return (walSegSizeMb == 0 ? 16 : walSegSizeMb) * MB; }
};

void PrintTo(const ServerSetup& s, std::ostream* os) {
    *os << "PostgreSQL " << s.major << " with " << s.segmentSize() / MB << " MB segments";
}

std::string Lsn(std::uint64_t location) {
    char text[32];
    std::snprintf(text, sizeof text, "%X/%X", static_cast<unsigned>(location >> 32),
                  static_cast<unsigned>(location & 0xFFFFFFFFu));
    return text;
}

// Locations a WAL reader meets: segment and log id boundaries and the bytes around them, the
// top of the address space, and a spread of others.
std::vector<std::uint64_t> InterestingLocations(std::uint64_t segmentSize) {
    std::vector<std::uint64_t> points;
    const std::uint64_t perLogId = kLogIdSpan / segmentSize;
    const std::uint64_t segments[] = {1,
                                      2,
                                      3,
                                      perLogId - 1,
                                      perLogId,
                                      perLogId + 1,
                                      2 * perLogId,
                                      10 * perLogId - 1,
                                      10 * perLogId + 7,
                                      255 * perLogId,
                                      0xFFFFFFFFULL * perLogId};
    for (std::uint64_t segment : segments) {
        const std::uint64_t boundary = segment * segmentSize;
        for (std::uint64_t p :
             {boundary - 1, boundary, boundary + 1, boundary + segmentSize / 2, boundary + 0x28})
            points.push_back(p);
    }
    for (std::uint64_t p : {0x1ULL, 0x28ULL, 0xAFF000000ULL, 0xAFF000001ULL, 0xFFFFFFFFFFULL,
                            0x100000000ULL, 0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFF00000000ULL})
        points.push_back(p);
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 120; ++i)
        points.push_back(random() | 1);
    for (int i = 0; i < 120; ++i)
        points.push_back((random() % (0x40ULL * kLogIdSpan)) + 1);

    return points;
}

// One line per row, "first second".
std::map<std::string, std::string> Pairs(const std::string& output) {
    std::map<std::string, std::string> pairs;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto blank = line.find(' ');
        if (blank != std::string::npos)
            pairs[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return pairs;
}

std::string OurName(const std::string& location, std::uint64_t segmentSize,
                    const std::string& timeLine = "00000001") {
    std::string name;
    if (PGCommon::pg_xlogfile_name(location, timeLine, segmentSize, name) != 0)
        return "<refused>";
    return name;
}

class WalNameAgainstServer : public ::testing::TestWithParam<ServerSetup> {
protected:
    void SetUp() override { PGULO_REQUIRE_MAJOR(GetParam().major); }

    // One server per setup, shared by the tests of this file.
    PgCluster& Cluster() {
        PgCluster::Options options;
        options.name = "walname-" + std::to_string(GetParam().segmentSize() / MB);
        options.walSegSizeMb = GetParam().walSegSizeMb;
        return SharedCluster(GetParam().major, options);
    }

    // The server's answer at each location, by location, from one SQL expression per location.
    std::map<std::string, std::string>
    ServerAnswers(const std::vector<std::uint64_t>& points,
                  const std::function<std::string(const std::string&)>& expression) {
        std::string sql;
        for (std::uint64_t point : points)
            sql += (sql.empty() ? "" : " UNION ALL ") + std::string("SELECT '") + Lsn(point) +
                   "' || ' ' || (" + expression(Lsn(point)) + ")";
        return Pairs(Cluster().psql(sql));
    }
};

// Up to release 16 pg_walfile_name (and pg_walfile_name_offset) name the segment holding the
// byte before a location; from 17 on they name the segment holding the location itself. The
// two differ only at a segment's first byte. We always name the segment of the byte before,
// which is what a backup's stop location needs.
bool ServerNamesSegmentStartingAtBoundary(int major) {
    return major >= 17;
}

TEST_P(WalNameAgainstServer, NamesAgreeWithPgWalfileName) {
    PgCluster& cluster = Cluster();
    const std::uint64_t segmentSize = GetParam().segmentSize();
    ASSERT_EQ(cluster.psql("SHOW wal_segment_size"), std::to_string(segmentSize / MB) + "MB")
        << "the server does not run with the segment size under test";

    const std::vector<std::uint64_t> points = InterestingLocations(segmentSize);
    ASSERT_GE(points.size(), 250u);
    const auto server = ServerAnswers(
        points, [](const std::string& location) { return "pg_walfile_name('" + location + "')"; });

    int boundaries = 0;
    for (std::uint64_t point : points) {
        const std::string location = Lsn(point);
        auto answer = server.find(location);
        ASSERT_NE(answer, server.end()) << location;
        const bool atBoundary = point % segmentSize == 0;
        boundaries += atBoundary;
        if (atBoundary && ServerNamesSegmentStartingAtBoundary(GetParam().major)) {
            EXPECT_EQ(OurName(location, segmentSize), OurName(Lsn(point - 1), segmentSize))
                << "location " << location;
            EXPECT_EQ(answer->second, OurName(Lsn(point + 1), segmentSize))
                << "location " << location;
        } else {
            EXPECT_EQ(OurName(location, segmentSize), answer->second) << "location " << location;
        }
    }
    EXPECT_GE(boundaries, 10);
}

TEST_P(WalNameAgainstServer, SegmentBoundaryBelongsToThePreviousSegment) {
    PgCluster& cluster = Cluster();
    const std::uint64_t segmentSize = GetParam().segmentSize();
    const std::string boundary = Lsn(3 * segmentSize);
    const std::string previous = OurName(Lsn(3 * segmentSize - 1), segmentSize);
    const std::string starting = OurName(Lsn(3 * segmentSize + 1), segmentSize);
    ASSERT_NE(previous, starting);

    const std::string byName = cluster.psql("SELECT pg_walfile_name('" + boundary + "')");
    const std::string byOffset = cluster.psql(
        "SELECT file_name || ' ' || file_offset FROM pg_walfile_name_offset('" + boundary + "')");

    EXPECT_EQ(OurName(boundary, segmentSize), previous);
    if (ServerNamesSegmentStartingAtBoundary(GetParam().major)) {
        EXPECT_EQ(byName, starting);
        EXPECT_EQ(byOffset, starting + " 0");
    } else {
        EXPECT_EQ(byName, previous);
        EXPECT_EQ(byOffset, previous + " 0");
    }
}

// The query the agent sends for a location names, on every release, the segment that holds
// the byte before it: at a segment boundary that is the segment just closed, not the open one
// that begins there.
TEST_P(WalNameAgainstServer, TheAgentsQueryNamesTheSegmentOfTheByteBefore) {
    PgCluster& cluster = Cluster();
    const std::uint64_t segmentSize = GetParam().segmentSize();
    const std::string version = cluster.psql("SHOW server_version");

    const std::vector<std::uint64_t> points = InterestingLocations(segmentSize);
    const auto server = ServerAnswers(points, [&](const std::string& location) {
        std::string query = PGCommon::GetQueryForXLogFileName(location, version);
        EXPECT_EQ(query.back(), ';') << query;
        query.pop_back();
        return query;
    });

    int boundaries = 0;
    for (std::uint64_t point : points) {
        const std::string location = Lsn(point);
        auto answer = server.find(location);
        ASSERT_NE(answer, server.end()) << location;
        boundaries += point % segmentSize == 0;
        EXPECT_EQ(answer->second, OurName(location, segmentSize)) << "location " << location;
    }
    EXPECT_GE(boundaries, 10);
    const std::string boundary = Lsn(3 * segmentSize);
    EXPECT_EQ(cluster.psql(PGCommon::GetQueryForXLogFileName(boundary, version)),
              OurName(Lsn(3 * segmentSize - 1), segmentSize));
}

// No byte lies before 0/0. Servers up to 16 wrap around to the last segment of the address
// space, later ones name the first segment; we refuse instead of naming either.
TEST_P(WalNameAgainstServer, VeryFirstLocationHasNoSegmentBeforeIt) {
    PgCluster& cluster = Cluster();
    const std::string server = cluster.psql("SELECT pg_walfile_name('0/0')");
    if (ServerNamesSegmentStartingAtBoundary(GetParam().major))
        EXPECT_EQ(server, "000000010000000000000000");
    else
        EXPECT_EQ(server.substr(0, 16), "00000001FFFFFFFF");
    EXPECT_EQ(OurName("0/0", GetParam().segmentSize()), "<refused>");
}

// The road of a full backup: the time line from the backup label and the stop location
// name the last segment the backup needs, and that is the file the archive receives.
TEST_P(WalNameAgainstServer, BackupStopLocationNamesTheArchivedSegment) {
    PgCluster& cluster = Cluster();
    const std::uint64_t segmentSize = GetParam().segmentSize();
    cluster.psql("CREATE TABLE IF NOT EXISTS filler AS SELECT g FROM generate_series(1, 1000) g");

    const TempTree scratch("pgulo-label");
    const std::string labelPath = scratch.Path("backup_label");
    std::string stopLocation;
    if (GetParam().major < 15) {
        // Exclusive backup mode writes the label into the data directory.
        cluster.psql("SELECT pg_start_backup('pgulo_walname', true)");
        TestFiles::Write(labelPath, TestFiles::Read(cluster.dataDir() + "/backup_label"));
        stopLocation = cluster.psql("SELECT pg_stop_backup()");
    } else {
        // The label comes back from the stop call of the same session.
        const auto result = runCommand(
            {PgInstall::clientTool("psql"), "-X", "-A", "-t", "-q", "-v", "ON_ERROR_STOP=1", "-d",
             cluster.connInfo(), "-c", "SELECT pg_backup_start('pgulo_walname', true)", "-c",
             "SELECT lsn || '|' || labelfile FROM pg_backup_stop(true)"});
        ASSERT_TRUE(result.ok()) << result.err;
        const auto bar = result.out.find('|');
        ASSERT_NE(bar, std::string::npos) << result.out;
        const auto lineStart = result.out.rfind('\n', bar);
        stopLocation = result.out.substr(lineStart + 1, bar - lineStart - 1);
        TestFiles::Write(labelPath, result.out.substr(bar + 1));
    }
    std::string timeLine;
    ASSERT_EQ(PGCommon::getTimeLineID(labelPath, timeLine), 0);
    EXPECT_EQ(timeLine, "00000001");

    std::string stopSegment;
    ASSERT_EQ(PGCommon::pg_xlogfile_name(stopLocation, timeLine, segmentSize, stopSegment), 0)
        << stopLocation;
    EXPECT_EQ(stopSegment, cluster.psql("SELECT pg_walfile_name('" + stopLocation + "')"));
    EXPECT_EQ(stopSegment, cluster.psql(PGCommon::GetQueryForXLogFileName(
                               stopLocation, cluster.psql("SHOW server_version"))));

    const std::string archived = cluster.archiveDir() + "/" + stopSegment;
    EXPECT_TRUE(
        WaitFor([&] { return std::filesystem::exists(archived); }, std::chrono::seconds(30)))
        << archived;
}

INSTANTIATE_TEST_SUITE_P(Servers, WalNameAgainstServer,
                         ::testing::Values(ServerSetup{10, 0}, ServerSetup{16, 0},
                                           ServerSetup{16, 64}, ServerSetup{17, 1},
                                           ServerSetup{18, 0}),
                         [](const ::testing::TestParamInfo<ServerSetup>& info) {
                             return "PG" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.segmentSize() / MB) + "MB";
                         });

} // namespace
