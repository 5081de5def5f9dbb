#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Digests of a file's fixed blocks, so that a later backup can store only the blocks that
// changed. XXH3-128: far faster than the file's SHA-256, so a full backup pays almost nothing
// for recording them, and 128 bits leave no practical room for two blocks to collide.
class BlockDigest {
public:
    // PostgreSQL's page: random updates change few of them, and the server's own change
    // tracking names blocks of this size.
    static constexpr std::uint64_t kBlockSize = 8192;
    static constexpr std::size_t kDigestSize = 16;

    // Feeds bytes that follow each other, the first starting a block.
    void update(const char* data, std::size_t size);
    // The digests of every block fed, the last one possibly short, one after the other.
    std::string finish();

    // The raw digest of one block.
    static std::string Of(const char* data, std::size_t size);
    // How many blocks a file of size bytes has.
    static std::uint64_t BlockCount(std::uint64_t size) {
        return (size + kBlockSize - 1) / kBlockSize;
    }

private:
    std::string digests_;
    std::string partial_;
};
