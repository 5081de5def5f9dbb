// Where the agent learns an instance's PostgreSQL release when the server cannot tell it: the
// installation's pg_config, then the data directory's PG_VERSION; and what it stores.
#include "pgulo/PGCommon.h"
#include "pgulo/host/PostgreSQLInstance.h"
#include "pgulo/host/PropertyStore.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pgulo::test;

// What a call left: its error code (0 for none) and whether its text mentions the given part.
::testing::AssertionResult Fails(const CRoError& error, int code, const std::string& part) {
    if (error.GetErrorCode() == code && error.AsString().find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "code " << error.GetErrorCode() << ": " << error.AsString();
}

// A host home with its property store, a fake installation whose pg_config prints a version,
// and a data directory holding PG_VERSION. No server runs, so every connection attempt fails.
class VersionSourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(binDir_);
        fs::create_directories(dataDir_);
    }
    void FakePgConfig(const std::string& body) const {
        TestFiles::Write(binDir_ + "/pg_config", "#!/bin/sh\n" + body + "\n");
        fs::permissions(binDir_ + "/pg_config", fs::perms(0755));
    }
    // An instance whose connection cannot succeed: no library directory, a closed port.
    unsigned long long AddInstance(const std::string& storedVersion,
                                   const std::string& sealedPassword = "") const {
        PropertyStore store;
        PropertyStore::ClientRecord client;
        client.name = "db-client";
        EXPECT_EQ(store.addClient(client), 0);
        PropertyStore::InstanceRecord instance;
        instance.clientId = client.id;
        instance.name = "pg";
        instance.properties = {{"saUser", "postgres"},       {"saPassword", sealedPassword},
                               {"port", "1"},                {"binaryDirectory", binDir_},
                               {"dataDirectoryPath", home_.file("no-lib")},
                               {"configFile", "postgres"},   {"pgDataDir", dataDir_},
                               {"postgreSQLVersion", storedVersion}};
        EXPECT_EQ(store.addInstance(instance), 0);
        return instance.id;
    }
    static std::string StoredVersion(unsigned long long id) {
        std::string version;
        EXPECT_EQ(PropertyStore().getInstanceProperty(id, "postgreSQLVersion", version), 0);
        return version;
    }

    TempHostHome home_;
    const std::string binDir_ = home_.file("pg bin's");
    const std::string dataDir_ = home_.file("data");
};

TEST_F(VersionSourcesTest, PgVersionFileGivesTheMajorWithoutItsLineEnd) {
    const struct {
        const char* text; // nullptr: no file
        const char* version;
        int code;
        std::string part;
    } cases[] = {
        {"16\n", "16", 0, ""},
        {"9.6\r\n", "9.6", 0, ""},
        {nullptr, "9.6", 2, "PGCommon"},
        {"\n", "9.6", 1627, "Version file is empty " + dataDir_ + "/PG_VERSION"},
    };
    for (const auto& c : cases) {
        fs::remove(dataDir_ + "/PG_VERSION");
        if (c.text != nullptr)
            TestFiles::Write(dataDir_ + "/PG_VERSION", c.text);
        std::string version = "9.6";
        EXPECT_TRUE(Fails(PGCommon::GetPostgresVersionUsingPG_VERSIONfile(dataDir_, version),
                          c.code, c.part));
        EXPECT_EQ(version, c.version);
    }
}

TEST_F(VersionSourcesTest, PgConfigOutputGivesTheVersionOrItsErrorOutput) {
    std::string version = "stale";
    EXPECT_TRUE(Fails(PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version), 0, ""))
        << "a missing pg_config is no error, but no version";
    EXPECT_EQ(version, "");
    FakePgConfig("echo 'pg_config (PostgreSQL) 12.4'");
    EXPECT_TRUE(Fails(PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version), 0, ""));
    EXPECT_EQ(version, "12.4");
    FakePgConfig("echo 'pg_config: could not find own program executable' >&2; exit 3");
    EXPECT_TRUE(Fails(PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version), -1,
                      "could not find own program executable"));
    EXPECT_EQ(version, "");
    fs::remove(binDir_ + "/pg_config");
    fs::create_directory(binDir_ + "/pg_config");
    EXPECT_TRUE(Fails(PGCommon::GetPostgresVersionUsingPgConfig(binDir_, version), 0, ""));
}

TEST_F(VersionSourcesTest, UnreachableServerFallsBackToPgConfigThenPgVersion) {
    const struct {
        const char* pgConfig; // nullptr: none
        const char* pgVersion;
        const char* stored;
        const char* password;
        int code;
        const char* part;
        const char* storedAfter;
    } cases[] = {
        {"12.4", "11\n", "9.6", "", 0, "", "12.4"},
        {nullptr, "11\n", "", "", 0, "", "11"},
        {nullptr, nullptr, "9.6", "", 22,
         "Unable to obtain version by connecting to PostgreSQL server and from pg_config", "9.6"},
        {"12.4", nullptr, "9.6", "v1:not-a-sealed-password", -1, "PW.decrypt error", "9.6"},
    };
    for (const auto& c : cases) {
        fs::remove(binDir_ + "/pg_config");
        fs::remove(dataDir_ + "/PG_VERSION");
        if (c.pgConfig != nullptr)
            FakePgConfig(std::string("echo 'pg_config (PostgreSQL) ") + c.pgConfig + "'");
        if (c.pgVersion != nullptr)
            TestFiles::Write(dataDir_ + "/PG_VERSION", c.pgVersion);
        const unsigned long long id = AddInstance(c.stored, c.password);
        EXPECT_TRUE(Fails(PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, id), c.code, c.part));
        EXPECT_EQ(StoredVersion(id), c.storedAfter);
    }
}

TEST_F(VersionSourcesTest, SameVersionIsNotWrittenAgainAndAStoredOneIsKeptUnlessForced) {
    FakePgConfig("echo 'pg_config (PostgreSQL) 12.4'");
    const unsigned long long id = AddInstance("12.4");
    const std::string record = PropertyStore().directory() + "/instances/" + std::to_string(id) +
                               ".json";
    struct stat before {}, after {};
    ASSERT_EQ(::stat(record.c_str(), &before), 0);
    EXPECT_TRUE(Fails(PGCommon::CheckAndUpdateAppInstanceByInstanceID(0, id), 0, ""));
    ASSERT_EQ(::stat(record.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    fs::remove(binDir_ + "/pg_config");
    PostgreSQLInstance instance(AddInstance("9.6"));
    // Nothing could be discovered here, so success shows that nothing was tried.
    EXPECT_FALSE(PGCommon::queryVersionFromServerAndUpdateInstProperty(&instance, false).IsError());
    EXPECT_TRUE(PGCommon::queryVersionFromServerAndUpdateInstProperty(&instance, true).IsError());
}

TEST_F(VersionSourcesTest, ApplicationIdComesFromTheCommandLine) {
    FakePgConfig("echo 'pg_config (PostgreSQL) 14.23'");
    const unsigned long long id = AddInstance("9.6");
    PropertyStore::SubclientRecord subclient;
    subclient.instanceId = id;
    subclient.clientId = 1;
    ASSERT_EQ(PropertyStore().addSubclient(subclient), 0);
    const std::string noAppId = "Unable to get QuorixID/AppID from command line parameter (-a)";
    const struct {
        std::vector<std::string> words;
        int code;
        std::string part;
    } cases[] = {
        {{"restore"}, 22, noAppId},
        {{"restore", "-a"}, 22, noAppId},
        {{"restore", "-a", "2"}, 22, noAppId},
        {{"restore", "-a", "x:17"}, 22, noAppId},
        {{"restore", "-a", "2:" + std::string(130, '7')}, 22, noAppId},
        {{"restore", "-a", "2:-4"}, 22, "AppID invalid -4"},
        {{"restore", "-a", "2:17"}, 22, "App Instance for subclient not found. Internal error"},
        {{"restore", "-j", "5", "-a", "2:" + std::to_string(subclient.id)}, 0, ""},
    };
    for (auto c : cases) {
        std::vector<char*> argv;
        for (std::string& w : c.words)
            argv.push_back(w.data());
        EXPECT_TRUE(Fails(PGCommon::CheckAndUpdateAppInstance(static_cast<int>(argv.size()),
                                                              argv.data()),
                          c.code, c.part));
    }
    EXPECT_EQ(StoredVersion(id), "14.23");

    EXPECT_TRUE(Fails(PGCommon::CheckAndUpdateAppInstanceByAppID(2, 0), 22, "AppID invalid 0"));
    EXPECT_TRUE(Fails(PGCommon::CheckAndUpdateAppInstanceByInstanceID(7, 0), 22,
                      "AppInstanceID invalid 0"));
    EXPECT_TRUE(Fails(PGCommon::CheckAndUpdateAppInstanceByInstanceID(7, 999), 22,
                      "App Instance for subclient not found. Internal error"));
    EXPECT_TRUE(Fails(PGCommon::queryVersionFromServerAndUpdateInstProperty(nullptr, true), 22,
                      "App Instance passed as NULL"));
}

} // namespace
