// A scratch copy of an instance as it was at a noted time: pgulo run as a user runs it (the
// "scratch" command drives the scratch server), on Debian's 15 and on 14. The copy must serve
// the rows of that time, dump a database, and leave neither files nor a server behind, however
// it ends.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PguloHost.h"
#include "TempTree.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

constexpr auto npos = std::string::npos;
// Every row of t, in order: what a restore of t as of a time must give back exactly.
const char* const kRowsOfT =
    "SELECT count(*) || ':' || md5(string_agg(i || '=' || v, ',' ORDER BY i)) "
    "FROM t";

// A cluster with t of 100 rows and u of 10 in a full backup, the time noted after it, then
// half of t deleted, some of the rest changed, u grown, and a log backup holding it all.
struct World {
    explicit World(int major) {
        PgCluster::Options options;
        options.name = "scratch";
        cluster = std::make_unique<PgCluster>(major, options);
        cluster->start();
        host.AddInstance("main", *cluster, "postgres", "");
        cluster->psql("CREATE TABLE t AS SELECT i, 'v' || i AS v FROM generate_series(1, 100) i;"
                      "CREATE TABLE u AS SELECT generate_series(1, 10) AS i");
        MustSucceed(host.Run({"backup", "main", "--type", "full", "-q"}));
        targetRows = cluster->psql(kRowsOfT);
        target = cluster->psql("SELECT clock_timestamp()");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cluster->psql("DELETE FROM t WHERE i > 50; UPDATE t SET v = 'changed' WHERE i <= 10;"
                      "INSERT INTO u SELECT generate_series(11, 20)");
        cluster->switchWal();
        MustSucceed(host.Run({"backup", "main", "--type", "log", "-q"}));
        // The instance's own pg_dump when it has one; Debian's dumps older servers too.
        pgDump = cluster->binDir() + "/pg_dump";
        if (!fs::exists(pgDump))
            pgDump = PgInstall::clientTool("pg_dump");
    }

    std::string ScratchParent() const { return host.Home() + "/scratch"; }

    std::unique_ptr<PgCluster> cluster;
    PguloHost host;
    std::string target;
    std::string targetRows; // kRowsOfT at the target
    std::string pgDump;
};

// "key=value" words of the line the scratch command prints once the copy is up.
std::map<std::string, std::string> Words(const std::string& output) {
    std::map<std::string, std::string> words;
    const std::size_t start = output.find("port=");
    if (start == npos)
        return words;
    std::istringstream line(output.substr(start, output.find('\n', start) - start));
    std::string word;
    while (line >> word) {
        const std::size_t eq = word.find('=');
        if (eq != npos)
            words[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return words;
}

std::string Psql(const std::string& socketDir, const std::string& port, const std::string& sql) {
    ProcessOptions options;
    options.env = {{"LC_ALL", "C"}};
    const ProcessResult r =
        runCommand({PgInstall::clientTool("psql"), "-X", "-A", "-t", "-h", socketDir, "-p", port,
                    "-U", "postgres", "-d", "postgres", "-c", sql},
                   options);
    return r.ok() ? r.out.substr(0, r.out.find_last_not_of(" \n") + 1) : "error: " + r.err;
}

bool PortFree(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return free;
}

// What is left in a scratch parent: nothing, once every copy is gone.
std::vector<std::string> Leftovers(const std::string& parent) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(parent, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

class ScratchServer : public StagePerMajor<World, int> {
protected:
    World& TheWorld() { return StageFor(GetParam()); }
};

// The copy serves t as it was at the target, dumps it, and on Ctrl-C stops, frees its port
// and removes its directory.
TEST_P(ScratchServer, ServesTheTargetTimeAndLeavesNothing) {
    PGULO_REQUIRE_MAJOR(GetParam());
    World& w = TheWorld();
    const TempTree out("pgulo-scratch-dump");
    const std::string dump = out.Path("postgres.dump");
    BackgroundPgulo scratch(w.host, {"scratch", "main", "--target-time", w.target, "--hold",
                                     "--dump-database", "postgres", "--pg-dump", w.pgDump,
                                     "--dump-file", dump});
    ASSERT_TRUE(scratch.WaitForLine([](const std::string& l) {
        return l.find("scratch: dumping") != npos;
    })) << scratch.Output();
    ASSERT_TRUE(scratch.WaitUntil([&] { return fs::exists(dump) && fs::file_size(dump) > 0; }))
        << scratch.Output();
    const auto words = Words(scratch.Output());
    ASSERT_EQ(words.count("port"), 1u) << scratch.Output();
    EXPECT_EQ(Psql(words.at("socket"), words.at("port"), "SELECT count(*) FROM t"), "100");
    EXPECT_EQ(w.cluster->psql("SELECT count(*) FROM t"), "50");
    EXPECT_EQ(words.at("directory").rfind(w.ScratchParent() + "/", 0), 0u);

    // The dump holds t as of the target: restored into a database of its own it has 100 rows.
    w.cluster->psql("DROP DATABASE IF EXISTS fromdump");
    w.cluster->psql("CREATE DATABASE fromdump");
    const ProcessResult restored =
        runCommand({PgInstall::clientTool("pg_restore"), "-h", w.cluster->socketDir(), "-p",
                    std::to_string(w.cluster->port()), "-U", "postgres", "-d", "fromdump", dump});
    EXPECT_TRUE(restored.ok()) << restored.err;
    EXPECT_EQ(w.cluster->psql("SELECT count(*) FROM t", "fromdump"), "100");

    scratch.Signal(SIGINT);
    EXPECT_EQ(scratch.Wait(), 0) << scratch.Output();
    EXPECT_FALSE(fs::exists(words.at("directory"))) << scratch.Output();
    EXPECT_TRUE(PortFree(std::stoi(words.at("port"))));
    EXPECT_EQ(Leftovers(w.ScratchParent()), std::vector<std::string>());
}

struct Refusal {
    const char* name;
    std::vector<std::string> options;
    std::string message;
};

// A copy that cannot be made fails with one clear sentence and leaves no directory behind,
// whether it was refused before any copying or its server failed to start.
TEST_P(ScratchServer, AFailedCopyLeavesNothing) {
    PGULO_REQUIRE_MAJOR(GetParam());
    World& w = TheWorld();
    const std::vector<Refusal> cases = {
        {"a target before the first backup",
         {"--target-time", "2001-02-03 04:05:06+00"},
         "has no complete full backup that finished before"},
        {"a target past the backed-up WAL",
         {"--target-time", "2099-01-01 00:00:00+00"},
         "is in the future"},
        {"a server that does not start",
         {"--target-time", w.target, "--setting", "no_such_setting=1"},
         "the server did not start"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        const TempTree parent("pgulo-scratch-parent");
        std::vector<std::string> args = {"scratch", "main", "--scratch-dir", parent.Path("s")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ExpectRefused(w.host.Run(args), 1, c.message);
        EXPECT_EQ(Leftovers(parent.Path("s")), std::vector<std::string>());
    }
}

// Ctrl-C while the copy is being made stops it and removes what was made so far.
TEST_P(ScratchServer, CtrlCWhileMakingTheCopyLeavesNothing) {
    PGULO_REQUIRE_MAJOR(GetParam());
    World& w = TheWorld();
    const TempTree parent("pgulo-scratch-parent");
    BackgroundPgulo scratch(w.host, {"scratch", "main", "--scratch-dir", parent.Path("s"),
                                     "--target-time", w.target, "--hold", "-j", "1"});
    ASSERT_TRUE(scratch.WaitForLine([](const std::string& l) {
        return l.find("scratch: restoring") != npos;
    })) << scratch.Output();
    scratch.Signal(SIGINT);
    const int code = scratch.Wait();
    // Ctrl-C ends the copy however far it got: before it was up, with an error naming it.
    if (Words(scratch.Output()).empty()) {
        EXPECT_EQ(code, 1) << scratch.Output();
        EXPECT_NE(scratch.Output().find("interrupted"), npos) << scratch.Output();
    } else {
        EXPECT_EQ(code, 0) << scratch.Output();
    }
    EXPECT_EQ(Leftovers(parent.Path("s")), std::vector<std::string>()) << scratch.Output();
}

// One table back as it was at the target, through a scratch copy: t holds exactly its rows of
// then, u (changed after the target, not chosen) keeps its rows of now, nothing is left behind.
TEST_P(ScratchServer, RestoresOneTableAsOfTheTarget) {
    PGULO_REQUIRE_MAJOR(GetParam());
    World& w = TheWorld();
    ASSERT_NE(w.cluster->psql(kRowsOfT), w.targetRows);
    const ProcessResult r = w.host.Run({"restore", "main", "--database", "postgres", "--object",
                                        "table:public.t", "--target-time", w.target});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(w.cluster->psql(kRowsOfT), w.targetRows);
    EXPECT_EQ(w.cluster->psql("SELECT count(*) FROM u"), "20");
    EXPECT_NE(r.out.find("restored 1 object(s)"), npos) << r.out;
    EXPECT_EQ(Leftovers(w.ScratchParent()), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Majors, ScratchServer, ::testing::Values(15, 14), MajorName);

} // namespace
