#include "HttpRetry.h"

#include <algorithm>
#include <random>

HttpRetry::HttpRetry(int attempts, std::chrono::milliseconds firstPause)
    : attempts_(attempts), firstPause_(firstPause) {}

bool HttpRetry::Transient(const HttpResponse& response) {
    if (response.status == 0)
        return true;
    return response.status >= 500 || response.status == 429;
}

std::chrono::milliseconds HttpRetry::Pause(int attempt) const {
    const int doublings = std::min(attempt - 1, 16);
    const auto full =
        std::min<std::chrono::milliseconds>(firstPause_ * (1LL << doublings), kLongestPause);
    // Half fixed, half random: parallel parts that failed together do not retry together.
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<long long> jitter(0, full.count() / 2);
    return std::chrono::milliseconds(full.count() / 2 + jitter(random));
}
