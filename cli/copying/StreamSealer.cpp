#include "StreamSealer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

StreamSealer::StreamSealer(CipherKey key) : key_(std::move(key)), sealed_(kChunk + kOverhead) {
    pending_.reserve(kChunk);
}

void StreamSealer::Begin(const ByteSink& out) {
    unsigned char header[kHeaderSize];
    ::crypto_secretstream_xchacha20poly1305_init_push(&state_, header, key_.data());
    out(kMagic, kMagicSize);
    out(reinterpret_cast<const char*>(header), sizeof header);
    begun_ = true;
}

void StreamSealer::Seal(const char* data, std::size_t size, unsigned char tag,
                        const ByteSink& out) {
    unsigned long long length = 0;
    if (::crypto_secretstream_xchacha20poly1305_push(
            &state_, sealed_.data(), &length, reinterpret_cast<const unsigned char*>(data), size,
            nullptr, 0, tag) != 0)
        throw std::runtime_error("encryption failed");
    out(reinterpret_cast<const char*>(sealed_.data()), static_cast<std::size_t>(length));
}

void StreamSealer::Put(const char* data, std::size_t size, const ByteSink& out) {
    if (!begun_)
        Begin(out);
    const unsigned char message = crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
    while (size > 0) {
        if (pending_.empty() && size > kChunk) {
            Seal(data, kChunk, message, out);
            data += kChunk;
            size -= kChunk;
            continue;
        }
        // A full chunk waits for more: only Finish knows which chunk is the last.
        if (pending_.size() == kChunk) {
            Seal(pending_.data(), kChunk, message, out);
            pending_.clear();
        }
        const std::size_t take = std::min(size, kChunk - pending_.size());
        pending_.append(data, take);
        data += take;
        size -= take;
    }
}

void StreamSealer::Finish(const ByteSink& out) {
    if (!begun_)
        Begin(out);
    const unsigned char final = crypto_secretstream_xchacha20poly1305_TAG_FINAL;
    Seal(pending_.data(), pending_.size(), final, out);
    Reset();
}

void StreamSealer::Reset() {
    pending_.clear();
    ::sodium_memzero(&state_, sizeof state_);
    begun_ = false;
}

std::string StreamSealer::SealText(const CipherKey& key, const std::string& text) {
    std::string sealed;
    const ByteSink append = [&sealed](const char* data, std::size_t size) {
        sealed.append(data, size);
    };
    StreamSealer sealer(key);
    sealer.Put(text.data(), text.size(), append);
    sealer.Finish(append);
    return sealed;
}
