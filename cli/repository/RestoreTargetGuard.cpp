#include "RestoreTargetGuard.h"

#include "FileOps.h"
#include "RestorePlan.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace {

// Directories of the root whose emptying would break the machine, whatever they hold.
const std::set<std::string> kSystemDirectories = {
    "bin",  "boot", "dev",  "etc",  "home", "lost+found", "media", "mnt", "opt", "proc",
    "root", "run",  "sbin", "snap", "srv",  "sys",        "tmp",   "usr", "var"};

// Nested data directories are looked for this deep below a target.
constexpr int kNestedServerDepth = 2;

bool IsHex(const std::string& text, std::size_t from, std::size_t count) {
    if (text.size() < from + count)
        return false;
    for (std::size_t i = from; i < from + count; ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

std::string SystemRefusal(const std::string& path) {
    if (path == "/")
        return "it is the root directory";
    if (path.size() < 2 || path.find('/', 1) != std::string::npos)
        return "";
    const std::string name = path.substr(1);
    if (kSystemDirectories.count(name) != 0 || name.compare(0, 3, "lib") == 0)
        return "it is the system directory " + path;
    return "";
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string ReadLink(const std::string& path) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return "";
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool IsServerProgram(const std::string& name) {
    return name == "postgres" || name == "postmaster";
}

bool StatIs(const std::string& path, mode_t type, bool follow) {
    struct stat st {};
    const int rc = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    return rc == 0 && (st.st_mode & S_IFMT) == type;
}

// The data directories of running servers at most depth levels below dir, links not followed.
void FindLiveDataDirectories(const std::string& dir, int depth, std::vector<std::string>& found) {
    for (const std::string& name : FileOps::List(dir)) {
        const std::string path = dir + "/" + name;
        if (!StatIs(path, S_IFDIR, false))
            continue;
        if (RestoreTargetGuard::HasLivePostmaster(path))
            found.push_back(path);
        else if (depth > 1)
            FindLiveDataDirectories(path, depth - 1, found);
    }
}

std::string DataDirectoryRefusal(const std::string& target, const std::string& resolved) {
    if (StatIs(resolved + "/PG_VERSION", S_IFREG, false))
        return "";
    return "--force empties only a data directory not in use or an empty directory, and " + target +
           " is neither";
}

std::string TablespaceRefusal(const std::string& target, const std::string& resolved) {
    for (const std::string& name : FileOps::List(resolved)) {
        if (name.compare(0, 3, "PG_") != 0 || !StatIs(resolved + "/" + name, S_IFDIR, false))
            return "--force empties only a tablespace directory that holds nothing but PG_* "
                   "version directories, and " +
                   target + " holds '" + name + "'";
    }
    return "";
}

std::string WalRefusal(const std::string& target, const std::string& resolved) {
    for (const std::string& name : FileOps::List(resolved)) {
        const std::string path = resolved + "/" + name;
        const bool wal = RestoreTargetGuard::IsWalName(name) && StatIs(path, S_IFREG, false);
        const bool statusDirectory =
            (name == "archive_status" || name == "summaries") && StatIs(path, S_IFDIR, false);
        if (!wal && !statusDirectory)
            return "--force empties only a WAL directory, and " + target + " holds '" + name +
                   "', which is not WAL";
    }
    return "";
}

} // namespace

RestoreTargetGuard::RestoreTargetGuard(std::vector<Protected> protectedPaths)
    : protected_(std::move(protectedPaths)) {
    for (Protected& p : protected_)
        p.path = Resolve(p.path);
}

std::string RestoreTargetGuard::Resolve(const std::string& path) {
    std::string current = "/";
    std::istringstream in(FileOps::Absolute(path));
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            current = FileOps::Parent(current);
            continue;
        }
        const std::string next = current == "/" ? "/" + part : current + "/" + part;
        char buffer[PATH_MAX];
        current = ::realpath(next.c_str(), buffer) != nullptr ? std::string(buffer) : next;
    }
    return current;
}

std::string RestoreTargetGuard::ProtectionRefusal(const std::string& resolved) const {
    // The closest relation names the reason: the home that holds the repository is refused
    // as the home.
    for (const Protected& p : protected_) {
        if (!p.path.empty() && resolved == p.path)
            return "it is " + p.what;
    }
    for (const Protected& p : protected_) {
        if (!p.path.empty() && RestorePlan::IsUnder(p.path, resolved))
            return "it holds " + p.what + " (" + p.path + ")";
    }
    for (const Protected& p : protected_) {
        if (!p.path.empty() && p.coversBelow && RestorePlan::IsUnder(resolved, p.path))
            return "it lies inside " + p.what + " (" + p.path + ")";
    }
    return "";
}

std::string RestoreTargetGuard::ContentRefusal(const std::string& target,
                                               const std::string& resolved, Kind kind) {
    switch (kind) {
    case Kind::DataDirectory:
        return DataDirectoryRefusal(target, resolved);
    case Kind::Tablespace:
        return TablespaceRefusal(target, resolved);
    case Kind::WalDirectory:
        return WalRefusal(target, resolved);
    case Kind::ExternalFile:
        break;
    }
    return "";
}

std::string RestoreTargetGuard::Refusal(const std::string& target, Kind kind, bool force) const {
    const std::string resolved = Resolve(target);
    std::string why = SystemRefusal(RestorePlan::Normalize(FileOps::Absolute(target)));
    if (why.empty())
        why = SystemRefusal(resolved);
    if (why.empty())
        why = ProtectionRefusal(resolved);
    if (!why.empty())
        return "cannot restore into " + target + ": " + why;
    struct stat st {};
    if (::stat(resolved.c_str(), &st) != 0)
        return "";
    if (kind == Kind::ExternalFile)
        return force ? "" : target + " exists; pass --force to replace it";
    if (!S_ISDIR(st.st_mode))
        return "cannot restore into " + target + ": it is not a directory";
    if (FileOps::List(resolved).empty())
        return "";
    if (HasLivePostmaster(resolved))
        return "cannot restore into " + target + ": it is the data directory of a running server";
    std::vector<std::string> nested;
    FindLiveDataDirectories(resolved, kNestedServerDepth, nested);
    if (!nested.empty())
        return "cannot restore into " + target + ": it holds " + nested.front() +
               ", the data directory of a running server";
    if (!force)
        return target + " is not empty; pass --force to replace its contents";
    return ContentRefusal(target, resolved, kind);
}

bool RestoreTargetGuard::HasLivePostmaster(const std::string& dataDirectory) {
    std::ifstream pidFile(dataDirectory + "/postmaster.pid");
    long pid = 0;
    if (!(pidFile >> pid) || pid <= 0)
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return false;
    // A stale file whose number now belongs to another program does not count.
    const std::string name = ReadFirstLine("/proc/" + std::to_string(pid) + "/comm");
    return name.find("postgres") != std::string::npos ||
           name.find("postmaster") != std::string::npos;
}

bool RestoreTargetGuard::IsWalName(const std::string& name) {
    constexpr std::size_t kSegment = 24;
    if (IsHex(name, 0, kSegment)) {
        const std::string rest = name.substr(kSegment);
        return rest.empty() || rest == ".partial" ||
               (rest.size() == 16 && rest[0] == '.' && IsHex(rest, 1, 8) &&
                rest.compare(9, 7, ".backup") == 0);
    }
    if (name.size() == 16 && IsHex(name, 0, 8) && name.compare(8, 8, ".history") == 0)
        return true;
    return name == "RECOVERYXLOG" || name == "RECOVERYHISTORY" ||
           name.compare(0, 9, "xlogtemp.") == 0;
}

std::vector<RestoreTargetGuard::Protected> RestoreTargetGuard::RunningServers() {
    std::set<std::string> dataDirectories;
    for (const std::string& entry : FileOps::List("/proc")) {
        if (entry.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string proc = "/proc/" + entry;
        if (!IsServerProgram(ReadFirstLine(proc + "/comm")) &&
            !IsServerProgram(FileOps::BaseName(ReadLink(proc + "/exe"))))
            continue;
        // Every server process works in its data directory; a process gone meanwhile, or one
        // of another user that cannot be looked into, has no readable link.
        const std::string cwd = ReadLink(proc + "/cwd");
        if (!cwd.empty() && StatIs(cwd + "/PG_VERSION", S_IFREG, true))
            dataDirectories.insert(cwd);
    }
    std::vector<Protected> running;
    for (const std::string& dir : dataDirectories) {
        running.push_back({dir, "the data directory of a running server", true});
        for (const char* wal : {"/pg_wal", "/pg_xlog"}) {
            if (StatIs(dir + wal, S_IFLNK, false))
                running.push_back({Resolve(dir + wal),
                                   "the WAL directory of the running server at " + dir, true});
        }
        for (const std::string& oid : FileOps::List(dir + "/pg_tblspc")) {
            if (StatIs(dir + "/pg_tblspc/" + oid, S_IFLNK, false))
                running.push_back({Resolve(dir + "/pg_tblspc/" + oid),
                                   "a tablespace of the running server at " + dir, true});
        }
    }
    return running;
}
