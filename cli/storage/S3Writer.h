#pragma once

#include "S3Client.h"

#include <cstddef>
#include <deque>
#include <future>
#include <string>
#include <vector>

// A streamed upload of one object. The caller writes bytes; a stream that ends below the part
// size is sent in one PUT, a longer one in parts of the part size uploaded on up to the
// client's thread count at once, so that at most part size × (threads + 1) bytes are held.
// Commit makes the object appear; a writer destroyed without Commit aborts its upload and
// leaves nothing behind.
class S3Writer {
public:
    // threads: parts uploaded at once (0: the client's setting).
    S3Writer(S3Client& client, std::string key, std::size_t threads = 0);
    ~S3Writer();
    S3Writer(const S3Writer&) = delete;
    S3Writer& operator=(const S3Writer&) = delete;

    // A CliError when an earlier part failed.
    void Write(const char* data, std::size_t size);
    void Commit();
    // Whether the bytes so far went beyond one part: Commit then completes a multipart upload
    // rather than sending one PUT.
    bool Multipart() const { return !upload_.uploadId.empty(); }

private:
    void SendPart();
    void CollectOldest();
    void Abandon() noexcept;

    S3Client& client_;
    S3Upload upload_;
    std::size_t partSize_;
    std::size_t threads_;
    std::string buffer_;
    std::deque<std::future<std::string>> inFlight_;
    std::vector<std::string> etags_;
    bool committed_ = false;
};
