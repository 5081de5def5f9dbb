#pragma once

#include "S3Client.h"
#include "Storage.h"
#include "UploadQueue.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

// A repository in a bucket, under the location's prefix. Objects appear whole when their
// upload completes, so a file is visible only once committed; there is nothing to flush and
// nothing to rename, and a tree cannot leave the listing before its objects are gone.
class S3Storage : public Storage {
public:
    explicit S3Storage(S3Location location);

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
    void RemoveTree(const std::string& prefix, const std::function<void()>& afterUnlisted) override;
    void Sync(const std::string& prefix) override;
    std::string LocalPath(const std::string& path) const override;
    std::string Describe(const std::string& path) const override;
    std::size_t AbortAbandonedWrites(std::chrono::seconds age) override;

    // The memory that uploads in flight may hold together, whatever the number of copy
    // workers writing at once.
    static constexpr std::size_t kUploadPartsBudget = 8;

    ~S3Storage() override;

    // What listings of single levels said, so that the many questions a restore or a verify
    // asks about the files of one directory cost one listing instead of a request each. Every
    // change this process makes forgets it all; a listing that raced with a change is not kept.
    struct Levels {
        std::mutex mutex;
        std::uint64_t changes = 0;
        // Level's key prefix → object names right under it → sizes.
        std::map<std::string, std::map<std::string, std::uint64_t>> sizes;

        void Forget();
    };

private:
    // The object's size as a listing of its level said: unset when that level is not at hand.
    std::optional<std::optional<std::uint64_t>> Listed(const std::string& key) const;

    std::string Key(const std::string& path) const;
    std::string KeyPrefix(const std::string& prefix) const;

    // The client keeps no state a read changes; its requests are not const only in name.
    std::shared_ptr<S3Client> client_;
    std::shared_ptr<std::atomic<std::size_t>> writers_;
    std::shared_ptr<Levels> levels_;
    std::shared_ptr<UploadQueue> pending_;
};
