#pragma once

#include "ByteSink.h"
#include "StoredForm.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class RateLimiter;
class UniqueFd;
class StoredDecoder;
class StoredEncoder;
class StorageReader;
class StorageWriter;

// Copies one regular file, or one range of it, reading it once: every chunk read feeds the
// checksum (PieceChecksum) and is written to the target. Without a checksum the kernel copies
// the data itself (copy_file_range, else sendfile). Transcode does the same between a file's
// original bytes and its stored form (compressed, encrypted): the checksum is always that of
// the original bytes. One copier per worker thread; it owns its buffers and codec contexts.
class FileCopier {
public:
    struct Options {
        bool checksum = true;
        // fsync the target before reporting it done. A caller copying many files flushes the
        // whole file system once instead (FileOps::SyncFileSystem): one journal commit, not
        // one per file.
        bool sync = true;
        // Write around the page cache (O_DIRECT) where the file system allows it.
        bool direct = true;
        RateLimiter* limiter = nullptr;
        // Asked before every chunk; true abandons the file (Stopped).
        std::function<bool()> stop;
        // Called with the size of every chunk copied.
        std::function<void(std::uint64_t)> onBytes;
    };
    enum class Status { Copied, Vanished, Stopped };
    struct Result {
        Status status = Status::Copied;
        std::uint64_t bytes = 0;         // of the original
        std::uint64_t stored = 0;        // of the stored form (the same for a plain copy)
        std::string checksum;            // the file's checksum (Copy, Transcode)
        std::vector<std::string> pieces; // raw digests of the range's pieces (CopyRange)
        // The stored size of each part of a copy stored in parts (StoredParts); empty for one
        // stream.
        std::vector<std::uint64_t> partSizes;
        std::string blockDigests;        // BlockDigest's, when asked for
        struct stat source {};           // the source as it was when opened
    };

    explicit FileCopier(Options options);
    ~FileCopier();
    FileCopier(const FileCopier&) = delete;
    FileCopier& operator=(const FileCopier&) = delete;

    // Whether the following copies also make the digests of the original's blocks (from the
    // same reads).
    void DigestBlocks(bool on) { digestBlocks_ = on; }
    // Copies source to target (created with mode, replaced when it exists). A source that
    // no longer exists gives Vanished. With an empty target the source is only read and
    // its checksum made. Throws std::runtime_error on every other failure.
    Result Copy(const std::string& source, const std::string& target, mode_t mode);
    // Copies length bytes from offset (0: up to the end of the file) into the same place of
    // an existing target (empty: read only). offset must start a checksum piece.
    Result CopyRange(const std::string& source, const std::string& target, std::uint64_t offset,
                     std::uint64_t length);
    // As Copy, reading source in the form from and writing target in the form to: a backup
    // encodes, a restore decodes, a check decodes into nothing. sink, when given, gets the
    // original bytes as well. Stored bytes that do not decode throw std::runtime_error naming
    // the source.
    Result Transcode(const std::string& source, const StoredForm& from, const std::string& target,
                     const StoredForm& to, mode_t mode, const ByteSink* sink = nullptr);

    // As Transcode, with either side in a storage: the reader, when given, is read instead of
    // the file source (which then only names it); the writer, when given, takes the target's
    // bytes instead of a file and is committed once the whole file is in it.
    Result TranscodeStorage(const std::string& source, StorageReader* reader,
                            const StoredForm& from, const std::string& target,
                            StorageWriter* writer, const StoredForm& to, mode_t mode,
                            const ByteSink* sink = nullptr);

    // Opens part k of a stored copy (null: it is missing).
    using PartOpener = std::function<std::unique_ptr<StorageReader>(std::size_t part)>;
    using WriterMaker = std::function<std::unique_ptr<StorageWriter>()>;
    // As TranscodeStorage, reading a copy stored in parts (StoredParts), each decoded on its
    // own, one after the other: open gives each part's reader; without it the parts are the
    // files named after source. createWriter, when given, makes the target's writer once the
    // first part is open. A missing first part gives Vanished; a later one throws.
    Result ReadParts(const std::string& source, std::size_t parts, const PartOpener& open,
                     const StoredForm& from, const std::string& target,
                     const WriterMaker& createWriter, const StoredForm& to, mode_t mode,
                     const ByteSink* sink = nullptr);
    // Decodes part k of a copy stored in parts (as ReadParts opens it) into the existing file
    // target (empty: read only) from offset on. The result has the part's piece digests, no
    // checksum. A missing first part gives Vanished; a later one throws.
    Result DecodePart(const std::string& source, std::size_t part, const PartOpener& open,
                      const StoredForm& from, const std::string& target, std::uint64_t offset);
    // Stores length bytes of source from offset (0: to its end; offset starts a checksum
    // piece) as one stream of its own in the form to: into the file target, or into writer
    // (committed when done). The result has the range's piece digests, no checksum.
    Result TranscodeRange(const std::string& source, std::uint64_t offset, std::uint64_t length,
                          const std::string& target, StorageWriter* writer, const StoredForm& to,
                          mode_t mode);

private:
    // fill(part, position) puts up to a chunk of a part of the source, from position in it,
    // into the buffer.
    using PartFill = std::function<std::size_t(std::size_t part, std::uint64_t position)>;

    void ReadAndWrite(int in, int out, std::uint64_t offset, std::uint64_t length, Result& result,
                      const std::string& source, const std::string& target, bool whole);
    void KernelCopy(int in, int out, Result& result, const std::string& source,
                    const std::string& target);
    std::size_t Fill(int in, std::uint64_t offset, std::size_t want, const std::string& source);
    bool Stopped() const { return options_.stop && options_.stop(); }
    void Account(int out, std::uint64_t bytes, std::uint64_t& unsynced);
    int OpenSource(const std::string& source, Result& result);
    // The target created (replaced) with mode, or -1 for an empty name.
    int CreateTarget(const std::string& target, mode_t mode, bool direct);
    // Flushes (when asked to) and closes a target that was copied in full.
    void CloseTarget(UniqueFd& out, const Result& result, const std::string& target);
    StoredEncoder* EncoderFor(const StoredForm& form);
    StoredDecoder* DecoderFor(const StoredForm& form);
    // Decodes the source's parts one after the other and encodes them as one stream that out
    // takes. whole: the source is a whole file (its checksum made), not a range.
    void TranscodeStream(const PartFill& fill, std::size_t parts, const ByteSink& out,
                         const StoredForm& from, const StoredForm& to, const ByteSink* sink,
                         Result& result, const std::string& source, bool whole);
    // TranscodeStream into the file target (created, or from at on in the existing file) or
    // into writer, then flushed or committed.
    void TranscodeInto(const PartFill& fill, std::size_t parts, const std::string& source,
                       const StoredForm& from, const std::string& target, StorageWriter* writer,
                       const StoredForm& to, mode_t mode, const ByteSink* sink, Result& result,
                       bool whole, std::optional<std::uint64_t> at = std::nullopt);
    // Fills the buffer from a storage's reader.
    std::size_t ReadChunk(StorageReader& reader);

    Options options_;
    bool digestBlocks_ = false;
    std::unique_ptr<char, void (*)(void*)> buffer_;
    std::unique_ptr<char, void (*)(void*)> output_;
    std::unique_ptr<StoredEncoder> encoder_;
    StoredForm encoderForm_;
    std::unique_ptr<StoredDecoder> decoder_;
    StoredForm decoderForm_;
};
