#include "UploadQueue.h"

UploadQueue::~UploadQueue() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

void UploadQueue::RethrowFailure(std::unique_lock<std::mutex>& lock) {
    if (!failure_)
        return;
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    lock.unlock();
    std::rethrow_exception(failure);
}

void UploadQueue::Add(std::function<void()> upload) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || waiting_.size() + running_ < kThreads; });
    RethrowFailure(lock);
    waiting_.push_back(std::move(upload));
    if (threads_.size() < kThreads && running_ + waiting_.size() > threads_.size())
        threads_.emplace_back([this] { Run(); });
    lock.unlock();
    changed_.notify_all();
}

void UploadQueue::Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.empty() && running_ == 0; });
    RethrowFailure(lock);
}

void UploadQueue::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
        if (waiting_.empty())
            return;
        std::function<void()> upload = std::move(waiting_.front());
        waiting_.pop_front();
        ++running_;
        lock.unlock();
        std::exception_ptr failure;
        try {
            upload();
        } catch (...) {
            failure = std::current_exception();
        }
        upload = nullptr;
        lock.lock();
        --running_;
        if (failure && !failure_)
            failure_ = failure;
        changed_.notify_all();
    }
}
