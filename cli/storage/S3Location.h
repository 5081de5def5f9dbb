#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

// How to reach an object store: what the options give, the rest from the usual environment
// (AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_REGION).
struct S3Settings {
    std::string endpoint;
    std::string region;
    std::string accessKey;
    std::string secretKey;
    std::string sessionToken;
    // Unset: path-style when an endpoint is given, virtual-host style otherwise.
    std::optional<bool> pathStyle;
    // Large objects travel in parts of this size; the store refuses smaller ones.
    std::size_t partSize = 8u << 20;
    // Parts in flight at once, each way.
    int threads = 4;
    // Tries of one request, the first included, and the pause before the first retry (doubled
    // each time).
    int attempts = 5;
    std::chrono::milliseconds retryPause{200};
};

// An s3://BUCKET/PREFIX location with the settings to reach it.
class S3Location {
public:
    static constexpr std::size_t kMinPartSize = 5u << 20;

    static bool IsS3Url(const std::string& text);
    // CliError (usage) for a malformed URL, an endpoint that is not a URL, a part size under
    // the store's minimum, or credentials neither given nor in the environment.
    static S3Location Parse(const std::string& url, S3Settings settings = {});

    const std::string& Bucket() const { return bucket_; }
    // Without leading slash; with a trailing one unless empty.
    const std::string& Prefix() const { return prefix_; }
    const S3Settings& Settings() const { return settings_; }
    const std::string& Endpoint() const { return settings_.endpoint; }

    // The prefix followed by a name relative to it.
    std::string Key(const std::string& relative) const;
    // The Host header's value.
    std::string Host() const;
    // The path of an object (empty key: of the bucket), each segment percent-encoded.
    std::string Path(const std::string& key) const;
    // scheme://host[:port] followed by Path(key).
    std::string Url(const std::string& key) const;
    // "bucket 'B' at ENDPOINT", for messages.
    std::string Describe() const;

private:
    std::string bucket_;
    std::string prefix_;
    S3Settings settings_;
    std::string scheme_;
    std::string authority_;
};
