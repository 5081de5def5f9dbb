#include "pgulo/PGCommon.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/PropertyStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>

#include "TestProcess.h"

namespace {

// Clients registered in a fresh host home: an ordinary one and a cloud database service of
// each known cloud.
class CloudTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/pgulo_cloud_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home_ = pattern;
        ::setenv("PGULO_HOME", home_.c_str(), 1);
        PropertyStore store;
        Add(store, kPlain, "plain", 0, 0, "");
        Add(store, kAws, "aws", 1, 301, "");
        Add(store, kAzure402, "azure402", 1, 402, "");
        Add(store, kAzure403, "azure403", 1, 403, "");
        Add(store, kGoogle, "google", 1, 1301, "");
        Add(store, kOtherCloud, "othercloud", 1, 999, "");
        Add(store, kProxy, "proxy-host", 0, 0, "/opt/postgresql/16");
        Add(store, kBareProxy, "bare-proxy", 0, 0, "");
    }
    static void TearDownTestSuite() { pgulo::test::runCommand({"rm", "-rf", home_}); }

    static void Add(PropertyStore& store, unsigned long long id, const std::string& name,
                    int appType, int cloudType, const std::string& installDir) {
        PropertyStore::ClientRecord client;
        client.id = id;
        client.name = name;
        client.appType = appType;
        client.cloudType = cloudType;
        client.proxyDBInstallDir = installDir;
        ASSERT_EQ(store.putClient(client), 0);
    }

public:
    static constexpr unsigned long long kPlain = 2;
    static constexpr unsigned long long kAws = 3;
    static constexpr unsigned long long kAzure402 = 4;
    static constexpr unsigned long long kAzure403 = 5;
    static constexpr unsigned long long kGoogle = 6;
    static constexpr unsigned long long kOtherCloud = 7;
    static constexpr unsigned long long kProxy = 8;
    static constexpr unsigned long long kBareProxy = 9;
    static constexpr unsigned long long kUnknown = 4242;

protected:
    static std::string home_;
};

std::string CloudTest::home_;

TEST_F(CloudTest, OnlyAppTypeOneIsACloudDatabase) {
    EXPECT_TRUE(PGCommon::IsCloudDBInstance(kAws));
    EXPECT_TRUE(PGCommon::IsCloudDBInstance(kOtherCloud));
    EXPECT_FALSE(PGCommon::IsCloudDBInstance(kPlain));
    EXPECT_FALSE(PGCommon::IsCloudDBInstance(kUnknown));
}

struct SkipCase {
    unsigned long long clientId;
    std::set<std::string> names;
    const char* clause;
};

class SkippedDatabases : public CloudTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(SkippedDatabases, FollowTheClientsCloud) {
    std::set<std::string> names{"stale"};
    PGCommon::GetDatabasesToSkip(GetParam().clientId, names);
    EXPECT_EQ(names, GetParam().names);

    std::string clause = "stale";
    PGCommon::GetWhereClauseToSkipDatabases(GetParam().clientId, "datname", clause);
    EXPECT_EQ(clause, GetParam().clause);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, SkippedDatabases,
    ::testing::Values(
        SkipCase{CloudTest::kPlain, {"template0"}, "datname not like 'template0' "},
        SkipCase{CloudTest::kUnknown, {"template0"}, "datname not like 'template0' "},
        SkipCase{CloudTest::kAws,
                 {"rdsadmin", "template0", "template1"},
                 "( datname not like 'rdsadmin' and datname not like 'template0' and datname not "
                 "like 'template1' ) "},
        SkipCase{CloudTest::kAzure402,
                 {"azure_maintenance", "azure_sys", "template0", "template1"},
                 "( datname not like 'azure_maintenance' and datname not like 'azure_sys' and "
                 "datname not like 'template0' and datname not like 'template1' ) "},
        SkipCase{CloudTest::kAzure403,
                 {"azure_maintenance", "azure_sys", "template0", "template1"},
                 "( datname not like 'azure_maintenance' and datname not like 'azure_sys' and "
                 "datname not like 'template0' and datname not like 'template1' ) "},
        SkipCase{CloudTest::kGoogle,
                 {"cloudsqladmin", "template0", "template1"},
                 "( datname not like 'cloudsqladmin' and datname not like 'template0' and "
                 "datname not like 'template1' ) "},
        SkipCase{CloudTest::kOtherCloud,
                 {"template0", "template1"},
                 "( datname not like 'template0' and datname not like 'template1' ) "}));

TEST_F(CloudTest, EmptyColumnGivesAnEmptyClause) {
    std::string clause = "stale";
    PGCommon::GetWhereClauseToSkipDatabases(kAws, "", clause);
    EXPECT_EQ(clause, "");
}

TEST_F(CloudTest, ProxyInstallDirectoryComesFromTheProxysRecord) {
    EvDebug::setJobContext("proxy-host", 11);
    std::string installDir;
    EXPECT_EQ(PGCommon::GetProxyDBInstallDir(kAws, 125, "16.2", installDir), 0);
    EXPECT_EQ(installDir, "/opt/postgresql/16");
}

TEST_F(CloudTest, ProxyWithoutAnInstallDirectoryFails) {
    EvDebug::setJobContext("bare-proxy", 12);
    std::string installDir = "untouched";
    EXPECT_NE(PGCommon::GetProxyDBInstallDir(kAws, 125, "16.2", installDir), 0);
    EXPECT_EQ(installDir, "untouched");
}

TEST_F(CloudTest, UnregisteredProxyFails) {
    EvDebug::setJobContext("not-registered", 13);
    std::string installDir = "untouched";
    EXPECT_NE(PGCommon::GetProxyDBInstallDir(kAws, 125, "16.2", installDir), 0);
    EXPECT_EQ(installDir, "untouched");
}

struct RestoreOutput {
    const char* name;
    const char* output;
    bool ignorable;
};

void PrintTo(const RestoreOutput& c, std::ostream* os) {
    *os << c.name;
}

class RestoreErrors : public ::testing::TestWithParam<RestoreOutput> {};

TEST_P(RestoreErrors, AreJudgedLineByLine) {
    EXPECT_EQ(PGCommon::IsIgnoreError(GetParam().output), GetParam().ignorable);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, RestoreErrors,
    ::testing::Values(
        RestoreOutput{"empty", "", false},
        RestoreOutput{"no_toc_error", "pg_restore: connecting to database for restore\n", false},
        RestoreOutput{"toc_error",
                      "pg_restore: while PROCESSING TOC:\n"
                      "pg_restore: from TOC entry 3; 2615 2200 SCHEMA public\n"
                      "pg_restore: error: Error from TOC entry 3; 2615 2200 SCHEMA public "
                      "postgres\n",
                      true},
        RestoreOutput{"toc_error_last_line_without_newline",
                      "pg_restore: [archiver (db)] Error from TOC entry 5", true},
        RestoreOutput{"comment_line_wins",
                      "pg_restore: [archiver (db)] Error from TOC entry 5; table t\n"
                      "COMMENT Error from TOC entry 7; EXTENSION plpgsql\n"
                      "pg_restore: [archiver (db)] Error from TOC entry 9; table u\n",
                      false},
        RestoreOutput{"comment_not_at_line_start",
                      "pg_restore: Error from TOC entry 7; COMMENT EXTENSION plpgsql\n", true},
        RestoreOutput{"case_matters", "pg_restore: error from toc entry 3\n", false}));

} // namespace
