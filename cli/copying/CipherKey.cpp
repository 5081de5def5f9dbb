#include "CipherKey.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

void CipherKey::InitLibrary() {
    static const bool ready = ::sodium_init() >= 0;
    if (!ready)
        throw std::runtime_error("the cipher library (libsodium) did not start");
}

CipherKey::CipherKey() {
    InitLibrary();
    auto* bytes = static_cast<unsigned char*>(::sodium_malloc(kSize));
    if (bytes == nullptr)
        throw std::bad_alloc();
    bytes_.reset(bytes, [](unsigned char* p) { ::sodium_free(p); });
}

CipherKey CipherKey::Random() {
    CipherKey key;
    ::crypto_secretstream_xchacha20poly1305_keygen(key.bytes_.get());
    return key;
}

CipherKey CipherKey::FromBytes(const std::string& bytes) {
    if (bytes.size() != kSize)
        throw std::invalid_argument("a key has " + std::to_string(kSize) + " bytes, not " +
                                    std::to_string(bytes.size()));
    CipherKey key;
    std::copy(bytes.begin(), bytes.end(), key.bytes_.get());
    return key;
}

CipherKey CipherKey::Derive(const std::string& passphrase, const std::string& salt,
                            unsigned long long opsLimit, std::size_t memLimit) {
    static_assert(crypto_secretstream_xchacha20poly1305_KEYBYTES == kSize, "key size");
    if (salt.size() != crypto_pwhash_SALTBYTES)
        throw std::invalid_argument("a passphrase salt has " +
                                    std::to_string(crypto_pwhash_SALTBYTES) + " bytes");
    CipherKey key;
    if (::crypto_pwhash(key.bytes_.get(), kSize, passphrase.data(), passphrase.size(),
                        reinterpret_cast<const unsigned char*>(salt.data()), opsLimit, memLimit,
                        crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("deriving the key from the passphrase ran out of memory");
    return key;
}

std::string CipherKey::Bytes() const {
    return std::string(reinterpret_cast<const char*>(bytes_.get()), kSize);
}
