#include "TestObjectStore.h"

#include "PguloHost.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace pgulo::test {

namespace {

std::string Variable(const char* name, std::string& missing) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        missing = std::string(name) + " is not set: start scripts/objectstore.sh and export what "
                                      "'scripts/objectstore.sh env' prints";
        return "";
    }
    return value;
}

} // namespace

TestObjectStore::TestObjectStore() {
    endpoint_ = Variable("PGULO_S3_ENDPOINT", missing_);
    region_ = Variable("PGULO_S3_REGION", missing_);
    bucket_ = Variable("PGULO_S3_BUCKET", missing_);
    fullBucket_ = Variable("PGULO_S3_FULL_BUCKET", missing_);
    accessKey_ = Variable("PGULO_S3_ACCESS_KEY", missing_);
    secretKey_ = Variable("PGULO_S3_SECRET_KEY", missing_);
}

std::string TestObjectStore::UniquePrefix(const std::string& name) const {
    return "t" + std::to_string(::getpid()) + "-" + name;
}

void TestObjectStore::Configure(PguloHost& host) const {
    host.SetVariable("AWS_ENDPOINT_URL", endpoint_);
    host.SetVariable("AWS_REGION", region_);
    host.SetVariable("AWS_ACCESS_KEY_ID", accessKey_);
    host.SetVariable("AWS_SECRET_ACCESS_KEY", secretKey_);
}

ProcessResult TestObjectStore::Aws(std::vector<std::string> arguments) const {
    ProcessOptions options;
    options.env = {{"AWS_ACCESS_KEY_ID", accessKey_},
                   {"AWS_SECRET_ACCESS_KEY", secretKey_},
                   {"AWS_DEFAULT_REGION", region_}};
    arguments.insert(arguments.begin(), {"aws", "--endpoint-url", endpoint_});
    return runCommand(arguments, options);
}

std::map<std::string, std::uint64_t> TestObjectStore::Objects(const std::string& prefix) const {
    const ProcessResult r = Aws({"s3api", "list-objects-v2", "--bucket", bucket_, "--prefix",
                                 prefix + "/", "--output", "json"});
    if (r.exitCode != 0)
        throw std::runtime_error("aws s3api list-objects-v2 failed: " + r.err);
    std::map<std::string, std::uint64_t> objects;
    if (trim(r.out).empty())
        return objects;
    for (const auto& object :
         nlohmann::json::parse(r.out).value("Contents", nlohmann::json::array()))
        objects[object["Key"].get<std::string>().substr(prefix.size() + 1)] = object["Size"];
    return objects;
}

std::string TestObjectStore::Uploads(const std::string& prefix) const {
    const ProcessResult r = Aws({"s3api", "list-multipart-uploads", "--bucket", bucket_, "--prefix",
                                 prefix + "/", "--output", "json"});
    if (r.exitCode != 0)
        throw std::runtime_error("aws s3api list-multipart-uploads failed: " + r.err);
    return trim(r.out);
}

void TestObjectStore::Clear(const std::string& prefix) const {
    Aws({"s3", "rm", "--recursive", "--quiet", "s3://" + bucket_ + "/" + prefix + "/"});
    const std::string uploads = Uploads(prefix);
    if (uploads.empty())
        return;
    for (const auto& upload :
         nlohmann::json::parse(uploads).value("Uploads", nlohmann::json::array()))
        Aws({"s3api", "abort-multipart-upload", "--bucket", bucket_, "--key",
             upload["Key"].get<std::string>(), "--upload-id",
             upload["UploadId"].get<std::string>()});
}

} // namespace pgulo::test
