#pragma once

#include <string>
#include <vector>

// Decides whether a restore may write into a directory and, with --force, empty it first. A
// forced restore must never take with it the backup repository, the host home, the files of
// a running server, a WAL archive or a system directory, and it empties only a directory
// that plainly holds what the restore replaces: a data directory not in use, a tablespace
// directory, WAL, or nothing at all.
class RestoreTargetGuard {
public:
    enum class Kind { DataDirectory, Tablespace, WalDirectory, ExternalFile };

    // A path no restore may write into, empty or lie above.
    struct Protected {
        std::string path;
        std::string what; // "the backup repository"
        // Whether a target below the path is refused as well (the home holds places a
        // restore may use; the repository does not).
        bool coversBelow = true;
    };

    explicit RestoreTargetGuard(std::vector<Protected> protectedPaths);

    // Empty when the restore may write into target (emptying it first when force is set);
    // otherwise one sentence saying why not. Looks at the disk, changes nothing.
    std::string Refusal(const std::string& target, Kind kind, bool force) const;

    // The running servers of this machine: the data directory of every postgres or
    // postmaster process (the postmaster changes into it), with the WAL directory and the
    // tablespaces it links to.
    static std::vector<Protected> RunningServers();
    // Whether the postmaster.pid in the directory names a live server process.
    static bool HasLivePostmaster(const std::string& dataDirectory);
    // Whether an entry of a WAL directory is WAL: segments (also partial ones), history and
    // backup history files, the server's temporary WAL files.
    static bool IsWalName(const std::string& name);
    // An absolute path with links and "." and ".." resolved as far as it exists.
    static std::string Resolve(const std::string& path);

private:
    std::string ProtectionRefusal(const std::string& resolved) const;
    static std::string ContentRefusal(const std::string& target, const std::string& resolved,
                                      Kind kind);

    std::vector<Protected> protected_;
};
