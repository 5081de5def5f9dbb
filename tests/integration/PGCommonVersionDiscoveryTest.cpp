#include "pgulo/PGCommon.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/PropertyStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "PgCluster.h"
#include "PgInstall.h"
#include "TestFiles.h"
#include "TestProcess.h"

namespace {

using pgulo::test::PgCluster;
using pgulo::test::PgInstall;
using pgulo::test::TestFiles;

const char* const kDebianPgConfig = "/usr/lib/postgresql/15/bin/pg_config";
const char* const kPassword = "Discovery-Secret-42";

class VersionDiscovery : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pgulo_verdisc_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home_ = pattern;
        ::setenv("PGULO_HOME", home_.c_str(), 1);
        EvDebug::setJobContext("db-client", 900 + GetParam());
        emptyDir_ = home_ + "/empty";
        ASSERT_EQ(::mkdir(emptyDir_.c_str(), 0755), 0);
    }
    void TearDown() override { pgulo::test::runCommand({"rm", "-rf", home_}); }

    // The instance as the host registers it: reached over the cluster's socket directory,
    // libpq from the cluster's own library directory, the password kept sealed.
    unsigned long long Register(const PgCluster& cluster, const std::string& binaryDirectory,
                                const std::string& pgDataDir) {
        PropertyStore store;
        PropertyStore::ClientRecord client;
        client.name = "db-client";
        EXPECT_EQ(store.addClient(client), 0);
        PropertyStore::InstanceRecord instance;
        instance.clientId = client.id;
        instance.name = "pg" + std::to_string(cluster.major());
        instance.properties = {{"saUser", "postgres"},
                               {"port", cluster.socketDir() + ":" + std::to_string(cluster.port())},
                               {"binaryDirectory", binaryDirectory},
                               {"dataDirectoryPath", cluster.libDir()},
                               {"configFile", "postgres"},
                               {"pgDataDir", pgDataDir},
                               {"postgreSQLVersion", "9.6"}};
        EXPECT_EQ(store.addInstance(instance), 0);
        EXPECT_EQ(store.setInstanceProperty(instance.id, "saPassword", kPassword), 0);
        return instance.id;
    }

    static std::string StoredVersion(unsigned long long id) {
        std::string version;
        EXPECT_EQ(PropertyStore().getInstanceProperty(id, "postgreSQLVersion", version), 0);
        return version;
    }

    std::string home_;
    std::string emptyDir_;
};

// The server answers first; once it is down pg_config speaks, and without pg_config the data
// directory's PG_VERSION file.
TEST_P(VersionDiscovery, ServerThenPgConfigThenPgVersionFile) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);
    if (::access(kDebianPgConfig, X_OK) != 0)
        GTEST_SKIP() << kDebianPgConfig << " is not installed";
    PgCluster::Options options;
    options.name = "verdisc-" + std::to_string(major);
    options.archiving = false;
    PgCluster cluster(major, options);
    cluster.start();
    const std::string serverVersion = cluster.psql("SHOW server_version");

    // A binary directory without pg_config and a data directory without PG_VERSION: only the
    // server can answer.
    const unsigned long long live = Register(cluster, emptyDir_, emptyDir_);
    CRoError error = PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, live);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(StoredVersion(live), serverVersion);

    cluster.stop();
    const auto pgConfig = pgulo::test::runCommand({kDebianPgConfig, "--version"});
    ASSERT_TRUE(pgConfig.ok());
    const std::string packagedVersion = PGCommon::ExtractVersionFromString(pgConfig.out);
    ASSERT_FALSE(packagedVersion.empty()) << pgConfig.out;

    const unsigned long long viaPgConfig =
        Register(cluster, PgInstall::clientBinDir(), cluster.dataDir());
    error = PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, viaPgConfig);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(StoredVersion(viaPgConfig), packagedVersion);

    const unsigned long long viaFile = Register(cluster, emptyDir_, cluster.dataDir());
    error = PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, viaFile);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(StoredVersion(viaFile), std::to_string(major));

    // The clear password reached libpq but never the job's log.
    const std::string log = TestFiles::Read(EvDebug::logFilePath());
    EXPECT_NE(log.find("Postgres version [" + serverVersion + "]"), std::string::npos) << log;
    EXPECT_EQ(log.find(kPassword), std::string::npos);
}

// The host's restore program passes the subclient on its command line.
TEST_P(VersionDiscovery, CommandLineApplicationIdReachesTheServer) {
    const int major = GetParam();
    PGULO_REQUIRE_MAJOR(major);
    PgCluster::Options options;
    options.name = "verdisc-app-" + std::to_string(major);
    options.archiving = false;
    PgCluster cluster(major, options);
    cluster.start();

    const unsigned long long instanceId = Register(cluster, emptyDir_, emptyDir_);
    PropertyStore::SubclientRecord subclient;
    subclient.instanceId = instanceId;
    subclient.clientId = 1;
    ASSERT_EQ(PropertyStore().addSubclient(subclient), 0);

    std::vector<std::string> words = {"pgrestore", "-a", "2:" + std::to_string(subclient.id)};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    CRoError error =
        PGCommon::CheckAndUpdateAppInstance(static_cast<int>(argv.size()), argv.data());
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(StoredVersion(instanceId), cluster.psql("SHOW server_version"));
}

INSTANTIATE_TEST_SUITE_P(Servers, VersionDiscovery, ::testing::Values(10, 16),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "PG" + std::to_string(info.param);
                         });

} // namespace
