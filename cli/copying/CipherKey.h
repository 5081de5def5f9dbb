#pragma once

#include <cstddef>
#include <memory>
#include <string>

// A 32-byte key for the stored files' cipher, kept in memory the library guards (locked, never
// swapped, wiped when freed). Copies share the one key.
class CipherKey {
public:
    static constexpr std::size_t kSize = 32;

    // A fresh random key.
    static CipherKey Random();
    // The key made of exactly kSize bytes; throws std::invalid_argument for another length.
    static CipherKey FromBytes(const std::string& bytes);
    // Argon2id of the passphrase with the salt (16 bytes) and limits; throws
    // std::runtime_error when the library cannot get the memory.
    static CipherKey Derive(const std::string& passphrase, const std::string& salt,
                            unsigned long long opsLimit, std::size_t memLimit);

    const unsigned char* data() const { return bytes_.get(); }
    // The raw bytes, for the one place that writes a key file.
    std::string Bytes() const;

    // Starts the cipher library; every user of it goes through here first.
    static void InitLibrary();

private:
    CipherKey();

    std::shared_ptr<unsigned char> bytes_;
};
