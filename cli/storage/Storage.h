#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A file being written into a storage. Nothing of it is visible under its name before
// Commit; a writer destroyed without Commit leaves nothing behind (an object store's upload
// is abandoned, a local temporary file removed).
class StorageWriter {
public:
    virtual ~StorageWriter() = default;
    // Throws std::runtime_error naming the file.
    virtual void Write(const char* data, std::size_t size) = 0;
    // Makes the file visible under its name. Not durable by itself on every storage: see
    // Storage::Sync.
    virtual void Commit() = 0;
};

// A file, or a range of it, being read from a storage from start to end.
class StorageReader {
public:
    virtual ~StorageReader() = default;
    // Up to size bytes; 0 at the end. Throws std::runtime_error naming the file.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

// Where the repository keeps its files: a local directory or an object store. Paths are
// relative, '/'-separated and name files only: a storage has no directories to create, no
// renames and no appends, so that an object store fits it as well as a file system. Every
// failure throws std::runtime_error with the path and the reason; a missing file is never an
// error where a function says what it gives for one.
class Storage {
public:
    struct Entry {
        std::string path; // relative to the prefix listed
        std::uint64_t size = 0;
    };
    // What an object store needs besides its address; credentials come from the environment,
    // never from a command line.
    struct Settings {
        std::string endpoint; // empty: the service's own
        std::string region;
        // Unset: path-style addressing when an endpoint is given.
        std::optional<bool> pathStyle;
        std::size_t partSize = 0; // 0: the client's default
    };

    virtual ~Storage() = default;

    // The storage a --repo value names: a directory path gives a local storage; s3://BUCKET/
    // PREFIX an object store. Throws CliError for a kind this build cannot open.
    static std::shared_ptr<Storage> Open(const std::string& url, const Settings& settings);
    // As above with the settings the command line gave for every repository it opens.
    static std::shared_ptr<Storage> Open(const std::string& url);
    static void SetDefaults(const Settings& settings);

    // A new file, replaced on Commit when it exists.
    virtual std::unique_ptr<StorageWriter> Create(const std::string& path) = 0;
    // length bytes from offset (0: to the end). Null when there is no such file.
    virtual std::unique_ptr<StorageReader> Open(const std::string& path, std::uint64_t offset,
                                                std::uint64_t length) const = 0;
    // A small file whole; nullopt when there is none.
    virtual std::optional<std::string> ReadSmall(const std::string& path) const = 0;
    // Replaces the file in one step, durably: a reader sees the old bytes or the new ones. For
    // what decides (a manifest written last, a status).
    virtual void WriteLast(const std::string& path, const std::string& bytes) = 0;
    // As WriteLast, unless the file exists: false then, and the file is left as it was.
    virtual bool WriteNew(const std::string& path, const std::string& bytes) = 0;
    // Every file under the prefix (a directory-like path, "" for all), at any depth, sorted
    // by path.
    virtual std::vector<Entry> List(const std::string& prefix) const = 0;
    // The names right under the prefix, sorted; a name holding files of its own ends in '/'.
    virtual std::vector<std::string> ListChildren(const std::string& prefix) const = 0;
    virtual std::optional<std::uint64_t> Size(const std::string& path) const = 0;
    // Missing files are fine.
    virtual void Remove(const std::vector<std::string>& paths) = 0;
    // Every file under the prefix. afterUnlisted, when given, runs once the prefix no longer
    // lists (ListChildren of its parent) although its files may remain: a removal cut short
    // after it leaves nothing that looks like what the prefix held. Storages that cannot
    // unlist first call it when everything is gone.
    virtual void RemoveTree(const std::string& prefix,
                            const std::function<void()>& afterUnlisted = {}) = 0;
    // Makes every file committed under the prefix durable (a local storage flushes its file
    // system once instead of every file; an object store has nothing to do).
    virtual void Sync(const std::string& prefix) = 0;
    // The file-system path of a path of a local storage, for the fast local copies; empty
    // when the storage is not a local directory.
    virtual std::string LocalPath(const std::string& path) const = 0;
    // For messages: where a path is ("" for the storage itself).
    virtual std::string Describe(const std::string& path = "") const = 0;
    // Ends the writes of files that a process killed mid-write left begun for longer than
    // age, where the storage keeps such things (an object store's unfinished uploads, which
    // it would otherwise keep and bill). Returns how many it ended.
    virtual std::size_t AbortAbandonedWrites(std::chrono::seconds age) {
        (void)age;
        return 0;
    }

    // RemoveTree may first unlist a prefix by renaming it to this prefix + its last name, next
    // to it; such a name is the leftover of a removal cut short, which its RemoveTree finishes.
    static constexpr const char* kUnlistedPrefix = ".deleting-";

    // Joins a prefix and a relative path.
    static std::string Join(const std::string& prefix, const std::string& path);
};
