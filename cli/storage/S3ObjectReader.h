#pragma once

#include "S3Client.h"
#include "Storage.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// An object, or a range of it, read as the store sends it: a thread of its own fetches it
// (a long whole object in parallel ranges) and hands the bytes over through a small queue, so
// that the caller pulls at its own pace and no more than about a part waits in memory.
class S3ObjectReader : public StorageReader {
public:
    // size: the object's, from a HEAD; length 0: to its end.
    S3ObjectReader(std::shared_ptr<S3Client> client, std::string key, std::uint64_t size,
                   std::uint64_t offset, std::uint64_t length);
    ~S3ObjectReader() override;
    S3ObjectReader(const S3ObjectReader&) = delete;
    S3ObjectReader& operator=(const S3ObjectReader&) = delete;

    // Rethrows the store's failure (a CliError) as it came.
    std::size_t Read(char* buffer, std::size_t size) override;

    // Bytes the queue holds before the fetching thread waits for the reader.
    static constexpr std::size_t kQueueBytes = 4u << 20;

private:
    void Fetch(std::uint64_t size, std::uint64_t offset, std::uint64_t length);
    void Hand(const char* data, std::size_t size);

    std::shared_ptr<S3Client> client_;
    std::string key_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> chunks_;
    std::size_t queued_ = 0;
    std::size_t readInFront_ = 0;
    bool done_ = false;
    bool closed_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};
