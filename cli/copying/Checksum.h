#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

// A running SHA-256 digest (OpenSSL, which uses the processor's SHA instructions where there
// are any), fed while a file is copied or read so that every byte is read once.
class Checksum {
public:
    static constexpr const char* kAlgorithm = "sha256";

    Checksum();
    void update(const void* data, std::size_t size);
    // Lower-case hexadecimal digest; the object must not be updated afterwards.
    std::string finish();
    // The 32 bytes of the digest.
    std::string finishRaw();
    static std::string Hex(const std::string& raw);

    // The digest of a whole text, for tests and small files.
    static std::string ofText(const std::string& text);

private:
    struct Free {
        void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> context_;
    bool finished_ = false;
};
