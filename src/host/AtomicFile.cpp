#include "AtomicFile.h"

#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

// Writes the text to a fresh temporary file next to path; fills tempPath.
int writeTemp(const std::string& path, const std::string& text, mode_t mode,
              std::string& tempPath) {
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = ".tmpXXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    UniqueFd fd(::mkstemp(name.data()));
    if (!fd)
        return errno;
    tempPath = name.data();
    int rc = 0;
    if (::fchmod(fd.get(), mode) != 0)
        rc = errno;
    if (rc == 0)
        rc = AtomicFile::writeAll(fd.get(), text.data(), text.size());
    if (rc == 0 && ::fsync(fd.get()) != 0)
        rc = errno;
    int fdNumber = fd.release();
    if (::close(fdNumber) != 0 && rc == 0)
        rc = errno;
    if (rc != 0)
        ::unlink(tempPath.c_str());
    return rc;
}

} // namespace

void AtomicFile::syncDirectoryOf(const std::string& path) {
    UniqueFd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

int AtomicFile::write(const std::string& path, const std::string& text, mode_t mode) {
    std::string temp;
    int rc = writeTemp(path, text, mode, temp);
    if (rc != 0)
        return rc;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        rc = errno;
        ::unlink(temp.c_str());
        return rc;
    }
    syncDirectoryOf(path);
    return 0;
}

int AtomicFile::create(const std::string& path, const std::string& text, mode_t mode) {
    std::string temp;
    int rc = writeTemp(path, text, mode, temp);
    if (rc != 0)
        return rc;
    // link() fails when the target exists, so a file made by a concurrent creator wins
    // and is never replaced.
    if (::link(temp.c_str(), path.c_str()) != 0)
        rc = errno;
    ::unlink(temp.c_str());
    if (rc == 0)
        syncDirectoryOf(path);
    return rc;
}

int AtomicFile::read(const std::string& path, std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errno;
    std::string result;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            break;
        result.append(buffer, static_cast<size_t>(got));
    }
    text.swap(result);
    return 0;
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
