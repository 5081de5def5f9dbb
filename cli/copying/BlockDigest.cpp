#include "BlockDigest.h"

#include <xxhash.h>

#include <algorithm>

std::string BlockDigest::Of(const char* data, std::size_t size) {
    const XXH128_hash_t hash = XXH3_128bits(data, size);
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    return std::string(reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest);
}

void BlockDigest::update(const char* data, std::size_t size) {
    if (!partial_.empty()) {
        const std::size_t take = std::min<std::size_t>(size, kBlockSize - partial_.size());
        partial_.append(data, take);
        data += take;
        size -= take;
        if (partial_.size() < kBlockSize)
            return;
        digests_ += Of(partial_.data(), partial_.size());
        partial_.clear();
    }
    for (; size >= kBlockSize; data += kBlockSize, size -= kBlockSize)
        digests_ += Of(data, kBlockSize);
    partial_.assign(data, size);
}

std::string BlockDigest::finish() {
    if (!partial_.empty())
        digests_ += Of(partial_.data(), partial_.size());
    partial_.clear();
    std::string digests;
    digests.swap(digests_);
    return digests;
}
