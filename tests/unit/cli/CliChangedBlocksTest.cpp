// What WAL summaries say per file: relation forks to paths relative to the data directory and
// back, relation blocks to blocks within a 1 GiB segment file, LSN texts and backup labels.

#include "ChangedBlocks.h"
#include "WalPosition.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t kSegment = ChangedBlocks::kBlocksPerSegment;
constexpr std::uint32_t kNone = ChangedBlocks::kNoLimit;

TEST(ChangedBlocksFiles, NameSegmentFilesAndNumberBlocksWithinThem) {
    ChangedBlocks changes;
    const ChangedBlocks::Relation grown{1663, 5, 16384, ChangedBlocks::kMainFork};
    const ChangedBlocks::Relation cut{1663, 5, 16385, ChangedBlocks::kMainFork};
    for (const std::uint64_t block : {7u, kSegment + 5, kSegment + 5, 2 * kSegment})
        changes.AddBlock(grown, block);
    for (const std::uint64_t block : {3u, 2 * kSegment + 20})
        changes.AddBlock(cut, block);
    changes.AddLimit(cut, 2 * kSegment + 40);
    changes.AddLimit(cut, 2 * kSegment + 10);                    // the shortest truncation wins
    changes.AddLimit({1663, 6, 0, ChangedBlocks::kMainFork}, 0); // database 6 copied whole
    changes.AddBlock({1664, 0, 1262, ChangedBlocks::kVisibilityFork}, 0);
    changes.AddBlock({16400, 5, 16401, ChangedBlocks::kInitFork}, 3 * kSegment + 1);
    changes.SetTablespaceVersionDirectory("PG_17_1");
    const struct {
        const char* path;
        bool relationFile;
        std::vector<std::uint32_t> blocks;
        std::uint32_t limit;
    } cases[] = {
        {"base/5/16384", true, {7}, kNone},
        {"base/5/16384.1", true, {5}, kNone},
        {"base/5/16385.2", true, {}, 10}, // block 20 lies beyond the limit
        {"base/5/16385.3", true, {}, 0},
        {"base/5/16386", true, {}, kNone},
        {"base/5/16386_fsm", true, {}, 0}, // never trusted
        {"base/6/16384", true, {}, 0},
        {"global/1262_vm", true, {0}, kNone},
        {"pg_tblspc/16400/PG_17_1/5/16401_init.3", true, {1}, kNone},
        {"base/5/PG_VERSION", false, {}, kNone},
        {"base/5/16384.0", false, {}, kNone},
        {"pg_tblspc/16400/PG_17_1/5", false, {}, kNone},
    };
    for (const auto& c : cases) {
        ChangedBlocks::FileChanges file;
        EXPECT_EQ(changes.ForFile(c.path, file), c.relationFile) << c.path;
        EXPECT_EQ(file.blocks, c.blocks) << c.path;
        EXPECT_EQ(file.limit, c.limit) << c.path;
    }
    std::vector<std::string> named;
    for (const auto& file : changes.Files())
        named.push_back(file.first);
    EXPECT_EQ(named, (std::vector<std::string>{"base/5/16384", "base/5/16384.1", "base/5/16384.2",
                                               "base/5/16385", "base/5/16385.2", "global/1262_vm",
                                               "pg_tblspc/16400/PG_17_1/5/16401_init.3"}));
}

TEST(WalPositionText, ParsesLsnsAndBackupLabels) {
    const struct {
        const char* text;
        bool valid;
        std::uint64_t lsn;
    } cases[] = {{"16/B374D848", true, 0x16B374D848ull},
                 {"0/0", true, 0},
                 {"0/", false, 0},
                 {"100000000/0", false, 0},
                 {"0/0x1", false, 0},
                 {"0/1'; --", false, 0}};
    for (const auto& c : cases) {
        std::uint64_t lsn = 0;
        EXPECT_EQ(WalPosition::ParseLsn(c.text, lsn), c.valid) << c.text;
        EXPECT_EQ(lsn, c.lsn) << c.text;
        EXPECT_EQ(WalPosition::FormatLsn(lsn), c.valid ? c.text : "0/0");
    }
    const std::string label = "START WAL LOCATION: 0/9000028 (file 000000030000000000000009)\n"
                              "CHECKPOINT LOCATION: 0/9000080\nSTART TIMELINE: 3\n";
    WalPosition start;
    ASSERT_TRUE(WalPosition::FromBackupLabel(label, start));
    EXPECT_EQ(start.timeline, 3u);
    EXPECT_EQ(start.lsn, 0x9000028ull);
    EXPECT_FALSE(WalPosition::FromBackupLabel(label.substr(0, label.find("START TIME")), start));
}

} // namespace
