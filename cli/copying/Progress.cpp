#include "Progress.h"

#include "HumanFormat.h"

#include <unistd.h>

#include <cstdio>

Progress::Mode Progress::ModeFor(bool quiet) {
    if (quiet)
        return Mode::Quiet;
    return ::isatty(STDERR_FILENO) ? Mode::Terminal : Mode::Log;
}

Progress::Progress(std::string label, Mode mode) : label_(std::move(label)), mode_(mode) {}

Progress::~Progress() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Progress::Start(std::uint64_t totalFiles, std::uint64_t totalBytes) {
    totalFiles_ = totalFiles;
    totalBytes_ = totalBytes;
    start_ = std::chrono::steady_clock::now();
    if (mode_ != Mode::Quiet)
        thread_ = std::thread([this] { Loop(); });
}

double Progress::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Progress::Line() const {
    const double seconds = Seconds();
    const std::uint64_t bytes = bytes_.load();
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    std::string line = label_ + ": " + std::to_string(files_.load()) + "/" +
                       std::to_string(totalFiles_) + " files, " + HumanFormat::Bytes(bytes) + "/" +
                       HumanFormat::Bytes(totalBytes_) + ", " + HumanFormat::Rate(rate);
    if (rate > 0 && totalBytes_ > bytes)
        line +=
            ", " + HumanFormat::Duration(static_cast<double>(totalBytes_ - bytes) / rate) + " left";
    return line;
}

void Progress::Loop() {
    const auto every =
        mode_ == Mode::Terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, every, [this] { return stop_; })) {
        if (mode_ == Mode::Terminal)
            std::fprintf(stderr, "\r\033[K%s", Line().c_str());
        else
            std::fprintf(stderr, "%s\n", Line().c_str());
        std::fflush(stderr);
    }
}

void Progress::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (mode_ == Mode::Quiet)
        return;
    const double seconds = Seconds();
    std::fprintf(stderr, "%s%s: %llu files, %s in %s\n", mode_ == Mode::Terminal ? "\r\033[K" : "",
                 label_.c_str(), static_cast<unsigned long long>(files_.load()),
                 HumanFormat::Bytes(bytes_.load()).c_str(), HumanFormat::Duration(seconds).c_str());
    std::fflush(stderr);
}
