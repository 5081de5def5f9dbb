#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Reports how far a copy is: on a terminal one line that keeps being rewritten (files, bytes,
// rate, time left), otherwise a log line every few seconds, or nothing when quiet. Counters
// are updated by the copy workers; the report runs on its own thread, on standard error.
class Progress {
public:
    enum class Mode { Terminal, Log, Quiet };

    static Mode ModeFor(bool quiet);

    Progress(std::string label, Mode mode);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Start(std::uint64_t totalFiles, std::uint64_t totalBytes);
    void AddBytes(std::uint64_t bytes) { bytes_.fetch_add(bytes, std::memory_order_relaxed); }
    void FileDone() { files_.fetch_add(1, std::memory_order_relaxed); }
    // Stops the report and writes the closing line.
    void Finish();

    std::uint64_t Bytes() const { return bytes_.load(); }
    double Seconds() const;

private:
    void Loop();
    std::string Line() const;

    std::string label_;
    Mode mode_;
    std::uint64_t totalFiles_ = 0;
    std::uint64_t totalBytes_ = 0;
    std::atomic<std::uint64_t> files_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
