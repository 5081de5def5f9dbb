#pragma once

#include "ByteSink.h"
#include "Compression.h"

#include <memory>
#include <vector>

// Undoes a Compressor: takes the stored bytes in pieces of any size and hands the original
// bytes on in pieces of at most a small buffer, however well they were compressed. Damaged
// or cut-short frames throw DamagedStream.
class Decompressor {
public:
    explicit Decompressor(Compression::Algorithm algorithm);
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    void Put(const char* data, std::size_t size, const ByteSink& out);
    // Throws when the stream ended inside a frame (a truncated file) or held no frame.
    void Finish();
    // Forgets the stream read so far; the next Put begins a new one.
    void Reset();

private:
    struct Zstd;
    struct Lz4;

    std::unique_ptr<Zstd> zstd_;
    std::unique_ptr<Lz4> lz4_;
    std::vector<char> buffer_;
    // Whether the last frame seen is complete; a stream must hold at least one.
    bool frameOpen_ = false;
    bool sawFrame_ = false;
};
