#include "Checksum.h"

#include <stdexcept>

Checksum::Checksum() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}

void Checksum::update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(context_.get(), data, size) != 1)
        throw std::runtime_error("SHA-256 update failed");
}

std::string Checksum::finish() {
    return Hex(finishRaw());
}

std::string Checksum::Hex(const std::string& raw) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(raw.size() * 2);
    for (unsigned char c : raw) {
        hex += kHex[c >> 4];
        hex += kHex[c & 0x0F];
    }
    return hex;
}

std::string Checksum::finishRaw() {
    if (finished_)
        throw std::logic_error("Checksum::finish called twice");
    finished_ = true;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1)
        throw std::runtime_error("SHA-256 final failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Checksum::ofText(const std::string& text) {
    Checksum sum;
    sum.update(text.data(), text.size());
    return sum.finish();
}
