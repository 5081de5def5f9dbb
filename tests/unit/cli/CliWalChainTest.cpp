// Whether the WAL of a restore chain is whole: cases as a table of stored segment names.

#include "FileOps.h"
#include "LocalStorage.h"
#include "TempTree.h"
#include "WalChain.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t k16MB = 16ull << 20;

struct Backup {
    std::string startWal;
    std::string endWal;
    std::vector<std::string> wal; // stored names; "NAME=text" gives a history file its text
};

struct ChainCase {
    const char* name;
    std::vector<Backup> chain;
    std::string firstMissing;
};

class WalChainCases : public ::testing::TestWithParam<ChainCase> {};

TEST_P(WalChainCases, FindsTheFirstMissingFile) {
    pgulo::test::TempTree tree("pgulo-walchain");
    std::vector<BackupRecord> records;
    for (std::size_t i = 0; i < GetParam().chain.size(); ++i) {
        const Backup& b = GetParam().chain[i];
        BackupRecord r;
        r.directory = tree.Path("b" + std::to_string(i));
        r.storage = std::make_shared<LocalStorage>(r.directory);
        FileOps::MakeDirectories(r.directory + "/wal");
        auto m = std::make_shared<Manifest>();
        m->startWal = b.startWal;
        m->endWal = b.endWal;
        for (const std::string& item : b.wal) {
            const std::size_t eq = item.find('=');
            const std::string name = item.substr(0, eq);
            ManifestEntry e;
            e.path = "/archive/" + name;
            e.stored = "wal/" + name;
            e.role = ManifestEntry::Role::Wal;
            e.size = eq == std::string::npos ? k16MB : item.size() - eq - 1;
            FileOps::WriteAtomically(r.directory + "/" + e.stored,
                                     eq == std::string::npos ? "" : item.substr(eq + 1));
            m->entries.push_back(e);
        }
        r.manifest = m;
        records.push_back(r);
    }
    std::vector<const BackupRecord*> chain;
    for (const auto& r : records)
        chain.push_back(&r);
    EXPECT_EQ(WalChain(chain).FirstMissing(), GetParam().firstMissing);
}

const char* const kSeg2 = "000000010000000000000002";
const char* const kSeg3 = "000000010000000000000003";
const char* const kSeg4 = "000000010000000000000004";
const char* const kSeg5 = "000000010000000000000005";

INSTANTIATE_TEST_SUITE_P(
    Chains, WalChainCases,
    ::testing::Values(
        ChainCase{"FullAlone", {{kSeg2, kSeg3, {kSeg2, kSeg3}}}, ""},
        ChainCase{"FullLacksItsEnd", {{kSeg2, kSeg3, {kSeg2}}}, kSeg3},
        ChainCase{
            "FullAndLogs",
            {{kSeg2, kSeg3, {kSeg2, kSeg3}}, {kSeg4, kSeg4, {kSeg4}}, {kSeg5, kSeg5, {kSeg5}}},
            ""},
        // A log backup that claims to end at 5 but holds only its first segment.
        ChainCase{"LogHoldsLessThanItClaims",
                  {{kSeg2, kSeg3, {kSeg2, kSeg3}}, {kSeg4, kSeg5, {kSeg4}}},
                  kSeg5},
        ChainCase{"GapBetweenBackups", {{kSeg2, kSeg2, {kSeg2}}, {kSeg4, kSeg4, {kSeg4}}}, kSeg3},
        // Across the end of a log id: segment FF is followed by the next log id's 00.
        ChainCase{"LogIdBoundary",
                  {{"0000000100000000000000FE",
                    "000000010000000100000000",
                    {"0000000100000000000000FE", "000000010000000100000000"}}},
                  "0000000100000000000000FF"},
        // Timeline 2 begins inside segment 4: recovery reads 4 and later from timeline 2.
        ChainCase{"FollowsTimelineSwitch",
                  {{kSeg2, kSeg3, {kSeg2, kSeg3}},
                   {"000000020000000000000004",
                    "000000020000000000000005",
                    {"00000002.history=1\t0/4000100\tno recovery target specified\n",
                     "000000020000000000000004", "000000020000000000000005"}}},
                  ""},
        // History files give timelines in decimal: parent 10 is timeline 0000000A.
        ChainCase{"FollowsSwitchFromTimelineTen",
                  {{"0000000A0000000000000002",
                    "0000000A0000000000000003",
                    {"0000000A0000000000000002", "0000000A0000000000000003"}},
                   {"0000000B0000000000000004",
                    "0000000B0000000000000005",
                    {"0000000B.history=9\t0/1000000\treason\n10\t0/4000100\treason\n",
                     "0000000B0000000000000004", "0000000B0000000000000005"}}},
                  ""},
        ChainCase{"SwitchWithoutHistory",
                  {{kSeg2, kSeg3, {kSeg2, kSeg3}},
                   {"000000020000000000000004",
                    "000000020000000000000004",
                    {"000000020000000000000004"}}},
                  "00000002.history"},
        ChainCase{"OldTimelineSegmentAfterSwitchDoesNotCount",
                  {{kSeg2, kSeg3, {kSeg2, kSeg3, kSeg4}},
                   {"000000020000000000000005",
                    "000000020000000000000005",
                    {"00000002.history=1\t0/4000100\treason\n", "000000020000000000000005"}}},
                  "000000020000000000000004"}),
    [](const ::testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

} // namespace
