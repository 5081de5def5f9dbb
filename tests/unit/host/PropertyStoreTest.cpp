#include "pgulo/host/PropertyStore.h"
#include "pgulo/host/ApplicationId.h"
#include "pgulo/host/ClientFromInstanceId.h"
#include "pgulo/host/KXClient.h"
#include "pgulo/host/KXPassword.h"
#include "pgulo/host/UloBackup.h"

#include "TempHostHome.h"
#include "TestFiles.h"

#include <cerrno>
#include <fstream>
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
        instance.properties = {{"saUser", "postgres"}, {"port", "db1:5433"}};
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
    const auto instance = appId.getInstance(nullptr);
    const auto backupSet = appId.getBackupSet(nullptr);
    const auto client = appId.getClient(nullptr);
    const auto subclient = appId.getSubclient(nullptr);
    ASSERT_TRUE(instance && backupSet && client && subclient);
    EXPECT_EQ(instanceId_, instance->getInstanceId());
    EXPECT_EQ(9u, backupSet->getBackupSetId());
    unsigned long long clientId = 0;
    ASSERT_EQ(0, client->getClientId(clientId, nullptr));
    EXPECT_EQ(clientId_, clientId);
    std::string guid;
    ASSERT_EQ(0, subclient->getGUIDStr(guid, nullptr));
    EXPECT_EQ(36u, guid.size()) << guid;

    ApplicationId missing(2, appId_ + 100);
    EXPECT_FALSE(missing.getInstance(nullptr) || missing.getBackupSet(nullptr) ||
                 missing.getClient(nullptr) || missing.getSubclient(nullptr));
}

TEST_F(PropertyStoreTest, MissingInstanceFailsEveryCall) {
    PostgreSQLInstance instance(instanceId_ + 100);
    EXPECT_FALSE(instance.exists());
    std::string value;
    bool flag = false;
    EXPECT_EQ(ENOENT, instance.getUnixUser(value, nullptr));
    EXPECT_NE(0, instance.isArchiveDeleteSet(flag, nullptr));
    EXPECT_NE(0, instance.setPostgreSQLVersion("15", nullptr));
    EXPECT_TRUE(store_.listInstances() == std::vector<unsigned long long>{instanceId_})
        << "a failed setter makes no record";
    unsigned long long clientId = 0;
    EXPECT_NE(0, ClientFromInstanceId().getClientId(static_cast<long>(instanceId_ + 100), clientId,
                                                    nullptr));
    EXPECT_NE(0, KXClient("PGHOST", false, 0).getClientId(clientId, nullptr));
}

TEST_F(PropertyStoreTest, PasswordsAreSealedOnDiskAndOpenAgain) {
    ASSERT_EQ(0, store_.setInstanceProperty(instanceId_, "ntPassword", "nt-clear"));
    const std::string text = instanceFileText();
    EXPECT_EQ(std::string::npos, text.find("s3cret")) << text;
    EXPECT_EQ(std::string::npos, text.find("nt-clear")) << text;
    std::string sealed;
    ASSERT_EQ(0, PostgreSQLInstance(instanceId_).getSaPassword(sealed, nullptr));
    char clear[1025] = {};
    int length = sizeof clear;
    ASSERT_NE(0, KXPassword(0).decrypt(sealed, clear, &length));
    EXPECT_STREQ("s3cret", clear);

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
    for (const auto& [given, read] : std::vector<std::pair<std::string, std::string>>{
             {"YES", "true"}, {"Off", "false"}, {"1", "true"}, {"no", "false"}}) {
        ASSERT_EQ(0, instance.setProperty("archiveDelete", given, nullptr));
        ASSERT_EQ(0, instance.getProperty("archiveDelete", value, nullptr));
        EXPECT_EQ(read, value) << given;
    }
    ASSERT_EQ(0, PostgreSQLInstance(instanceId_).setArchiveDelete(true, nullptr));
    bool prune = false;
    ASSERT_EQ(0, PostgreSQLInstance(instanceId_).isArchiveDeleteSet(prune, nullptr));
    EXPECT_TRUE(prune);
    EXPECT_EQ(0, instance.getInstanceName(value, nullptr));
    EXPECT_EQ("main", value);
}

TEST_F(PropertyStoreTest, ProxyInstallDirectoryIsAnsweredOrRefused) {
    PropertyStore::ClientRecord proxy;
    proxy.name = "proxy";
    proxy.proxyDBInstallDir = "/opt/pg/15";
    ASSERT_EQ(0, store_.addClient(proxy));
    Ulo::GetProxyDBInstallDirReq request;
    request.setClientId(static_cast<long long>(clientId_));
    request.setProxyClientId(static_cast<long long>(proxy.id));
    Ulo::GetProxyDBInstallDirResp response;
    ASSERT_EQ(0, UloBackup().getProxyDBInstallDir(request, response));
    EXPECT_EQ("/opt/pg/15", response.getInstallDir());

    request.setProxyClientId(9999);
    Ulo::GetProxyDBInstallDirResp unknown;
    EXPECT_NE(0, UloBackup().getProxyDBInstallDir(request, unknown));
    EXPECT_NE(0, unknown.getErrorCode());
    EXPECT_FALSE(unknown.getErrorString().empty());
}

TEST_F(PropertyStoreTest, RecordsAreNumberedListedAndRemoved) {
    PropertyStore::ClientRecord fixed;
    fixed.id = 40;
    fixed.name = "fixed";
    ASSERT_EQ(0, store_.addClient(fixed));
    EXPECT_EQ(EEXIST, store_.addClient(fixed));
    PropertyStore::ClientRecord next;
    next.name = "next";
    ASSERT_EQ(0, store_.addClient(next));
    EXPECT_EQ((std::vector<unsigned long long>{clientId_, 40, next.id}), store_.listClients());

    fixed.name = "renamed";
    ASSERT_EQ(0, store_.putClient(fixed));
    PropertyStore::ClientRecord read;
    ASSERT_EQ(0, store_.findClientByName("renamed", read));
    EXPECT_EQ(40u, read.id);
    ASSERT_EQ(0, store_.removeClient(40));
    EXPECT_EQ(ENOENT, store_.getClient(40, read));
    EXPECT_EQ(ENOENT, store_.removeClient(40));
    EXPECT_EQ(ENOENT, store_.getClient(0, read));
}

TEST_F(PropertyStoreTest, RecordsArePrivateJsonFilesThatKeepUnknownFieldsAndMayBeDamaged) {
    const std::string path = instancePath();
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    nlohmann::json record = nlohmann::json::parse(instanceFileText());
    record["properties"]["futureSetting"] = "kept";
    std::ofstream(path) << record.dump();
    ASSERT_EQ(0, store_.setInstanceProperty(instanceId_, "port", "5432"));
    record = nlohmann::json::parse(instanceFileText());
    EXPECT_EQ("kept", record["properties"]["futureSetting"].get<std::string>());
    EXPECT_EQ("5432", record["properties"]["port"].get<std::string>());

    // A damaged record is an error, not a crash.
    PostgreSQLInstance instance(instanceId_);
    std::string value;
    for (const char* text : {"{not json", "[]", R"({"properties": {"port": 5432}})",
                             R"({"properties": "none"})", R"({"clientId": -3})"}) {
        std::ofstream(path, std::ios::trunc) << text;
        EXPECT_EQ(EINVAL, instance.getPort(value, nullptr)) << text;
    }
}

} // namespace
