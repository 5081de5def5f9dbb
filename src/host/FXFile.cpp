#include "pgulo/host/FXFile.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/FXErrorUtil.h"
#include "pgulo/host/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct auto_find_handle::State {
    UniqueDir dir;
    std::string directory;
    std::string pattern;
};

auto_find_handle::auto_find_handle() = default;
auto_find_handle::~auto_find_handle() = default;

void auto_find_handle::reset(std::unique_ptr<State> state) {
    state_ = std::move(state);
}

void auto_find_handle::close() {
    state_.reset();
}

namespace {

CRoError errnoError(const FXCodeLocation& location, int code, const char* what,
                    const std::string& path) {
    return FXErrorUtil::ErrorErrNo(location, code, "%s [%s]: %s", what, path.c_str(),
                                   std::strerror(code));
}

bool hasWildcard(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
}

bool readNext(auto_find_handle::State& state, FXFile::CFileData& data) {
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(state.dir.get());
        if (entry == nullptr)
            return false;
        if (!state.pattern.empty() && ::fnmatch(state.pattern.c_str(), entry->d_name, 0) != 0)
            continue;
        data.name = entry->d_name;
        if (entry->d_type != DT_UNKNOWN) {
            data.isDirectory = entry->d_type == DT_DIR;
        } else {
            struct stat st {};
            std::string full =
                state.directory == "/" ? "/" + data.name : state.directory + "/" + data.name;
            data.isDirectory = ::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        return true;
    }
}

} // namespace

CRoError FXFile::KXCopyFile(const std::string& source, const std::string& target, int /*flags*/) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return errnoError(FX_CODE_LOCATION, errno, "cannot open", source);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        return errnoError(FX_CODE_LOCATION, errno, "cannot stat", source);
    if (S_ISDIR(st.st_mode))
        return errnoError(FX_CODE_LOCATION, EISDIR, "cannot copy", source);
    int rc = AtomicFile::copy(in.get(), target, st.st_mode);
    if (rc != 0)
        return errnoError(FX_CODE_LOCATION, rc, "cannot copy to", target);
    return CRoError::Success();
}

CRoError FXFile::KXMoveFileEx(const std::string& source, const std::string& target, int flags) {
    const bool replace = (flags & 1) != 0;
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0)
        return errnoError(FX_CODE_LOCATION, errno, "cannot move", source);
    if (!replace) {
        // link() refuses an existing target atomically; fall back to a check where links
        // are not possible (directories, other file systems, file systems without links).
        if (::link(source.c_str(), target.c_str()) == 0) {
            if (::unlink(source.c_str()) != 0) {
                int code = errno;
                ::unlink(target.c_str());
                return errnoError(FX_CODE_LOCATION, code, "cannot move", source);
            }
            return CRoError::Success();
        }
        if (errno == EEXIST)
            return errnoError(FX_CODE_LOCATION, EEXIST, "target exists", target);
        struct stat existing {};
        if (::lstat(target.c_str(), &existing) == 0)
            return errnoError(FX_CODE_LOCATION, EEXIST, "target exists", target);
    }
    if (::rename(source.c_str(), target.c_str()) == 0)
        return CRoError::Success();
    if (errno != EXDEV)
        return errnoError(FX_CODE_LOCATION, errno, "cannot move to", target);
    if (!S_ISREG(st.st_mode))
        return errnoError(FX_CODE_LOCATION, EXDEV, "cannot move across file systems", source);
    CRoError copied = KXCopyFile(source, target, 0);
    if (copied.IsError())
        return copied.Push(FX_CODE_LOCATION);
    if (::unlink(source.c_str()) != 0)
        return errnoError(FX_CODE_LOCATION, errno, "copied but cannot remove", source);
    return CRoError::Success();
}

CRoError FXFile::RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0)
        return errnoError(FX_CODE_LOCATION, errno, "cannot remove", path);
    return CRoError::Success();
}

bool FXFile::DoesFileExist(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

CRoError FXFile::KXGetFileSize(const std::string& path, std::uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errnoError(FX_CODE_LOCATION, errno, "cannot stat", path);
    size = static_cast<std::uint64_t>(st.st_size);
    return CRoError::Success();
}

bool FXFile::KXFindFirstFile(auto_find_handle& handle, const std::string& pattern,
                             CFileData& data) {
    handle.close();
    if (pattern.empty())
        return false;
    auto state = std::make_unique<auto_find_handle::State>();
    struct stat st {};
    std::string::size_type slash = pattern.find_last_of('/');
    std::string last = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (!hasWildcard(last) && ::stat(pattern.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        state->directory = pattern;
    } else {
        // The last component names the entries wanted (a wildcard or one literal name).
        if (slash == std::string::npos)
            state->directory = ".";
        else if (slash == 0)
            state->directory = "/";
        else
            state->directory = pattern.substr(0, slash);
        state->pattern = last;
        if (state->pattern.empty())
            state->pattern.clear();
    }
    state->dir.reset(::opendir(state->directory.c_str()));
    if (!state->dir)
        return false;
    if (!readNext(*state, data))
        return false;
    handle.reset(std::move(state));
    return true;
}

bool FXFile::KXFindNextFile(auto_find_handle& handle, CFileData& data) {
    auto_find_handle::State* state = handle.state();
    if (state == nullptr || !state->dir)
        return false;
    return readNext(*state, data);
}
