#include "pgulo/host/EvDebug.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/HostHome.h"
#include "pgulo/host/KXPlatformInfo.h"
#include "pgulo/host/UniqueFd.h"

#include "HostFormat.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int kDefaultLevel = 2;
constexpr int kLevelNotRead = -1000;

// Process-wide logging state. Loggers are static objects of every unit and may log while
// other units are being built or torn down, so the state is made on first use and never
// destroyed.
struct LogState {
    std::mutex mutex;
    std::atomic<int> level{kLevelNotRead};
    bool contextSet = false;
    std::string clientName;
    long long jobId = 0;
};

LogState& state() {
    static LogState* const instance = new LogState();
    return *instance;
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

long long jobIdFromEnvironment() {
    const char* text = std::getenv("PGULO_JOB_ID");
    if (text == nullptr || *text == '\0')
        return 0;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0')
        return 0;
    return value;
}

std::string timestamp() {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    struct tm local {};
    time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &local);
    char text[64];
    size_t used = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + used, sizeof text - used, ".%03ld", static_cast<long>(now.tv_usec / 1000));
    return text;
}

void appendLine(const std::string& path, const std::string& line) {
    if (!HostHome::ensureDirectory(HostHome::logDirectory()))
        return;
    // O_APPEND with a single write keeps lines whole between threads and processes.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (fd)
        AtomicFile::writeAll(fd.get(), line.data(), line.size());
}

} // namespace

EvDebug::EvDebug(void* /*fileInstance*/) {}

void EvDebug::Debug(const char* label, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(label, 1, format, args);
    va_end(args);
}

void EvDebug::DebugLvl(const char* label, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(label, level, format, args);
    va_end(args);
}

void EvDebug::Error(const char* label, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(label, kErrorLevel, format, args);
    va_end(args);
}

void EvDebug::debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(nullptr, 1, format, args);
    va_end(args);
}

void EvDebug::debug(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(nullptr, level, format, args);
    va_end(args);
}

std::string EvDebug::getClientName() {
    try {
        LogState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.contextSet && !s.clientName.empty())
            return s.clientName;
    } catch (...) {
    }
    return hostName();
}

long long EvDebug::getJobId() {
    try {
        LogState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.contextSet)
            return s.jobId;
    } catch (...) {
    }
    return jobIdFromEnvironment();
}

void EvDebug::setJobContext(const std::string& clientName, long long jobId) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.contextSet = true;
    s.clientName = clientName;
    s.jobId = jobId;
}

std::string EvDebug::logFilePath() {
    return HostHome::logDirectory() + "/job_" + std::to_string(getJobId()) + ".log";
}

int EvDebug::currentLevel() {
    LogState& s = state();
    int level = s.level.load(std::memory_order_acquire);
    if (level != kLevelNotRead)
        return level;
    long value = kDefaultLevel;
    try {
        KXPlatformInfo registry;
        if (!registry.getNumber("EvDebug", "nDebugLevel", value))
            value = kDefaultLevel;
    } catch (...) {
        value = kDefaultLevel;
    }
    if (value < -1)
        value = -1;
    if (value > 1000)
        value = 1000;
    s.level.store(static_cast<int>(value), std::memory_order_release);
    return static_cast<int>(value);
}

void EvDebug::reloadSettings() {
    state().level.store(kLevelNotRead, std::memory_order_release);
}

void EvDebug::write(const char* label, int level, const char* format, va_list args) {
    try {
        if (level != kErrorLevel && level > currentLevel())
            return;
        std::string message = HostFormat::vformat(format, args);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
            message.pop_back();
        std::string line = timestamp();
        line += ' ';
        line += std::to_string(static_cast<long>(::getpid()));
        line += ' ';
        line += std::to_string(static_cast<long>(::syscall(SYS_gettid)));
        line += ' ';
        const long long jobId = getJobId();
        line += std::to_string(jobId);
        line += ' ';
        line += level == kErrorLevel ? std::string("ERR") : std::to_string(level);
        line += ' ';
        line += (label != nullptr && *label != '\0') ? label : "-";
        line += ' ';
        line += message;
        line += '\n';
        const std::string path =
            HostHome::logDirectory() + "/job_" + std::to_string(jobId) + ".log";
        std::lock_guard<std::mutex> lock(state().mutex);
        appendLine(path, line);
    } catch (...) {
        // A log line is never worth a failed backup.
    }
}
