#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <deque>
#include <thread>
#include <vector>

// Small files' uploads still on their way: a copy worker hands its small file over and moves
// on, since the store's time per request, not its bandwidth, bounds a backup of many small
// files. The uploading threads live as long as the queue, so that each keeps its connection
// to the store from one request to the next. Anything that reads or decides waits for them
// first (Drain), so the manifest still comes last and a failed upload fails what follows it.
class UploadQueue {
public:
    // Uploads at once: each holds a small file (less than a part) in memory.
    static constexpr std::size_t kThreads = 8;

    UploadQueue() = default;
    ~UploadQueue();
    UploadQueue(const UploadQueue&) = delete;
    UploadQueue& operator=(const UploadQueue&) = delete;

    // Queues an upload; waits while the queue is full. Rethrows a failure of an earlier
    // upload not reported yet.
    void Add(std::function<void()> upload);
    // Waits for every upload; rethrows the first failure not reported yet.
    void Drain();

private:
    void Run();
    void RethrowFailure(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> waiting_;
    std::size_t running_ = 0;
    std::exception_ptr failure_;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};
