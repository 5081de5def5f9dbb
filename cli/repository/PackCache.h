#pragma once

#include "Storage.h"

#include <cstddef>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// Whole packs read once for the many files a restore or a verify takes from each: one
// request per pack instead of one per file. Bounded: once full, a file is read from the
// pack by its range alone, as if there were no cache.
class PackCache {
public:
    static constexpr std::size_t kMostBytes = 32u << 20;

    // length bytes at offset of the pack (null when the pack is missing). Throws
    // std::runtime_error as the storage does.
    std::unique_ptr<StorageReader> Open(const Storage& storage, const std::string& pack,
                                        std::uint64_t offset, std::uint64_t length);

private:
    using Bytes = std::shared_ptr<const std::string>; // null: the pack is missing

    static Bytes ReadWhole(const Storage& storage, const std::string& pack);

    std::mutex mutex_;
    std::map<std::string, std::shared_future<Bytes>> packs_;
    std::size_t bytes_ = 0;
};
