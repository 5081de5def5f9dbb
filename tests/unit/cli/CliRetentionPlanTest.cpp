// What a retention policy keeps and removes: cases as rows of a catalogue, each backup a kind
// letter and the day it started.

#include "RetentionPlan.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kDay = 86400LL * 1000000;

// F full, L log, B log that does not continue the WAL before it, D dump, C diff (of the last
// F), I incr (of the last F, C or I) (all complete);
// X failed, R running, Z listed as being removed. "F3": a full backup started on day 3.
std::vector<BackupRecord> Catalogue(const std::string& row) {
    std::vector<BackupRecord> all;
    std::istringstream tokens(row);
    std::string token, lastEnd, lastFull, lastData;
    while (tokens >> token) {
        BackupRecord r;
        r.id = token;
        r.startMicros = std::stoll(token.substr(1)) * kDay;
        const char kind = token[0];
        r.type = kind == 'D'                ? "dump"
                 : kind == 'L' || kind == 'B' ? "log"
                 : kind == 'C'                ? "diff"
                 : kind == 'I'                ? "incr"
                                              : "full";
        r.complete = std::string("FLBDCI").find(kind) != std::string::npos;
        r.state = r.complete ? "complete" : kind == 'R' ? "running" : "failed";
        r.recordedState = kind == 'Z' ? "deleting" : r.state;
        if (r.complete) {
            auto m = std::make_shared<Manifest>();
            m->endMicros = r.startMicros + kDay / 24;
            m->baseWal = kind == 'B' ? "elsewhere" : lastEnd;
            m->endWal = kind == 'D' ? "" : token;
            lastEnd = kind == 'D' ? lastEnd : token;
            m->reference = kind == 'C' ? lastFull : kind == 'I' ? lastData : "";
            lastFull = kind == 'F' ? token : lastFull;
            lastData = Manifest::IsDataBackup(r.type) ? token : lastData;
            r.manifest = m;
        }
        all.push_back(r);
    }
    return all;
}

std::string Ids(const std::vector<const BackupRecord*>& backups) {
    std::string ids;
    for (const BackupRecord* b : backups)
        ids += (ids.empty() ? "" : " ") + b->id;
    return ids;
}

struct PlanCase {
    const char* name;
    std::string catalogue;
    RetentionPolicy policy;
    std::string removed; // newest first
};

class RetentionCases : public ::testing::TestWithParam<PlanCase> {};

TEST_P(RetentionCases, RemovesWhatThePolicyNoLongerKeeps) {
    const std::vector<BackupRecord> all = Catalogue(GetParam().catalogue);
    const RetentionPlan plan(all, GetParam().policy, 30 * kDay);
    std::vector<const BackupRecord*> removed;
    for (const RetentionPlan::Decision* d : plan.Removals())
        removed.push_back(d->backup);
    EXPECT_EQ(Ids(removed), GetParam().removed);
}

const RetentionPolicy kFull2{2, {}, {}};

INSTANTIATE_TEST_SUITE_P(
    Policies, RetentionCases,
    ::testing::Values(
        PlanCase{"FullRuleKeepsNewestChains", "F1 L2 L3 F4 L5 F6 L7", kFull2, "L3 L2 F1"},
        PlanCase{"IncrementalsGoWithTheirFull", "F1 I2 L3 C4 I5 F6 I7 F8 C9", kFull2,
                 "I5 C4 L3 I2 F1"},
        PlanCase{"DaysKeepTheFullBeforeTheWindow", "F1 L2 F10 L11 F25 L26", {{}, 10, {}}, "L2 F1"},
        PlanCase{"DaysKeepAllWhenNoneEndedBefore", "F25 L26 F27", {{}, 10, {}}, ""},
        PlanCase{"EitherFullRuleKeeps", "F1 L2 F10 L11 F25 L26", {1, 10, {}}, "L2 F1"},
        PlanCase{"DumpRuleAloneKeepsEveryFull", "F1 D2 D3 F4 D5", {{}, {}, 2}, "D2"},
        PlanCase{"FailedOlderThanNewestCompleteGo", "F1 X2 F3 X4", kFull2, "X2"},
        PlanCase{"RunningNeverRemoved", "R1 F2 R3 F4", {1, {}, {}}, "F2"},
        PlanCase{"CutShortRemovalFinished", "F1 F2 Z3", kFull2, "Z3"},
        PlanCase{"BrokenLogGoesWithItsFull", "F1 B2 F3 B4", {1, {}, {}}, "B2 F1"},
        PlanCase{"LogBeforeAnyFullGoes", "L1 F2", kFull2, "L1"}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return std::string(info.param.name); });

} // namespace
