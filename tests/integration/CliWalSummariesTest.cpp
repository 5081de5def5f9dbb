// Changed blocks since a reference backup from a real server's WAL summaries: named on 17 for
// the blocks an update wrote, not for an untouched table; otherwise not available, and why.

#include "FileOps.h"
#include "PgCluster.h"
#include "TempHostHome.h"
#include "WalSummaries.h"

#include <gtest/gtest.h>

namespace {

using namespace pgulo::test;
using std::chrono::milliseconds;

constexpr int kSummariesMajor = 17;

PgCluster& Cluster(int major = kSummariesMajor) {
    PgCluster::Options options;
    options.name = "walsum";
    options.archiving = false;
    if (major >= kSummariesMajor)
        options.extraConf = {"summarize_wal = on", "autovacuum = off"}; // no writes of its own
    return SharedCluster(major, options);
}

AgentConnection ConnectionTo(const PgCluster& cluster) {
    AgentConnection c;
    c.binDir = cluster.binDir();
    c.libDir = cluster.libDir();
    c.database = c.user = "postgres";
    c.hostAddr = cluster.socketDir();
    c.port = std::to_string(cluster.port());
    return c;
}

// A backup in backup mode, begun and ended at once: its label's start.
WalPosition BackupStart() {
    const std::string out = Cluster().psql("SELECT pg_backup_start('walsum', true) IS NULL;"
                                           "SELECT labelfile FROM pg_backup_stop(false)");
    WalPosition start;
    EXPECT_TRUE(WalPosition::FromBackupLabel(out.substr(out.find("START WAL")), start)) << out;
    return start;
}

// Three frozen tables of 30 blocks ("far" in a tablespace of its own), a reference backup,
// one row of "busy" and of "far" updated in block 3, and the start of the next backup.
struct Stage {
    Stage() {
        const std::string location = Cluster().baseDir() + "/far";
        FileOps::MakeDirectories(location);
        ChownToPostgres(location);
        Cluster().psql("CREATE TABLESPACE far LOCATION '" + location + "'");
        for (const std::string table : {"busy", "quiet", "far TABLESPACE far"})
            Cluster().psql("CREATE TABLE " + table +
                           " AS SELECT i, repeat('x', 200) AS v FROM generate_series(1, 1000) i");
        Cluster().psql("VACUUM FREEZE");
        reference = BackupStart();
        Cluster().psql("UPDATE busy SET i = -i WHERE ctid = '(3,1)';"
                       "UPDATE far SET i = -i WHERE ctid = '(3,1)'");
        current = BackupStart();
    }
    TempHostHome home;
    WalPosition reference;
    WalPosition current;
};

Stage& TheStage() {
    static Stage stage;
    return stage;
}

TEST(WalSummariesOn17, NameTheWrittenBlocksAndNotTheUntouchedTable) {
    PGULO_REQUIRE_MAJOR(kSummariesMajor);
    Stage& s = TheStage();
    const WalSummaries::Answer answer =
        WalSummaries::Since(ConnectionTo(Cluster()), s.reference, s.current);
    ASSERT_TRUE(answer.available) << answer.reason;
    for (const auto& [table, written] :
         {std::pair{"busy", true}, std::pair{"far", true}, std::pair{"quiet", false}}) {
        const std::string path =
            Cluster().psql("SELECT pg_relation_filepath('" + std::string(table) + "')");
        ChangedBlocks::FileChanges changes;
        ASSERT_TRUE(answer.blocks.ForFile(path, changes)) << path;
        EXPECT_EQ(changes.Changed(3), written) << path;
        EXPECT_EQ(changes.Unchanged(), !written) << path;
        EXPECT_FALSE(changes.Changed(0)) << path;
        EXPECT_EQ(answer.blocks.Files().count(path), written ? 1u : 0u) << path;
    }
}

// As a reload sets it; servers before 17 know no such setting.
void SetSummarizeWal(const std::string& value, int major) {
    if (major < kSummariesMajor || Cluster().psql("SHOW summarize_wal") == value)
        return;
    Cluster().psql("ALTER SYSTEM SET summarize_wal = " + value);
    Cluster().psql("SELECT pg_reload_conf()");
    EXPECT_TRUE(WaitFor([&] { return Cluster().psql("SHOW summarize_wal") == value; },
                        milliseconds(10000)));
}

struct Refusal {
    const char* name;
    int major;
    const char* reason;
    bool summarizeOff;
    std::uint64_t referenceLsn; // 0: the stage's reference start
    std::uint32_t referenceTli; // 0: the stage's
    std::uint64_t currentAhead; // added to the stage's current start, with a short wait
};

class WalSummariesRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(WalSummariesRefused, SayWhy) {
    const Refusal& c = GetParam();
    PGULO_REQUIRE_MAJOR(c.major);
    const bool stage = c.major == kSummariesMajor;
    WalPosition reference = stage ? TheStage().reference : WalPosition{1, 0x1000028};
    WalPosition current = stage ? TheStage().current : WalPosition{1, 0x3000028};
    reference.lsn = c.referenceLsn ? c.referenceLsn : reference.lsn;
    reference.timeline = c.referenceTli ? c.referenceTli : reference.timeline;
    current.lsn += c.currentAhead;
    SetSummarizeWal(c.summarizeOff ? "off" : "on", c.major);
    const WalSummaries::Answer answer =
        WalSummaries::Since(ConnectionTo(Cluster(c.major)), reference, current,
                            c.currentAhead ? milliseconds(300) : WalSummaries::kDefaultWait);
    SetSummarizeWal("on", c.major);
    EXPECT_FALSE(answer.available);
    EXPECT_NE(answer.reason.find(c.reason), std::string::npos) << answer.reason;
    EXPECT_TRUE(answer.blocks.Files().empty());
}

const Refusal kRefusals[] = {
    {"Before17", 16, "is PostgreSQL 16", false, 0, 0, 0},
    {"SummarizeWalOff", 17, "summarize_wal is off", true, 0, 0, 0},
    {"ReferenceOlderThanSummaries", 17, "do not cover", false, 1, 0, 0},
    {"OtherTimeline", 17, "timeline switch", false, 0, 2, 0},
    {"SummarizerBehind", 17, "did not reach", false, 0, 0, 1ull << 30},
};

INSTANTIATE_TEST_SUITE_P(Cases, WalSummariesRefused, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
