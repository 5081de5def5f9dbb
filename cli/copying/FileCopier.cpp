#include "FileCopier.h"

#include "BlockDigest.h"
#include "DamagedStream.h"
#include "FileOps.h"
#include "PieceChecksum.h"
#include "RateLimiter.h"
#include "Storage.h"
#include "StoredDecoder.h"
#include "StoredEncoder.h"
#include "StoredParts.h"

#include "pgulo/host/UniqueFd.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace {

// Large enough for direct writes to keep the disk busy, small enough for a few workers.
constexpr std::size_t kChunk = 4 << 20;
// Start write-back every so many bytes, so the final fsync has little left to do.
constexpr std::uint64_t kWriteBehind = 8ull << 20;
constexpr std::size_t kDirectAlignment = 4096;
// Stored forms are written through a buffer of whole blocks, so that they too can go around
// the page cache.
constexpr std::size_t kOutput = 1 << 20;

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

// A copy that is flushed anyway skips the page cache: writing through it costs more than
// the copy itself once the kernel starts throttling dirty pages. File systems without
// direct I/O get the ordinary open.
int OpenTarget(const std::string& target, mode_t mode, bool direct, bool create) {
    const int flags = O_WRONLY | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0);
    if (direct) {
        const int fd = ::open(target.c_str(), flags | O_DIRECT, mode);
        if (fd >= 0 || errno != EINVAL)
            return fd;
    }
    return ::open(target.c_str(), flags, mode);
}

bool SameForm(const StoredForm& a, const StoredForm& b) {
    return a.compression.algorithm() == b.compression.algorithm() &&
           a.compression.level() == b.compression.level() && a.key.has_value() == b.key.has_value() &&
           (!a.key || a.key->data() == b.key->data());
}

// Starts write-back every so many bytes, so the final fsync has little left to do.
void WriteBehind(int out, std::uint64_t bytes, std::uint64_t& unsynced) {
    unsynced += bytes;
    if (unsynced >= kWriteBehind) {
        ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
        unsynced = 0;
    }
}

// Writes a stream through a buffer of whole blocks, so that a target opened for direct I/O
// takes it around the page cache; only the tail goes through the cache.
class BlockWriter {
public:
    // start: where in the file the stream goes.
    BlockWriter(int fd, char* buffer, const std::string& target, std::uint64_t start = 0)
        : fd_(fd), buffer_(buffer), target_(target),
          direct_(fd >= 0 && (::fcntl(fd, F_GETFL) & O_DIRECT) != 0), written_(start) {}

    void Put(const char* data, std::size_t size) {
        while (fd_ >= 0 && size > 0) {
            const std::size_t take = std::min(size, kOutput - held_);
            std::memcpy(buffer_ + held_, data, take);
            held_ += take;
            data += take;
            size -= take;
            if (held_ == kOutput)
                Flush();
        }
    }

    void Flush() {
        if (held_ == 0)
            return;
        if (direct_ && held_ % kDirectAlignment != 0) {
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_DIRECT);
            direct_ = false;
        }
        FileOps::WriteAt(fd_, buffer_, held_, written_, target_);
        written_ += held_;
        if (!direct_)
            WriteBehind(fd_, held_, unsynced_);
        held_ = 0;
    }

private:
    int fd_;
    char* buffer_;
    const std::string& target_;
    bool direct_;
    std::uint64_t written_;
    std::size_t held_ = 0;
    std::uint64_t unsynced_ = 0;
};

} // namespace

FileCopier::FileCopier(Options options)
    : options_(std::move(options)),
      buffer_(static_cast<char*>(std::aligned_alloc(4096, kChunk)), std::free),
      output_(nullptr, std::free) {
    if (!buffer_)
        throw std::bad_alloc();
}

FileCopier::~FileCopier() = default;

void FileCopier::Account(int out, std::uint64_t bytes, std::uint64_t& unsynced) {
    if (bytes == 0)
        return;
    if (options_.onBytes)
        options_.onBytes(bytes);
    if (out >= 0)
        WriteBehind(out, bytes, unsynced);
}

std::size_t FileCopier::Fill(int in, std::uint64_t offset, std::size_t want,
                             const std::string& source) {
    // Whole chunks keep direct writes aligned; only the end of the file comes short.
    return FileOps::ReadAt(in, buffer_.get(), want, offset, source);
}

void FileCopier::ReadAndWrite(int in, int out, std::uint64_t offset, std::uint64_t length,
                              Result& result, const std::string& source, const std::string& target,
                              bool whole) {
    PieceChecksum sum;
    BlockDigest blocks;
    std::uint64_t unsynced = 0;
    bool direct = out >= 0 && (::fcntl(out, F_GETFL) & O_DIRECT) != 0;
    std::uint64_t position = offset;
    while (length == 0 || position < offset + length) {
        if (Stopped()) {
            result.status = Status::Stopped;
            return;
        }
        std::size_t want = kChunk;
        if (length != 0)
            want =
                static_cast<std::size_t>(std::min<std::uint64_t>(want, offset + length - position));
        const std::size_t size = Fill(in, position, want, source);
        if (size == 0)
            break;
        if (options_.limiter)
            options_.limiter->Acquire(size, options_.stop);
        if (options_.checksum)
            sum.update(buffer_.get(), size);
        if (digestBlocks_)
            blocks.update(buffer_.get(), size);
        if (direct && size % kDirectAlignment != 0) {
            // Direct writes take whole blocks: the tail goes through the page cache.
            ::fcntl(out, F_SETFL, ::fcntl(out, F_GETFL) & ~O_DIRECT);
            direct = false;
        }
        if (out >= 0)
            FileOps::WriteAt(out, buffer_.get(), size, position, target);
        position += size;
        result.bytes += size;
        Account(out, direct ? 0 : size, unsynced);
        if (direct && options_.onBytes)
            options_.onBytes(size);
        if (size < want)
            break;
    }
    result.pieces = sum.finishPieces(whole);
    if (digestBlocks_)
        result.blockDigests = blocks.finish();
    if (whole)
        result.checksum = PieceChecksum::Combine(result.pieces);
}

void FileCopier::KernelCopy(int in, int out, Result& result, const std::string& source,
                            const std::string& target) {
    bool useCopyRange = true;
    std::uint64_t unsynced = 0;
    while (true) {
        if (Stopped()) {
            result.status = Status::Stopped;
            return;
        }
        if (options_.limiter)
            options_.limiter->Acquire(kChunk, options_.stop);
        ssize_t n = -1;
        if (useCopyRange) {
            n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
            if (n < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                useCopyRange = false;
                continue;
            }
        } else {
            n = ::sendfile(out, in, nullptr, kChunk);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                // Neither applies here: the plain loop does the rest from the same offset.
                const std::uint64_t done = result.bytes;
                ReadAndWrite(in, out, done, 0, result, source, target, false);
                return;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("cannot copy", source + " to " + target, errno);
        if (n == 0)
            return;
        result.bytes += static_cast<std::uint64_t>(n);
        Account(out, static_cast<std::uint64_t>(n), unsynced);
    }
}

int FileCopier::OpenSource(const std::string& source, Result& result) {
    const int fd = FileOps::OpenSource(source);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            result.status = Status::Vanished;
            return -1;
        }
        Fail("cannot open", source, errno);
    }
    if (::fstat(fd, &result.source) != 0) {
        const int error = errno;
        ::close(fd);
        Fail("cannot examine", source, error);
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

int FileCopier::CreateTarget(const std::string& target, mode_t mode, bool direct) {
    if (target.empty())
        return -1;
    const int fd = OpenTarget(target, mode, direct, true);
    if (fd < 0)
        Fail("cannot create", target, errno);
    // A target that existed keeps its old mode through O_CREAT: a restored key file left
    // readable by the group is not what was backed up.
    if (::fchmod(fd, mode) != 0) {
        const int error = errno;
        ::close(fd);
        Fail("cannot set the mode of", target, error);
    }
    return fd;
}

void FileCopier::CloseTarget(UniqueFd& out, const Result& result, const std::string& target) {
    if (out.get() < 0 || result.status != Status::Copied)
        return;
    if (options_.sync && ::fsync(out.get()) != 0)
        Fail("cannot flush", target, errno);
    if (!out.close())
        Fail("cannot close", target, errno);
}

FileCopier::Result FileCopier::Copy(const std::string& source, const std::string& target,
                                    mode_t mode) {
    Result result;
    UniqueFd in(OpenSource(source, result));
    if (in.get() < 0)
        return result;
    UniqueFd out(CreateTarget(target, mode, options_.checksum && options_.direct));
    if (options_.checksum || target.empty())
        ReadAndWrite(in.get(), out.get(), 0, 0, result, source, target, true);
    else
        KernelCopy(in.get(), out.get(), result, source, target);
    CloseTarget(out, result, target);
    result.stored = result.bytes;
    return result;
}

StoredEncoder* FileCopier::EncoderFor(const StoredForm& form) {
    if (form.Plain())
        return nullptr;
    if (!encoder_ || !SameForm(form, encoderForm_)) {
        encoder_ = std::make_unique<StoredEncoder>(form);
        encoderForm_ = form;
    }
    // The last file may have been given up half way.
    encoder_->Reset();
    return encoder_.get();
}

StoredDecoder* FileCopier::DecoderFor(const StoredForm& form) {
    if (form.Plain())
        return nullptr;
    if (!decoder_ || !SameForm(form, decoderForm_)) {
        decoder_ = std::make_unique<StoredDecoder>(form);
        decoderForm_ = form;
    }
    decoder_->Reset();
    return decoder_.get();
}

void FileCopier::TranscodeStream(const PartFill& fill, std::size_t parts, const ByteSink& out,
                                 const StoredForm& from, const StoredForm& to, const ByteSink* sink,
                                 Result& result, const std::string& source, bool whole) {
    StoredDecoder* decoder = DecoderFor(from);
    StoredEncoder* encoder = EncoderFor(to);
    const ByteSink write = [&](const char* data, std::size_t size) {
        if (!decoder)
            result.stored += size;
        out(data, size);
    };
    PieceChecksum sum;
    BlockDigest blocks;
    const ByteSink plain = [&](const char* data, std::size_t size) {
        if (options_.checksum)
            sum.update(data, size);
        if (digestBlocks_)
            blocks.update(data, size);
        result.bytes += size;
        if (options_.onBytes)
            options_.onBytes(size);
        if (sink)
            (*sink)(data, size);
        if (encoder)
            encoder->Put(data, size, write);
        else
            write(data, size);
    };
    for (std::size_t part = 0; part < std::max<std::size_t>(parts, 1); ++part) {
        if (decoder && part > 0)
            decoder->Reset(); // each part is a stream of its own
        try {
            for (std::uint64_t position = 0;;) {
                if (Stopped()) {
                    result.status = Status::Stopped;
                    return;
                }
                const std::size_t size = fill(part, position);
                if (size == 0)
                    break;
                if (options_.limiter)
                    options_.limiter->Acquire(size, options_.stop);
                position += size;
                if (!decoder) {
                    plain(buffer_.get(), size);
                    continue;
                }
                result.stored += size;
                decoder->Put(buffer_.get(), size, plain);
            }
            if (decoder)
                decoder->Finish(plain);
        } catch (const DamagedStream& e) {
            const std::string name = parts > 1 ? StoredParts::Name(source, part) : source;
            throw std::runtime_error("the stored copy " + name + " is damaged: " + e.what());
        }
    }
    if (encoder)
        encoder->Finish(write);
    if (digestBlocks_)
        result.blockDigests = blocks.finish();
    result.pieces = sum.finishPieces(whole);
    if (whole)
        result.checksum = PieceChecksum::Combine(result.pieces);
}

void FileCopier::TranscodeInto(const PartFill& fill, std::size_t parts, const std::string& source,
                               const StoredForm& from, const std::string& target,
                               StorageWriter* writer, const StoredForm& to, mode_t mode,
                               const ByteSink* sink, Result& result, bool whole,
                               std::optional<std::uint64_t> at) {
    UniqueFd out;
    if (!writer && at && !target.empty()) {
        out.reset(OpenTarget(target, mode, options_.direct, false));
        if (!out)
            Fail("cannot open", target, errno);
    } else if (!writer) {
        out.reset(CreateTarget(target, mode, options_.direct));
    }
    if (out.get() >= 0 && !output_) {
        output_.reset(static_cast<char*>(std::aligned_alloc(kDirectAlignment, kOutput)));
        if (!output_)
            throw std::bad_alloc();
    }
    BlockWriter file(out.get(), output_.get(), target, at.value_or(0));
    const ByteSink put = [&](const char* data, std::size_t size) {
        if (writer)
            writer->Write(data, size);
        else
            file.Put(data, size);
    };
    TranscodeStream(fill, parts, put, from, to, sink, result, source, whole);
    if (result.status != Status::Copied)
        return;
    if (writer)
        writer->Commit();
    file.Flush();
    CloseTarget(out, result, target);
}

std::size_t FileCopier::ReadChunk(StorageReader& reader) {
    std::size_t filled = 0;
    while (filled < kChunk) {
        const std::size_t n = reader.Read(buffer_.get() + filled, kChunk - filled);
        if (n == 0)
            break;
        filled += n;
    }
    return filled;
}

namespace {

// A stored object has no owner or mode of its own: those of a file this host makes.
void DescribeObject(struct stat& st) {
    st.st_mode = S_IFREG | 0600;
    st.st_uid = ::geteuid();
    st.st_gid = ::getegid();
}

} // namespace

FileCopier::Result FileCopier::Transcode(const std::string& source, const StoredForm& from,
                                         const std::string& target, const StoredForm& to,
                                         mode_t mode, const ByteSink* sink) {
    return TranscodeStorage(source, nullptr, from, target, nullptr, to, mode, sink);
}

FileCopier::Result FileCopier::TranscodeStorage(const std::string& source, StorageReader* reader,
                                                const StoredForm& from, const std::string& target,
                                                StorageWriter* writer, const StoredForm& to,
                                                mode_t mode, const ByteSink* sink) {
    Result result;
    UniqueFd in(reader ? -1 : OpenSource(source, result));
    if (!reader && in.get() < 0)
        return result;
    if (reader)
        DescribeObject(result.source);
    const int fd = in.get();
    const PartFill fill = [&](std::size_t, std::uint64_t position) -> std::size_t {
        return reader ? ReadChunk(*reader) : Fill(fd, position, kChunk, source);
    };
    TranscodeInto(fill, 1, source, from, target, writer, to, mode, sink, result, true);
    return result;
}

FileCopier::Result FileCopier::ReadParts(const std::string& source, std::size_t parts,
                                         const PartOpener& open, const StoredForm& from,
                                         const std::string& target, const WriterMaker& createWriter,
                                         const StoredForm& to, mode_t mode, const ByteSink* sink) {
    Result result;
    std::size_t current = 0;
    std::unique_ptr<StorageReader> reader;
    UniqueFd in;
    if (open) {
        reader = open(0);
        if (!reader) {
            result.status = Status::Vanished;
            return result;
        }
        DescribeObject(result.source);
    } else {
        in.reset(OpenSource(source, result));
        if (!in)
            return result;
    }
    const auto missing = [&](const std::string& name) {
        return std::runtime_error("the stored copy " + name + " is missing");
    };
    const PartFill fill = [&](std::size_t part, std::uint64_t position) -> std::size_t {
        const std::string name = StoredParts::Name(source, part);
        if (part != current) {
            current = part;
            if (open) {
                reader = open(part);
                if (!reader)
                    throw missing(name);
            } else {
                const int fd = FileOps::OpenSource(name);
                const int error = errno;
                in.reset(fd);
                if (!in && (error == ENOENT || error == ENOTDIR))
                    throw missing(name);
                if (!in)
                    Fail("cannot open", name, error);
            }
        }
        return reader ? ReadChunk(*reader) : Fill(in.get(), position, kChunk, name);
    };
    std::unique_ptr<StorageWriter> writer;
    if (createWriter)
        writer = createWriter();
    TranscodeInto(fill, parts, source, from, target, writer.get(), to, mode, sink, result, true);
    return result;
}

FileCopier::Result FileCopier::DecodePart(const std::string& source, std::size_t part,
                                          const PartOpener& open, const StoredForm& from,
                                          const std::string& target, std::uint64_t offset) {
    Result result;
    const std::string name = StoredParts::Name(source, part);
    std::unique_ptr<StorageReader> reader;
    UniqueFd in;
    if (open) {
        reader = open(part);
        if (!reader)
            result.status = Status::Vanished;
        else
            DescribeObject(result.source);
    } else {
        in.reset(OpenSource(name, result));
    }
    if (result.status == Status::Vanished) {
        if (part == 0)
            return result;
        throw std::runtime_error("the stored copy " + name + " is missing");
    }
    const PartFill fill = [&](std::size_t, std::uint64_t position) -> std::size_t {
        return reader ? ReadChunk(*reader) : Fill(in.get(), position, kChunk, name);
    };
    TranscodeInto(fill, 1, name, from, target, nullptr, StoredForm(), 0600, nullptr, result, false,
                  offset);
    return result;
}

FileCopier::Result FileCopier::TranscodeRange(const std::string& source, std::uint64_t offset,
                                              std::uint64_t length, const std::string& target,
                                              StorageWriter* writer, const StoredForm& to,
                                              mode_t mode) {
    Result result;
    UniqueFd in(OpenSource(source, result));
    if (!in)
        return result;
    const PartFill fill = [&](std::size_t, std::uint64_t position) -> std::size_t {
        if (length != 0 && position >= length)
            return 0;
        const std::size_t want =
            length == 0
                ? kChunk
                : static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, length - position));
        return Fill(in.get(), offset + position, want, source);
    };
    TranscodeInto(fill, 1, source, StoredForm(), target, writer, to, mode, nullptr, result, false);
    return result;
}

FileCopier::Result FileCopier::CopyRange(const std::string& source, const std::string& target,
                                         std::uint64_t offset, std::uint64_t length) {
    Result result;
    UniqueFd in(OpenSource(source, result));
    if (in.get() < 0)
        return result;
    UniqueFd out(target.empty() ? -1 : OpenTarget(target, 0600, options_.direct, false));
    if (!target.empty() && out.get() < 0)
        Fail("cannot open", target, errno);
    ReadAndWrite(in.get(), out.get(), offset, length, result, source, target, false);
    if (out && !out.close())
        Fail("cannot close", target, errno);
    return result;
}
