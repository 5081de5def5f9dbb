// diff and incr backups through the pgulo program on a real cluster: a chain full, incr, incr,
// diff with a log backup between, each step changing the data in another way; every backup
// restored to its end and one to a time between two backups gives exactly the source; the
// incremental backups store little; verify and delete follow the references; a damaged
// reference is refused; an incr taken under a pgbench load restores consistent. On 17 with
// WAL summaries an incr reads only the blocks they name (of a file stored in parts too), and a
// damaged block is found.

#include "MajorStage.h"
#include "PguloHost.h"
#include "Repository.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

namespace {

using namespace pgulo::test;

// Every row of every user table, in one text: two databases agree when their texts do.
const char* const kFingerprint =
    "SELECT coalesce(string_agg(c.relname || ':' || "
    "  (xpath('/row/f/text()', query_to_xml(format('SELECT md5(coalesce(string_agg(t::text, "
    "'','' ORDER BY t::text), '''')) AS f FROM %I t', c.relname), false, true, '')))[1]::text, "
    "  ' ' ORDER BY c.relname), '') "
    "FROM pg_class c WHERE c.relkind = 'r' AND c.relnamespace = 'public'::regnamespace";

std::string Backup(const PguloHost& host, const std::string& type, bool delta = false,
                   std::string* out = nullptr) {
    std::vector<std::string> args = {"backup", "main", "-q", "--type", type};
    if (delta)
        args.push_back("--delta");
    const ProcessResult r = host.Run(args);
    EXPECT_EQ(r.exitCode, 0) << type << ": " << r.out << r.err;
    if (out)
        *out = r.out;
    return host.List("main").back()["id"];
}

// Runs the statements one at a time: VACUUM takes no transaction block.
void RunEach(PgCluster& cluster, const std::string& statements) {
    for (std::size_t at = 0; at < statements.size();) {
        const std::size_t end = std::min(statements.find(';', at), statements.size());
        cluster.psql(statements.substr(at, end - at));
        at = end + 1;
    }
}

// What a backup stored of the cluster's files itself (not WAL, not what it refers to).
std::uint64_t StoredDataBytes(const PguloHost& host, const std::string& id) {
    const BackupRecord record = Repository(host.Repository()).Get("main", id);
    std::uint64_t bytes = 0;
    for (const ManifestEntry& e : record.manifest->entries) {
        if (e.role == ManifestEntry::Role::Data && e.kind == ManifestEntry::Kind::File &&
            e.storedIn.empty())
            bytes += e.storedSize;
    }
    return bytes;
}

// Restores (with the extra arguments), starts the copy, runs the query on it and stops it.
std::string RestoredValue(const PguloHost& host, const PgCluster& cluster,
                          const std::vector<std::string>& how, const std::string& query) {
    TempTree dirs("pgulo-incr");
    MakeServerDirectory(dirs.Path("restored"));
    const int port = FreePort();
    std::vector<std::string> args = {
        "restore", "main",   "--pgdata",          dirs.Path("restored"),
        "--start", "--port", std::to_string(port)};
    args.insert(args.end(), how.begin(), how.end());
    const ProcessResult r = host.Run(args);
    if (r.exitCode != 0)
        return "restore failed: " + r.out + r.err;
    const std::string value = QueryValue(cluster, port, query);
    StopServer(cluster, dirs.Path("restored"));
    return value;
}

class CliIncremental : public ::testing::TestWithParam<int> {};

TEST_P(CliIncremental, ChainRestoresExactlyAndFollowsReferences) {
    PGULO_REQUIRE_MAJOR(GetParam());
    auto cluster = StartCluster(GetParam(), "incr");
    PguloHost host;
    host.AddInstance("main", *cluster, "postgres", "");
    auto sql = [&](const std::string& text) { cluster->psql(text); };
    auto fingerprint = [&] { return cluster->psql(kFingerprint); };
    sql("CREATE TABLE kept WITH (fillfactor = 50) AS SELECT g AS id, md5(g::text) AS v "
        "FROM generate_series(1, 200000) g");
    sql("CREATE TABLE shrunk AS SELECT g AS id FROM generate_series(1, 100000) g");
    sql("CREATE TABLE dropped AS SELECT g AS id FROM generate_series(1, 1000) g");
    sql("CREATE TABLE rewritten AS SELECT g AS id, md5(g::text) AS v FROM generate_series(1, "
        "2000) g");
    // Settled pages: neither reading them (hint bits) nor autovacuum (visibility) rewrites
    // blocks the steps do not change.
    for (const char* table : {"kept", "shrunk", "dropped", "rewritten"})
        sql(std::string("ALTER TABLE ") + table + " SET (autovacuum_enabled = off)");
    sql("VACUUM FREEZE");
    sql("CHECKPOINT");

    struct Step {
        std::string type;
        std::string change;
        std::string id;
        std::string fingerprint;
    };
    std::vector<Step> steps = {
        {"full", "", "", ""},
        // In place: the file keeps its size, one block changes.
        {"incr",
         "UPDATE kept SET v = 'changed' WHERE id = 777; "
         "DELETE FROM shrunk WHERE id > 500; VACUUM shrunk",
         "", ""},
        {"incr",
         "DROP TABLE dropped; CREATE TABLE created AS SELECT g AS id FROM "
         "generate_series(1, 3000) g",
         "", ""},
        {"diff", "VACUUM FULL rewritten; UPDATE kept SET v = 'again' WHERE id = 150000", "", ""},
    };
    std::string target, atTarget, log;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (i == 2) {
            // The log backup continues the first incr; a restore to a time in its range
            // starts from that incr.
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            target = cluster->psql("SELECT clock_timestamp()::text");
            atTarget = fingerprint();
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            sql("INSERT INTO kept VALUES (0, 'after the target')");
            log = Backup(host, "log");
        }
        RunEach(*cluster, steps[i].change);
        sql("CHECKPOINT");
        // The second incr reads every file and compares checksums.
        std::string out;
        steps[i].id = Backup(host, steps[i].type, i == 2, &out);
        // Without summarize_wal the first incr says it falls back.
        if (i == 1) {
            EXPECT_NE(out.find("); comparing blocks"), std::string::npos) << out;
        }
        steps[i].fingerprint = fingerprint();
    }
    const nlohmann::json listed = host.List("main");
    EXPECT_EQ(listed[1]["reference"], steps[0].id);
    EXPECT_EQ(listed[3]["reference"], steps[1].id);
    EXPECT_EQ(listed[4]["reference"], steps[0].id);
    const std::uint64_t full = StoredDataBytes(host, steps[0].id);
    for (std::size_t i = 1; i < steps.size(); ++i)
        EXPECT_LT(StoredDataBytes(host, steps[i].id) * 10, full) << steps[i].id;
    // The table updated in place keeps its unchanged blocks in the full backup.
    const BackupRecord first = Repository(host.Repository()).Get("main", steps[1].id);
    EXPECT_TRUE(std::any_of(first.manifest->entries.begin(), first.manifest->entries.end(),
                            [&](const ManifestEntry& e) {
                                return e.delta && e.blockRuns.size() > 1 &&
                                       e.blockRuns.front().backup == steps[0].id;
                            }));

    for (const Step& step : steps)
        EXPECT_EQ(RestoredValue(host, *cluster, {"--backup", step.id}, kFingerprint),
                  step.fingerprint)
            << step.type << " " << step.id;
    EXPECT_EQ(RestoredValue(host, *cluster, {"--target-time", target}, kFingerprint), atTarget);

    EXPECT_EQ(host.Run({"verify", "main", steps[3].id, "-q"}).exitCode, 0);
    ExpectRefused(host.Run({"delete", "main", steps[1].id}), 1,
                  "backup " + steps[1].id + " is needed by backups");

    // A file the diff refers to, whole, in the full backup: cut short.
    const BackupRecord diff = Repository(host.Repository()).Get("main", steps[3].id);
    const ManifestEntry* referenced = nullptr;
    for (const ManifestEntry& e : diff.manifest->entries) {
        if (e.storedIn == steps[0].id && e.blockRuns.empty() && e.storedSize > 0)
            referenced = &e;
    }
    ASSERT_NE(referenced, nullptr);
    std::filesystem::resize_file(
        Repository(host.Repository()).BackupDirectory("main", steps[0].id) + "/" +
            referenced->stored,
        0);
    const ProcessResult verify = host.Run({"verify", "main", steps[3].id, "-q"});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.out.find(referenced->stored), std::string::npos) << verify.out;
    ExpectRefused(host.Run({"backup", "main", "-q", "--type", "incr"}), 1,
                  "reference backup " + steps[0].id + " is damaged: " + referenced->path);
}

TEST_P(CliIncremental, IncrTakenUnderLoadRestoresConsistent) {
    PGULO_REQUIRE_MAJOR(GetParam());
    auto cluster = StartCluster(GetParam(), "bench");
    PguloHost host;
    host.AddInstance("main", *cluster, "postgres", "");
    const std::vector<std::string> bench = {PgInstall::clientTool("pgbench"),
                                            "-h",
                                            cluster->socketDir(),
                                            "-p",
                                            std::to_string(cluster->port()),
                                            "-U",
                                            "postgres"};
    auto pgbench = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = bench;
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("postgres");
        return runCommand(argv);
    };
    ASSERT_TRUE(pgbench({"-i", "-s", "2", "-q"}).ok());
    Backup(host, "full");
    ProcessResult load;
    std::thread running([&] { load = pgbench({"-T", "5", "-c", "2"}); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::string incr = Backup(host, "incr");
    running.join();
    ASSERT_TRUE(load.ok()) << load.err;
    const std::string sums = "SELECT (SELECT sum(abalance) FROM pgbench_accounts) || ' ' || "
                             "(SELECT sum(bbalance) FROM pgbench_branches) || ' ' || "
                             "(SELECT sum(tbalance) FROM pgbench_tellers)";
    const std::string restored = RestoredValue(host, *cluster, {"--backup", incr}, sums);
    const std::string first = restored.substr(0, restored.find(' '));
    EXPECT_EQ(restored, first + " " + first + " " + first);
}

// A storage without a local directory: the kept blocks are written, and read back by the
// restore, through the storage's writers and readers. The table is over 64 MiB: its file is
// stored in parts, by the full backup and by the incr alike.
TEST(CliIncrementalStreamed, ChangedBlocksGoThroughTheStorage) {
    PGULO_REQUIRE_MAJOR(17);
    auto cluster = StartCluster(17, "incrstream");
    PguloHost host;
    host.AddInstance("main", *cluster, "postgres", "");
    host.SetVariable("PGULO_TEST_STORAGE_STREAMING", "1");
    cluster->psql("CREATE TABLE kept WITH (autovacuum_enabled = off) AS SELECT g AS id, "
                  "md5(g::text) AS v FROM generate_series(1, 1100000) g");
    cluster->psql("VACUUM FREEZE");
    cluster->psql("CHECKPOINT");
    const std::string full = Backup(host, "full");
    cluster->psql("UPDATE kept SET v = 'changed' WHERE id = 777");
    cluster->psql("CHECKPOINT");
    const std::string incr = Backup(host, "incr");
    const std::string expected = cluster->psql(kFingerprint);
    const BackupRecord record = Repository(host.Repository()).Get("main", incr);
    EXPECT_TRUE(std::any_of(record.manifest->entries.begin(), record.manifest->entries.end(),
                            [&](const ManifestEntry& e) {
                                return e.delta && e.blockRuns.size() > 1 &&
                                       e.blockRuns.front().backup == full &&
                                       e.partSizes.size() == 2;
                            }));
    EXPECT_EQ(host.Run({"verify", "main", incr, "-q"}).exitCode, 0);
    EXPECT_EQ(RestoredValue(host, *cluster, {"--backup", incr}, kFingerprint), expected);
}

TEST(CliIncrementalSummaries, IncrReadsOnlyNamedBlocksAndChecksThem) {
    PGULO_REQUIRE_MAJOR(17);
    PgCluster::Options options;
    options.name = "walinc";
    options.extraConf = {"summarize_wal = on", "autovacuum = off"};
    PgCluster cluster(17, options);
    cluster.start();
    PguloHost host;
    host.AddInstance("main", cluster, "postgres", "");
    RunEach(cluster, "CREATE TABLE kept WITH (fillfactor = 50) AS SELECT g AS id, md5(g::text) "
                     "AS v FROM generate_series(1, 600000) g;"
                     "CREATE TABLE shrunk AS SELECT g AS id FROM generate_series(1, 100000) g;"
                     "CREATE TABLE dropped AS SELECT g AS id FROM generate_series(1, 1000) g;"
                     "CREATE TABLE rewritten AS SELECT g AS id FROM generate_series(1, 2000) g;"
                     "VACUUM FREEZE; CHECKPOINT");
    Backup(host, "full");
    RunEach(cluster, "UPDATE kept SET v = 'changed' WHERE id IN (7, 150000);"
                     "DELETE FROM shrunk WHERE id > 500; VACUUM shrunk;"
                     "CREATE TABLE created AS SELECT g AS id FROM generate_series(1, 3000) g;"
                     "VACUUM FULL rewritten; DROP TABLE dropped; CHECKPOINT");
    std::string out;
    const std::string incr = Backup(host, "incr", false, &out);
    EXPECT_NE(out.find("using the WAL summaries"), std::string::npos) << out;
    // Of the cluster's files, little was read (the WAL is read whole, as ever).
    const BackupRecord record = Repository(host.Repository()).Get("main", incr);
    std::uint64_t wal = 0, data = 0;
    for (const ManifestEntry& e : record.manifest->entries)
        (e.role == ManifestEntry::Role::Wal ? wal : data) += e.size;
    const std::uint64_t read = host.List("main").back()["read_size"].get<std::uint64_t>();
    EXPECT_LT((read - wal) * 20, data) << read << " read, " << wal << " of them WAL";
    const std::string fingerprint = cluster.psql(kFingerprint);
    EXPECT_EQ(RestoredValue(host, cluster, {"--backup", incr}, kFingerprint), fingerprint);
    EXPECT_EQ(host.Run({"verify", "main", incr, "-q"}).exitCode, 0);

    // Over 64 MiB, the table read only where it changed is stored in parts.
    EXPECT_TRUE(std::any_of(
        record.manifest->entries.begin(), record.manifest->entries.end(),
        [](const ManifestEntry& e) { return e.blockChecked && e.partSizes.size() > 1; }));
    // A file (in one stream) read only where it changed: its stored blocks overwritten.
    const ManifestEntry* partial = nullptr;
    for (const ManifestEntry& e : record.manifest->entries) {
        if (e.blockChecked && e.storedIn.empty() && e.storedSize > 0 && e.partSizes.empty())
            partial = &e;
    }
    ASSERT_NE(partial, nullptr);
    const std::string stored =
        Repository(host.Repository()).BackupDirectory("main", incr) + "/" + partial->stored;
    std::filesystem::resize_file(stored, 0);
    std::filesystem::resize_file(stored, partial->storedSize);
    const ProcessResult verify = host.Run({"verify", "main", incr, "-q"});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.out.find(partial->path), std::string::npos) << verify.out;
    const std::string restored = RestoredValue(host, cluster, {"--backup", incr}, "SELECT 1");
    EXPECT_EQ(restored.rfind("restore failed", 0), 0u) << restored;
}

INSTANTIATE_TEST_SUITE_P(Majors, CliIncremental, ::testing::Values(14, 17), MajorName);

} // namespace
