// Which blocks an incremental backup keeps and where a restore reads each again, and the
// manifest's record of them.

#include "BlockDigest.h"
#include "BlockPlan.h"
#include "Manifest.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

namespace {

constexpr std::uint64_t kBlock = BlockDigest::kBlockSize;
using Runs = std::vector<BlockRun>;

struct MergeRow {
    const char* name;
    Runs reference;
    std::vector<bool> stored;
    Runs expected;
};

TEST(CliBlockPlan, MergeKeepsUnchangedBlocksWithTheirOwners) {
    const std::vector<MergeRow> rows = {
        {"one block changed",
         {{"F", 0, 4}},
         {false, true, false, false},
         {{"F", 0, 1}, {"I", 1, 1}, {"F", 2, 2}}},
        {"grown past the reference",
         {{"F", 0, 2}},
         {false, false, true},
         {{"F", 0, 2}, {"I", 2, 1}}},
        {"shrunk", {{"F", 0, 1}, {"G", 1, 3}}, {false, false}, {{"F", 0, 1}, {"G", 1, 1}}},
        {"every block changed", {{"F", 0, 2}}, {true, true}, {{"I", 0, 2}}},
        {"empty file", {{"F", 0, 2}}, {}, {}},
    };
    for (const MergeRow& row : rows)
        EXPECT_EQ(BlockPlan::Merge(row.reference, row.stored, "I"), row.expected) << row.name;
}

TEST(CliBlockPlan, StoresChangedBlocksAndThoseBeyondTheReference) {
    const std::string a = BlockDigest::Of("a", 1), b = BlockDigest::Of("b", 1);
    EXPECT_FALSE(BlockPlan::StoreBlock(a + b, 1, b));
    EXPECT_TRUE(BlockPlan::StoreBlock(a + b, 0, b));
    EXPECT_TRUE(BlockPlan::StoreBlock(a + b, 2, b));
    // A short last block is a block of its own.
    BlockDigest digest;
    const std::string data(kBlock + 10, 'x');
    digest.update(data.data(), 5);
    digest.update(data.data() + 5, data.size() - 5);
    EXPECT_EQ(digest.finish(),
              BlockDigest::Of(data.data(), kBlock) + BlockDigest::Of(data.data(), 10));
}

TEST(CliBlockPlan, ClusterPathIsWhatTheWalSummariesName) {
    const std::vector<ManifestTablespace> tablespaces = {{"16500", "fast", "/ssd/ts/"}};
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"/data/base/5/16384.2", "base/5/16384.2"},
        {"/data/global/1262", "global/1262"},
        {"/ssd/ts/PG_17_202406281/5/16390", "pg_tblspc/16500/PG_17_202406281/5/16390"},
        {"/database/base/5/16384", ""},
        {"/data", ""},
    };
    for (const auto& [path, expected] : rows)
        EXPECT_EQ(BlockPlan::ClusterPath(path, "/data/", tablespaces), expected) << path;
}

TEST(CliBlockPlan, RebuiltFileMatchesByChecksumOrEveryBlock) {
    ManifestEntry e;
    e.checksum = "sum";
    e.blockDigests = BlockDigest::Of("a", 1);
    EXPECT_TRUE(BlockPlan::Matches(e, "sum", ""));
    EXPECT_FALSE(BlockPlan::Matches(e, "other", e.blockDigests));
    e.checksum.clear();
    e.blockChecked = true;
    EXPECT_TRUE(BlockPlan::Matches(e, "", e.blockDigests));
    EXPECT_FALSE(BlockPlan::Matches(e, "", BlockDigest::Of("b", 1)));
}

ManifestEntry File(const std::string& stored, std::uint64_t size, Runs runs, bool delta) {
    ManifestEntry e;
    e.path = "/data/base/1/16384";
    e.stored = stored;
    e.size = size;
    e.blockRuns = std::move(runs);
    e.delta = delta;
    return e;
}

TEST(CliBlockPlan, SourcesReadWholeCopiesAtTheBlockAndDeltasAtTheirRank) {
    // F holds the whole file; G kept blocks 1 and 3; I keeps block 2.
    const std::map<std::string, ManifestEntry> owners = {
        {"F", File("f", 5 * kBlock, {}, false)},
        {"G", File("g", 5 * kBlock,
                   {{"F", 0, 1}, {"G", 1, 1}, {"F", 2, 1}, {"G", 3, 1}, {"F", 4, 1}}, true)},
        {"I", File("i", 4 * kBlock + 1,
                   {{"F", 0, 1}, {"G", 1, 1}, {"I", 2, 1}, {"G", 3, 1}, {"I", 4, 1}}, true)},
    };
    const auto lookup = [&](const std::string& id, const std::string&) { return &owners.at(id); };
    const auto sources = BlockPlan::SourcesOf(owners.at("I"), lookup);
    ASSERT_EQ(sources.size(), 3u);
    const std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> expected = {
        {{0, 0}}, {{1, 0}, {3, kBlock}}, {{2, 0}, {4, kBlock}}};
    for (std::size_t i = 0; i < sources.size(); ++i) {
        ASSERT_EQ(sources[i].blocks.size(), expected[i].size()) << sources[i].backup;
        for (std::size_t k = 0; k < expected[i].size(); ++k) {
            EXPECT_EQ(sources[i].blocks[k].block, expected[i][k].first);
            EXPECT_EQ(sources[i].blocks[k].position, expected[i][k].second);
        }
    }
    // Runs that leave a block out cannot rebuild the file.
    const ManifestEntry gap = File("x", 3 * kBlock, {{"F", 0, 1}, {"G", 2, 1}}, true);
    EXPECT_THROW(BlockPlan::SourcesOf(gap, lookup), std::runtime_error);
    EXPECT_EQ(BlockPlan::OwnersOf(owners.at("F"), "F"), (Runs{{"F", 0, 5}}));
}

TEST(CliBlockPlan, ManifestKeepsReferencesAndBlocks) {
    Manifest m;
    m.id = "I";
    m.instance = "main";
    m.type = "incr";
    m.reference = "F";
    ManifestEntry e = File("files/data/base/1/16384", 2 * kBlock, {{"F", 0, 1}, {"I", 1, 1}}, true);
    e.blockDigests = BlockDigest::Of("a", 1) + BlockDigest::Of("b", 1);
    e.blockChecked = true;
    ManifestEntry referenced = File("files/data/PG_VERSION", 3, {}, false);
    referenced.storedIn = "F";
    m.entries = {e, referenced};
    const nlohmann::json j = m.ToJson();
    EXPECT_EQ(j.at("format"), Manifest::kReferenceFormat);
    const Manifest back = Manifest::FromJson(j);
    EXPECT_EQ(back.reference, "F");
    EXPECT_EQ(back.entries[0].blockDigests, e.blockDigests);
    EXPECT_EQ(back.entries[0].blockRuns, e.blockRuns);
    EXPECT_TRUE(back.entries[0].delta);
    EXPECT_TRUE(back.entries[0].blockChecked);
    EXPECT_FALSE(back.entries[1].blockChecked);
    EXPECT_EQ(back.entries[1].storedIn, "F");
    // A full backup with digests alone stays readable by older programs.
    m.reference.clear();
    m.entries = {File("files/data/base/1/16384", 1, {}, false)};
    m.entries[0].blockDigests = BlockDigest::Of("a", 1);
    EXPECT_EQ(m.ToJson().at("format"), Manifest::kPlainFormat);
}

} // namespace
