#pragma once

#include "TestProcess.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The object store scripts/objectstore.sh runs for the tests, as the variables its 'env'
// prints describe it, and its own command-line client as the independent reader.
namespace pgulo::test {

class PguloHost;

class TestObjectStore {
public:
    TestObjectStore();

    // Empty when the store's variables are set; else why a test cannot run.
    const std::string& Missing() const { return missing_; }

    const std::string& Endpoint() const { return endpoint_; }
    const std::string& Bucket() const { return bucket_; }
    const std::string& FullBucket() const { return fullBucket_; }
    const std::string& SecretKey() const { return secretKey_; }
    // A prefix no other test or run uses: s3://BUCKET/<it>.
    std::string UniquePrefix(const std::string& name) const;

    // Gives the program the store's address and keys the usual way: the environment.
    void Configure(PguloHost& host) const;
    // `aws --endpoint-url ENDPOINT ARGUMENTS...` with the store's keys.
    ProcessResult Aws(std::vector<std::string> arguments) const;
    // Every object under s3://BUCKET/PREFIX/: its name under the prefix, and its size.
    std::map<std::string, std::uint64_t> Objects(const std::string& prefix) const;
    // Unfinished multipart uploads under the prefix, as the store's client prints them.
    std::string Uploads(const std::string& prefix) const;
    // Removes everything under the prefix, uploads begun included.
    void Clear(const std::string& prefix) const;

private:
    std::string missing_;
    std::string endpoint_;
    std::string region_;
    std::string bucket_;
    std::string fullBucket_;
    std::string accessKey_;
    std::string secretKey_;
};

} // namespace pgulo::test
