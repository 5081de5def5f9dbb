#pragma once

#include "HttpTransfer.h"

#include <chrono>

// When a request to the store is worth trying again, and how long to wait first: answers that
// say the store is busy or failing (5xx, 429, a timeout the store reports) and transfers that
// never got an answer (refused or dropped connections, timeouts), a bounded number of times
// with exponentially growing, jittered pauses.
class HttpRetry {
public:
    HttpRetry(int attempts, std::chrono::milliseconds firstPause);

    int Attempts() const { return attempts_; }
    static bool Transient(const HttpResponse& response);
    // The pause before try number attempt + 1 (attempt counts from 1).
    std::chrono::milliseconds Pause(int attempt) const;

    static constexpr std::chrono::milliseconds kLongestPause{10000};

private:
    int attempts_;
    std::chrono::milliseconds firstPause_;
};
