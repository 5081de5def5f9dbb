// What the agent leaves out for a cloud database service, where a proxy's PostgreSQL lives, and
// which restore errors it may ignore.
#include "pgulo/PGCommon.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/PropertyStore.h"

#include "TempHostHome.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr unsigned long long kPlain = 2, kAws = 3, kAzure402 = 4, kAzure403 = 5, kGoogle = 6,
                             kOtherCloud = 7, kUnknown = 4242;

// Clients registered in a fresh host home: an ordinary one, a cloud database service of each
// known cloud, and two proxies.
class CloudTest : public ::testing::Test {
protected:
    void SetUp() override {
        PropertyStore store;
        const struct {
            unsigned long long id;
            const char* name;
            int appType, cloudType;
            const char* installDir;
        } clients[] = {
            {kPlain, "plain", 0, 0, ""},           {kAws, "aws", 1, 301, ""},
            {kAzure402, "azure402", 1, 402, ""},   {kAzure403, "azure403", 1, 403, ""},
            {kGoogle, "google", 1, 1301, ""},      {kOtherCloud, "othercloud", 1, 999, ""},
            {8, "proxy-host", 0, 0, "/opt/postgresql/16"}, {9, "bare-proxy", 0, 0, ""},
        };
        for (const auto& c : clients) {
            PropertyStore::ClientRecord client;
            client.id = c.id;
            client.name = c.name;
            client.appType = c.appType;
            client.cloudType = c.cloudType;
            client.proxyDBInstallDir = c.installDir;
            ASSERT_EQ(store.putClient(client), 0);
        }
    }
    pgulo::test::TempHostHome home_;
};

TEST_F(CloudTest, SkippedDatabasesFollowTheClientsCloud) {
    const std::string azure = "( datname not like 'azure_maintenance' and datname not like "
                              "'azure_sys' and datname not like 'template0' and datname not like "
                              "'template1' ) ";
    const struct {
        unsigned long long clientId;
        bool cloud;
        std::set<std::string> names;
        std::string clause;
    } cases[] = {
        {kPlain, false, {"template0"}, "datname not like 'template0' "},
        {kUnknown, false, {"template0"}, "datname not like 'template0' "},
        {kAws, true, {"rdsadmin", "template0", "template1"},
         "( datname not like 'rdsadmin' and datname not like 'template0' and datname not like "
         "'template1' ) "},
        {kAzure402, true, {"azure_maintenance", "azure_sys", "template0", "template1"}, azure},
        {kAzure403, true, {"azure_maintenance", "azure_sys", "template0", "template1"}, azure},
        {kGoogle, true, {"cloudsqladmin", "template0", "template1"},
         "( datname not like 'cloudsqladmin' and datname not like 'template0' and datname not "
         "like 'template1' ) "},
        {kOtherCloud, true, {"template0", "template1"},
         "( datname not like 'template0' and datname not like 'template1' ) "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PGCommon::IsCloudDBInstance(c.clientId), c.cloud) << c.clientId;
        std::set<std::string> names{"stale"};
        PGCommon::GetDatabasesToSkip(c.clientId, names);
        EXPECT_EQ(names, c.names) << c.clientId;
        std::string clause = "stale";
        PGCommon::GetWhereClauseToSkipDatabases(c.clientId, "datname", clause);
        EXPECT_EQ(clause, c.clause);
    }
    std::string clause = "stale";
    PGCommon::GetWhereClauseToSkipDatabases(kAws, "", clause);
    EXPECT_EQ(clause, "") << "an empty column gives an empty clause";
}

TEST_F(CloudTest, ProxyInstallDirectoryComesFromTheProxysRecord) {
    const struct {
        const char* proxy;
        bool found;
    } cases[] = {{"proxy-host", true}, {"bare-proxy", false}, {"not-registered", false}};
    for (const auto& c : cases) {
        EvDebug::setJobContext(c.proxy, 11);
        std::string installDir = "untouched";
        EXPECT_EQ(PGCommon::GetProxyDBInstallDir(kAws, 125, "16.2", installDir) == 0, c.found);
        EXPECT_EQ(installDir, c.found ? "/opt/postgresql/16" : "untouched") << c.proxy;
    }
}

TEST(RestoreErrors, AreJudgedLineByLine) {
    const struct {
        const char* output;
        bool ignorable;
    } cases[] = {
        {"", false},
        {"pg_restore: connecting to database for restore\n", false},
        {"pg_restore: while PROCESSING TOC:\n"
         "pg_restore: error: Error from TOC entry 3; 2615 2200 SCHEMA public postgres\n",
         true},
        {"pg_restore: [archiver (db)] Error from TOC entry 5", true}, // last line without \n
        {"pg_restore: [archiver (db)] Error from TOC entry 5; table t\n"
         "COMMENT Error from TOC entry 7; EXTENSION plpgsql\n"
         "pg_restore: [archiver (db)] Error from TOC entry 9; table u\n",
         false}, // a comment line wins
        {"pg_restore: Error from TOC entry 7; COMMENT EXTENSION plpgsql\n", true},
        {"pg_restore: error from toc entry 3\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PGCommon::IsIgnoreError(c.output), c.ignorable) << c.output;
}

} // namespace
