// The command line with its repository in a bucket of a real S3-compatible store
// (scripts/objectstore.sh): every verb over it, what the store's own client sees, a backup
// killed mid-upload, and a store that fails each way, on the majors whose client tools we have.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PguloHost.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestObjectStore.h"
#include "TestProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace pgulo::test;
using nlohmann::json;

// The store refuses parts under 5 MiB; the smallest part makes a modest table multipart.
const std::string kPartSize = "5MiB";

class CliObjectStore : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!store_.Missing().empty())
            GTEST_SKIP() << store_.Missing();
        PGULO_REQUIRE_MAJOR(GetParam());
        prefix_ = store_.UniquePrefix("pg" + std::to_string(GetParam()));
        repo_ = "s3://" + store_.Bucket() + "/" + prefix_;
        cluster_ = StartCluster(GetParam(), "objstore");
        store_.Configure(host_);
        host_.AddInstance("main", *cluster_, "postgres", "");
    }

    void TearDown() override {
        if (!store_.Missing().empty() || prefix_.empty())
            return;
        const std::string logs = host_.DebugLogs();
        EXPECT_EQ(logs.find(store_.SecretKey()), std::string::npos)
            << "the secret is in the debug log";
        EXPECT_EQ(logs.find(kWrongSecret), std::string::npos) << "a secret is in the debug log";
        store_.Clear(prefix_);
    }

    ProcessResult Pgulo(std::vector<std::string> args, const std::string& repo = "") const {
        args.insert(args.end(), {"--repo", repo.empty() ? repo_ : repo});
        return host_.Run(args);
    }

    std::string Backup(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"backup", "main", "-q", "--s3-part-size", kPartSize};
        args.insert(args.end(), extra.begin(), extra.end());
        MustSucceed(Pgulo(args));
        return Listed().back()["id"].get<std::string>();
    }

    json Listed(const std::string& repo = "") const {
        return host_.List("main", repo.empty() ? repo_ : repo);
    }
    std::set<std::string> Complete(const std::string& repo = "") const {
        std::set<std::string> ids;
        for (const json& b : Listed(repo))
            if (b["state"] == "complete")
                ids.insert(b["id"].get<std::string>());
        return ids;
    }

    // Restores into a new directory and starts it; the rows of t it holds.
    std::string Restore(const std::string& name, std::vector<std::string> extra) {
        MakeServerDirectory(dirs_.Path(name));
        const std::string port = std::to_string(cluster_->port() + 1);
        extra.insert(extra.begin(), {"restore", "main", "-q", "--pgdata", dirs_.Path(name),
                                     "--start", "--port", port});
        const ProcessResult r = Pgulo(extra);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const std::string rows = CountRows(*cluster_, cluster_->port() + 1, "t");
        StopServer(*cluster_, dirs_.Path(name));
        return rows;
    }

    static constexpr const char* kWrongSecret = "wr0ng-S3cr3t-k3y";

    TestObjectStore store_;
    std::string prefix_;
    std::string repo_;
    std::unique_ptr<PgCluster> cluster_;
    PguloHost host_;
    TempTree dirs_{"pgulo-objstore"};
};

TEST_P(CliObjectStore, EveryVerbWorksInABucket) {
    // No autovacuum on t: its freezing pass would rewrite every page and fill the incr's WAL
    // with page images, whatever the incr itself stores.
    cluster_->psql("CREATE TABLE t WITH (autovacuum_enabled = off) AS SELECT g AS id, "
                   "md5(g::text) AS v FROM generate_series(1, 200000) g");
    cluster_->psql("CREATE TABLE kept AS SELECT generate_series(1, 300) AS i");
    const std::string fullId = Backup({"--compress", "zstd", "--encrypt"});
    cluster_->psql("INSERT INTO t SELECT g, 'x' FROM generate_series(200001, 200100) g");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string target = cluster_->psql("SELECT clock_timestamp()::text");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    cluster_->psql("INSERT INTO t SELECT g, 'late' FROM generate_series(200101, 200200) g");
    const std::string logId = Backup({"--type", "log", "--compress", "zstd", "--encrypt"});
    // The only pg_dump at hand is Debian's 15, which dumps servers up to its own major.
    const bool dumps = GetParam() <= 15;
    if (dumps)
        Backup({"--type", "dump"});
    EXPECT_EQ(Complete().size(), dumps ? 3u : 2u) << Listed().dump();

    EXPECT_EQ(Restore("to-time", {"--target-time", target}), "200100");
    EXPECT_EQ(Restore("latest", {}), "200200");
    if (dumps) {
        cluster_->psql("DROP TABLE kept");
        const ProcessResult object =
            Pgulo({"restore", "main", "--database", "postgres", "--object", "table:public.kept"});
        EXPECT_EQ(object.exitCode, 0) << object.out << object.err;
        EXPECT_EQ(cluster_->psql("SELECT count(*) FROM kept"), "300");
    }

    // A plain manifest, read by the store's own client, names exactly the objects stored.
    const std::string plainId = Backup({"--no-encrypt"});
    // With the bucket as the instance's own repository, an incr needs no --repo and builds on
    // the full backup there.
    MustSucceed(host_.Run({"instance", "set", "main", "--repo", repo_}));
    cluster_->psql("INSERT INTO t SELECT g, 'incr' FROM generate_series(200201, 200300) g");
    MustSucceed(host_.Run({"backup", "main", "--type", "incr", "-q", "--no-encrypt"}));
    const json incr = host_.List("main").back();
    EXPECT_EQ(incr["reference"], plainId) << incr.dump();
    EXPECT_LT(incr["stored_size"].get<std::uint64_t>() * 4,
              Listed().at(Listed().size() - 2)["stored_size"].get<std::uint64_t>());
    EXPECT_EQ(Restore("incr", {"--backup", incr["id"].get<std::string>()}), "200300");
    const std::string backup = prefix_ + "/main/" + plainId;
    ASSERT_EQ(store_
                  .Aws({"s3", "cp", "s3://" + store_.Bucket() + "/" + backup + "/manifest.json",
                        dirs_.Path("manifest.json")})
                  .exitCode,
              0);
    std::map<std::string, std::uint64_t> objects = store_.Objects(backup);
    EXPECT_EQ(objects.erase("manifest.json") + objects.erase("status.json"), 2u);
    // Small files share packs: an object holds the stored bytes of its members, end to end.
    std::vector<std::pair<std::uint64_t, std::string>> unpacked;
    std::map<std::string, std::uint64_t> expected;
    std::size_t files = 0;
    const json manifest = json::parse(TestFiles::Read(dirs_.Path("manifest.json")));
    for (const json& e : manifest.at("entries")) {
        if (!e.contains("stored"))
            continue;
        ++files;
        const std::string stored = e["stored"];
        expected[stored] += e["stored_size"].get<std::uint64_t>();
        if (!e.contains("pack_offset"))
            unpacked.emplace_back(e["stored_size"].get<std::uint64_t>(), stored);
    }
    EXPECT_LT(objects.size() * 4, files) << "small files are packed";
    EXPECT_EQ(objects, expected);
    ASSERT_GE(unpacked.size(), 2u);
    std::sort(unpacked.rbegin(), unpacked.rend());
    const std::string& changed = unpacked[0].second; // the table's file, over 9000 bytes
    const std::string& deleted = unpacked[1].second;
    const std::string url = "s3://" + store_.Bucket() + "/" + backup + "/";
    TestFiles::Write(dirs_.Path("changed"), std::string(9000, 'c'));
    ASSERT_EQ(store_.Aws({"s3", "cp", dirs_.Path("changed"), url + changed}).exitCode, 0);
    ASSERT_EQ(store_.Aws({"s3", "rm", url + deleted}).exitCode, 0);
    const ProcessResult verify = Pgulo({"verify", "main", plainId, "-q"});
    EXPECT_EQ(verify.exitCode, 1) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("2 problems"), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find(changed + ": the stored copy"), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find(deleted + ": missing"), std::string::npos) << verify.out;
    const ProcessResult others = Pgulo({"verify", "main", fullId, "-q"});
    EXPECT_EQ(others.exitCode, 0) << others.out << others.err;

    // delete and expire leave nothing of what they removed.
    MustSucceed(Pgulo({"delete", "main", logId}));
    const ProcessResult expired = Pgulo({"expire", "main", "--retain-full", "1"});
    EXPECT_NE(expired.out.find("removed backup " + fullId), std::string::npos)
        << expired.out << expired.err;
    for (const std::string& id : {logId, fullId})
        EXPECT_TRUE(store_.Objects(prefix_ + "/main/" + id).empty()) << id;
    EXPECT_EQ(Complete().count(plainId), 1u);
}

// The store's faults do not depend on the server: one major shows them.
class CliObjectStoreFaults : public CliObjectStore {};

// One clear sentence, exit 1, and no backup that says it is complete.
TEST_P(CliObjectStoreFaults, AStoreThatFailsFailsTheBackupInOneSentence) {
    const std::string fullRepo = "s3://" + store_.FullBucket() + "/" + prefix_;
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string repo;
        std::pair<std::string, std::string> variable;
        const char* sentence;
    } rows[] = {
        {"unreachable", {"--s3-endpoint", "http://127.0.0.1:1"}, repo_, {}, "could not be reached"},
        {"wrong credentials",
         {},
         repo_,
         {"AWS_SECRET_ACCESS_KEY", kWrongSecret},
         "refused the credentials"},
        {"missing bucket", {}, "s3://pgulo-no-such-bucket/" + prefix_, {}, "does not exist"},
        {"full bucket", {}, fullRepo, {}, "takes no more data"},
    };
    cluster_->psql("CREATE TABLE t AS SELECT generate_series(1, 100000) AS i");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.variable.first.empty())
            host_.SetVariable(row.variable.first, row.variable.second);
        std::vector<std::string> args = {"backup", "main", "-q"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        ExpectRefused(Pgulo(args, row.repo), 1, row.sentence);
        store_.Configure(host_);
        if (row.repo != "s3://pgulo-no-such-bucket/" + prefix_) {
            EXPECT_TRUE(Complete(row.repo).empty()) << Listed(row.repo).dump();
        }
    }
    EXPECT_NE(host_.DebugLogs().find("retry 4 of 4"), std::string::npos)
        << "every retry is in the debug log";
    store_.Clear(prefix_);
    ProcessResult rm = store_.Aws({"s3", "rm", "--recursive", "--quiet", fullRepo + "/"});
    EXPECT_EQ(rm.exitCode, 0) << rm.err;
}

// Killed mid-upload: no manifest, listed incomplete, and expire ends the uploads it left.
TEST_P(CliObjectStoreFaults, ABackupKilledMidUploadLeavesNothingComplete) {
    cluster_->psql("CREATE TABLE t AS SELECT g AS id, md5(g::text) AS v FROM "
                   "generate_series(1, 600000) g");
    BackgroundPgulo backup(host_, {"backup", "main", "-q", "--compress", "none", "--max-rate", "4M",
                                   "--s3-part-size", kPartSize, "--repo", repo_});
    ASSERT_TRUE(backup.WaitUntil([&] {
        return store_.Uploads(prefix_).find("UploadId") != std::string::npos;
    })) << backup.Output();
    backup.Signal(SIGKILL);
    EXPECT_EQ(backup.Wait(), 128 + SIGKILL);

    const json listed = Listed();
    ASSERT_EQ(listed.size(), 1u) << listed.dump();
    EXPECT_NE(listed[0]["state"], "complete");
    for (const auto& [name, size] : store_.Objects(prefix_))
        EXPECT_EQ(name.find("manifest.json"), std::string::npos) << name;

    host_.SetVariable("PGULO_TEST_ABANDONED_UPLOAD_SECONDS", "0");
    const ProcessResult expired = Pgulo({"expire", "main", "--retain-full", "1"});
    EXPECT_EQ(expired.exitCode, 0) << expired.out << expired.err;
    EXPECT_NE(expired.out.find("unfinished upload(s)"), std::string::npos) << expired.out;
    EXPECT_EQ(store_.Uploads(prefix_).find("UploadId"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Majors, CliObjectStore, ::testing::Values(15, 17), MajorName);
INSTANTIATE_TEST_SUITE_P(Majors, CliObjectStoreFaults, ::testing::Values(15), MajorName);

} // namespace
