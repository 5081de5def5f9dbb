#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "PgCluster.h"
#include "PgInstall.h"
#include "TestProcess.h"

namespace pgulo::test {
namespace {

namespace fs = std::filesystem;

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return condition();
}

pid_t postmasterPid(const PgCluster& cluster) {
    std::ifstream in(cluster.dataDir() + "/postmaster.pid");
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

PgCluster::Options named(const std::string& name) {
    PgCluster::Options options;
    options.name = name;
    return options;
}

class PgClusterTest : public ::testing::TestWithParam<int> {};

TEST_P(PgClusterTest, StartsAnswersAndArchives) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);

    PgCluster cluster(major, named("archiving-" + std::to_string(major)));
    cluster.start();
    ASSERT_TRUE(cluster.isRunning());

    EXPECT_NE(cluster.psql("SELECT version()").find("PostgreSQL " + std::to_string(major) + "."),
              std::string::npos);
    EXPECT_EQ(std::stoi(cluster.psql("SHOW server_version_num")) / 10000, major);
    EXPECT_EQ(cluster.psql("SHOW wal_level"), "replica");
    EXPECT_EQ(cluster.psql("SHOW archive_mode"), "on");
    EXPECT_EQ(cluster.psql("SHOW fsync"), "on");
    EXPECT_EQ(cluster.psql("SHOW port"), std::to_string(cluster.port()));
    EXPECT_EQ(cluster.psql("SHOW unix_socket_directories"), cluster.socketDir());

    cluster.psql("CREATE TABLE t AS SELECT g AS id FROM generate_series(1, 1000) g");
    EXPECT_EQ(cluster.psql("SELECT count(*) FROM t"), "1000");

    const std::string segment = cluster.switchWal();
    ASSERT_EQ(segment.size(), 24U) << segment;
    cluster.psql("CHECKPOINT");
    const std::string archived = cluster.archiveDir() + "/" + segment;
    EXPECT_TRUE(waitFor([&] { return fs::exists(archived); }, std::chrono::seconds(30)))
        << "segment " << segment << " never reached " << cluster.archiveDir();
    EXPECT_EQ(fs::file_size(archived), 16U * 1024 * 1024);

    cluster.restart();
    EXPECT_EQ(cluster.psql("SELECT count(*) FROM t"), "1000");
    cluster.stop();
    EXPECT_FALSE(cluster.isRunning());
}

TEST_P(PgClusterTest, DestructorStopsServerAndRemovesTree) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);

    std::string baseDir;
    pid_t pid = 0;
    {
        PgCluster cluster(major);
        cluster.start();
        baseDir = cluster.baseDir();
        pid = postmasterPid(cluster);
        ASSERT_TRUE(isProcessAlive(pid));
        // An open session must not keep the fast shutdown from finishing.
        cluster.psql("SELECT 1");
    }
    EXPECT_TRUE(waitFor([&] { return !isProcessAlive(pid); }, std::chrono::seconds(10)))
        << "postmaster " << pid << " survived the fixture";
    EXPECT_FALSE(fs::exists(baseDir));
}

TEST_P(PgClusterTest, HonoursWalSegmentSizeAndExtraConf) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);
    if (major < 11) {
        GTEST_SKIP() << "PostgreSQL " << major << " has a build-time WAL segment size";
    }

    PgCluster::Options options;
    options.name = "segsize";
    options.walSegSizeMb = 1;
    options.archiving = false;
    options.extraConf = {"work_mem = '7MB'"};
    PgCluster cluster(major, options);
    cluster.start();

    EXPECT_EQ(cluster.psql("SHOW wal_segment_size"), "1MB");
    EXPECT_EQ(cluster.psql("SHOW archive_mode"), "off");
    EXPECT_EQ(cluster.psql("SHOW work_mem"), "7MB");
}

std::string majorName(const ::testing::TestParamInfo<int>& info) {
    return "PG" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(AllMajors, PgClusterTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         majorName);

TEST(PgClusterFixture, WalSegmentSizeRejectedBeforeEleven) {
    PGULO_REQUIRE_MAJOR(10);
    PgCluster::Options options;
    options.walSegSizeMb = 1;
    EXPECT_THROW(PgCluster(10, options), std::invalid_argument);
}

TEST(PgClusterFixture, PsqlErrorCarriesServerMessage) {
    PGULO_REQUIRE_MAJOR(PgInstall::kDebianMajor);
    PgCluster cluster(PgInstall::kDebianMajor);
    cluster.start();
    try {
        cluster.psql("SELECT * FROM no_such_table");
        FAIL() << "psql did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("no_such_table"), std::string::npos) << e.what();
    }
    EXPECT_EQ(cluster.psql("SELECT 'it''s'"), "it's");
    EXPECT_EQ(cluster.psql("SELECT current_database()", "template1"), "template1");
    EXPECT_FALSE(cluster.tryPsql("SELECT 1/0").ok());
}

TEST(PgClusterFixture, ClustersOfDifferentMajorsRunSideBySide) {
    const auto majors = PgInstall::testMajors();
    if (majors.size() < 2) {
        GTEST_SKIP() << "needs two installed majors";
    }
    PgCluster older(majors.front(), named("older"));
    PgCluster newer(majors.back(), named("newer"));
    older.start();
    newer.start();
    EXPECT_NE(older.port(), newer.port());
    EXPECT_EQ(std::stoi(older.psql("SHOW server_version_num")) / 10000, majors.front());
    EXPECT_EQ(std::stoi(newer.psql("SHOW server_version_num")) / 10000, majors.back());
}

TEST(PgInstallTest, LocatesDebianMajorAndClientTools) {
    EXPECT_EQ(PgInstall::binDir(15), "/usr/lib/postgresql/15/bin");
    EXPECT_EQ(PgInstall::clientTool("psql"), "/usr/lib/postgresql/15/bin/psql");
    EXPECT_EQ(PgInstall::binDir(16), PgInstall::cacheDir() + "/16/pkg/native/bin");
    EXPECT_EQ(PgInstall::libDir(16), PgInstall::cacheDir() + "/16/pkg/native/lib");
    EXPECT_FALSE(PgInstall::available(9));
    for (int major : PgInstall::testMajors()) {
        EXPECT_TRUE(fs::exists(PgInstall::libDir(major) + "/libpq.so.5")) << major;
    }
}

TEST(TestProcessTest, CapturesBothStreamsWithoutDeadlock) {
    // Far more than a pipe buffer on both streams at once.
    ProcessResult r =
        runCommand({"sh", "-c",
                    "head -c 1000000 /dev/zero | tr '\\0' a; head -c 700000 /dev/zero >&2; "
                    "exit 3"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out.size(), 1000000U);
    EXPECT_EQ(r.err.size(), 700000U);
}

TEST(TestProcessTest, PassesInputEnvironmentAndUser) {
    ProcessOptions options;
    options.input = "hello\n";
    options.env = {{"PGULO_PROBE", "x y"}};
    EXPECT_EQ(runCommand({"sh", "-c", "cat; printf %s \"$PGULO_PROBE\""}, options).out,
              "hello\nx y");
    if (::geteuid() == 0) {
        ProcessOptions asPostgres;
        asPostgres.asUser = "postgres";
        asPostgres.cwd = "/";
        EXPECT_EQ(trim(runCommand({"id", "-un"}, asPostgres).out), "postgres");
    }
}

TEST(TestProcessTest, ReportsTimeoutAndMissingProgram) {
    ProcessOptions options;
    options.timeout = std::chrono::milliseconds(300);
    ProcessResult r = runCommand({"sleep", "30"}, options);
    EXPECT_TRUE(r.timedOut);
    EXPECT_FALSE(r.ok());
    EXPECT_THROW(runCommand({"/nonexistent/program"}), std::runtime_error);
}

TEST(TestProcessTest, ShellQuoteRoundTrips) {
    EXPECT_EQ(shellQuote("plain/path-1.0"), "plain/path-1.0");
    EXPECT_EQ(shellQuote(""), "''");
    EXPECT_EQ(shellQuote("it's here"), "'it'\\''s here'");
    const std::string nasty = "a'b\"c $HOME `x` \\ ;";
    EXPECT_EQ(runCommand({"sh", "-c", "printf %s " + shellQuote(nasty)}).out, nasty);
}

} // namespace
} // namespace pgulo::test
