// What the server says in passing (NOTICE and WARNING messages) belongs in the job's debug
// log: a user running a backup sees only the program's own lines.

#include "pgulo/ExecutePostgre.h"
#include "pgulo/host/EvDebug.h"

#include "MajorStage.h"
#include "PgCluster.h"
#include "PgInstall.h"
#include "PguloHost.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

using namespace pgulo::test;

// Both backup modes end with the server confirming that the WAL it needs is archived: up to
// 14 through pg_stop_backup, from 15 on through pg_backup_stop.
const char* const kArchivedNotice = "all required WAL segments have been archived";

class CliServerNoticeTest : public ::testing::TestWithParam<int> {
protected:
    PgCluster& Cluster() const {
        PgCluster::Options options;
        options.name = "notice";
        return SharedCluster(GetParam(), options);
    }
};

TEST_P(CliServerNoticeTest, FullBackupKeepsServerNoticesInTheDebugLog) {
    PGULO_REQUIRE_MAJOR(GetParam());
    PgCluster& cluster = Cluster();
    PguloHost host;
    host.AddInstance("main", cluster, "postgres", "");

    const ProcessResult backup = host.Run({"backup", "main", "--type", "full"});
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;

    EXPECT_EQ(backup.err.find("NOTICE"), std::string::npos) << backup.err;
    EXPECT_EQ(backup.out.find("NOTICE"), std::string::npos) << backup.out;
    EXPECT_EQ(backup.err.find(kArchivedNotice), std::string::npos) << backup.err;
    EXPECT_NE(host.DebugLogs().find(kArchivedNotice), std::string::npos)
        << "the server's notice is not in the debug logs under " << host.Home() << "/log";
}

// The agent's two ways to run a statement, each with a message of each level the server
// sends in passing.
TEST_P(CliServerNoticeTest, StatementMessagesGoToTheDebugLogOnEitherPath) {
    PGULO_REQUIRE_MAJOR(GetParam());
    PgCluster& cluster = Cluster();
    TempHostHome home;
    // psql finds the cluster's socket the way a host's environment would give it.
    ::setenv("PGHOST", cluster.socketDir().c_str(), 1);

    const std::string port = std::to_string(cluster.port());
    ExecutePostgre session;
    ASSERT_EQ(session.init(cluster.libDir(), cluster.binDir(), "postgres", "", "postgres",
                           cluster.socketDir(), port),
              0);
    ExecutePostgre psql(cluster.libDir(), PgInstall::clientBinDir(), "postgres", "", "postgres", "",
                        port);

    const struct {
        const char* path;
        std::function<int(const std::string&)> run;
    } paths[] = {
        {"libpq session", [&](const std::string& q) { return session.postgre_Query(q); }},
        {"psql", [&](const std::string& q) { return psql.postgre_exe(q); }},
    };
    for (const auto& c : paths) {
        for (const std::string level : {"NOTICE", "WARNING"}) {
            SCOPED_TRACE(c.path + (", " + level));
            const std::string marker = "pgulo-" + level + "-via-" + c.path;
            ::testing::internal::CaptureStderr();
            const int rc = c.run("DO $$BEGIN RAISE " + level + " '" + marker + "'; END$$");
            const std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(err.find(marker), std::string::npos) << err;
            const std::string log = TestFiles::Read(EvDebug::logFilePath());
            EXPECT_NE(log.find(level + ":  " + marker), std::string::npos) << log;
        }
    }
    ::unsetenv("PGHOST");
}

INSTANTIATE_TEST_SUITE_P(Majors, CliServerNoticeTest, ::testing::Values(14, 17), MajorName);

} // namespace
