#include "pgulo/host/PropertyStore.h"
#include "pgulo/host/ApplicationId.h"
#include "pgulo/host/ClientFromInstanceId.h"
#include "pgulo/host/ClientProperties.h"
#include "pgulo/host/KXClient.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/UloBackup.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <cerrno>
#include <fstream>
#include <map>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace {

using pgulo::test::TempHostHome;

class PropertyStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        PropertyStore::ClientRecord client;
        client.name = "pghost";
        ASSERT_EQ(0, store_.addClient(client));
        clientId_ = client.id;

        PropertyStore::InstanceRecord instance;
        instance.clientId = clientId_;
        instance.name = "main";
        instance.properties = {{"saUser", "postgres"},
                               {"port", "db1:5433"},
                               {"binaryDirectory", "/usr/lib/postgresql/15/bin"},
                               {"dataDirectoryPath", "/usr/lib/x86_64-linux-gnu"},
                               {"configFile", "postgres"}};
        instance.archiveDelete = true;
        ASSERT_EQ(0, store_.addInstance(instance));
        instanceId_ = instance.id;
        ASSERT_EQ(0, store_.setInstanceProperty(instanceId_, "saPassword", "s3cret"));

        PropertyStore::SubclientRecord subclient;
        subclient.instanceId = instanceId_;
        subclient.backupSetId = 9;
        subclient.clientId = clientId_;
        ASSERT_EQ(0, store_.addSubclient(subclient));
        appId_ = subclient.id;
    }

    std::string instancePath() const {
        return store_.directory() + "/instances/" + std::to_string(instanceId_) + ".json";
    }
    std::string instanceFileText() {
        return pgulo::test::TestFiles::Read(instancePath());
    }

    TempHostHome home_;
    PropertyStore store_;
    unsigned long long clientId_ = 0;
    unsigned long long instanceId_ = 0;
    unsigned long long appId_ = 0;
};

TEST_F(PropertyStoreTest, ApplicationIdLeadsToTheInstanceAndItsOwners) {
    ApplicationId appId(2, appId_);
    std::unique_ptr<PostgreSQLInstance> instance = appId.getInstance(nullptr);
    ASSERT_TRUE(instance);
    EXPECT_EQ(instanceId_, instance->getInstanceId());
    std::unique_ptr<BackupSet> backupSet = appId.getBackupSet(nullptr);
    ASSERT_TRUE(backupSet);
    EXPECT_EQ(9u, backupSet->getBackupSetId());
    std::unique_ptr<Client> client = appId.getClient(nullptr);
    ASSERT_TRUE(client);
    unsigned long long clientId = 0;
    ASSERT_EQ(0, client->getClientId(clientId, nullptr));
    EXPECT_EQ(clientId_, clientId);
    std::unique_ptr<Subclient> subclient = appId.getSubclient(nullptr);
    ASSERT_TRUE(subclient);
    std::string guid;
    ASSERT_EQ(0, subclient->getGUIDStr(guid, nullptr));
    EXPECT_EQ(36u, guid.size()) << guid;
    EXPECT_EQ('4', guid[14]) << guid;

    ApplicationId missing(2, appId_ + 100);
    EXPECT_FALSE(missing.getInstance(nullptr));
    EXPECT_FALSE(missing.getBackupSet(nullptr));
    EXPECT_FALSE(missing.getClient(nullptr));
    EXPECT_FALSE(missing.getSubclient(nullptr));
}

TEST_F(PropertyStoreTest, GettersReadWhatSettersStored) {
    using Getter = int (PostgreSQLInstance::*)(std::string&, void*) const;
    const std::pair<Getter, const char*> stored[] = {
        {&PostgreSQLInstance::getSaUser, "postgres"},
        {&PostgreSQLInstance::getBinaryDirectory, "/usr/lib/postgresql/15/bin"},
        {&PostgreSQLInstance::getDataDirectoryPath, "/usr/lib/x86_64-linux-gnu"},
        {&PostgreSQLInstance::getConfigFile, "postgres"},
        {&PostgreSQLInstance::getPort, "db1:5433"},
        // A property that is not set reads empty.
        {&PostgreSQLInstance::getUnixUser, ""},
        {&PostgreSQLInstance::getSocketFile, ""},
        {&PostgreSQLInstance::getNTUser, ""},
        {&PostgreSQLInstance::getNTPassword, ""},
        {&PostgreSQLInstance::getUNCUser, ""},
        {&PostgreSQLInstance::getUNCPassword, ""},
        {&PostgreSQLInstance::getWriteAheadArchiveLogDir, ""},
        {&PostgreSQLInstance::getPgDataDir, ""},
    };
    PostgreSQLInstance instance(instanceId_);
    for (const auto& [getter, expected] : stored) {
        std::string value = "stale";
        EXPECT_EQ(0, (instance.*getter)(value, nullptr));
        EXPECT_EQ(expected, value);
    }
    std::string sealed;
    ASSERT_EQ(0, instance.getSaPassword(sealed, nullptr));
    char clear[1025] = {};
    int length = sizeof clear;
    ASSERT_NE(0, KXPassword(0).decrypt(sealed, clear, &length));
    EXPECT_STREQ("s3cret", clear);

    PostgreSQLInstance writer(instanceId_);
    ASSERT_EQ(0, writer.setPostgreSQLVersion("15.4", nullptr));
    ASSERT_EQ(0, writer.setUnixUser("postgres", nullptr));
    ASSERT_EQ(0, writer.setLastBackupLogNumber("000000010000000000000003", nullptr));
    bool prune = false;
    EXPECT_EQ(0, instance.isArchiveDeleteSet(prune, nullptr));
    EXPECT_TRUE(prune);
    ASSERT_EQ(0, writer.setArchiveDelete(false, nullptr));
    const std::pair<Getter, const char*> changed[] = {
        {&PostgreSQLInstance::getPostgreSQLVersion, "15.4"},
        {&PostgreSQLInstance::getUnixUser, "postgres"},
        {&PostgreSQLInstance::getLastBackupLogNumber, "000000010000000000000003"},
        {&PostgreSQLInstance::getSaUser, "postgres"},
    };
    PostgreSQLInstance reader(instanceId_);
    for (const auto& [getter, expected] : changed) {
        std::string value;
        EXPECT_EQ(0, (reader.*getter)(value, nullptr));
        EXPECT_EQ(expected, value);
    }
    ASSERT_EQ(0, reader.isArchiveDeleteSet(prune, nullptr));
    EXPECT_FALSE(prune);
}

TEST_F(PropertyStoreTest, MissingInstanceFailsEveryCall) {
    PostgreSQLInstance instance(instanceId_ + 100);
    EXPECT_FALSE(instance.exists());
    std::string value;
    bool flag = false;
    EXPECT_EQ(ENOENT, instance.getUnixUser(value, nullptr));
    EXPECT_EQ(ENOENT, instance.getPort(value, nullptr));
    EXPECT_NE(0, instance.isArchiveDeleteSet(flag, nullptr));
    EXPECT_NE(0, instance.setPostgreSQLVersion("15", nullptr));
    EXPECT_TRUE(store_.listInstances() == std::vector<unsigned long long>{instanceId_})
        << "a failed setter makes no record";
    unsigned long long clientId = 0;
    EXPECT_NE(0, ClientFromInstanceId().getClientId(static_cast<long>(instanceId_ + 100), clientId,
                                                    nullptr));
}

TEST_F(PropertyStoreTest, PasswordsNeverReachTheDiskInClear) {
    ASSERT_EQ(0, store_.setInstanceProperty(instanceId_, "ntPassword", "nt-clear"));
    const std::string text = instanceFileText();
    EXPECT_EQ(std::string::npos, text.find("s3cret")) << text;
    EXPECT_EQ(std::string::npos, text.find("nt-clear")) << text;

    PropertyStore::InstanceRecord record;
    ASSERT_EQ(0, store_.getInstance(instanceId_, record));
    record.properties["uncPassword"] = "clear text";
    EXPECT_EQ(EINVAL, store_.putInstance(record)) << "only sealed passwords are accepted";
    record.properties["uncPassword"] = KXPassword(0).encrypt("unc");
    EXPECT_EQ(0, store_.putInstance(record));
}

TEST_F(PropertyStoreTest, GenericPropertiesAreChecked) {
    Instance instance(instanceId_);
    EXPECT_EQ(EINVAL, instance.setProperty("noSuchProperty", "x", nullptr));
    EXPECT_EQ(EINVAL, instance.setProperty("archiveDelete", "maybe", nullptr));
    std::string value;
    EXPECT_EQ(EINVAL, instance.getProperty("noSuchProperty", value, nullptr));
    for (const auto& [given, read] : std::map<std::string, std::string>{
             {"true", "true"}, {"1", "true"}, {"YES", "true"}, {"on", "true"},
             {"false", "false"}, {"0", "false"}, {"no", "false"}, {"Off", "false"}}) {
        ASSERT_EQ(0, instance.setProperty("archiveDelete", given, nullptr));
        ASSERT_EQ(0, instance.getProperty("archiveDelete", value, nullptr));
        EXPECT_EQ(read, value) << given;
    }
    ASSERT_EQ(0, instance.setProperty("socketFile", "/run/postgresql", nullptr));
    EXPECT_EQ(0, PostgreSQLInstance(instanceId_).getSocketFile(value, nullptr));
    EXPECT_EQ("/run/postgresql", value);
    std::string name;
    EXPECT_EQ(0, instance.getInstanceName(name, nullptr));
    EXPECT_EQ("main", name);
}

TEST_F(PropertyStoreTest, ClientsByInstanceAndByName) {
    unsigned long long clientId = 0;
    ASSERT_EQ(
        0, ClientFromInstanceId().getClientId(static_cast<long>(instanceId_), clientId, nullptr));
    EXPECT_EQ(clientId_, clientId);
    clientId = 0;
    ASSERT_EQ(0, KXClient("pghost", false, 0).getClientId(clientId, nullptr));
    EXPECT_EQ(clientId_, clientId);
    EXPECT_NE(0, KXClient("PGHOST", false, 0).getClientId(clientId, nullptr));
    EXPECT_NE(0, KXClient("", false, 0).getClientId(clientId, nullptr));
}

TEST_F(PropertyStoreTest, CloudClientAndProxyInstallDirectory) {
    PropertyStore::ClientRecord cloud;
    cloud.name = "rds-db";
    cloud.appType = 1;
    cloud.cloudType = 301;
    ASSERT_EQ(0, store_.addClient(cloud));
    PropertyStore::ClientRecord proxy;
    proxy.name = "proxy";
    proxy.proxyDBInstallDir = "/opt/pg/15";
    ASSERT_EQ(0, store_.addClient(proxy));

    int type = -1;
    ASSERT_EQ(0, ClientProperties(cloud.id).getClientAppType(type, nullptr));
    EXPECT_EQ(1, type);
    ASSERT_EQ(0, ClientProperties(cloud.id).getCloudHypervisorType(type, nullptr));
    EXPECT_EQ(301, type);
    ASSERT_EQ(0, ClientProperties(clientId_).getClientAppType(type, nullptr));
    EXPECT_EQ(0, type);
    EXPECT_NE(0, ClientProperties(9999).getClientAppType(type, nullptr));

    Ulo::GetProxyDBInstallDirReq request;
    EXPECT_EQ(22, request.getFamily());
    EXPECT_EQ(600, request.getKind());
    request.setClientId(static_cast<long long>(cloud.id));
    request.setAppType(125);
    request.setVersion("15.4");
    request.setProxyClientId(static_cast<long long>(proxy.id));
    Ulo::GetProxyDBInstallDirResp response;
    EXPECT_EQ(601, response.getKind());
    ASSERT_EQ(0, UloBackup().getProxyDBInstallDir(request, response));
    ASSERT_TRUE(response.hasInstallDir());
    EXPECT_EQ("/opt/pg/15", response.getInstallDir());
    EXPECT_EQ(0, response.getErrorCode());

    // A proxy without a registered directory, and one that is not registered at all.
    request.setProxyClientId(static_cast<long long>(clientId_));
    Ulo::GetProxyDBInstallDirResp none;
    EXPECT_NE(0, UloBackup().getProxyDBInstallDir(request, none));
    EXPECT_FALSE(none.hasInstallDir());
    ASSERT_TRUE(none.hasError());
    EXPECT_NE(0, none.getErrorCode());
    EXPECT_FALSE(none.getErrorString().empty());
    request.setProxyClientId(9999);
    Ulo::GetProxyDBInstallDirResp unknown;
    EXPECT_NE(0, UloBackup().getProxyDBInstallDir(request, unknown));
    EXPECT_NE(0, unknown.getErrorCode());
}

TEST_F(PropertyStoreTest, RecordsAreNumberedListedAndRemoved) {
    PropertyStore::ClientRecord second;
    second.name = "second";
    ASSERT_EQ(0, store_.addClient(second));
    EXPECT_EQ(clientId_ + 1, second.id);
    PropertyStore::ClientRecord fixed;
    fixed.id = 40;
    fixed.name = "fixed";
    ASSERT_EQ(0, store_.addClient(fixed));
    EXPECT_EQ(EEXIST, store_.addClient(fixed));
    EXPECT_EQ((std::vector<unsigned long long>{clientId_, second.id, 40}), store_.listClients());

    fixed.name = "renamed";
    ASSERT_EQ(0, store_.putClient(fixed));
    PropertyStore::ClientRecord read;
    ASSERT_EQ(0, store_.getClient(40, read));
    EXPECT_EQ("renamed", read.name);
    ASSERT_EQ(0, store_.findClientByName("renamed", read));
    EXPECT_EQ(40u, read.id);

    ASSERT_EQ(0, store_.removeClient(40));
    EXPECT_EQ(ENOENT, store_.getClient(40, read));
    EXPECT_EQ(ENOENT, store_.removeClient(40));
    EXPECT_EQ(ENOENT, store_.getClient(0, read));
}

TEST_F(PropertyStoreTest, RecordsAreJsonFilesInTheHome) {
    const std::string path = instancePath();
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    nlohmann::json record = nlohmann::json::parse(instanceFileText());
    EXPECT_EQ(clientId_, record["clientId"].get<unsigned long long>());
    EXPECT_EQ("db1:5433", record["properties"]["port"].get<std::string>());
    EXPECT_TRUE(record["properties"]["archiveDelete"].get<bool>());

    // A field this version does not know survives an update.
    record["properties"]["futureSetting"] = "kept";
    std::ofstream(path) << record.dump();
    ASSERT_EQ(0, store_.setInstanceProperty(instanceId_, "port", "5432"));
    record = nlohmann::json::parse(instanceFileText());
    EXPECT_EQ("kept", record["properties"]["futureSetting"].get<std::string>());
    EXPECT_EQ("5432", record["properties"]["port"].get<std::string>());
}

TEST_F(PropertyStoreTest, DamagedRecordIsAnErrorNotACrash) {
    const std::string path = instancePath();
    PostgreSQLInstance instance(instanceId_);
    std::string value;
    for (const char* text : {"{not json", "[]", R"({"properties": {"port": 5432}})",
                             R"({"properties": "none"})", R"({"clientId": -3})"}) {
        std::ofstream(path, std::ios::trunc) << text;
        EXPECT_EQ(EINVAL, instance.getPort(value, nullptr)) << text;
    }
}

} // namespace
