#pragma once

#include "ByteSink.h"
#include "CipherKey.h"

#include <sodium.h>

#include <string>
#include <vector>

// Undoes a StreamSealer. Each chunk is checked before its bytes are handed on; a stream with
// a changed byte, a chunk out of place, bytes after its end or no end at all (a truncated
// file) throws DamagedStream, and so does a stream sealed under another key.
class StreamOpener {
public:
    explicit StreamOpener(CipherKey key);
    StreamOpener(const StreamOpener&) = delete;
    StreamOpener& operator=(const StreamOpener&) = delete;

    void Put(const char* data, std::size_t size, const ByteSink& out);
    // Opens what is left; throws when the stream did not end with its last chunk. The next
    // Put begins a new stream.
    void Finish(const ByteSink& out);
    // Forgets the stream read so far.
    void Reset();

    // Whether the bytes begin as a sealed stream does.
    static bool IsSealed(const std::string& start);
    static std::string OpenText(const CipherKey& key, const std::string& sealed);

private:
    void Open(const char* data, std::size_t size, const ByteSink& out);

    CipherKey key_;
    crypto_secretstream_xchacha20poly1305_state state_;
    bool begun_ = false;
    bool ended_ = false;
    std::string pending_;
    std::vector<unsigned char> opened_;
};
