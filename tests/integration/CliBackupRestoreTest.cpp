// The reference backup host, run as a user runs it: the pgulo program against real servers.

#include "MajorStage.h"
#include "PgCluster.h"
#include "PgInstall.h"
#include "PguloHost.h"
#include "TestFiles.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using Host = PguloHost;
using json = nlohmann::json;

const char* const kBackupUser = "pgulo_backup";
const char* const kBackupPassword = "s3cret pass'word";

// Creates kBackupUser and lets it in only with its password.
void AddPasswordUser(PgCluster& cluster) {
    cluster.psql(std::string("CREATE ROLE ") + kBackupUser + " SUPERUSER LOGIN PASSWORD '" +
                 "s3cret pass''word'");
    const std::string hba = cluster.dataDir() + "/pg_hba.conf";
    TestFiles::Write(hba, "local all " + std::string(kBackupUser) + " scram-sha-256\n" +
                              TestFiles::Read(hba));
    cluster.reload();
}

// A directory of the tree for the server's own use.
std::string ServerDir(const TempTree& tree, const std::string& name) {
    MakeServerDirectory(tree.Path(name));
    return tree.Path(name);
}

// Seconds from the debug log line that contains `from` to the one that contains `to` (lines
// begin "YYYY-MM-DD HH:MM:SS.mmm"; the logs of several jobs come in no order); -1 when either
// is missing.
double SecondsBetweenLogLines(const std::string& logs, const std::string& from,
                              const std::string& to) {
    auto timeOf = [&](std::string::size_type at) {
        const std::string::size_type begin = logs.rfind('\n', at) + 1;
        std::tm tm{};
        int millis = 0;
        char dot = 0;
        std::istringstream in(logs.substr(begin, 23));
        in >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S") >> dot >> millis;
        tm.tm_isdst = -1;
        return static_cast<double>(std::mktime(&tm)) + millis / 1000.0;
    };
    const std::string::size_type first = logs.find(from);
    const std::string::size_type second = logs.find(to);
    if (first == std::string::npos || second == std::string::npos)
        return -1;
    return timeOf(second) - timeOf(first);
}

class CliMajorTest : public ::testing::TestWithParam<int> {};

// The whole road: register, full backup, changes, log backup, restore to a point in time
// between the changes into a new directory, start it, and find the data of that moment.
TEST_P(CliMajorTest, RestoresToTargetTimeBetweenTwoChanges) {
    PGULO_REQUIRE_MAJOR(GetParam());
    auto cluster = StartCluster(GetParam(), "pitr");
    AddPasswordUser(*cluster);
    Host host;
    host.AddInstance("main", *cluster, kBackupUser, kBackupPassword);

    const ProcessResult shown = host.Run({"instance", "show", "main", "--json"});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out.find("s3cret"), std::string::npos) << "a password was shown";
    EXPECT_EQ(json::parse(shown.out)["password"], "set");

    cluster->psql("CREATE TABLE t(i int); INSERT INTO t SELECT generate_series(1, 1000)");
    ProcessResult full = host.Run({"backup", "main", "--type", "full"});
    ASSERT_EQ(full.exitCode, 0) << full.out << full.err;
    EXPECT_NE(full.out.find("complete: full"), std::string::npos) << full.out;
    // After the copy the job ends backup mode and takes the WAL as soon as it is archived.
    // The server's own whole-second waits for the archive, one per end of backup mode, made
    // this more than two seconds; the rest is a few statements and writing the WAL.
    const double afterCopy = SecondsBetweenLogLines(host.DebugLogs(), "The data files are copied",
                                                    "BackupCommand backup ");
    EXPECT_GE(afterCopy, 0);
    EXPECT_LT(afterCopy, 2.0);

    cluster->psql("INSERT INTO t SELECT generate_series(1, 100)");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string target = cluster->psql("SELECT clock_timestamp()::text");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    cluster->psql("INSERT INTO t SELECT generate_series(1, 100)");

    ProcessResult log = host.Run({"backup", "main", "--type", "log"});
    ASSERT_EQ(log.exitCode, 0) << log.out << log.err;

    const json list = host.List("main");
    ASSERT_EQ(list.size(), 2u) << list.dump(2);
    EXPECT_EQ(list[0]["type"], "full");
    EXPECT_EQ(list[1]["type"], "log");
    for (const auto& b : list) {
        EXPECT_EQ(b["state"], "complete");
        EXPECT_FALSE(b["end_wal"].get<std::string>().empty());
    }
    EXPECT_NE(std::find(list[0]["databases"].begin(), list[0]["databases"].end(), "postgres"),
              list[0]["databases"].end());
    EXPECT_EQ(list[1]["previous"], list[0]["id"]);

    TempTree restoreRoot("pgulo-cli");
    const std::string restored = ServerDir(restoreRoot, "restored");
    const int port = cluster->port() + 1;
    const ProcessResult restore =
        host.Run({"restore", "main", "--target-time", target, "--pgdata", restored, "--start",
                  "--port", std::to_string(port), "--wal-dir", restoreRoot.Root() + "/wal"});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    EXPECT_NE(restore.out.find("recovery done"), std::string::npos) << restore.out;
    EXPECT_EQ(CountRows(*cluster, port, "t"), "1100");
    EXPECT_TRUE(fs::exists(restored + "/postgresql.conf.with_recovery_command_kx"));
    // The sample file mentions the setting in comments only; an active line begins with it.
    EXPECT_EQ(TestFiles::Read(restored + "/postgresql.conf").find("\nrestore_command"),
              std::string::npos)
        << "the recovery settings were not taken out after the start";
    StopServer(*cluster, restored);
    // The original keeps going, untouched.
    EXPECT_EQ(cluster->psql("SELECT count(*) FROM t"), "1200");
}

INSTANTIATE_TEST_SUITE_P(Majors, CliMajorTest, ::testing::Values(14, 17), MajorName);

// A restore into another data directory with the tablespace moved as well: the link in
// pg_tblspc names the new place, and the table in the tablespace is there.
TEST(CliRestore, RemapsDataDirectoryAndTablespace) {
    PGULO_REQUIRE_MAJOR(17);
    auto cluster = StartCluster(17, "remap");
    TempTree dirs("pgulo-cli");
    const std::string tablespace = ServerDir(dirs, "ts_old");
    cluster->psql("CREATE TABLESPACE ts LOCATION '" + tablespace + "'");
    cluster->psql("CREATE TABLE in_ts TABLESPACE ts AS SELECT generate_series(1, 500) AS i");
    Host host;
    host.AddInstance("main", *cluster, "postgres", "");
    const ProcessResult full = host.Run({"backup", "main", "-q"});
    ASSERT_EQ(full.exitCode, 0) << full.err;
    const std::string id = host.List("main")[0]["id"];

    const std::string restored = ServerDir(dirs, "restored");
    const std::string newTablespace = ServerDir(dirs, "ts_new");
    const int port = cluster->port() + 2;
    const ProcessResult restore = host.Run({"restore", "main", "--backup", id, "--pgdata", restored,
                                            "--tablespace-map", tablespace + "=" + newTablespace,
                                            "--start", "--port", std::to_string(port), "-q"});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    EXPECT_EQ(CountRows(*cluster, port, "in_ts"), "500");
    const std::string oid = cluster->psql("SELECT oid FROM pg_tablespace WHERE spcname = 'ts'");
    EXPECT_EQ(fs::read_symlink(restored + "/pg_tblspc/" + oid).string(), newTablespace);
    EXPECT_TRUE(fs::is_empty(restored + "/pg_replslot"));
    StopServer(*cluster, restored);

    // A second restore into the same place is refused unless forced.
    const ProcessResult refused = host.Run({"restore", "main", "--backup", id, "--pgdata", restored,
                                            "--tablespace-map", tablespace + "=" + newTablespace});
    ExpectRefused(refused, 1, "not empty");

    // Without a new place the tablespace would land on the running original's: refused.
    ExpectRefused(host.Run({"restore", "main", "--backup", id, "--pgdata", dirs.Root() + "/other",
                            "--force"}),
                  1, "belongs to the running cluster");
    EXPECT_EQ(cluster->psql("SELECT count(*) FROM in_ts"), "500");
}

// Mistakes of the user and of the setup end with one clear sentence, exit code 1, the
// agent's own explanation where it has one, and no backup that claims to be good.
TEST(CliBadInput, FailsClearlyAndWritesNothingGood) {
    PGULO_REQUIRE_MAJOR(17);
    auto cluster = StartCluster(17, "bad");
    AddPasswordUser(*cluster);
    Host host;

    ExpectRefused(host.Run({"backup", "nosuch"}), 1, "no instance named 'nosuch'");

    host.AddInstance("wrongpw", *cluster, kBackupUser, "not the password");
    const ProcessResult wrong = host.Run({"backup", "wrongpw"});
    ExpectRefused(wrong, 1, "password authentication failed");
    EXPECT_EQ(wrong.err.find("not the password"), std::string::npos) << "password in a message";
    for (const auto& b : host.List("wrongpw"))
        EXPECT_FALSE(b["restorable"].get<bool>()) << b.dump();

    host.AddInstance("main", *cluster, kBackupUser, kBackupPassword);
    cluster->stop();
    ExpectRefused(host.Run({"backup", "main"}), 1, "cannot connect to the server: ");
    EXPECT_TRUE(host.List("main").empty());
    cluster->start();

    auto noArchive = StartCluster(17, "noarchive", false);
    host.AddInstance("noarchive", *noArchive, "postgres", "");
    ExpectRefused(host.Run({"backup", "noarchive"}), 1, "WAL Archiving is NOT ENABLED");
    for (const auto& b : host.List("noarchive"))
        EXPECT_EQ(b["state"], "failed") << b.dump();

    ExpectRefused(host.Run({"backup", "main", "--type", "log"}), 1, "FULL backup");

    EXPECT_EQ(host.Run({"backup"}).exitCode, 2);
    EXPECT_EQ(host.Run({"backup", "main", "--type", "weekly"}).exitCode, 2);
    EXPECT_EQ(host.Run({"backup", "main", "--max-rate", "fast"}).exitCode, 2);
    ExpectRefused(host.Run({"restore", "main", "--target-time", "yesterday"}), 2, "--target-time");
    for (const std::vector<std::string>& help :
         {std::vector<std::string>{"--help"}, {"instance", "add", "--help"}}) {
        const ProcessResult r = host.Run(help);
        EXPECT_EQ(r.exitCode, 0) << help.front();
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << r.out;
    }
}

} // namespace
