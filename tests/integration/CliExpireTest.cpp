// Retention through the pgulo program on a real cluster: what expire removes and a dry run
// does not, a restore into the kept range afterwards, removals cut short by a real kill, and
// the instance's policy applied after a backup.

#include "MajorStage.h"
#include "PguloHost.h"
#include "Repository.h"
#include "TimeText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>

namespace {

using namespace pgulo::test;
using Texts = std::vector<std::string>;

Texts Listed(const PguloHost& host) {
    Texts ids;
    for (const auto& backup : host.List("main"))
        ids.push_back(backup["id"]);
    return ids;
}

std::string Backup(const PguloHost& host, const std::string& type) {
    Texts args = {"backup", "main", "-q", "--type", type};
    if (type == "dump")
        args.insert(args.end(), {"--database", "postgres"});
    EXPECT_EQ(host.Run(args).exitCode, 0) << type;
    return Listed(host).back();
}

// Every path under the repository, for "nothing changed".
Texts Tree(const PguloHost& host) {
    Texts paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(host.Repository()))
        paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

void ExpectMentions(const ProcessResult& r, const Texts& parts) {
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const std::string& part : parts)
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " not in:\n" << r.out;
}

// Without the names of the dump backups a major has none of (empty).
Texts Present(Texts ids) {
    ids.erase(std::remove(ids.begin(), ids.end(), std::string()), ids.end());
    return ids;
}

class CliExpire : public ::testing::TestWithParam<int> {};

TEST_P(CliExpire, RemovesWhatThePolicyNoLongerKeeps) {
    PGULO_REQUIRE_MAJOR(GetParam());
    auto cluster = StartCluster(GetParam(), "expire");
    // The only pg_dump at hand is Debian's 15, which dumps servers up to its own major.
    const bool dumps = GetParam() <= 15;
    auto dump = [&](const PguloHost& h) { return dumps ? Backup(h, "dump") : std::string(); };
    PguloHost host;
    host.AddInstance("main", *cluster, "postgres", "");
    ExpectRefused(host.Run({"expire", "main"}), 2, "no retention policy; give --retain-full");

    cluster->psql("CREATE TABLE t(i int); INSERT INTO t SELECT generate_series(1, 1000)");
    const std::string f1 = Backup(host, "full"), l1 = Backup(host, "log");
    const std::string d1 = dump(host), f2 = Backup(host, "full");
    cluster->psql("INSERT INTO t SELECT generate_series(1, 100)");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string target = cluster->psql("SELECT clock_timestamp()::text");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    cluster->psql("INSERT INTO t SELECT generate_series(1, 100)");
    const std::string l2 = Backup(host, "log");
    Repository repository(host.Repository());
    const std::int64_t now = TimeText::NowMicros();
    const std::string failed = repository.CreateBackup("main", "full", now);
    repository.MarkFailed("main", failed, "full", now, "disk full");
    const std::string f3 = Backup(host, "full"), l3 = Backup(host, "log");
    const std::string d2 = dump(host);

    const Texts before = Tree(host);
    const Texts policy = {"expire", "main", "--retain-full", "2", "--retain-dump", "1"};
    Texts dryRun = policy;
    dryRun.push_back("--dry-run");
    ExpectMentions(host.Run(dryRun), Present({"would remove backup " + l1, f1, d1, failed,
                                              "would free"}));
    EXPECT_EQ(Tree(host), before);
    ExpectMentions(host.Run(policy),
                   Present({"removed backup " + l1, "removed backup " + f1,
                            dumps ? "removed backup " + d1 : "", "removed backup " + failed,
                            dumps ? "expired 4 backup(s)" : "expired 3 backup(s)", "freed"}));
    EXPECT_EQ(Listed(host), Present({f2, l2, f3, l3, d2}));
    ExpectRefused(host.Run({"delete", "main", f3}), 1,
                  "backup " + f3 + " is needed by log backup " + l3 + "; delete " + l3 + " first");

    TempTree dirs("pgulo-expire");
    MakeServerDirectory(dirs.Path("restored"));
    const int port = cluster->port() + 1;
    ExpectMentions(host.Run({"restore", "main", "--target-time", target, "--pgdata",
                             dirs.Path("restored"), "--start", "--port", std::to_string(port)}),
                   {"restored backup " + f2});
    EXPECT_EQ(CountRows(*cluster, port, "t"), "1100");
    StopServer(*cluster, dirs.Path("restored"));

    // Each run dies right after one durable step of a removal: what it leaves verifies, and
    // the next run goes on from there.
    ProcessOptions killed;
    killed.env = host.Environment();
    killed.env.emplace_back("PGULO_TEST_KILL_AFTER_STEP", "1");
    int kills = 0;
    for (; kills < 10; ++kills) {
        const ProcessResult r =
            runCommand({PguloBinary(), "expire", "main", "--retain-full", "1"}, killed);
        if (r.exitCode == 0)
            break;
        ASSERT_EQ(r.exitCode, 128 + SIGKILL) << r.out << r.err;
        EXPECT_EQ(host.Run({"verify", "main", "--all", "-q"}).exitCode, 0) << "kill " << kills;
    }
    // Two removals of three steps (status, manifest, rename); the next run clears the files.
    EXPECT_EQ(kills, 6);
    EXPECT_EQ(Listed(host), Present({f3, l3, d2}));

    ASSERT_EQ(host.Run({"instance", "set", "main", "--retain-full", "1", "--retain-dump", "1"})
                  .exitCode,
              0);
    ExpectMentions(host.Run({"backup", "main", "-q"}),
                   {"removed backup " + l3, "removed backup " + f3, "expired 2"});
    const Texts left = Listed(host);
    ASSERT_EQ(left.size(), dumps ? 2u : 1u);
    if (dumps) {
        EXPECT_EQ(left.front(), d2);
    }
}

INSTANTIATE_TEST_SUITE_P(Majors, CliExpire, ::testing::Values(14, 15, 17), MajorName);

} // namespace
