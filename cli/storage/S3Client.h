#pragma once

#include "ByteSink.h"
#include "HttpRetry.h"
#include "HttpTransfer.h"
#include "S3Location.h"
#include "S3Signer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class S3Writer;

struct S3Object {
    std::string key;
    std::uint64_t size = 0;
};

// One level of a listing: the objects right under a prefix, and the prefixes ('/'-ended) of
// the deeper ones.
struct S3Level {
    std::vector<S3Object> objects;
    std::vector<std::string> prefixes;
};

struct S3Upload {
    std::string key;
    std::string uploadId;
    // When it began, as the store says it (ISO 8601, UTC).
    std::string initiated;
};

// The requests the repository makes of an S3-compatible store. Keys are whole object keys
// (see S3Location::Key). Every request is signed, retried on transient failures (each retry
// in the debug log) and, when it fails for good, ends in a CliError of one sentence naming the
// bucket and the endpoint. Safe to use from several threads at once.
class S3Client {
public:
    explicit S3Client(S3Location location);

    const S3Location& Location() const { return location_; }

    void Put(const std::string& key, const std::string& body);
    // Single PUT below the part size, multipart above it; see S3Writer.
    std::unique_ptr<S3Writer> OpenWriter(const std::string& key);

    std::string Get(const std::string& key);
    // The object's bytes from offset on (length 0: to the end), as they arrive.
    void Get(const std::string& key, const ByteSink& sink, std::uint64_t offset = 0,
             std::uint64_t length = 0);
    // A large object fetched in part-sized ranges on the client's threads, handed to sink in
    // order; at most part size × threads bytes wait in memory.
    void GetParallel(const std::string& key, std::uint64_t size, const ByteSink& sink);
    std::optional<S3Object> Head(const std::string& key);

    // Every object under the prefix, however deep; pageSize keys per request.
    std::vector<S3Object> List(const std::string& prefix, int pageSize = 1000);
    // The objects right under the prefix (which ends in '/' or is empty) and the next level's
    // prefixes.
    S3Level ListLevel(const std::string& prefix);
    // Missing keys are no error.
    void DeleteMany(const std::vector<std::string>& keys);

    // Multipart uploads begun and neither completed nor aborted, under the prefix.
    std::vector<S3Upload> ListUploads(const std::string& prefix);
    void AbortUpload(const S3Upload& upload);

    std::string CreateUpload(const std::string& key);
    // The part's ETag.
    std::string UploadPart(const S3Upload& upload, int number, const std::string& data);
    // etags[i] belongs to part i + 1.
    void CompleteUpload(const S3Upload& upload, const std::vector<std::string>& etags);

    static constexpr std::size_t kDeleteBatch = 1000;

private:
    struct Call {
        Call(std::string m, std::string k) : method(std::move(m)), key(std::move(k)) {}
        std::string method;
        std::string key;
        S3Query query;
        std::map<std::string, std::string> headers;
        const std::string* body = nullptr;
        // For a GET streamed into a sink; a retry resumes after the bytes already handed on.
        const ByteSink* sink = nullptr;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };

    // The store's answer; a CliError unless it is a success or one of the accepted statuses.
    HttpResponse Send(Call call, const std::vector<long>& accepted = {});
    // ListObjectsV2 page by page; with a delimiter, the common prefixes go to prefixes.
    std::vector<S3Object> ListPages(const std::string& prefix, int pageSize,
                                    const std::string& delimiter,
                                    std::vector<std::string>* prefixes);
    HttpResponse Attempt(const Call& call, std::uint64_t delivered) const;
    [[noreturn]] void Fail(const Call& call, const HttpResponse& response, int attempts) const;
    std::string What(const Call& call) const;

    S3Location location_;
    S3Signer signer_;
    HttpRetry retry_;
};
