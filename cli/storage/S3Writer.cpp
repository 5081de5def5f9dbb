#include "S3Writer.h"

#include "pgulo/host/EvDebug.h"

#include <algorithm>
#include <exception>

namespace {
EvDebug g_log(nullptr);
constexpr const char* kLabel = "S3";
} // namespace

S3Writer::S3Writer(S3Client& client, std::string key, std::size_t threads)
    : client_(client), upload_{std::move(key), "", ""},
      partSize_(client.Location().Settings().partSize),
      threads_(threads != 0 ? threads
                            : static_cast<std::size_t>(client.Location().Settings().threads)) {
    buffer_.reserve(partSize_);
}

S3Writer::~S3Writer() {
    if (!committed_)
        Abandon();
}

void S3Writer::Write(const char* data, std::size_t size) {
    while (size > 0) {
        // A full part waits for more bytes: whether it is the last one decides between one
        // PUT and a multipart upload.
        if (buffer_.size() == partSize_)
            SendPart();
        const std::size_t piece = std::min(size, partSize_ - buffer_.size());
        buffer_.append(data, piece);
        data += piece;
        size -= piece;
    }
}

void S3Writer::SendPart() {
    if (upload_.uploadId.empty())
        upload_.uploadId = client_.CreateUpload(upload_.key);
    while (inFlight_.size() >= threads_)
        CollectOldest();
    const int number = static_cast<int>(etags_.size() + inFlight_.size()) + 1;
    std::string part;
    part.reserve(partSize_);
    part.swap(buffer_);
    inFlight_.push_back(std::async(std::launch::async, [this, number, data = std::move(part)] {
        return client_.UploadPart(upload_, number, data);
    }));
}

void S3Writer::CollectOldest() {
    std::future<std::string> oldest = std::move(inFlight_.front());
    inFlight_.pop_front();
    etags_.push_back(oldest.get());
}

void S3Writer::Commit() {
    if (upload_.uploadId.empty()) {
        client_.Put(upload_.key, buffer_);
    } else {
        SendPart();
        while (!inFlight_.empty())
            CollectOldest();
        client_.CompleteUpload(upload_, etags_);
    }
    committed_ = true;
    buffer_.clear();
    buffer_.shrink_to_fit();
}

void S3Writer::Abandon() noexcept {
    while (!inFlight_.empty()) {
        try {
            CollectOldest();
        } catch (const std::exception& e) {
            g_log.Debug(kLabel, "a part of abandoned upload '%s' failed: %s", upload_.key.c_str(),
                        e.what());
        }
    }
    if (upload_.uploadId.empty())
        return;
    try {
        client_.AbortUpload(upload_);
        g_log.Debug(kLabel, "aborted the unfinished upload of '%s'", upload_.key.c_str());
    } catch (const std::exception& e) {
        g_log.Error(kLabel, "the unfinished upload of '%s' could not be aborted: %s",
                    upload_.key.c_str(), e.what());
    }
}
