#include "pgulo/PGCommon.h"
#include "pgulo/host/PostgreSQLInstance.h"
#include "pgulo/host/PropertyStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestProcess.h"

namespace {

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    ::chmod(path.c_str(), mode);
}

bool Mentions(const CRoError& error, const std::string& text) {
    return error.AsString().find(text) != std::string::npos;
}

// A host home with its property store, a fake installation whose pg_config prints a version,
// and a data directory holding PG_VERSION. No server runs, so every connection attempt fails.
class VersionSourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pgulo_versrc_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home_ = pattern;
        ::setenv("PGULO_HOME", home_.c_str(), 1);
        binDir_ = home_ + "/pg bin's";
        dataDir_ = home_ + "/data";
        ASSERT_EQ(::mkdir(binDir_.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(dataDir_.c_str(), 0700), 0);
    }
    void TearDown() override { pgulo::test::runCommand({"rm", "-rf", home_}); }

    void FakePgConfig(const std::string& body) {
        WriteFile(binDir_ + "/pg_config", "#!/bin/sh\n" + body + "\n", 0755);
    }

    // An instance whose connection cannot succeed: no library directory, a closed port.
    unsigned long long AddInstance(const std::string& storedVersion,
                                   const std::string& sealedPassword = "") {
        PropertyStore store;
        PropertyStore::ClientRecord client;
        client.name = "db-client";
        EXPECT_EQ(store.addClient(client), 0);
        PropertyStore::InstanceRecord instance;
        instance.clientId = client.id;
        instance.name = "pg";
        instance.properties = {{"saUser", "postgres"},
                               {"saPassword", sealedPassword},
                               {"port", "1"},
                               {"binaryDirectory", binDir_},
                               {"dataDirectoryPath", home_ + "/no-lib"},
                               {"configFile", "postgres"},
                               {"pgDataDir", dataDir_},
                               {"postgreSQLVersion", storedVersion}};
        EXPECT_EQ(store.addInstance(instance), 0);
        return instance.id;
    }

    std::string StoredVersion(unsigned long long id) {
        std::string version;
        EXPECT_EQ(PropertyStore().getInstanceProperty(id, "postgreSQLVersion", version), 0);
        return version;
    }

    ino_t RecordInode(unsigned long long id) {
        struct stat st {};
        ::stat((PropertyStore().directory() + "/instances/" + std::to_string(id) + ".json").c_str(),
               &st);
        return st.st_ino;
    }

    std::string home_;
    std::string binDir_;
    std::string dataDir_;
};

TEST_F(VersionSourcesTest, PgVersionFileGivesTheMajorWithoutItsLineEnd) {
    WriteFile(dataDir_ + "/PG_VERSION", "16\n");
    std::string version;
    EXPECT_FALSE(PGCommon::GetPostgresVersionUsingPG_VERSIONfile(dataDir_, version).IsError());
    EXPECT_EQ(version, "16");

    WriteFile(dataDir_ + "/PG_VERSION", "9.6\r\n");
    EXPECT_FALSE(PGCommon::GetPostgresVersionUsingPG_VERSIONfile(dataDir_, version).IsError());
    EXPECT_EQ(version, "9.6");
}

TEST_F(VersionSourcesTest, EmptyOrMissingPgVersionFileIsAnError) {
    std::string version = "untouched";
    CRoError missing = PGCommon::GetPostgresVersionUsingPG_VERSIONfile(dataDir_, version);
    EXPECT_TRUE(missing.IsError());
    EXPECT_TRUE(Mentions(missing, "PGCommon")) << missing.AsString();

    WriteFile(dataDir_ + "/PG_VERSION", "\n");
    CRoError empty = PGCommon::GetPostgresVersionUsingPG_VERSIONfile(dataDir_, version);
    EXPECT_TRUE(empty.IsError());
    EXPECT_EQ(empty.GetErrorCode(), 1627);
    EXPECT_TRUE(Mentions(empty, "Version file is empty " + dataDir_ + "/PG_VERSION"))
        << empty.AsString();
    EXPECT_EQ(version, "untouched");
}

TEST_F(VersionSourcesTest, PgConfigOutputGivesTheVersion) {
    FakePgConfig("echo 'pg_config (PostgreSQL) 12.4'");
    std::string version;
    EXPECT_FALSE(PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version).IsError());
    EXPECT_EQ(version, "12.4");
}

TEST_F(VersionSourcesTest, FailingPgConfigReturnsItsErrorOutput) {
    FakePgConfig("echo 'pg_config: could not find own program executable' >&2; exit 3");
    std::string version = "stale";
    CRoError error = PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version);
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(error.GetErrorCode(), -1);
    EXPECT_TRUE(Mentions(error, "could not find own program executable")) << error.AsString();
    EXPECT_EQ(version, "");
}

TEST_F(VersionSourcesTest, MissingPgConfigIsNoErrorButNoVersion) {
    std::string version = "stale";
    EXPECT_FALSE(PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version).IsError());
    EXPECT_EQ(version, "");
    ASSERT_EQ(::mkdir((binDir_ + "/pg_config").c_str(), 0755), 0);
    EXPECT_FALSE(PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version).IsError());
    EXPECT_EQ(version, "");
}

TEST_F(VersionSourcesTest, UnreachableServerFallsBackToPgConfigAndStoresTheVersion) {
    FakePgConfig("echo 'pg_config (PostgreSQL) 12.4'");
    WriteFile(dataDir_ + "/PG_VERSION", "11\n");
    const unsigned long long id = AddInstance("9.6");

    CRoError error = PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, id);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(StoredVersion(id), "12.4");
}

TEST_F(VersionSourcesTest, WithoutPgConfigThePgVersionFileDecides) {
    WriteFile(dataDir_ + "/PG_VERSION", "11\n");
    const unsigned long long id = AddInstance("");
    EXPECT_FALSE(PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, id).IsError());
    EXPECT_EQ(StoredVersion(id), "11");
}

TEST_F(VersionSourcesTest, NoSourceAtAllFails) {
    const unsigned long long id = AddInstance("9.6");
    CRoError error = PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, id);
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(error.GetErrorCode(), 22);
    EXPECT_TRUE(Mentions(error, "Unable to obtain version by connecting to PostgreSQL server and "
                                "from pg_config"));
    EXPECT_EQ(StoredVersion(id), "9.6");
}

TEST_F(VersionSourcesTest, UndecryptablePasswordStopsDiscovery) {
    FakePgConfig("echo 'pg_config (PostgreSQL) 12.4'");
    const unsigned long long id = AddInstance("9.6", "v1:not-a-sealed-password");
    CRoError error = PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, id);
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(error.GetErrorCode(), -1);
    EXPECT_TRUE(Mentions(error, "PW.decrypt error"));
    EXPECT_EQ(StoredVersion(id), "9.6");
}

TEST_F(VersionSourcesTest, SameVersionIsNotWrittenAgain) {
    FakePgConfig("echo 'pg_config (PostgreSQL) 12.4'");
    const unsigned long long id = AddInstance("12.4");
    const ino_t before = RecordInode(id);
    EXPECT_FALSE(PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, id).IsError());
    EXPECT_EQ(RecordInode(id), before);
    EXPECT_EQ(StoredVersion(id), "12.4");
}

TEST_F(VersionSourcesTest, StoredVersionIsKeptUnlessForced) {
    const unsigned long long id = AddInstance("9.6");
    PostgreSQLInstance instance(id);
    // Nothing could be discovered here, so success shows that nothing was tried.
    EXPECT_FALSE(PGCommon::queryVersionFromServerAndUpdateInstProperty(&instance, false).IsError());
    EXPECT_TRUE(PGCommon::queryVersionFromServerAndUpdateInstProperty(&instance, true).IsError());
    EXPECT_EQ(StoredVersion(id), "9.6");
}

TEST_F(VersionSourcesTest, ApplicationIdFromTheCommandLine) {
    FakePgConfig("echo 'pg_config (PostgreSQL) 14.23'");
    const unsigned long long id = AddInstance("9.6");
    PropertyStore::SubclientRecord subclient;
    subclient.instanceId = id;
    subclient.clientId = 1;
    ASSERT_EQ(PropertyStore().addSubclient(subclient), 0);
    const std::string app = "2:" + std::to_string(subclient.id);

    std::vector<std::string> words = {"restore", "-j", "5", "-a", app};
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    CRoError error =
        PGCommon::CheckAndUpdateAppInstance(static_cast<int>(argv.size()), argv.data());
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(StoredVersion(id), "14.23");
}

struct ArgumentCase {
    std::vector<std::string> words;
    const char* message;
};

class BadArguments : public VersionSourcesTest,
                     public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(BadArguments, NameTheirFault) {
    std::vector<std::string> words = GetParam().words;
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    CRoError error =
        PGCommon::CheckAndUpdateAppInstance(static_cast<int>(argv.size()), argv.data());
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(error.GetErrorCode(), 22);
    EXPECT_TRUE(Mentions(error, GetParam().message)) << error.AsString();
}

const char* const kNoAppId = "Unable to get QuorixID/AppID from command line parameter (-a)";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, BadArguments,
    ::testing::Values(ArgumentCase{{"restore"}, kNoAppId},
                      ArgumentCase{{"restore", "-j", "5"}, kNoAppId},
                      ArgumentCase{{"restore", "-a"}, kNoAppId},
                      ArgumentCase{{"restore", "-a", "2"}, kNoAppId},
                      ArgumentCase{{"restore", "-a", "x:17"}, kNoAppId},
                      ArgumentCase{{"restore", "-a", "2:" + std::string(130, '7')}, kNoAppId},
                      ArgumentCase{{"restore", "-a", "2:0"}, "AppID invalid 0"},
                      ArgumentCase{{"restore", "-a", "2:-4"}, "AppID invalid -4"},
                      ArgumentCase{{"restore", "-a", "2:17"},
                                   "App Instance for subclient not found. Internal error"}));

TEST_F(VersionSourcesTest, InvalidIdsAndMissingInstancesAreRefused) {
    CRoError zeroApp = PGCommon::CheckAndUpdateAppInstanceByAppID(2, 0);
    EXPECT_TRUE(Mentions(zeroApp, "AppID invalid 0"));
    CRoError zeroInstance = PGCommon::CheckAndUpdateAppInstanceByInstanceID(7, 0);
    EXPECT_TRUE(Mentions(zeroInstance, "AppInstanceID invalid 0"));
    CRoError missing = PGCommon::CheckAndUpdateAppInstanceByInstanceID(7, 999);
    EXPECT_TRUE(Mentions(missing, "App Instance for subclient not found. Internal error"));
    CRoError null = PGCommon::queryVersionFromServerAndUpdateInstProperty(nullptr, true);
    EXPECT_TRUE(Mentions(null, "App Instance passed as NULL"));
    for (const CRoError* e : {&zeroApp, &zeroInstance, &missing, &null})
        EXPECT_EQ(e->GetErrorCode(), 22);
}

} // namespace
