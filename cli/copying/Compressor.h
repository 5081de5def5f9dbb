#pragma once

#include "ByteSink.h"
#include "Compression.h"

#include <memory>
#include <vector>

// Compresses one stream into one zstd or lz4 frame (a "none" compressor passes the bytes on).
// One per file and thread; the library context is kept for the next file after Finish.
class Compressor {
public:
    explicit Compressor(Compression compression);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    void Put(const char* data, std::size_t size, const ByteSink& out);
    // Ends the frame; the next Put begins a new one.
    void Finish(const ByteSink& out);
    // Drops a frame begun and not finished (a file given up half way).
    void Reset();

private:
    struct Zstd;
    struct Lz4;

    Compression compression_;
    std::unique_ptr<Zstd> zstd_;
    std::unique_ptr<Lz4> lz4_;
    std::vector<char> buffer_;
};
