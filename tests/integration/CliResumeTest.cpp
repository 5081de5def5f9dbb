// Resuming an interrupted full backup, one row per way of interrupting it and what happens
// before the next full backup: the next one takes it up and keeps the files it stored (or
// refuses to, and says why), restores row for row, and the interrupted one leaves the listing.
// A compressed backup killed inside a file stored in parts keeps the parts it finished.
// The rows of a major share one cluster and run in order; the timeline row goes last.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PguloHost.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using json = nlohmann::json;

const char* const kInstance = "main";
const char* const kStrikeVariable = "PGULO_TEST_STRIKE_AFTER_FILES";
// Two groups of copies are journaled before the strike: a cluster has about a thousand files.
const char* const kStrikeAfter = "300";
const char* const kFingerprintSql =
    "SELECT count(*) || ':' || coalesce(md5(string_agg(t::text, ',' ORDER BY id)), '') FROM t";
// Over 64 MiB on disk: compressed, its file is stored in two parts.
const char* const kBigTableSql = "CREATE TABLE big AS SELECT g AS id, md5(g::text) AS v "
                                 "FROM generate_series(1, 1300000) g";
const char* const kBigFingerprintSql =
    "SELECT count(*) || ':' || md5(string_agg(md5(v), '' ORDER BY id)) FROM big";

class ResumeStage {
public:
    explicit ResumeStage(int major) : scratch_("pgulo-resume") {
        cluster_ = StartCluster(major, "resume");
        host_.AddInstance(kInstance, *cluster_, "postgres", "");
        cluster_->psql("CREATE TABLE t AS SELECT g AS id, md5(g::text) AS v "
                       "FROM generate_series(1, 400000) g");
    }

    PgCluster& cluster() { return *cluster_; }
    PguloHost& host() { return host_; }

    // Files older than the next backup's start, so that a resume may carry them over.
    void Settle() {
        cluster_->psql("CHECKPOINT");
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }

    ProcessResult Backup(const std::vector<std::string>& extra, const std::string& strike = "") {
        host_.SetVariable(kStrikeVariable, strike);
        std::vector<std::string> args = {"backup", kInstance, "--type", "full", "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        ProcessResult r = host_.Run(args);
        host_.SetVariable(kStrikeVariable, "");
        return r;
    }

    // A fresh copy of the newest backup, started, holds the source's rows.
    void ExpectRestoresExactly(bool big) {
        const std::string data = scratch_.Path("restored" + std::to_string(++restores_));
        MakeServerDirectory(data);
        const int port = FreePort();
        const ProcessResult r =
            host_.Run({"restore", kInstance, "--pgdata", data, "--wal-dir", data + "-wal",
                       "--start", "--port", std::to_string(port), "-q"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        if (r.exitCode == 0) {
            EXPECT_EQ(QueryValue(*cluster_, port, kFingerprintSql), cluster_->psql(kFingerprintSql));
            if (big) {
                EXPECT_EQ(QueryValue(*cluster_, port, kBigFingerprintSql),
                          cluster_->psql(kBigFingerprintSql));
            }
        }
        if (fs::exists(data + "/postmaster.pid"))
            StopServer(*cluster_, data);
    }

    std::string BackupDirectory(const std::string& id) const {
        return host_.Repository() + "/" + kInstance + "/" + id;
    }

private:
    TempTree scratch_;
    std::unique_ptr<PgCluster> cluster_;
    PguloHost host_;
    int restores_ = 0;
};

// ---- What happens between the interrupted backup and the next one. ----

void Nothing(ResumeStage&, std::vector<std::string>&) {}

void RestartServer(ResumeStage& s, std::vector<std::string>&) {
    s.cluster().restart();
}

// The largest file the journal claims gets one byte changed in its stored copy.
void DamageKeptCopy(ResumeStage& s, std::vector<std::string>& struck) {
    const std::string dir = s.BackupDirectory(struck.front());
    json largest;
    for (const std::string& line : TestFiles::ReadLines(dir + "/resume/journal")) {
        const json j = json::parse(line);
        if (largest.is_null() || j["size"] > largest["size"])
            largest = j;
    }
    ASSERT_FALSE(largest.is_null()) << "the interrupted backup journaled nothing";
    const std::string stored = dir + "/" + largest["stored"].get<std::string>();
    TestFiles::FlipByte(stored, fs::file_size(stored) / 2);
}

// Archive recovery on the cluster itself: at the end of the archived WAL it takes a new
// timeline, as a restore in place to a point in time does.
void ChangeTimeline(ResumeStage& s, std::vector<std::string>&) {
    PgCluster& c = s.cluster();
    const std::string before = c.psql("SELECT timeline_id FROM pg_control_checkpoint()");
    c.stop();
    c.appendConf("restore_command = 'cp " + c.archiveDir() + "/%f %p'");
    ASSERT_EQ(runAsPostgres({"touch", c.dataDir() + "/recovery.signal"}).exitCode, 0);
    c.start();
    for (int i = 0; i < 600 && c.psql("SELECT pg_is_in_recovery()") == "t"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.psql("CHECKPOINT");
    ASSERT_NE(c.psql("SELECT timeline_id FROM pg_control_checkpoint()"), before);
}

// The resume is killed too, right after it has taken over the first copies.
void KilledAgainWhileResuming(ResumeStage& s, std::vector<std::string>& struck) {
    const ProcessResult again = s.Backup({}, "1");
    ASSERT_NE(again.exitCode, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("resuming the unfinished backup " + struck.front()),
              std::string::npos)
        << again.out;
    struck.push_back(s.host().List(kInstance).back()["id"].get<std::string>());
}

struct ResumeRow {
    const char* name;
    const char* strike; // PGULO_TEST_STRIKE_AFTER_FILES of the interrupted backup
    // Given the ids of the backups struck so far; adds those it strikes.
    void (*between)(ResumeStage&, std::vector<std::string>& struck);
    std::vector<std::string> args; // of the next full backup
    // Empty: resumed; otherwise the reason it says it did not.
    const char* refusal;
    // Of both backups; with it, the row adds a table whose file is stored in parts, and the
    // resume keeps some of its parts.
    std::vector<std::string> form = {};
};

const std::vector<ResumeRow>& Rows() {
    static const std::vector<ResumeRow> rows = {
        {"KilledInsideAFileInParts", "1", Nothing, {}, "", {"--compress", "lz4"}},
        {"Killed", kStrikeAfter, Nothing, {}, ""},
        {"CtrlCThenServerRestart", "300:INT", RestartServer, {}, ""},
        {"DamagedCopyIsRecopied", kStrikeAfter, DamageKeptCopy, {}, ""},
        {"KilledAgainWhileResuming", kStrikeAfter, KilledAgainWhileResuming, {}, ""},
        {"NoResume", kStrikeAfter, Nothing, {"--no-resume"}, "--no-resume was given"},
        {"TooOld", kStrikeAfter, Nothing, {"--resume-max-age", "0s"}, "--resume-max-age"},
        {"TimelineChanged", kStrikeAfter, ChangeTimeline, {}, "timeline changed"},
    };
    return rows;
}

class CliResume : public StagePerMajor<ResumeStage, MajorRow<ResumeRow>> {};

TEST_P(CliResume, TakesUpTheInterruptedBackup) {
    PGULO_REQUIRE_MAJOR(GetParam().major);
    const ResumeRow& row = *GetParam().row;
    ResumeStage& s = StageFor(GetParam().major);
    s.cluster().psql("INSERT INTO t SELECT g, 'row " + std::string(row.name) +
                     "' FROM generate_series(1, 50) g");
    const bool big = !row.form.empty();
    if (big)
        s.cluster().psql(kBigTableSql);
    s.Settle();

    const ProcessResult first = s.Backup(row.form, row.strike);
    ASSERT_NE(first.exitCode, 0) << first.out << first.err;
    const json interrupted = s.host().List(kInstance).back();
    ASSERT_EQ(interrupted["restorable"], false) << interrupted.dump();
    std::vector<std::string> struck = {interrupted["id"].get<std::string>()};
    row.between(s, struck);

    std::vector<std::string> nextArgs = row.args;
    nextArgs.insert(nextArgs.end(), row.form.begin(), row.form.end());
    const ProcessResult next = s.Backup(nextArgs);
    ASSERT_EQ(next.exitCode, 0) << next.out << next.err;
    const json listed = s.host().List(kInstance);
    const json& made = listed.back();
    std::size_t struckListed = 0;
    for (const json& b : listed)
        struckListed += std::count(struck.begin(), struck.end(), b["id"].get<std::string>());
    if (std::string(row.refusal).empty()) {
        EXPECT_EQ(made.value("resumed_from", ""), struck.back()) << made.dump();
        EXPECT_GT(made.value("kept_bytes", 0ull), 0u) << next.out;
        if (big) {
            EXPECT_TRUE(std::regex_search(next.out, std::regex(" [1-9][0-9]* parts of files")))
                << next.out;
        }
        EXPECT_EQ(struckListed, 0u) << "an interrupted backup is still listed";
    } else {
        EXPECT_NE(next.out.find(row.refusal), std::string::npos) << next.out;
        EXPECT_FALSE(made.contains("resumed_from")) << made.dump();
        EXPECT_EQ(struckListed, struck.size());
    }
    // Every stored copy the new backup holds, kept or copied, is what its manifest says.
    const ProcessResult verified = s.host().Run({"verify", kInstance, made["id"], "-q"});
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    s.ExpectRestoresExactly(big);
    if (big)
        s.cluster().psql("DROP TABLE big");
}

INSTANTIATE_TEST_SUITE_P(Interruptions, CliResume,
                         ::testing::ValuesIn(MajorRows({15, 17}, Rows())),
                         MajorRowName<ResumeRow>);

} // namespace
