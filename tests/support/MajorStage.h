#pragma once

// What the command line's table tests share: a stage (a cluster and the backups made of it)
// built once per PostgreSQL major and reused by every test of that major, tables of rows run
// on several majors, and the checks of a refused pgulo command.

#include "PgCluster.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace pgulo::test {

inline std::string MajorName(const ::testing::TestParamInfo<int>& info) {
    return "PostgreSQL" + std::to_string(info.param);
}

// Throws when a step of building a stage failed: the stage is of no use then.
inline void MustSucceed(const ProcessResult& r) {
    if (r.exitCode != 0)
        throw std::runtime_error("pgulo failed: " + r.out + r.err);
}

// pgulo ended with exitCode and said why on stderr.
inline void ExpectRefused(const ProcessResult& r, int exitCode, const std::string& reason) {
    EXPECT_EQ(r.exitCode, exitCode) << r.out << r.err;
    EXPECT_NE(r.err.find(reason), std::string::npos) << "expected '" << reason << "' in:\n"
                                                     << r.err;
}

// One row of a table on one major.
template <class Row> struct MajorRow {
    int major;
    const Row* row;
};

template <class Row> void PrintTo(const MajorRow<Row>& c, std::ostream* os) {
    *os << c.row->name << " on PostgreSQL " << c.major;
}

template <class Row> std::string MajorRowName(const ::testing::TestParamInfo<MajorRow<Row>>& info) {
    return "PostgreSQL" + std::to_string(info.param.major) + "_" + info.param.row->name;
}

// Every row on each major, in order: a major's rows run one after the other.
template <class Row>
std::vector<MajorRow<Row>> MajorRows(const std::vector<int>& majors, const std::vector<Row>& rows) {
    std::vector<MajorRow<Row>> cases;
    for (int major : majors) {
        for (const Row& row : rows)
            cases.push_back({major, &row});
    }
    return cases;
}

// A fixture whose tests share one Stage per major. With alone, a stage is dropped as soon as
// another major's is built: for tables whose stages are too big to keep side by side.
template <class Stage, class Param, bool alone = false>
class StagePerMajor : public ::testing::TestWithParam<Param> {
protected:
    static Stage& StageFor(int major) {
        std::unique_ptr<Stage>& stage = stages_[major];
        if (!stage) {
            if (alone)
                stages_.clear();
            stages_[major] = std::make_unique<Stage>(major);
        }
        return *stages_[major];
    }
    static void TearDownTestSuite() { stages_.clear(); }

private:
    static inline std::map<int, std::unique_ptr<Stage>> stages_;
};

} // namespace pgulo::test
