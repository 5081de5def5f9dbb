#include "FileOps.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

[[noreturn]] void Fail(const AtomicFile::Failure& failure) {
    Fail("cannot " + failure.step, failure.path, failure.error);
}

} // namespace

std::string FileOps::ErrnoText(int error) {
    return std::strerror(error);
}

void FileOps::MakeDirectories(const std::string& path, mode_t mode) {
    if (path.empty())
        return;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            throw std::runtime_error(path + " exists and is not a directory");
        return;
    }
    const std::string parent = Parent(path);
    if (parent != path)
        MakeDirectories(parent, mode);
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        Fail("cannot create directory", path, errno);
}

void FileOps::SyncDirectory(const std::string& path) {
    AtomicFile::Failure failure;
    if (!AtomicFile::syncDirectory(path, failure))
        Fail(failure);
}

void FileOps::SyncFileSystem(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        Fail("cannot open", path, errno);
    if (::syncfs(fd.get()) != 0)
        Fail("cannot flush the file system of", path, errno);
}

void FileOps::WriteAtomically(const std::string& path, const std::string& text, mode_t mode) {
    AtomicFile::Failure failure;
    if (!AtomicFile::replace(path, text, mode, failure))
        Fail(failure);
}

bool FileOps::CreateAtomically(const std::string& path, const std::string& text, mode_t mode) {
    const int rc = AtomicFile::create(path, text, mode);
    if (rc == EEXIST)
        return false;
    if (rc != 0)
        Fail("cannot create", path, rc);
    return true;
}

std::string FileOps::ReadWhole(const std::string& path) {
    std::string text;
    AtomicFile::Failure failure;
    if (!AtomicFile::load(path, text, failure))
        Fail(failure);
    return text;
}

void FileOps::RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec)
        throw std::runtime_error("cannot remove " + path + ": " + ec.message());
}

std::uint64_t FileOps::TreeBytes(const std::string& path) {
    namespace fs = std::filesystem;
    std::uint64_t bytes = 0;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return 0;
    bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (::lstat(it->path().c_str(), &st) == 0)
            bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
    }
    return bytes;
}

bool FileOps::Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool FileOps::IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileOps::IsAbsentOrEmpty(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return false;
    return List(path).empty();
}

bool FileOps::LStat(const std::string& path, struct stat& st) {
    if (::lstat(path.c_str(), &st) == 0)
        return true;
    if (errno == ENOENT || errno == ENOTDIR)
        return false;
    Fail("cannot examine", path, errno);
}

std::string FileOps::UserName(uid_t uid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return "";
    return found->pw_name;
}

std::string FileOps::GroupName(gid_t gid) {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return "";
    return found->gr_name;
}

long FileOps::UidOf(const std::string& user) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (user.empty() ||
        ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return -1;
    return static_cast<long>(found->pw_uid);
}

long FileOps::GidOf(const std::string& group) {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    if (group.empty() ||
        ::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return -1;
    return static_cast<long>(found->gr_gid);
}

std::string FileOps::Parent(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string FileOps::BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FileOps::Join(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    if (a.back() == '/')
        return b.front() == '/' ? a + b.substr(1) : a + b;
    return b.front() == '/' ? a + b : a + "/" + b;
}

std::string FileOps::Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    std::error_code ec;
    std::string cwd = std::filesystem::current_path(ec).string();
    if (ec)
        throw std::runtime_error("cannot read the working directory: " + ec.message());
    return Join(cwd, path);
}

std::vector<std::string> FileOps::List(const std::string& path) {
    std::vector<std::string> names;
    UniqueDir dir(::opendir(path.c_str()));
    if (!dir) {
        if (errno == ENOENT)
            return names;
        Fail("cannot list", path, errno);
    }
    while (const struct dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void FileOps::WriteAt(int fd, const char* data, std::size_t size, std::uint64_t offset,
                      const std::string& target) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("cannot write " + target + ": " + ErrnoText(errno));
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

int FileOps::OpenSource(const std::string& path) {
    // O_NOATIME is refused for files of other users unless we own them or are root.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd;
}

std::size_t FileOps::ReadAt(int fd, char* data, std::size_t size, std::uint64_t offset,
                            const std::string& source) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n =
            ::pread(fd, data + filled, size - filled, static_cast<off_t>(offset + filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("cannot read " + source + ": " + ErrnoText(errno));
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    return filled;
}
