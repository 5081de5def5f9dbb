// The agent's own configuration files, token files, bookkeeping names, environment, host names
// and the shell commands it runs.
#include "pgulo/PGCommon.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include "PGFailure.h"
#include "TempHostHome.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;
using Options = std::map<std::string, std::string>;

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir_); }
    // Opens a file holding text for reading.
    UniqueFile Open(const std::string& text) const {
        TestFiles::Write(dir_ + "/file", text);
        return UniqueFile::Open(dir_ + "/file", "r");
    }

    TempHostHome home_;
    const std::string dir_ = home_.file("cfg");
};

TEST_F(ConfigTest, LinesBecomeTokenValuePairs) {
    const std::string longValue(4992, 'v');
    const std::string longToken(4500, 't');
    const struct {
        std::string text;
        Options expected;
    } cases[] = {
        {"async : on\n", {{"async ", " on"}}},
        {"host:db1:5433\n", {{"host", "db1:5433"}}},
        {"reset_backup_mode\ndbname:\n:postgres\n\n\n", {}},
        {"dbname:first\nasync:on\ndbname:second\n", {{"dbname", "first"}, {"async", "on"}}},
        {"async:on\r\nlog_suffix:.gz\r\n", {{"async", "on"}, {"log_suffix", ".gz"}}},
        {"options:" + longValue + "\nasync:on\n", {{"options", longValue}, {"async", "on"}}},
        // The colon lies past 4096 bytes: still one entry, and nothing from the line's tail.
        {longToken + ":on\nasync:on\n", {{longToken, "on"}, {"async", "on"}}},
    };
    for (const auto& c : cases) {
        UniqueFile file = Open(c.text);
        Options options;
        PGCommon::ReadConfigFromFile(file.get(), &options);
        EXPECT_EQ(options, c.expected) << c.text.substr(0, 40);
    }
}

TEST_F(ConfigTest, ReadUserConfigurationReadsTheInstancesFileIfThereIsOneAndCanOpenIt) {
    TestFiles::Write(dir_ + "/postgres_5433", "start_backup_immediate:on\ndbname:sales\n");
    TestFiles::Write(dir_ + "/postgres_5432", "async:on\n");
    Options options;
    PGCommon::ReadUserConfiguration(dir_, "5433", &options);
    EXPECT_EQ(options, (Options{{"start_backup_immediate", "on"}, {"dbname", "sales"}}));
    PGCommon::ReadUserConfiguration(dir_, "6543", &options);
    PGCommon::ReadUserConfiguration(dir_ + "/missing", "6543", &options);
    EXPECT_EQ(options.size(), 2u);

    // A socket passes the readability check but cannot be opened as a file, even by root.
    options.clear();
    const std::string path = dir_ + "/postgres_5432";
    fs::remove(path);
    const UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_TRUE(sock);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(PGFailure([&] { PGCommon::ReadUserConfiguration(dir_, "5432", &options); }),
              PGFailureText("PGCommon :: ReadUserConfiguration", "SYSTEM_EXCEPTION",
                            "fopen failed"));
    EXPECT_TRUE(options.empty());
}

TEST_F(ConfigTest, TokenLinesGiveTheRestOfTheFirstMatchingLine) {
    const std::string label = "START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\n"
                              "BACKUP METHOD: pg_start_backup\n"
                              "LABEL: pgulo_backup_5432_77_1700000000\n";
    const struct {
        std::string text, token;
        int found;
        std::string value;
    } cases[] = {
        {label, "LABEL:", 1, "pgulo_backup_5432_77_1700000000"},
        {label, "STOP", 0, "untouched"},
        {"PG_WAL_LOG:/a\r\nPG_WAL_LOG:/b\r\n", "PG_WAL_LOG", 1, "/a"},
        // A line no longer than the token is no match, even when equal to it.
        {"PG_WAL_LOG\nPG_WAL_LOG=/c\n", "PG_WAL_LOG", 1, "/c"},
        {"PG_WAL_LOG\n", "PG_WAL_LOG", 0, "untouched"},
        {std::string(5000, 'x') + "\nPG_WAL_LOG:/d\n", "PG_WAL_LOG", 1, "/d"},
        {"PG_WAL_LOG:" + std::string(5000, 'p') + "\n", "PG_WAL_LOG", 1, std::string(5000, 'p')},
    };
    for (const auto& c : cases) {
        UniqueFile file = Open(c.text);
        // Each call starts again at the top of the file.
        for (int call = 0; call < 2; ++call) {
            std::string value = "untouched";
            EXPECT_EQ(PGCommon::ReadTokenFromFile(file.get(), c.token, &value), c.found);
            EXPECT_EQ(value, c.value) << c.token;
        }
    }
}

TEST_F(ConfigTest, SetEnvSetsAppendsOrSkipsAndGetAndSetCheckTheirNames) {
    const char* name = "PGULO_TEST_PATHLIST";
    const struct {
        const char* before; // nullptr: unset
        const char* after;
    } cases[] = {
        {nullptr, "/opt/pg/lib"}, {"/usr/lib", "/usr/lib:/opt/pg/lib"},
        {"/opt/pg/lib:/usr/lib", "/opt/pg/lib:/usr/lib"},
        // Only "value:" counts as already present, so a value at the very end is added again.
        {"/usr/lib:/opt/pg/lib", "/usr/lib:/opt/pg/lib:/opt/pg/lib"},
    };
    for (const auto& c : cases) {
        if (c.before == nullptr)
            ::unsetenv(name);
        else
            ::setenv(name, c.before, 1);
        PGCommon::SetEnv(name, "/opt/pg/lib");
        EXPECT_STREQ(std::getenv(name), c.after);
    }
    ::unsetenv(name);

    // Get leaves the value when unset; Set refuses bad names.
    ::unsetenv("PGULO_TEST_UNSET");
    std::string value = "before";
    PGCommon::GETENVIRONMENTVARIABLE("PGULO_TEST_UNSET", value);
    EXPECT_EQ(value, "before");
    EXPECT_TRUE(PGCommon::SETENVIRONMENTVARIABLE("PGULO_TEST_SET", "a b=c"));
    PGCommon::GETENVIRONMENTVARIABLE("PGULO_TEST_SET", value);
    EXPECT_EQ(value, "a b=c");
    ::unsetenv("PGULO_TEST_SET");
    EXPECT_FALSE(PGCommon::SETENVIRONMENTVARIABLE("BAD=NAME", "x"));
    EXPECT_FALSE(PGCommon::SETENVIRONMENTVARIABLE("", "x"));

    // Password values never reach the log.
    ::setenv("PGULO_JOB_ID", "4242", 1);
    PGCommon::SetEnv("PGPASSWORD", "s3cr3t-Value");
    EXPECT_STREQ(std::getenv("PGPASSWORD"), "s3cr3t-Value");
    ::unsetenv("PGPASSWORD");
    ::unsetenv("PGULO_JOB_ID");
    EXPECT_EQ(TestFiles::Read(EvDebug::logFilePath()).find("s3cr3t-Value"), std::string::npos);
}

TEST(HostAndPort, SplitAtTheFirstColonAndResolveToAddresses) {
    const struct {
        const char *text, *host, *port;
    } cases[] = {{"db1:5433", "db1", "5433"}, {"5432", "h0", "p0"}, {"db1:", "db1", "p0"},
                 {":5433", "", "5433"},       {"a:b:c", "a", "b:c"}};
    for (const auto& c : cases) {
        std::string host = "h0";
        std::string port = "p0";
        PGCommon::ParseHostAndPort(c.text, host, port);
        EXPECT_EQ(host + " " + port, std::string(c.host) + " " + c.port) << c.text;
    }
    // Numeric addresses come back in normal form and names resolve.
    for (const auto& [host, address] : std::map<std::string, std::string>{
             {"2001:DB8:0:0::1", "2001:db8::1"}, {"no-such-host.invalid", "no-such-host.invalid"}})
        EXPECT_EQ(PGCommon::ConvertHostToIP(host), address);
    const std::string local = PGCommon::ConvertHostToIP("localhost");
    EXPECT_TRUE(local == "127.0.0.1" || local == "::1") << local;
}

TEST_F(ConfigTest, CopyFileCopiesHostileNamesAndRunsNothingElse) {
    // An injected command would leave its files in the working directory.
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    fs::create_directories(dir_ + "/src dir");
    fs::create_directories(dir_ + "/it's;here");
    const std::string source = dir_ + "/src dir/seg 'one'; touch pwned $(touch pwned2)`touch p3`";
    const std::string target = dir_ + "/it's;here/copy; touch pwned4\nx";
    TestFiles::Write(source, "segment contents\n");
    TestFiles::Write(dir_ + "/old", "old");
    EXPECT_EQ(PGCommon::CopyFile(source, target), 0);
    EXPECT_EQ(PGCommon::CopyFile(source, dir_ + "/old"), 0);
    fs::current_path(previous);
    EXPECT_EQ(TestFiles::Read(target), "segment contents\n");
    EXPECT_EQ(TestFiles::Read(dir_ + "/old"), "segment contents\n");
    for (const char* planted : {"pwned", "pwned2", "p3", "pwned4"})
        EXPECT_FALSE(fs::exists(dir_ + "/" + planted)) << planted;
    EXPECT_EQ(PGCommon::CopyFile(dir_ + "/missing", dir_ + "/target"), -1);
    EXPECT_FALSE(fs::exists(dir_ + "/target"));
}

TEST_F(ConfigTest, ShellCommandErrorOutputIsKeptInTheJobResultsUnderItsBookkeepingName) {
    ::setenv("PGULO_JOB_ID", "31", 1);
    std::string error = "untouched";
    EXPECT_EQ(PGCommon::RunUnixCommandErrorOutputInFile("true", "ignored", "psql", error), 0);
    EXPECT_EQ(error, "untouched");
    const int status = PGCommon::RunUnixCommandErrorOutputInFile(
        "ls " + PGCommon::ShellQuote(dir_ + "/no such file"), "ignored", "my tag", error);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    EXPECT_EQ(TestFiles::Read(home_.file("jobresults/KX_JobResults/2/0/31/my tag_31_") +
                              std::to_string(::getpid())),
              error);
    ::unsetenv("PGULO_JOB_ID");

    // The other bookkeeping names are joined from their parts too.
    std::string name;
    PGCommon::GenerateConfigFile("/jr", 18446744073709551615ULL, "X", name);
    EXPECT_EQ(name, "/jr/X_18446744073709551615.txt");
    PGCommon::GenerateLogBackupFile("/jr", 1234, name);
    EXPECT_EQ(name, "/jr/PGLogNumberStore.txt");
    EXPECT_EQ(PGCommon::GetPGJobResultsDir(2, 77),
              home_.path() + "/jobresults/KX_JobResults/2/0/77");
}

} // namespace
