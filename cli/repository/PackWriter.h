#pragma once

#include "Storage.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Puts the small files of a backup streamed into an object store together into packs: an
// object store's time goes into each request, not into its bytes, and a cluster holds
// hundreds of small files. A member's stored bytes are whole in one pack; packs are written
// once full and by Finish, through the storage like any other file, so a pack is visible
// only whole and the manifest, written after the storage's Sync, comes last.
class PackWriter {
public:
    // Files of the cluster smaller than this are packed.
    static constexpr std::uint64_t kPackedFileMost = 1ull << 20;
    // A pack is written once it holds this much; it stays one request of the store.
    static constexpr std::size_t kPackSize = 4u << 20;

    struct Place {
        std::string stored; // the pack's name in the backup
        std::uint64_t offset = 0;
    };

    // Packs go under prefix (the backup's) as packs/<n>.
    PackWriter(std::shared_ptr<Storage> storage, std::string prefix);

    // A writer whose bytes, once committed, become member's stored copy in a pack.
    std::unique_ptr<StorageWriter> Create(std::size_t member);
    // Writes the pack being filled. Throws std::runtime_error.
    void Finish();
    // Where a committed member's stored copy is.
    std::optional<Place> PlaceOf(std::size_t member) const;

private:
    class MemberWriter;

    void Add(std::size_t member, const std::string& bytes);
    // Under the lock: writes the pack being filled, if it holds anything.
    void WritePack();

    std::shared_ptr<Storage> storage_;
    std::string prefix_;
    mutable std::mutex mutex_;
    std::string pack_;
    std::size_t number_ = 1;
    std::map<std::size_t, Place> places_;
};
