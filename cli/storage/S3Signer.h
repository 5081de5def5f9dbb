#pragma once

#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct S3Credentials {
    std::string accessKey;
    std::string secretKey;
    std::string sessionToken;
};

using S3Query = std::vector<std::pair<std::string, std::string>>;

// Signature Version 4 of one request: pure, so that it can be checked against the published
// examples.
class S3Signer {
public:
    S3Signer(S3Credentials credentials, std::string region, std::string service = "s3");

    // Adds x-amz-date, x-amz-content-sha256, the session token if any, and authorization to
    // headers (lower-case names; every header given is signed). path is already encoded;
    // query is not.
    void Sign(const std::string& method, const std::string& path, const S3Query& query,
              std::map<std::string, std::string>& headers, const std::string& payloadHash,
              std::time_t when) const;

    static std::string CanonicalRequest(const std::string& method, const std::string& path,
                                        const S3Query& query,
                                        const std::map<std::string, std::string>& headers,
                                        const std::string& payloadHash);
    // The query as it is signed and sent: names and values encoded, sorted.
    static std::string CanonicalQuery(const S3Query& query);
    // Percent-encoding of everything but letters, digits and -._~
    static std::string UriEncode(const std::string& text);
    static std::string Sha256Hex(const void* data, std::size_t size);
    static std::string AmzDate(std::time_t when);
    static constexpr const char* kEmptyPayloadHash =
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

private:
    std::string SigningKey(const std::string& day) const;

    S3Credentials credentials_;
    std::string region_;
    std::string service_;
};
