#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "PgCluster.h"
#include "PgInstall.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace pgulo::test {
namespace {

namespace fs = std::filesystem;

pid_t postmasterPid(const PgCluster& cluster) {
    return static_cast<pid_t>(
        std::stol(TestFiles::ReadLines(cluster.dataDir() + "/postmaster.pid").at(0)));
}

class PgClusterTest : public ::testing::TestWithParam<int> {};

TEST_P(PgClusterTest, StartsAnswersArchivesAndGoesAwayWithTheFixture) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);
    std::string baseDir;
    pid_t pid = 0;
    {
        PgCluster::Options options;
        options.name = "archiving";
        PgCluster cluster(major, options);
        cluster.start();
        ASSERT_TRUE(cluster.isRunning());
        baseDir = cluster.baseDir();
        EXPECT_NE(
            cluster.psql("SELECT version()").find("PostgreSQL " + std::to_string(major) + "."),
            std::string::npos);
        EXPECT_EQ(
            cluster.psql("SELECT current_setting('wal_level') || current_setting('archive_mode')"
                         " || current_setting('fsync') || current_setting('port') || "
                         "current_setting('unix_socket_directories')"),
            "replicaonon" + std::to_string(cluster.port()) + cluster.socketDir());

        cluster.psql("CREATE TABLE t AS SELECT g AS id FROM generate_series(1, 1000) g");
        const std::string archived = cluster.archiveDir() + "/" + cluster.switchWal();
        // The archive command copies in place: the segment is whole once it has all its bytes.
        std::error_code ec;
        EXPECT_TRUE(WaitFor([&] { return fs::file_size(archived, ec) == 16U * 1024 * 1024; },
                            std::chrono::seconds(30)))
            << archived << " never reached 16 MB";

        cluster.restart();
        EXPECT_EQ(cluster.psql("SELECT count(*) FROM t"), "1000");
        cluster.stop();
        EXPECT_FALSE(cluster.isRunning());
        cluster.start();
        pid = postmasterPid(cluster);
        ASSERT_TRUE(isProcessAlive(pid));
    }
    EXPECT_TRUE(WaitFor([&] { return !isProcessAlive(pid); }, std::chrono::seconds(10)))
        << "postmaster " << pid << " survived the fixture";
    EXPECT_FALSE(fs::exists(baseDir));
}

INSTANTIATE_TEST_SUITE_P(AllMajors, PgClusterTest, ::testing::ValuesIn(PgInstall::knownMajors()),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

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

} // namespace
} // namespace pgulo::test
