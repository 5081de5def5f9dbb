#pragma once

#include "StoredForm.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RateLimiter;
class Storage;

// Stores the blocks of a file that changed since an earlier backup, reading the file once:
// every block feeds the whole file's checksum and gets its digest (BlockDigest); the blocks
// the caller wants kept go, in ascending order, to the target in the stored form, through
// the storage's interface whether it is a local directory or not.
class DeltaCopier {
public:
    // Whether to store a block, given its index and raw digest.
    using BlockChoice = std::function<bool(std::uint64_t block, const std::string& digest)>;
    struct Options {
        RateLimiter* limiter = nullptr;
        std::function<bool()> stop;
        std::function<void(std::uint64_t)> onBytes;
    };
    enum class Status { Copied, Vanished, Stopped };
    struct Result {
        Status status = Status::Copied;
        std::uint64_t bytes = 0;  // of the original
        std::uint64_t stored = 0; // of the target
        std::string checksum;     // of the original (PieceChecksum)
        std::string blockDigests;
        std::vector<bool> storedBlocks; // one per block of the original
        struct stat source {};
    };

    explicit DeltaCopier(Options options);
    ~DeltaCopier();
    DeltaCopier(const DeltaCopier&) = delete;
    DeltaCopier& operator=(const DeltaCopier&) = delete;

    // Writes the kept blocks to the storage's file target (a writer left uncommitted when the
    // copy stops or fails: nothing appears). Throws std::runtime_error on a failure to read or
    // write.
    Result Copy(const std::string& source, Storage& storage, const std::string& target,
                const StoredForm& form, const BlockChoice& choose);

private:
    std::size_t Fill(int in, std::uint64_t offset, const std::string& source);

    Options options_;
    std::unique_ptr<char[]> buffer_;
};
