#include "pgulo/host/UnixSymbolicLink.h"

#include "pgulo/host/FXErrorUtil.h"
#include "pgulo/host/UtfFileApi.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

void pushFront(std::deque<std::string>& pending, const std::string& path) {
    std::deque<std::string> parts;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > start)
            parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
}

bool readLink(const std::string& path, std::string& target) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t got = ::readlink(path.c_str(), &buffer[0], buffer.size());
        if (got < 0)
            return false;
        if (static_cast<size_t>(got) < buffer.size()) {
            target.assign(buffer, 0, static_cast<size_t>(got));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

CRoError failure(int code, const char* what, const std::string& path) {
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, code, "%s [%s]: %s", what, path.c_str(),
                                   std::strerror(code));
}

} // namespace

bool UnixSymbolicLink::getPhysicalPath(const std::string& path, std::string& physical,
                                       std::vector<std::string>& components, bool resolveAll,
                                       bool mustExist) {
    bool isLink = false;
    return !getPhysicalPath(path, physical, components, resolveAll, mustExist, isLink).IsError();
}

CRoError UnixSymbolicLink::getPhysicalPath(const std::string& path, std::string& physical,
                                           std::vector<std::string>& components,
                                           bool /*resolveAll*/, bool mustExist, bool& isLink) {
    if (path.empty())
        return failure(ENOENT, "cannot resolve", path);
    struct stat st {};
    isLink = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);

    std::deque<std::string> pending;
    pushFront(pending, path);
    if (path[0] != '/') {
        std::string cwd;
        if (getcwd_utf(cwd) != 0)
            return failure(errno, "cannot resolve relative path", path);
        pushFront(pending, cwd);
    }

    std::vector<std::string> resolved;
    int linksFollowed = 0;
    bool missing = false;
    auto joined = [&resolved]() {
        std::string text;
        for (const std::string& part : resolved)
            text += "/" + part;
        return text.empty() ? std::string("/") : text;
    };

    while (!pending.empty()) {
        std::string part = pending.front();
        pending.pop_front();
        if (part == ".")
            continue;
        if (part == "..") {
            if (!resolved.empty())
                resolved.pop_back();
            continue;
        }
        resolved.push_back(part);
        if (missing)
            continue;
        const std::string candidate = joined();
        if (::lstat(candidate.c_str(), &st) != 0) {
            int code = errno;
            // A path that does not exist yet may be named when the caller allows it; it can
            // hold no more links.
            if (code == ENOENT && !mustExist) {
                missing = true;
                continue;
            }
            return failure(code, "cannot resolve", path);
        }
        if (S_ISLNK(st.st_mode)) {
            if (++linksFollowed > kMaxLinks)
                return failure(ELOOP, "too many links in", path);
            std::string target;
            if (!readLink(candidate, target))
                return failure(errno, "cannot read link", candidate);
            // A link that leads nowhere cannot be resolved.
            struct stat target_st {};
            if (::stat(candidate.c_str(), &target_st) != 0)
                return failure(errno, "dangling link", candidate);
            resolved.pop_back();
            if (!target.empty() && target[0] == '/')
                resolved.clear();
            pushFront(pending, target);
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !pending.empty())
            return failure(ENOTDIR, "not a directory in", path);
    }
    physical = joined();
    components = resolved;
    return CRoError::Success();
}
