// The S3 client against a real S3-compatible store (scripts/objectstore.sh), with the store's
// own command-line client as the independent reader.

#include "S3Client.h"
#include "S3Signer.h"
#include "S3Writer.h"
#include "TempHostHome.h"
#include "TempTree.h"
#include "TestFiles.h"
#include "TestObjectStore.h"
#include "TestProcess.h"
#include "pgulo/host/EvDebug.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using pgulo::test::TempHostHome;
using pgulo::test::TempTree;
using pgulo::test::TestFiles;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Bytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

class S3ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        endpoint_ = Environment("PGULO_S3_ENDPOINT");
        if (endpoint_.empty())
            GTEST_SKIP() << "PGULO_S3_ENDPOINT is not set: start scripts/objectstore.sh and export "
                            "what 'scripts/objectstore.sh env' prints";
        // Every line, the most detailed included, goes to the debug log the test greps.
        TestFiles::Write(home_.file("registry.ini"), "[EvDebug]\nnDebugLevel=9\n");
        EvDebug::reloadSettings();
        prefix_ = "t" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    }

    void TearDown() override {
        if (endpoint_.empty())
            return;
        S3Client client(Location());
        std::vector<std::string> keys;
        for (const S3Object& object : client.List(prefix_))
            keys.push_back(object.key);
        client.DeleteMany(keys);
        EXPECT_EQ(TestFiles::Read(EvDebug::logFilePath()).find(Environment("PGULO_S3_SECRET_KEY")),
                  std::string::npos)
            << "the secret is in the debug log";
    }

    S3Settings Settings() const {
        S3Settings settings;
        settings.endpoint = endpoint_;
        settings.region = Environment("PGULO_S3_REGION");
        settings.accessKey = Environment("PGULO_S3_ACCESS_KEY");
        settings.secretKey = Environment("PGULO_S3_SECRET_KEY");
        settings.partSize = S3Location::kMinPartSize;
        settings.threads = 3;
        settings.attempts = 3;
        settings.retryPause = std::chrono::milliseconds(50);
        return settings;
    }

    S3Location Location(const S3Settings& settings, const std::string& bucket = "") const {
        const std::string name = bucket.empty() ? Environment("PGULO_S3_BUCKET") : bucket;
        return S3Location::Parse("s3://" + name + "/" + prefix_, settings);
    }
    S3Location Location() const { return Location(Settings()); }

    // The store's own client, with the store's endpoint and keys.
    pgulo::test::ProcessResult Aws(std::vector<std::string> arguments) const {
        return store_.Aws(std::move(arguments));
    }

    std::string Unfinished() const {
        const auto result = Aws({"s3api", "list-multipart-uploads", "--bucket",
                                 Environment("PGULO_S3_BUCKET"), "--prefix", prefix_});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    TempHostHome home_;
    pgulo::test::TestObjectStore store_;
    std::string endpoint_;
    std::string prefix_;
};

TEST_F(S3ClientTest, SmallObjectsRoundTrip) {
    S3Client client(Location());
    const std::vector<std::pair<std::string, std::string>> objects = {{"a", "alpha"},
                                                                      {"d/b", ""},
                                                                      {"d/e/c", Bytes(70000, 1)},
                                                                      {"odd name & <x>+1", "odd"},
                                                                      {"z", "zeta"}};
    for (const auto& [name, body] : objects)
        client.Put(client.Location().Key(name), body);

    std::vector<std::string> listed;
    for (const S3Object& object : client.List(prefix_, 2))
        listed.push_back(object.key.substr(prefix_.size()));
    EXPECT_EQ(listed, (std::vector<std::string>{"a", "d/b", "d/e/c", "odd name & <x>+1", "z"}));

    for (const auto& [name, body] : objects) {
        const std::string key = client.Location().Key(name);
        EXPECT_EQ(client.Get(key), body) << name;
        ASSERT_TRUE(client.Head(key).has_value()) << name;
        EXPECT_EQ(client.Head(key)->size, body.size()) << name;
    }
    std::string range;
    client.Get(
        client.Location().Key("d/e/c"), [&](const char* d, std::size_t n) { range.append(d, n); },
        1000, 5000);
    EXPECT_EQ(range, objects[2].second.substr(1000, 5000));
    EXPECT_FALSE(client.Head(client.Location().Key("missing")).has_value());

    client.DeleteMany({client.Location().Key("a"), client.Location().Key("odd name & <x>+1"),
                       client.Location().Key("never-there")});
    EXPECT_EQ(client.List(prefix_).size(), 3u);
}

TEST_F(S3ClientTest, StreamedUploadInPartsIsReadBackByTheStoresClient) {
    S3Client client(Location());
    const std::string data = Bytes((23u << 20) + 123, 2);
    const std::string key = client.Location().Key("big");
    auto writer = client.OpenWriter(key);
    // Pieces that do not line up with the parts.
    for (std::size_t at = 0; at < data.size(); at += 999983)
        writer->Write(data.data() + at, std::min<std::size_t>(999983, data.size() - at));
    writer->Commit();

    TempTree tree("pgulo-s3");
    const auto copy =
        Aws({"s3", "cp", "s3://" + client.Location().Bucket() + "/" + key, tree.Path("big")});
    ASSERT_EQ(copy.exitCode, 0) << copy.err;
    EXPECT_EQ(S3Signer::Sha256Hex(TestFiles::Read(tree.Path("big")).data(), data.size()),
              S3Signer::Sha256Hex(data.data(), data.size()));

    std::string back;
    client.GetParallel(key, data.size(), [&](const char* d, std::size_t n) { back.append(d, n); });
    EXPECT_TRUE(back == data) << "the parallel read differs";
    EXPECT_EQ(Unfinished().find("UploadId"), std::string::npos);
}

TEST_F(S3ClientTest, AbandonedWritersLeaveNothing) {
    S3Client client(Location());
    for (const std::size_t size : {std::size_t{1000}, std::size_t{12u << 20}}) {
        const std::string data = Bytes(size, 3);
        {
            auto writer = client.OpenWriter(client.Location().Key("abandoned"));
            writer->Write(data.data(), data.size());
        }
        EXPECT_FALSE(client.Head(client.Location().Key("abandoned")).has_value()) << size;
        EXPECT_TRUE(client.ListUploads(prefix_).empty()) << size;
        EXPECT_EQ(Unfinished().find("UploadId"), std::string::npos) << size;
    }
    // An upload a crashed writer left is found and removed.
    const S3Upload orphan{client.Location().Key("orphan"),
                          client.CreateUpload(client.Location().Key("orphan")), ""};
    const auto uploads = client.ListUploads(prefix_);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].uploadId, orphan.uploadId);
    EXPECT_EQ(uploads[0].initiated.rfind("20", 0), 0u) << "when it began: " << uploads[0].initiated;
    client.AbortUpload(uploads[0]);
    EXPECT_TRUE(client.ListUploads(prefix_).empty());
}

} // namespace
