#pragma once

#include <unistd.h>

#include <cerrno>

// Owns one file descriptor so that no path through the agent leaves it open. Closing on the
// way out keeps errno, so a caller can still report why the work before it failed.
class PGFd {
public:
    explicit PGFd(int fd) : fd_(fd) {}
    ~PGFd() {
        if (fd_ >= 0) {
            const int savedErrno = errno;
            ::close(fd_);
            errno = savedErrno;
        }
    }
    PGFd(const PGFd&) = delete;
    PGFd& operator=(const PGFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Closes now, so that a failing close is seen; false with errno set.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};
