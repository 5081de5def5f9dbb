#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// File-system helpers of the host. Failures throw std::runtime_error with the path and the
// system's reason, unless a function says otherwise.
class FileOps {
public:
    // Creates the directory and its missing parents (new ones with the given mode).
    static void MakeDirectories(const std::string& path, mode_t mode = 0700);
    // Writes the text to a temporary file next to path, flushes it, renames it over path and
    // flushes the directory: a crash leaves the old or the new file, never a torn one.
    static void WriteAtomically(const std::string& path, const std::string& text,
                                mode_t mode = 0600);
    // As WriteAtomically, but an existing file is left as it is: false when path exists (a
    // concurrent writer made it first).
    static bool CreateAtomically(const std::string& path, const std::string& text,
                                 mode_t mode = 0600);
    static std::string ReadWhole(const std::string& path);
    static void SyncDirectory(const std::string& path);
    // Flushes everything written to the file system that holds path (syncfs): files,
    // directories and their entries, in one go.
    static void SyncFileSystem(const std::string& path);
    // Removes a tree, not following links; a missing path is no error.
    static void RemoveTree(const std::string& path);
    // The bytes the tree's files take on disk (as du counts them), not following links; what
    // removing it frees. 0 for a missing path; entries that vanish meanwhile are skipped.
    static std::uint64_t TreeBytes(const std::string& path);
    static bool Exists(const std::string& path);
    static bool IsDirectory(const std::string& path);
    // True when the path does not exist or is an empty directory.
    static bool IsAbsentOrEmpty(const std::string& path);
    // lstat; false when the path does not exist (other errors throw).
    static bool LStat(const std::string& path, struct stat& st);
    static std::string UserName(uid_t uid);
    static std::string GroupName(gid_t gid);
    // -1 when there is no such user or group.
    static long UidOf(const std::string& user);
    static long GidOf(const std::string& group);
    static std::string Parent(const std::string& path);
    static std::string BaseName(const std::string& path);
    static std::string Join(const std::string& a, const std::string& b);
    // An absolute version of a path (relative to the working directory); no links resolved.
    static std::string Absolute(const std::string& path);
    // The entry names of a directory, sorted; empty when it does not exist.
    static std::vector<std::string> List(const std::string& path);
    static std::string ErrnoText(int error);
    // Writes all of data at offset of fd (named target in the error). Throws
    // std::runtime_error.
    static void WriteAt(int fd, const char* data, std::size_t size, std::uint64_t offset,
                        const std::string& target);
    // A file of the cluster opened for reading without touching its access time where that is
    // allowed; -1 with errno set when it cannot be opened.
    static int OpenSource(const std::string& path);
    // Reads up to size bytes at offset of fd (named source in the error); fewer only at the
    // file's end. Throws std::runtime_error.
    static std::size_t ReadAt(int fd, char* data, std::size_t size, std::uint64_t offset,
                              const std::string& source);
};
