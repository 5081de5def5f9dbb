#include "pgulo/host/AtomicFile.h"

#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::string directoryOf(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool fail(AtomicFile::Failure& failure, const char* step, const std::string& path, int error) {
    failure.step = step;
    failure.path = path;
    failure.error = error;
    return false;
}

// Makes a fresh temporary file next to path with the given mode, lets fill write its content
// (fill returns 0 or an errno value) and flushes it; fills tempPath. The temporary file is
// removed again on failure.
template <class Fill>
bool writeTemp(const std::string& path, mode_t mode, Fill&& fill, std::string& tempPath,
               AtomicFile::Failure& failure) {
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = ".tmpXXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    UniqueFd fd(::mkstemp(name.data()));
    tempPath = name.data();
    if (!fd)
        return fail(failure, "create", tempPath, errno);
    const char* step = nullptr;
    int rc = 0;
    if (::fchmod(fd.get(), mode & 07777) != 0) {
        step = "set the mode of";
        rc = errno;
    } else if ((rc = fill(fd.get())) != 0) {
        step = "write";
    } else if (::fsync(fd.get()) != 0) {
        step = "flush";
        rc = errno;
    }
    if (!fd.close() && rc == 0) {
        step = "close";
        rc = errno;
    }
    if (rc != 0) {
        ::unlink(tempPath.c_str());
        return fail(failure, step, tempPath, rc);
    }
    return true;
}

// The temporary file renamed over path; the directory is not flushed yet.
template <class Fill>
bool replaceWith(const std::string& path, mode_t mode, Fill&& fill, AtomicFile::Failure& failure) {
    std::string temp;
    if (!writeTemp(path, mode, std::forward<Fill>(fill), temp, failure))
        return false;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return fail(failure, "rename to", path, error);
    }
    return true;
}

auto textFill(const std::string& text) {
    return [&text](int fd) { return AtomicFile::writeAll(fd, text.data(), text.size()); };
}

// Everything left to read from source, written to fd.
int copyFill(int source, int fd) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t got = ::read(source, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            return 0;
        int rc = AtomicFile::writeAll(fd, buffer.data(), static_cast<size_t>(got));
        if (rc != 0)
            return rc;
    }
}

} // namespace

bool AtomicFile::syncDirectory(const std::string& directory, Failure& failure) {
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return fail(failure, "open directory", directory, errno);
    if (::fsync(dir.get()) != 0)
        return fail(failure, "flush directory", directory, errno);
    return true;
}

void AtomicFile::syncDirectoryOf(const std::string& path) {
    Failure ignored;
    syncDirectory(directoryOf(path), ignored);
}

bool AtomicFile::replace(const std::string& path, const std::string& text, mode_t mode,
                         Failure& failure) {
    return replaceWith(path, mode, textFill(text), failure) &&
           syncDirectory(directoryOf(path), failure);
}

int AtomicFile::write(const std::string& path, const std::string& text, mode_t mode) {
    Failure failure;
    if (!replaceWith(path, mode, textFill(text), failure))
        return failure.error;
    syncDirectoryOf(path);
    return 0;
}

int AtomicFile::copy(int source, const std::string& path, mode_t mode) {
    Failure failure;
    if (!replaceWith(
            path, mode, [source](int fd) { return copyFill(source, fd); }, failure))
        return failure.error;
    syncDirectoryOf(path);
    return 0;
}

int AtomicFile::create(const std::string& path, const std::string& text, mode_t mode) {
    std::string temp;
    Failure failure;
    if (!writeTemp(path, mode, textFill(text), temp, failure))
        return failure.error;
    // link() fails when the target exists, so a file made by a concurrent creator wins
    // and is never replaced.
    int rc = 0;
    if (::link(temp.c_str(), path.c_str()) != 0)
        rc = errno;
    ::unlink(temp.c_str());
    if (rc == 0)
        syncDirectoryOf(path);
    return rc;
}

bool AtomicFile::load(const std::string& path, std::string& text, Failure& failure) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return fail(failure, "open", path, errno);
    std::string result;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return fail(failure, "read", path, errno);
        }
        if (got == 0)
            break;
        result.append(buffer, static_cast<size_t>(got));
    }
    text.swap(result);
    return true;
}

int AtomicFile::read(const std::string& path, std::string& text) {
    Failure failure;
    return load(path, text, failure) ? 0 : failure.error;
}

int AtomicFile::writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}
