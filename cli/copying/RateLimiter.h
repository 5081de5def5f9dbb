#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

// Keeps the copy workers together below a byte rate: each takes its share of a common
// schedule before it writes a chunk.
class RateLimiter {
public:
    explicit RateLimiter(std::uint64_t bytesPerSecond);
    // Waits until the bytes may go; returns early when stop() becomes true.
    void Acquire(std::uint64_t bytes, const std::function<bool()>& stop);

private:
    std::uint64_t rate_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point next_;
};
