#include "LocalStorage.h"

#include "FileOps.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error(what + " " + path + ": " + FileOps::ErrnoText(error));
}

// Written under a temporary name next to the file, made exclusively (no other file is taken
// over, two writers never share one), so that the name holds a whole file or none.
class LocalWriter : public StorageWriter {
public:
    explicit LocalWriter(std::string path)
        : path_(std::move(path)), temp_(FileOps::Parent(path_) + "/.part-XXXXXX") {
        FileOps::MakeDirectories(FileOps::Parent(path_));
        fd_.reset(::mkostemp(temp_.data(), O_CLOEXEC));
        if (fd_.get() < 0)
            Fail("cannot create a temporary file for", path_, errno);
        buffer_.reserve(kWriteBuffer);
    }

    ~LocalWriter() override {
        if (!committed_ && ::unlink(temp_.c_str()) != 0 && errno != ENOENT)
            std::fprintf(stderr, "pgulo: note: cannot remove %s: %s\n", temp_.c_str(),
                         FileOps::ErrnoText(errno).c_str());
    }

    void Write(const char* data, std::size_t size) override {
        buffer_.append(data, size);
        if (buffer_.size() >= kWriteBuffer)
            Flush();
    }

    void Commit() override {
        Flush();
        if (!fd_.close())
            Fail("cannot close", temp_, errno);
        if (::rename(temp_.c_str(), path_.c_str()) != 0)
            Fail("cannot rename " + temp_ + " to", path_, errno);
        committed_ = true;
    }

private:
    void Flush() {
        if (AtomicFile::writeAll(fd_.get(), buffer_.data(), buffer_.size()) != 0)
            Fail("cannot write", temp_, errno);
        buffer_.clear();
    }

    std::string path_;
    std::string temp_;
    UniqueFd fd_;
    std::string buffer_;
    bool committed_ = false;
};

class LocalReader : public StorageReader {
public:
    LocalReader(UniqueFd fd, std::string path, std::uint64_t offset, std::uint64_t length)
        : fd_(std::move(fd)), path_(std::move(path)), position_(offset),
          end_(length == 0 ? UINT64_MAX : offset + length) {
        ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }

    std::size_t Read(char* buffer, std::size_t size) override {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - position_));
        if (want == 0)
            return 0;
        for (;;) {
            const ssize_t n = ::pread(fd_.get(), buffer, want, static_cast<off_t>(position_));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                Fail("cannot read", path_, errno);
            position_ += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
    }

private:
    UniqueFd fd_;
    std::string path_;
    std::uint64_t position_;
    std::uint64_t end_;
};

} // namespace

LocalStorage::LocalStorage(std::string root, bool hideLocalPath)
    : root_(std::move(root)), hideLocalPath_(hideLocalPath) {}

std::string LocalStorage::Full(const std::string& path) const {
    return Join(root_, path);
}

std::unique_ptr<StorageWriter> LocalStorage::Create(const std::string& path) {
    return std::make_unique<LocalWriter>(Full(path));
}

std::unique_ptr<StorageReader> LocalStorage::Open(const std::string& path, std::uint64_t offset,
                                                  std::uint64_t length) const {
    const std::string full = Full(path);
    UniqueFd fd(::open(full.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return nullptr;
        Fail("cannot open", full, errno);
    }
    return std::make_unique<LocalReader>(std::move(fd), full, offset, length);
}

std::optional<std::string> LocalStorage::ReadSmall(const std::string& path) const {
    struct stat st {};
    if (!FileOps::LStat(Full(path), st))
        return std::nullopt;
    return FileOps::ReadWhole(Full(path));
}

void LocalStorage::WriteLast(const std::string& path, const std::string& bytes) {
    FileOps::MakeDirectories(FileOps::Parent(Full(path)));
    FileOps::WriteAtomically(Full(path), bytes);
}

bool LocalStorage::WriteNew(const std::string& path, const std::string& bytes) {
    FileOps::MakeDirectories(FileOps::Parent(Full(path)));
    return FileOps::CreateAtomically(Full(path), bytes);
}

std::vector<Storage::Entry> LocalStorage::List(const std::string& prefix) const {
    namespace fs = std::filesystem;
    std::string base = Full(prefix);
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    std::vector<Entry> entries;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(base, ec)))
        return entries;
    for (fs::recursive_directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            continue;
        Entry entry;
        entry.path = it->path().string().substr(base.size() + 1);
        struct stat st {};
        if (FileOps::LStat(it->path().string(), st))
            entry.size = static_cast<std::uint64_t>(st.st_size);
        entries.push_back(std::move(entry));
    }
    if (ec)
        throw std::runtime_error("cannot list " + base + ": " + ec.message());
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    return entries;
}

std::vector<std::string> LocalStorage::ListChildren(const std::string& prefix) const {
    std::vector<std::string> names;
    for (const std::string& name : FileOps::List(Full(prefix))) {
        struct stat st {};
        if (FileOps::LStat(Join(Full(prefix), name), st))
            names.push_back(S_ISDIR(st.st_mode) ? name + "/" : name);
    }
    // Sorted as the names with their '/': "a-1/" before "a/".
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::uint64_t> LocalStorage::Size(const std::string& path) const {
    struct stat st {};
    if (!FileOps::LStat(Full(path), st) || S_ISDIR(st.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

void LocalStorage::Remove(const std::vector<std::string>& paths) {
    std::vector<std::string> parents;
    for (const std::string& path : paths) {
        const std::string full = Full(path);
        if (::unlink(full.c_str()) != 0) {
            if (errno == ENOENT)
                continue;
            Fail("cannot remove", full, errno);
        }
        parents.push_back(FileOps::Parent(full));
    }
    std::sort(parents.begin(), parents.end());
    parents.erase(std::unique(parents.begin(), parents.end()), parents.end());
    for (const std::string& parent : parents)
        FileOps::SyncDirectory(parent);
}

void LocalStorage::RemoveTree(const std::string& prefix,
                              const std::function<void()>& afterUnlisted) {
    const std::string full = Full(prefix);
    const std::string name = FileOps::BaseName(full);
    std::string doomed = full;
    if (name.rfind(kUnlistedPrefix, 0) != 0) {
        doomed = Join(FileOps::Parent(full), kUnlistedPrefix + name);
        if (::rename(full.c_str(), doomed.c_str()) != 0) {
            if (errno != ENOENT)
                Fail("cannot remove", full, errno);
            doomed = full;
        } else {
            FileOps::SyncDirectory(FileOps::Parent(full));
        }
    }
    if (afterUnlisted)
        afterUnlisted();
    FileOps::RemoveTree(doomed);
}

void LocalStorage::Sync(const std::string& prefix) {
    const std::string full = Full(prefix);
    FileOps::SyncFileSystem(FileOps::Exists(full) ? full : root_);
}

std::string LocalStorage::LocalPath(const std::string& path) const {
    return hideLocalPath_ ? std::string() : Full(path);
}

std::string LocalStorage::Describe(const std::string& path) const {
    return Full(path);
}
