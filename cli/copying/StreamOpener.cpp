#include "StreamOpener.h"

#include "DamagedStream.h"
#include "StreamSealer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t kSealedChunk = StreamSealer::kChunk + StreamSealer::kOverhead;
constexpr std::size_t kStart = StreamSealer::kMagicSize + StreamSealer::kHeaderSize;

[[noreturn]] void Refuse(const std::string& why) {
    throw DamagedStream("the encrypted data does not open: " + why);
}

} // namespace

StreamOpener::StreamOpener(CipherKey key) : key_(std::move(key)), opened_(StreamSealer::kChunk) {
    pending_.reserve(kSealedChunk);
}

bool StreamOpener::IsSealed(const std::string& start) {
    return start.compare(0, StreamSealer::kMagicSize, StreamSealer::kMagic) == 0;
}

void StreamOpener::Reset() {
    ::sodium_memzero(&state_, sizeof state_);
    begun_ = false;
    ended_ = false;
    pending_.clear();
}

void StreamOpener::Open(const char* data, std::size_t size, const ByteSink& out) {
    if (ended_)
        Refuse("there are bytes after its last chunk");
    if (size < StreamSealer::kOverhead)
        Refuse("it was cut short");
    unsigned long long length = 0;
    unsigned char tag = 0;
    if (::crypto_secretstream_xchacha20poly1305_pull(
            &state_, opened_.data(), &length, &tag, reinterpret_cast<const unsigned char*>(data),
            size, nullptr, 0) != 0)
        Refuse("it was altered, or it was encrypted under another key");
    ended_ = tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL;
    if (length > 0)
        out(reinterpret_cast<const char*>(opened_.data()), static_cast<std::size_t>(length));
}

void StreamOpener::Put(const char* data, std::size_t size, const ByteSink& out) {
    while (size > 0) {
        const std::size_t need = begun_ ? kSealedChunk : kStart;
        if (begun_ && pending_.empty() && size >= need) {
            Open(data, need, out);
            data += need;
            size -= need;
            continue;
        }
        const std::size_t take = std::min(size, need - pending_.size());
        pending_.append(data, take);
        data += take;
        size -= take;
        if (pending_.size() < need)
            continue;
        if (begun_) {
            Open(pending_.data(), pending_.size(), out);
        } else {
            if (!IsSealed(pending_))
                Refuse("it does not start as an encrypted file of pgulo does");
            if (::crypto_secretstream_xchacha20poly1305_init_pull(
                    &state_,
                    reinterpret_cast<const unsigned char*>(pending_.data()) +
                        StreamSealer::kMagicSize,
                    key_.data()) != 0)
                Refuse("its header is damaged");
            begun_ = true;
        }
        pending_.clear();
    }
}

void StreamOpener::Finish(const ByteSink& out) {
    if (!begun_)
        Refuse("it was cut short before its header ended");
    if (!pending_.empty())
        Open(pending_.data(), pending_.size(), out);
    if (!ended_)
        Refuse("it was cut short (its last chunk is missing)");
    Reset();
}

std::string StreamOpener::OpenText(const CipherKey& key, const std::string& sealed) {
    std::string text;
    const ByteSink append = [&text](const char* data, std::size_t size) { text.append(data, size); };
    StreamOpener opener(key);
    opener.Put(sealed.data(), sealed.size(), append);
    opener.Finish(append);
    return text;
}
