#pragma once

#include "ByteSink.h"
#include "CipherKey.h"

#include <sodium.h>

#include <string>
#include <vector>

// Encrypts and authenticates one stream (libsodium's secretstream, XChaCha20-Poly1305): a
// recognisable header, then the bytes in chunks of kChunk, each sealed on its own, the last
// one (shorter than kChunk, possibly empty) tagged as the end. A StreamOpener refuses a stream
// with any byte changed, a chunk dropped, moved or added, or its end cut off.
class StreamSealer {
public:
    static constexpr std::size_t kChunk = 64 << 10;
    static constexpr std::size_t kOverhead = crypto_secretstream_xchacha20poly1305_ABYTES;
    static constexpr std::size_t kHeaderSize = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
    // What every sealed stream starts with.
    static constexpr const char kMagic[] = "PGULOSEALED1";
    static constexpr std::size_t kMagicSize = sizeof kMagic - 1;

    explicit StreamSealer(CipherKey key);
    StreamSealer(const StreamSealer&) = delete;
    StreamSealer& operator=(const StreamSealer&) = delete;

    void Put(const char* data, std::size_t size, const ByteSink& out);
    // Seals the last chunk; the next Put begins a new stream.
    void Finish(const ByteSink& out);
    // Drops a stream begun and not finished.
    void Reset();

    static std::string SealText(const CipherKey& key, const std::string& text);

private:
    void Begin(const ByteSink& out);
    void Seal(const char* data, std::size_t size, unsigned char tag, const ByteSink& out);

    CipherKey key_;
    crypto_secretstream_xchacha20poly1305_state state_;
    bool begun_ = false;
    std::string pending_;
    std::vector<unsigned char> sealed_;
};
