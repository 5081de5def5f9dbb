#pragma once

#include "Manifest.h"

#include <string>
#include <utility>
#include <vector>

// Where each entry of a full backup goes when it is restored, and which entries stay out.
// Pure: it looks at the manifest and the user's choices only, never at the disk.
class RestorePlan {
public:
    struct Options {
        // Target data directory; empty keeps the backed-up one.
        std::string pgdata;
        // OLD=NEW pairs for directories the data directory links to (tablespaces, pg_wal).
        std::vector<std::pair<std::string, std::string>> linkMap;
        // Files outside the data directory and its linked directories (configuration files
        // kept elsewhere) go under this directory, at their full path, when the data
        // directory moves. Empty: <pgdata>.external.
        std::string externalDir;
    };

    struct Action {
        enum class Kind { MakeDirectory, CopyFile, MakeSymlink };
        Kind kind = Kind::CopyFile;
        const ManifestEntry* entry = nullptr;
        std::string destination;
        std::string linkTarget; // MakeSymlink
    };

    // A destination directory the restore fills, with the backed-up directory it came from.
    struct Root {
        std::string source;
        std::string destination;
        bool isDataDirectory = false;
        // The directory pg_wal links to: it holds WAL only.
        bool isWalDirectory = false;
        // True when the directory keeps its backed-up location although the data
        // directory moves: it may belong to the backed-up cluster itself.
        bool sharedWithSource = false;
    };

    // Throws std::invalid_argument for a link map entry whose OLD is not a directory the
    // backup holds, or for relative paths.
    RestorePlan(const Manifest& manifest, Options options);

    bool InPlace() const { return inPlace_; }
    const std::string& DataDirectory() const { return pgdata_; }
    const std::string& ExternalDirectory() const { return externalDir_; }
    // Directories first (parents before children), then files, then links; global/pg_control
    // is the very last file.
    const std::vector<Action>& Actions() const { return actions_; }
    const std::vector<Root>& Roots() const { return roots_; }
    // Files placed outside every root (configuration files kept elsewhere).
    std::vector<std::string> ExternalFiles() const;
    // Where a backed-up path goes; empty when it is left out.
    std::string MapPath(const std::string& path) const;
    // The backup's tablespace_map with every location mapped to its new place.
    std::string RewriteTablespaceMap(const std::string& text) const;

    // Whether a path relative to the data directory (or, with inDataDirectory false, to a
    // linked directory) is left out of a restore: server run-time files and the contents of
    // directories the server rebuilds.
    static bool IsExcluded(const std::string& relative, bool isDirectory, bool inDataDirectory);
    // Lexical clean-up of an absolute path: no trailing, doubled or "." components.
    static std::string Normalize(const std::string& path);
    // True when path is base or lies under it.
    static bool IsUnder(const std::string& path, const std::string& base);

private:
    struct LinkedRoot {
        std::string source;           // the link target as the backup holds it
        std::string destination;      // where its tree goes
        std::string linkPath;         // the link inside the data directory
        bool foldIntoDataDir = false; // pg_wal of a moved cluster becomes a plain directory
    };

    void FindLinkedRoots();
    void ApplyLinkMap();
    void BuildRoots();
    void BuildActions();
    const LinkedRoot* RootOf(const std::string& path) const;
    bool Excluded(const ManifestEntry& entry) const;
    std::string LinkTargetFor(const ManifestEntry& link) const;

    const Manifest& manifest_;
    Options options_;
    std::string source_;
    std::string pgdata_;
    std::string externalDir_;
    bool inPlace_ = true;
    std::vector<LinkedRoot> linked_;
    std::vector<Root> roots_;
    std::vector<Action> actions_;
};
