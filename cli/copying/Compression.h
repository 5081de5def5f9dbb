#pragma once

#include <string>

// How the stored copy of a file is compressed: not at all, zstd at a level, or lz4 (one speed).
// Written as "none", "zstd", "zstd:LEVEL" or "lz4" on the command line and in manifests.
class Compression {
public:
    enum class Algorithm { None, Zstd, Lz4 };
    static constexpr int kZstdDefaultLevel = 3;
    // zstd's levels past 19 need windows of up to 128 MiB, beyond the memory a copy worker
    // may take, and the decompressor is told to refuse frames that ask for more.
    static constexpr int kZstdMaxLevel = 19;
    static constexpr int kZstdWindowLogMax = 23;

    Compression() = default;
    Compression(Algorithm algorithm, int level);

    // Throws std::invalid_argument with a sentence for text that names no compression.
    static Compression Parse(const std::string& text);
    // The algorithm named as a manifest entry names it ("none", "zstd", "lz4"); throws
    // std::invalid_argument for another name.
    static Algorithm AlgorithmNamed(const std::string& name);
    static const char* NameOf(Algorithm algorithm);

    Algorithm algorithm() const { return algorithm_; }
    int level() const { return level_; }
    bool None() const { return algorithm_ == Algorithm::None; }
    // "none", "zstd:3" or "lz4": what Parse reads back.
    std::string Text() const;
    // What a stored file's name ends with: ".zst", ".lz4" or nothing.
    const char* Suffix() const;

private:
    Algorithm algorithm_ = Algorithm::None;
    int level_ = 0;
};
