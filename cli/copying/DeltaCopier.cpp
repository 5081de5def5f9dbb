#include "DeltaCopier.h"

#include "BlockDigest.h"
#include "FileOps.h"
#include "PieceChecksum.h"
#include "RateLimiter.h"
#include "StoredFileWriter.h"

#include "pgulo/host/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

// A whole number of blocks, so that only the file's end reads short.
constexpr std::size_t kChunk = 512 * BlockDigest::kBlockSize;

} // namespace

DeltaCopier::DeltaCopier(Options options)
    : options_(std::move(options)), buffer_(std::make_unique<char[]>(kChunk)) {}

DeltaCopier::~DeltaCopier() = default;

std::size_t DeltaCopier::Fill(int in, std::uint64_t offset, std::size_t want,
                              const std::string& source) {
    return FileOps::ReadAt(in, buffer_.get(), want, offset, source);
}

void DeltaCopier::Choose(std::size_t size, std::uint64_t& block, const BlockChoice& choose,
                         StoredFileWriter& out, Result& result) {
    for (std::size_t at = 0; at < size; at += BlockDigest::kBlockSize, ++block) {
        const std::size_t n = std::min<std::size_t>(BlockDigest::kBlockSize, size - at);
        const std::string digest = BlockDigest::Of(buffer_.get() + at, n);
        result.blockDigests += digest;
        const bool store = choose(block, digest);
        result.storedBlocks.push_back(store);
        if (store)
            out.Put(buffer_.get() + at, n);
    }
}

UniqueFd DeltaCopier::OpenSource(const std::string& source, Result& result) {
    UniqueFd in(FileOps::OpenSource(source));
    if (!in) {
        if (errno == ENOENT || errno == ENOTDIR) {
            result.status = Status::Vanished;
            return in;
        }
        throw std::runtime_error("cannot open " + source + ": " + FileOps::ErrnoText(errno));
    }
    if (::fstat(in.get(), &result.source) != 0)
        throw std::runtime_error("cannot examine " + source + ": " + FileOps::ErrnoText(errno));
    return in;
}

DeltaCopier::Result DeltaCopier::Copy(const std::string& source, Storage& storage,
                                      const std::string& target, const StoredForm& form,
                                      const BlockChoice& choose, Range range) {
    Result result;
    UniqueFd in = OpenSource(source, result);
    if (!in)
        return result;
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    StoredFileWriter out(storage, target, form);
    PieceChecksum sum;
    std::uint64_t block = range.offset / BlockDigest::kBlockSize;
    for (;;) {
        if (options_.stop && options_.stop()) {
            result.status = Status::Stopped;
            return result;
        }
        if (range.length != 0 && result.bytes >= range.length)
            break;
        const std::size_t want =
            range.length == 0 ? kChunk
                              : static_cast<std::size_t>(
                                    std::min<std::uint64_t>(kChunk, range.length - result.bytes));
        const std::size_t size = Fill(in.get(), range.offset + result.bytes, want, source);
        if (size == 0)
            break;
        if (options_.limiter)
            options_.limiter->Acquire(size, options_.stop);
        sum.update(buffer_.get(), size);
        Choose(size, block, choose, out, result);
        result.bytes += size;
        if (options_.onBytes)
            options_.onBytes(size);
        if (size < want)
            break;
    }
    result.stored = out.Finish().stored;
    result.pieces = sum.finishPieces(range.Whole());
    if (range.Whole())
        result.checksum = PieceChecksum::Combine(result.pieces);
    result.read = result.bytes;
    return result;
}

DeltaCopier::Result DeltaCopier::CopyBlocks(const std::string& source, Storage& storage,
                                            const std::string& target, const StoredForm& form,
                                            const std::string& referenceDigests,
                                            const BlockRead& mustRead, const BlockChoice& choose,
                                            Range range) {
    Result result;
    UniqueFd in = OpenSource(source, result);
    if (!in)
        return result;
    const std::uint64_t fileSize = static_cast<std::uint64_t>(result.source.st_size);
    // The range's end in the file as it is now.
    const std::uint64_t size =
        range.length == 0 ? fileSize : std::min(fileSize, range.offset + range.length);
    const std::uint64_t count = BlockDigest::BlockCount(size);
    const std::uint64_t known = referenceDigests.size() / BlockDigest::kDigestSize;
    auto read = [&](std::uint64_t block) { return block >= known || mustRead(block); };
    StoredFileWriter out(storage, target, form);
    PieceChecksum sum;
    bool everyBlock = true; // the checksum only means something over the whole file
    result.bytes = size > range.offset ? size - range.offset : 0;
    for (std::uint64_t block = range.offset / BlockDigest::kBlockSize; block < count;) {
        if (options_.stop && options_.stop()) {
            result.status = Status::Stopped;
            return result;
        }
        if (!read(block)) {
            result.blockDigests += referenceDigests.substr(block * BlockDigest::kDigestSize,
                                                           BlockDigest::kDigestSize);
            result.storedBlocks.push_back(false);
            everyBlock = false;
            ++block;
            continue;
        }
        // Neighbouring blocks to read go in one call.
        std::uint64_t end = block + 1;
        while (end < count && (end - block) * BlockDigest::kBlockSize < kChunk && read(end))
            ++end;
        const std::uint64_t offset = block * BlockDigest::kBlockSize;
        const std::size_t want =
            static_cast<std::size_t>(std::min(end * BlockDigest::kBlockSize, size) - offset);
        const std::size_t got = FileOps::ReadAt(in.get(), buffer_.get(), want, offset, source);
        if (options_.limiter)
            options_.limiter->Acquire(got, options_.stop);
        if (everyBlock)
            sum.update(buffer_.get(), got);
        Choose(got, block, choose, out, result);
        result.read += got;
        if (options_.onBytes)
            options_.onBytes(got);
        if (got < want) {
            // Cut short while being read: the WAL replayed at restore truncates it anyway.
            result.bytes = offset + got - range.offset;
            break;
        }
    }
    result.stored = out.Finish().stored;
    if (everyBlock) {
        result.pieces = sum.finishPieces(range.Whole());
        if (range.Whole())
            result.checksum = PieceChecksum::Combine(result.pieces);
    }
    return result;
}
