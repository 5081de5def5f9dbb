#include "fsbackup/ArchiveWait.h"

#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KXPlatformInfo.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

static EvDebug g_log(nullptr);

namespace {

constexpr long kDefaultTrials = 30;
constexpr long kDefaultPollSeconds = 60;

} // namespace

ArchiveWait::ArchiveWait(long trials, long pollSeconds, long pollMs)
    : trials_(trials), pollSeconds_(pollSeconds), pollMs_(pollMs) {}

ArchiveWait ArchiveWait::FromRegistry(const char* label) {
    KXPlatformInfo registry;
    long trials = kDefaultTrials;
    long value = 0;
    if (!registry.getNumber("PostGres", "nWaitForEndLogMins", value)) {
        g_log.Debug(label, " nWaitForEndLogMins Reg key not set OR Failed to get the value, "
                           "Using the default value 30");
    } else if (value > 0) {
        trials = value;
        g_log.Debug(label, " Maxtrials set is [%lu]", static_cast<unsigned long>(trials));
    } else if (value < 0) {
        // A negative count would never run out: the job would wait for ever.
        g_log.Debug(label, " nWaitForEndLogMins [%ld] is negative, Using the default value 30",
                    value);
    }
    long pollSeconds = kDefaultPollSeconds;
    if (registry.getNumber("PostGres", "nWaitForEndLogPollSecs", value)) {
        if (value > 0) {
            pollSeconds = value;
            g_log.Debug(label, " Seconds between looks set is [%ld]", pollSeconds);
        } else {
            g_log.Debug(label,
                        " nWaitForEndLogPollSecs [%ld] is not positive, Using the "
                        "default value 60",
                        value);
        }
    }
    long pollMs = 0;
    if (registry.getNumber("PostGres", "nWaitForEndLogPollMs", value)) {
        if (value > 0) {
            pollMs = value;
            g_log.Debug(label, " Milliseconds between looks within a wait set is [%ld]", pollMs);
        } else {
            g_log.Debug(label, " nWaitForEndLogPollMs [%ld] is not positive, looking once a wait",
                        value);
        }
    }
    return ArchiveWait(trials, pollSeconds, pollMs);
}

long ArchiveWait::PollMsFromRegistry() {
    long value = 0;
    if (!KXPlatformInfo().getNumber("PostGres", "nWaitForEndLogPollMs", value) || value < 0)
        return 0;
    return value;
}

bool ArchiveWait::Until(const std::function<bool()>& found, const std::function<void()>& announce,
                        const std::function<void()>& checkQuit) const {
    for (long trial = 0;; ++trial) {
        if (found())
            return true;
        if (trial + 1 >= trials_)
            return false;
        announce();
        if (Between(found, checkQuit))
            return true;
    }
}

bool ArchiveWait::Between(const std::function<bool()>& found,
                          const std::function<void()>& checkQuit) const {
    if (pollMs_ <= 0) {
        for (long second = 0; second < pollSeconds_; ++second) {
            checkQuit();
            ::sleep(1);
        }
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(pollSeconds_);
    for (;;) {
        checkQuit();
        const Clock::duration left = end - Clock::now();
        if (left <= Clock::duration::zero())
            return false;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(left, std::chrono::milliseconds(pollMs_)));
        // The last look of a wait is the next trial's own.
        if (Clock::now() < end && found())
            return true;
    }
}
