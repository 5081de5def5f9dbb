#include "S3ObjectReader.h"

#include "S3Location.h"
#include "pgulo/host/EvDebug.h"

#include <algorithm>
#include <cstring>

namespace {

EvDebug g_log(nullptr);

// Thrown into the fetching thread when the reader goes away before the end: it stops the
// transfer, and is no failure.
struct ReaderClosed {};

} // namespace

S3ObjectReader::S3ObjectReader(std::shared_ptr<S3Client> client, std::string key,
                               std::uint64_t size, std::uint64_t offset, std::uint64_t length)
    : client_(std::move(client)), key_(std::move(key)) {
    thread_ = std::thread([this, size, offset, length] { Fetch(size, offset, length); });
}

S3ObjectReader::~S3ObjectReader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void S3ObjectReader::Fetch(std::uint64_t size, std::uint64_t offset, std::uint64_t length) {
    const ByteSink sink = [this](const char* data, std::size_t count) { Hand(data, count); };
    std::exception_ptr failure;
    try {
        const std::uint64_t end = length == 0 ? size : std::min(size, offset + length);
        if (offset >= end) {
            // Nothing to fetch: an empty object or a range past its end.
        } else if (offset == 0 && end == size && size > client_->Location().Settings().partSize) {
            client_->GetParallel(key_, size, sink);
        } else {
            client_->Get(key_, sink, offset, end - offset);
        }
    } catch (const ReaderClosed&) {
        g_log.DebugLvl("S3", 3, "the reader of '%s' closed before its end", key_.c_str());
    } catch (...) {
        failure = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        failure_ = failure;
    }
    changed_.notify_all();
}

void S3ObjectReader::Hand(const char* data, std::size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A piece larger than the queue still goes in alone, or a parallel range would never fit.
    changed_.wait(lock, [&] { return closed_ || queued_ == 0 || queued_ + size <= kQueueBytes; });
    if (closed_)
        throw ReaderClosed{};
    chunks_.emplace_back(data, size);
    queued_ += size;
    lock.unlock();
    changed_.notify_all();
}

std::size_t S3ObjectReader::Read(char* buffer, std::size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !chunks_.empty() || done_; });
    if (chunks_.empty()) {
        if (failure_)
            std::rethrow_exception(failure_);
        return 0;
    }
    const std::string& front = chunks_.front();
    const std::size_t piece = std::min(size, front.size() - readInFront_);
    std::memcpy(buffer, front.data() + readInFront_, piece);
    readInFront_ += piece;
    if (readInFront_ == front.size()) {
        queued_ -= front.size();
        chunks_.pop_front();
        readInFront_ = 0;
        lock.unlock();
        changed_.notify_all();
    }
    return piece;
}
