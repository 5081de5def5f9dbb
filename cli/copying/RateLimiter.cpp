#include "RateLimiter.h"

#include <thread>

RateLimiter::RateLimiter(std::uint64_t bytesPerSecond)
    : rate_(bytesPerSecond == 0 ? 1 : bytesPerSecond), next_(std::chrono::steady_clock::now()) {}

void RateLimiter::Acquire(std::uint64_t bytes, const std::function<bool()>& stop) {
    using namespace std::chrono;
    steady_clock::time_point due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = steady_clock::now();
        if (next_ < now)
            next_ = now;
        due = next_;
        next_ += duration_cast<steady_clock::duration>(
            duration<double>(static_cast<double>(bytes) / static_cast<double>(rate_)));
    }
    while (!(stop && stop()) && steady_clock::now() < due) {
        const auto left = due - steady_clock::now();
        std::this_thread::sleep_for(std::min<steady_clock::duration>(left, milliseconds(100)));
    }
}
