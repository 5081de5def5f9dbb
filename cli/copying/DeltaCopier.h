#pragma once

#include "StoredForm.h"

#include "pgulo/host/UniqueFd.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RateLimiter;
class Storage;
class StoredFileWriter;

// Stores the blocks of a file that changed since an earlier backup, reading the file once:
// every block feeds the whole file's checksum and gets its digest (BlockDigest); the blocks
// the caller wants kept go, in ascending order, to the target in the stored form, through
// the storage's interface whether it is a local directory or not.
class DeltaCopier {
public:
    // Whether to store a block, given its index and raw digest.
    using BlockChoice = std::function<bool(std::uint64_t block, const std::string& digest)>;
    // Whether a block may have changed since the reference and so must be read.
    using BlockRead = std::function<bool(std::uint64_t block)>;
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
        std::uint64_t read = 0;   // of the original, actually read
        std::string checksum;     // of the original (PieceChecksum); empty when not all read
        std::vector<std::string> pieces; // raw digests of a range's pieces, when all read
        std::string blockDigests;
        std::vector<bool> storedBlocks; // one per block of the original (of the range)
        // The stored size of each part of a copy stored in parts (StoredParts).
        std::vector<std::uint64_t> partSizes;
        struct stat source {};
    };

    // Part of the file: length bytes from offset (0: to the end), offset the start of a
    // checksum piece. A range's result counts its own bytes and blocks and has its pieces'
    // digests instead of a checksum.
    struct Range {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        bool Whole() const { return offset == 0 && length == 0; }
    };

    explicit DeltaCopier(Options options);
    ~DeltaCopier();
    DeltaCopier(const DeltaCopier&) = delete;
    DeltaCopier& operator=(const DeltaCopier&) = delete;

    // Writes the kept blocks to the storage's file target (a writer left uncommitted when the
    // copy stops or fails: nothing appears). Throws std::runtime_error on a failure to read or
    // write.
    Result Copy(const std::string& source, Storage& storage, const std::string& target,
                const StoredForm& form, const BlockChoice& choose, Range range);
    // As Copy, but reads only the blocks mustRead names and those past the reference's end;
    // the others keep the reference's digests and are not stored. The checksum is left empty
    // unless every block was read.
    Result CopyBlocks(const std::string& source, Storage& storage, const std::string& target,
                      const StoredForm& form, const std::string& referenceDigests,
                      const BlockRead& mustRead, const BlockChoice& choose, Range range);

private:
    std::size_t Fill(int in, std::uint64_t offset, std::size_t want, const std::string& source);
    // The source opened and examined into result; empty (result Vanished) when it is gone.
    UniqueFd OpenSource(const std::string& source, Result& result);
    // Digests the size bytes of the buffer block by block from block on (advanced past
    // them), and stores the blocks choose picks.
    void Choose(std::size_t size, std::uint64_t& block, const BlockChoice& choose,
                StoredFileWriter& out, Result& result);

    Options options_;
    std::unique_ptr<char[]> buffer_;
};
