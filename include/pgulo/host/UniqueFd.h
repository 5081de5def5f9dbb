#pragma once

// Owners of the descriptors, pipes, directory streams and FILE streams that the agent, the host
// services and the command line open, so that no path out leaves one open. Closing on the way
// out keeps errno: the caller can still report why the work before it failed. Where a failing
// close matters (the data written may not have reached the file), close() explicitly and check.

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and takes fd.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            const int savedErrno = errno;
            ::close(fd_);
            errno = savedErrno;
        }
        fd_ = fd;
    }
    // Closes now, so that a failing close is seen; false with errno set.
    bool close() { return ::close(release()) == 0; }

private:
    int fd_ = -1;
};

// Both ends of one pipe.
struct UniquePipe {
    UniqueFd read;
    UniqueFd write;

    // Close-on-exec keeps the ends out of children that other threads start. False with errno
    // set; the ends held before are closed either way.
    bool open() {
        read.reset();
        write.reset();
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read.reset(fds[0]);
        write.reset(fds[1]);
        return true;
    }
};

namespace unique_handle_detail {

struct DirCloser {
    void operator()(DIR* dir) const noexcept {
        const int savedErrno = errno;
        ::closedir(dir);
        errno = savedErrno;
    }
};

} // namespace unique_handle_detail

using UniqueDir = std::unique_ptr<DIR, unique_handle_detail::DirCloser>;

class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(FILE* file) : file_(file) {}
    ~UniqueFile() {
        const int savedErrno = errno;
        close();
        errno = savedErrno;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    UniqueFile(UniqueFile&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) {
            const int savedErrno = errno;
            close();
            errno = savedErrno;
            file_ = std::exchange(other.file_, nullptr);
        }
        return *this;
    }

    static UniqueFile Open(const std::string& path, const char* mode) {
        return UniqueFile(std::fopen(path.c_str(), mode));
    }

    FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }

    // 0, or EOF when the close failed (buffered data may be lost).
    int close() {
        FILE* const file = std::exchange(file_, nullptr);
        return file != nullptr ? std::fclose(file) : 0;
    }

    // Reads one whole line, however long, without its "\n" or "\r\n" terminator. False at end
    // of file (or on a read error) with nothing read.
    static bool ReadLine(FILE* file, std::string& line) {
        line.clear();
        if (file == nullptr)
            return false;
        char* raw = nullptr;
        size_t capacity = 0;
        const ssize_t length = ::getline(&raw, &capacity, file);
        // getline allocates even when it fails, so the buffer is owned before looking at length.
        const std::unique_ptr<char, decltype(&std::free)> buffer(raw, &std::free);
        if (length < 0)
            return false;
        line.assign(buffer.get(), static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        }
        return true;
    }

private:
    FILE* file_ = nullptr;
};
