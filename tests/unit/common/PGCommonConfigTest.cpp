#include "pgulo/PGCommon.h"
#include "pgulo/PGException.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/UniqueFd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "TestFiles.h"
#include "TestProcess.h"

namespace {
using pgulo::test::TestFiles;

using Options = std::map<std::string, std::string>;

std::string MakeTempDir(const char* tag) {
    std::string pattern = std::string("/tmp/pgulo_") + tag + "_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

class ConfigTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = MakeTempDir("common_home");
        ::setenv("PGULO_HOME", home_.c_str(), 1);
    }
    static void TearDownTestSuite() { pgulo::test::runCommand({"rm", "-rf", home_}); }
    void SetUp() override { dir_ = MakeTempDir("common_cfg"); }
    void TearDown() override { pgulo::test::runCommand({"rm", "-rf", dir_}); }

    // Reads a configuration text through the FILE* interface.
    Options Parse(const std::string& text) {
        const std::string path = dir_ + "/config";
        TestFiles::Write(path, text);
        UniqueFile file = UniqueFile::Open(path, "r");
        EXPECT_TRUE(file);
        Options options;
        PGCommon::ReadConfigFromFile(file.get(), &options);
        return options;
    }

    static std::string home_;
    std::string dir_;
};

std::string ConfigTest::home_;

struct ConfigCase {
    const char* name;
    std::string text;
    Options expected;
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigLines : public ConfigTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigLines, BecomeTokenValuePairs) {
    EXPECT_EQ(Parse(GetParam().text), GetParam().expected);
}

const std::string kLongValue(4992, 'v');
const std::string kLongToken(4500, 't');

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigLines,
    ::testing::Values(
        ConfigCase{"switch_on", "start_backup_immediate:on\n", {{"start_backup_immediate", "on"}}},
        ConfigCase{"blank_after_colon",
                   "start_backup_immediate: on\n",
                   {{"start_backup_immediate", " on"}}},
        ConfigCase{"blanks_around_colon", "async : on\n", {{"async ", " on"}}},
        ConfigCase{"capitals", "START_BACKUP_IMMEDIATE:on\n", {{"START_BACKUP_IMMEDIATE", "on"}}},
        ConfigCase{"prefix", "log_prefix:arch_\n", {{"log_prefix", "arch_"}}},
        ConfigCase{"second_colon", "host:db1:5433\n", {{"host", "db1:5433"}}},
        ConfigCase{"no_colon", "reset_backup_mode\n", {}},
        ConfigCase{"empty_value", "dbname:\n", {}}, ConfigCase{"empty_token", ":postgres\n", {}},
        ConfigCase{"empty_lines", "\n\n\n", {}}, ConfigCase{"empty_file", "", {}},
        ConfigCase{"duplicate_first_wins",
                   "dbname:first\nasync:on\ndbname:second\n",
                   {{"dbname", "first"}, {"async", "on"}}},
        ConfigCase{"crlf",
                   "async:on\r\nhost:db1\r\nlog_suffix:.gz\r\n",
                   {{"async", "on"}, {"host", "db1"}, {"log_suffix", ".gz"}}},
        ConfigCase{"no_final_newline", "async:on", {{"async", "on"}}},
        ConfigCase{"long_value",
                   "options:" + kLongValue + "\nasync:on\n",
                   {{"options", kLongValue}, {"async", "on"}}},
        // The colon lies past 4096 bytes: still one entry, and nothing from the line's tail.
        ConfigCase{
            "long_token", kLongToken + ":on\nasync:on\n", {{kLongToken, "on"}, {"async", "on"}}}));

TEST_F(ConfigTest, ReadUserConfigurationReadsTheInstancesFile) {
    TestFiles::Write(dir_ + "/postgres_5433", "start_backup_immediate:on\ndbname:sales\n");
    TestFiles::Write(dir_ + "/postgres_5432", "async:on\n");
    Options options;
    PGCommon::ReadUserConfiguration(dir_, "5433", &options);
    EXPECT_EQ(options, (Options{{"start_backup_immediate", "on"}, {"dbname", "sales"}}));
}

TEST_F(ConfigTest, ReadUserConfigurationWithoutAFileChangesNothing) {
    Options options{{"kept", "yes"}};
    EXPECT_NO_THROW(PGCommon::ReadUserConfiguration(dir_, "6543", &options));
    EXPECT_EQ(options, (Options{{"kept", "yes"}}));
    EXPECT_NO_THROW(PGCommon::ReadUserConfiguration(dir_ + "/missing", "6543", &options));
    EXPECT_EQ(options, (Options{{"kept", "yes"}}));
}

TEST_F(ConfigTest, ReadUserConfigurationFailsOnAFileThatCannotBeOpened) {
    // A socket passes the readability check but cannot be opened as a file, even by root.
    const std::string path = dir_ + "/postgres_5432";
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    Options options;
    std::string message;
    try {
        PGCommon::ReadUserConfiguration(dir_, "5432", &options);
    } catch (const PGException& e) {
        message = e.what();
    }
    ::close(sock);
    EXPECT_EQ(message, "Exception in [PGCommon :: ReadUserConfiguration]\tType:[SYSTEM_EXCEPTION]"
                       "\tMsg:[fopen failed]");
    EXPECT_TRUE(options.empty());
}

struct TokenFile {
    std::string text;
    std::string token;
    int found;
    std::string value;
};

void PrintTo(const TokenFile& c, std::ostream* os) {
    *os << c.token;
}

class TokenLines : public ConfigTest, public ::testing::WithParamInterface<TokenFile> {};

TEST_P(TokenLines, GiveTheRestOfTheFirstMatchingLine) {
    const std::string path = dir_ + "/label";
    TestFiles::Write(path, GetParam().text);
    UniqueFile file = UniqueFile::Open(path, "r");
    ASSERT_TRUE(file);
    std::string value = "untouched";
    EXPECT_EQ(PGCommon::ReadTokenFromFile(file.get(), GetParam().token, &value), GetParam().found);
    EXPECT_EQ(value, GetParam().value);
    // Each call starts again at the top of the file.
    value = "untouched";
    EXPECT_EQ(PGCommon::ReadTokenFromFile(file.get(), GetParam().token, &value), GetParam().found);
    EXPECT_EQ(value, GetParam().value);
}

const std::string kBackupLabel = "START WAL LOCATION: 0/2000028 (file 000000010000000000000002)\n"
                                 "CHECKPOINT LOCATION: 0/2000060\n"
                                 "BACKUP METHOD: pg_start_backup\n"
                                 "LABEL: pgulo_backup_5432_77_1700000000\n";

INSTANTIATE_TEST_SUITE_P(
    Files, TokenLines,
    ::testing::Values(
        TokenFile{kBackupLabel, "LABEL:", 1, "pgulo_backup_5432_77_1700000000"},
        TokenFile{kBackupLabel, "BACKUP METHOD", 1, " pg_start_backup"},
        TokenFile{kBackupLabel, "STOP", 0, "untouched"},
        TokenFile{"PG_WAL_LOG:/arch/000000010000000000000005_PGuLOLogCopy.kxf_77\n", "PG_WAL_LOG",
                  1, "/arch/000000010000000000000005_PGuLOLogCopy.kxf_77"},
        TokenFile{"PG_WAL_LOG:/a\r\nPG_WAL_LOG:/b\r\n", "PG_WAL_LOG", 1, "/a"},
        // A line no longer than the token is no match, even when equal to it.
        TokenFile{"PG_WAL_LOG\nPG_WAL_LOG=/c\n", "PG_WAL_LOG", 1, "/c"},
        TokenFile{"PG_WAL_LOG\n", "PG_WAL_LOG", 0, "untouched"},
        TokenFile{"PG_WAL_LOG:\n", "PG_WAL_LOG", 1, ""},
        TokenFile{std::string(5000, 'x') + "\nPG_WAL_LOG:/d\n", "PG_WAL_LOG", 1, "/d"},
        TokenFile{"PG_WAL_LOG:" + std::string(5000, 'p') + "\n", "PG_WAL_LOG", 1,
                  std::string(5000, 'p')},
        TokenFile{"", "LABEL:", 0, "untouched"}));

TEST(BookkeepingNames, AreJoinedFromTheirParts) {
    std::string name;
    PGCommon::GenerateConfigFile("/jr", 1234, "PGCleanupLog", name);
    EXPECT_EQ(name, "/jr/PGCleanupLog_1234.txt");
    PGCommon::GenerateConfigFile("/jr", 18446744073709551615ULL, "X", name);
    EXPECT_EQ(name, "/jr/X_18446744073709551615.txt");
    PGCommon::GenerateLogBackupFile("/jr", 1234, name);
    EXPECT_EQ(name, "/jr/PGLogNumberStore.txt");
    EXPECT_EQ(PGCommon::GetArchDelFileName("/jr"), "/jr/PGArchDelList.kxf");
}

TEST_F(ConfigTest, JobResultsDirectoryLiesUnderTheHostsResults) {
    EXPECT_EQ(PGCommon::GetPGJobResultsDir(2, 77), home_ + "/jobresults/KX_JobResults/2/0/77");
}

TEST(Environment, SetEnvSetsAppendsOrSkips) {
    const char* name = "PGULO_TEST_PATHLIST";
    ::unsetenv(name);
    PGCommon::SetEnv(name, "/opt/pg/lib");
    EXPECT_STREQ(std::getenv(name), "/opt/pg/lib");

    ::setenv(name, "/usr/lib", 1);
    PGCommon::SetEnv(name, "/opt/pg/lib");
    EXPECT_STREQ(std::getenv(name), "/usr/lib:/opt/pg/lib");

    ::setenv(name, "/opt/pg/lib:/usr/lib", 1);
    PGCommon::SetEnv(name, "/opt/pg/lib");
    EXPECT_STREQ(std::getenv(name), "/opt/pg/lib:/usr/lib");

    // Only "value:" counts as already present, so a value at the very end is added again.
    ::setenv(name, "/usr/lib:/opt/pg/lib", 1);
    PGCommon::SetEnv(name, "/opt/pg/lib");
    EXPECT_STREQ(std::getenv(name), "/usr/lib:/opt/pg/lib:/opt/pg/lib");
    ::unsetenv(name);
}

TEST(Environment, GetLeavesTheValueWhenUnsetAndSetRefusesBadNames) {
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
}

TEST_F(ConfigTest, PasswordValuesNeverReachTheLog) {
    ::setenv("PGULO_JOB_ID", "4242", 1);
    PGCommon::SetEnv("PGPASSWORD", "s3cr3t-Value");
    EXPECT_STREQ(std::getenv("PGPASSWORD"), "s3cr3t-Value");
    ::unsetenv("PGPASSWORD");
    ::unsetenv("PGULO_JOB_ID");
    const std::string log = TestFiles::Read(EvDebug::logFilePath());
    EXPECT_EQ(log.find("s3cr3t-Value"), std::string::npos);
}

struct HostPortCase {
    const char* text;
    const char* host;
    const char* port;
};

class HostPortTable : public ::testing::TestWithParam<HostPortCase> {};

TEST_P(HostPortTable, SplitsAtTheFirstColon) {
    std::string host = "h0";
    std::string port = "p0";
    PGCommon::ParseHostAndPort(GetParam().text, host, port);
    EXPECT_EQ(host, GetParam().host);
    EXPECT_EQ(port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HostPortTable,
    ::testing::Values(HostPortCase{"db1:5433", "db1", "5433"}, HostPortCase{"5432", "h0", "p0"},
                      HostPortCase{"", "h0", "p0"}, HostPortCase{"db1:", "db1", "p0"},
                      HostPortCase{":5433", "", "5433"}, HostPortCase{"a:b:c", "a", "b:c"}));

TEST(HostToAddress, NumericAddressesComeBackInNormalForm) {
    EXPECT_EQ(PGCommon::ConvertHostToIP("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(PGCommon::ConvertHostToIP("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(PGCommon::ConvertHostToIP("2001:DB8:0:0::1"), "2001:db8::1");
    EXPECT_EQ(PGCommon::ConvertHostToIP("::1"), "::1");
}

TEST(HostToAddress, NamesResolveAndUnknownNamesStayAsGiven) {
    const std::string local = PGCommon::ConvertHostToIP("localhost");
    EXPECT_TRUE(local == "127.0.0.1" || local == "::1") << local;
    EXPECT_EQ(PGCommon::ConvertHostToIP("no-such-host.invalid"), "no-such-host.invalid");
    EXPECT_EQ(PGCommon::ConvertHostToIP(""), "");
}

TEST_F(ConfigTest, CopyFileCopiesHostileNamesAndRunsNothingElse) {
    // An injected command would leave its files in the working directory.
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    const std::string sourceDir = dir_ + "/src dir";
    const std::string targetDir = dir_ + "/it's;here";
    ASSERT_EQ(::mkdir(sourceDir.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(targetDir.c_str(), 0700), 0);
    const std::string source = sourceDir + "/seg 'one'; touch pwned $(touch pwned2)`touch pwned3`";
    const std::string target = targetDir + "/copy; touch pwned4\nx";
    TestFiles::Write(source, "segment contents\n");

    EXPECT_EQ(PGCommon::CopyFile(source, target), 0);
    EXPECT_EQ(TestFiles::Read(target), "segment contents\n");
    for (const char* planted : {"pwned", "pwned2", "pwned3", "pwned4"})
        EXPECT_NE(::access(planted, F_OK), 0) << planted;
    ASSERT_EQ(::chdir(previous), 0);
}

TEST_F(ConfigTest, CopyFileReportsAFailedCopy) {
    EXPECT_EQ(PGCommon::CopyFile(dir_ + "/missing", dir_ + "/target"), -1);
    EXPECT_NE(::access((dir_ + "/target").c_str(), F_OK), 0);
}

TEST_F(ConfigTest, CopyFileOverwritesAPlainTarget) {
    TestFiles::Write(dir_ + "/a", "new");
    TestFiles::Write(dir_ + "/b", "old");
    EXPECT_EQ(PGCommon::CopyFile(dir_ + "/a", dir_ + "/b"), 0);
    EXPECT_EQ(TestFiles::Read(dir_ + "/b"), "new");
}

TEST_F(ConfigTest, ShellCommandErrorOutputIsKeptInTheJobResults) {
    ::setenv("PGULO_JOB_ID", "31", 1);
    std::string error = "untouched";
    EXPECT_EQ(PGCommon::RunUnixCommandErrorOutputInFile("true", "ignored", "psql", error), 0);
    EXPECT_EQ(error, "untouched");

    const int status = PGCommon::RunUnixCommandErrorOutputInFile(
        "ls " + PGCommon::ShellQuote(dir_ + "/no such file"), "ignored", "my tag", error);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;

    const std::string errorFile =
        home_ + "/jobresults/KX_JobResults/2/0/31/my tag_31_" + std::to_string(::getpid());
    EXPECT_EQ(TestFiles::Read(errorFile), error);
    ::unsetenv("PGULO_JOB_ID");
}

} // namespace
