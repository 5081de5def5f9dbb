#pragma once

#include "Storage.h"

// A repository in a local directory. Files are written under a temporary name and renamed
// into place on Commit; they are flushed together by Sync (one syncfs), not one by one.
// Removing a tree renames it out of the listing first.
class LocalStorage : public Storage {
public:
    // hideLocalPath makes LocalPath empty, so that every caller takes the streaming path an
    // object store needs: how that path is proven on real files.
    explicit LocalStorage(std::string root, bool hideLocalPath = false);

    std::unique_ptr<StorageWriter> Create(const std::string& path) override;
    std::unique_ptr<StorageReader> Open(const std::string& path, std::uint64_t offset,
                                        std::uint64_t length) const override;
    std::optional<std::string> ReadSmall(const std::string& path) const override;
    void WriteLast(const std::string& path, const std::string& bytes) override;
    bool WriteNew(const std::string& path, const std::string& bytes) override;
    std::vector<Entry> List(const std::string& prefix) const override;
    std::vector<std::string> ListChildren(const std::string& prefix) const override;
    std::optional<std::uint64_t> Size(const std::string& path) const override;
    void Remove(const std::vector<std::string>& paths) override;
    void RemoveTree(const std::string& prefix,
                    const std::function<void()>& afterUnlisted) override;
    void Sync(const std::string& prefix) override;
    std::string LocalPath(const std::string& path) const override;
    std::string Describe(const std::string& path) const override;

private:
    std::string Full(const std::string& path) const;

    std::string root_;
    bool hideLocalPath_;
};
