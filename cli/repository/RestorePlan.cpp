#include "RestorePlan.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

const char* const kRebuiltDirectories[] = {"pg_replslot",  "pg_dynshmem", "pg_notify",  "pg_serial",
                                           "pg_snapshots", "pg_stat_tmp", "pg_subtrans"};

std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(relative);
    while (std::getline(in, part, '/')) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

std::size_t Depth(const std::string& path) {
    return static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
}

std::string Relative(const std::string& path, const std::string& base) {
    if (path.size() == base.size())
        return "";
    return path.substr(base == "/" ? 1 : base.size() + 1);
}

std::string Join(const std::string& base, const std::string& relative) {
    if (relative.empty())
        return base;
    return base == "/" ? "/" + relative : base + "/" + relative;
}

bool IsWalLinkName(const std::string& linkPath, const std::string& dataDir) {
    return linkPath == dataDir + "/pg_wal" || linkPath == dataDir + "/pg_xlog";
}

} // namespace

std::string RestorePlan::Normalize(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return path;
    std::string out;
    for (const std::string& part : Components(path)) {
        if (part == ".")
            continue;
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

bool RestorePlan::IsUnder(const std::string& path, const std::string& base) {
    if (base == "/")
        return !path.empty() && path[0] == '/';
    return path == base || (path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
                            path[base.size()] == '/');
}

bool RestorePlan::IsExcluded(const std::string& relative, bool isDirectory, bool inDataDirectory) {
    const std::vector<std::string> parts = Components(relative);
    if (parts.empty())
        return false;
    if (!isDirectory && parts.back() == "pg_internal.init")
        return true;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] == "pgsql_tmp")
            return true;
    }
    if (!inDataDirectory)
        return false;
    if (parts.size() == 1)
        return !isDirectory && (parts[0] == "postmaster.pid" || parts[0] == "postmaster.opts");
    for (const char* name : kRebuiltDirectories) {
        if (parts[0] == name)
            return true;
    }
    // WAL comes from the archive: a segment left in pg_wal may be stale or recycled.
    return (parts[0] == "pg_wal" || parts[0] == "pg_xlog") && !isDirectory;
}

RestorePlan::RestorePlan(const Manifest& manifest, Options options)
    : manifest_(manifest), options_(std::move(options)) {
    source_ = Normalize(manifest_.dataDirectory);
    if (source_.empty() || source_[0] != '/')
        throw std::invalid_argument("the backup does not name its data directory");
    pgdata_ = options_.pgdata.empty() ? source_ : Normalize(options_.pgdata);
    if (pgdata_[0] != '/')
        throw std::invalid_argument("the target data directory must be an absolute path");
    inPlace_ = pgdata_ == source_;
    externalDir_ =
        options_.externalDir.empty() ? pgdata_ + ".external" : Normalize(options_.externalDir);
    FindLinkedRoots();
    ApplyLinkMap();
    BuildRoots();
    BuildActions();
}

void RestorePlan::FindLinkedRoots() {
    std::set<std::string> folders;
    for (const auto& folder : manifest_.folders)
        folders.insert(Normalize(folder));
    for (const auto& entry : manifest_.entries) {
        if (entry.role != ManifestEntry::Role::Data || entry.kind != ManifestEntry::Kind::Symlink)
            continue;
        const std::string link = Normalize(entry.path);
        if (!IsUnder(link, source_) || entry.target.empty() || entry.target[0] != '/')
            continue;
        const std::string target = Normalize(entry.target);
        const bool known = IsUnder(link, source_ + "/pg_tblspc") || IsWalLinkName(link, source_) ||
                           folders.count(target) != 0;
        if (!known || IsUnder(target, source_))
            continue;
        linked_.push_back({target, target, link, false});
    }
}

void RestorePlan::ApplyLinkMap() {
    for (const auto& [oldPath, newPath] : options_.linkMap) {
        const std::string from = Normalize(oldPath);
        const std::string to = Normalize(newPath);
        if (to.empty() || to[0] != '/')
            throw std::invalid_argument("'" + newPath + "' is not an absolute path");
        auto it = std::find_if(linked_.begin(), linked_.end(), [&](const LinkedRoot& root) {
            return root.source == from || root.linkPath == from;
        });
        if (it == linked_.end())
            throw std::invalid_argument("'" + oldPath +
                                        "' is not a directory the backed-up data directory "
                                        "links to (see the tablespaces of 'pgulo list')");
        it->destination = to;
    }
    for (auto& root : linked_) {
        const bool mapped = root.destination != root.source;
        if (!mapped && !inPlace_ && IsWalLinkName(root.linkPath, source_)) {
            root.foldIntoDataDir = true;
            root.destination = pgdata_ + root.linkPath.substr(source_.size());
        }
    }
}

void RestorePlan::BuildRoots() {
    roots_.push_back({source_, pgdata_, true, false, false});
    for (const auto& root : linked_) {
        if (root.foldIntoDataDir)
            continue;
        roots_.push_back({root.source, root.destination, false,
                          IsWalLinkName(root.linkPath, source_),
                          !inPlace_ && root.destination == root.source});
    }
}

const RestorePlan::LinkedRoot* RestorePlan::RootOf(const std::string& path) const {
    const LinkedRoot* best = nullptr;
    for (const auto& root : linked_) {
        if (IsUnder(path, root.source) && (!best || root.source.size() > best->source.size()))
            best = &root;
    }
    if (best && IsUnder(path, source_) && source_.size() > best->source.size())
        return nullptr;
    return best;
}

std::string RestorePlan::MapPath(const std::string& path) const {
    const std::string p = Normalize(path);
    if (const LinkedRoot* root = RootOf(p))
        return Join(root->destination, Relative(p, root->source));
    if (IsUnder(p, source_))
        return Join(pgdata_, Relative(p, source_));
    return inPlace_ ? p : externalDir_ + p;
}

bool RestorePlan::Excluded(const ManifestEntry& entry) const {
    const std::string p = Normalize(entry.path);
    const bool isDirectory = entry.kind == ManifestEntry::Kind::Directory;
    if (const LinkedRoot* root = RootOf(p)) {
        if (IsWalLinkName(root->linkPath, source_) && !isDirectory)
            return true;
        return IsExcluded(Relative(p, root->source), isDirectory, false);
    }
    if (IsUnder(p, source_))
        return IsExcluded(Relative(p, source_), isDirectory, true);
    return false;
}

std::string RestorePlan::LinkTargetFor(const ManifestEntry& link) const {
    const std::string p = Normalize(link.path);
    for (const auto& root : linked_) {
        if (root.linkPath == p)
            return root.destination;
    }
    return link.target;
}

void RestorePlan::BuildActions() {
    std::vector<Action> directories, files, links;
    Action control;
    bool haveControl = false;
    std::set<std::string> seen;
    for (const auto& entry : manifest_.entries) {
        if (entry.role != ManifestEntry::Role::Data || Excluded(entry))
            continue;
        const std::string p = Normalize(entry.path);
        const bool foldedLink = std::any_of(linked_.begin(), linked_.end(), [&](const auto& r) {
            return r.foldIntoDataDir && r.linkPath == p;
        });
        if (foldedLink)
            continue;
        Action action;
        action.entry = &entry;
        action.destination = MapPath(p);
        if (!seen.insert(action.destination).second)
            continue;
        switch (entry.kind) {
        case ManifestEntry::Kind::Directory:
            action.kind = Action::Kind::MakeDirectory;
            directories.push_back(action);
            break;
        case ManifestEntry::Kind::Symlink:
            action.kind = Action::Kind::MakeSymlink;
            action.linkTarget = LinkTargetFor(entry);
            links.push_back(action);
            break;
        case ManifestEntry::Kind::File:
            action.kind = Action::Kind::CopyFile;
            if (action.destination == pgdata_ + "/global/pg_control") {
                control = action;
                haveControl = true;
            } else {
                files.push_back(action);
            }
            break;
        }
    }
    std::stable_sort(directories.begin(), directories.end(), [](const Action& a, const Action& b) {
        return Depth(a.destination) < Depth(b.destination);
    });
    actions_ = std::move(directories);
    actions_.insert(actions_.end(), files.begin(), files.end());
    actions_.insert(actions_.end(), links.begin(), links.end());
    if (haveControl)
        actions_.push_back(control);
}

std::vector<std::string> RestorePlan::ExternalFiles() const {
    std::vector<std::string> external;
    for (const auto& action : actions_) {
        if (action.kind != Action::Kind::CopyFile)
            continue;
        const bool inRoot = std::any_of(roots_.begin(), roots_.end(), [&](const Root& root) {
            return IsUnder(action.destination, root.destination);
        });
        if (!inRoot)
            external.push_back(action.destination);
    }
    return external;
}

std::string RestorePlan::RewriteTablespaceMap(const std::string& text) const {
    std::string out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t blank = line.find(' ');
        if (blank != std::string::npos) {
            const std::string location = Normalize(line.substr(blank + 1));
            for (const auto& root : linked_) {
                if (root.source == location) {
                    line = line.substr(0, blank + 1) + root.destination;
                    break;
                }
            }
        }
        out += line + "\n";
    }
    return out;
}
