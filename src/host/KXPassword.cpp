#include "pgulo/host/KXPassword.h"

#include "pgulo/host/AtomicFile.h"
#include "pgulo/host/HostHome.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <sodium.h>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string kPrefix = "v1:";

bool sodiumReady() {
    static const bool ready = ::sodium_init() >= 0;
    return ready;
}

// The key, wiped when it goes out of scope.
class Key {
public:
    Key() { ::sodium_memzero(bytes_, sizeof bytes_); }
    ~Key() { ::sodium_memzero(bytes_, sizeof bytes_); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    unsigned char* data() { return bytes_; }

private:
    unsigned char bytes_[crypto_secretbox_KEYBYTES];
};

// A byte buffer wiped when it goes out of scope.
class SecretBytes {
public:
    explicit SecretBytes(size_t size) : bytes_(size) {}
    ~SecretBytes() {
        if (!bytes_.empty())
            ::sodium_memzero(bytes_.data(), bytes_.size());
    }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    unsigned char* data() { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

private:
    std::vector<unsigned char> bytes_;
};

// 0 and the key, or why there is none: ENOENT, EINVAL for a file that holds no key, or the
// errno of a failed read.
int readKey(Key& key) {
    std::string text;
    int rc = AtomicFile::read(HostHome::keyFile(), text);
    if (rc != 0)
        return rc;
    rc = text.size() == crypto_secretbox_KEYBYTES ? 0 : EINVAL;
    if (rc == 0)
        std::memcpy(key.data(), text.data(), text.size());
    ::sodium_memzero(&text[0], text.size());
    return rc;
}

bool loadKey(Key& key) {
    return readKey(key) == 0;
}

// Loads the key, making it first when there is none. An existing key file is never replaced:
// that would make every stored password unreadable.
bool loadOrCreateKey(Key& key) {
    if (loadKey(key))
        return true;
    struct stat st {};
    if (::stat(HostHome::keyFile().c_str(), &st) == 0)
        return false; // present but unusable: leave it for the operator to look at
    if (!HostHome::ensureDirectory(HostHome::root()))
        return false;
    Key fresh;
    ::randombytes_buf(fresh.data(), crypto_secretbox_KEYBYTES);
    std::string text(reinterpret_cast<const char*>(fresh.data()), crypto_secretbox_KEYBYTES);
    int rc = AtomicFile::create(HostHome::keyFile(), text, 0600);
    ::sodium_memzero(&text[0], text.size());
    if (rc != 0 && rc != EEXIST)
        return false;
    // Whether ours or a concurrent creator's, the file now holds the key.
    return loadKey(key);
}

// Opens a non-empty stored text into clear (sized to the text), giving its length; 0 or the
// reason as KXPassword::check documents it.
int openSealed(const std::string& stored, std::unique_ptr<SecretBytes>& clear,
               size_t& clearLength) {
    if (!sodiumReady())
        return EIO;
    if (stored.compare(0, kPrefix.size(), kPrefix) != 0)
        return EBADMSG;
    const std::string encoded = stored.substr(kPrefix.size());
    std::vector<unsigned char> sealed(encoded.size() + 1);
    size_t sealedLength = 0;
    if (::sodium_base642bin(sealed.data(), sealed.size(), encoded.data(), encoded.size(), nullptr,
                            &sealedLength, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        return EBADMSG;
    if (sealedLength < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
        return EBADMSG;
    Key key;
    const int rc = readKey(key);
    if (rc != 0)
        return rc;
    const unsigned char* nonce = sealed.data();
    const unsigned char* cipher = sealed.data() + crypto_secretbox_NONCEBYTES;
    const size_t cipherLength = sealedLength - crypto_secretbox_NONCEBYTES;
    clear = std::make_unique<SecretBytes>(cipherLength - crypto_secretbox_MACBYTES + 1);
    if (::crypto_secretbox_open_easy(clear->data(), cipher, cipherLength, nonce, key.data()) != 0)
        return EKEYREJECTED;
    clearLength = cipherLength - crypto_secretbox_MACBYTES;
    return 0;
}

} // namespace

KXPassword::KXPassword(int mode) : mode_(mode) {}

int KXPassword::decrypt(const std::string& stored, char* buffer, int* length) const {
    if (buffer == nullptr || length == nullptr || *length <= 0 || !sodiumReady())
        return 0;
    // An instance without a password (trust or peer authentication) stores nothing.
    if (stored.empty()) {
        buffer[0] = '\0';
        *length = 0;
        return 1;
    }
    std::unique_ptr<SecretBytes> clear;
    size_t clearLength = 0;
    if (openSealed(stored, clear, clearLength) != 0)
        return 0;
    // Room for the text and its terminating NUL, or nothing is written at all.
    if (clearLength + 1 > static_cast<size_t>(*length))
        return 0;
    std::memcpy(buffer, clear->data(), clearLength);
    buffer[clearLength] = '\0';
    *length = static_cast<int>(clearLength);
    return 1;
}

int KXPassword::check(const std::string& stored) const {
    if (stored.empty())
        return 0;
    std::unique_ptr<SecretBytes> clear;
    size_t clearLength = 0;
    return openSealed(stored, clear, clearLength);
}

int KXPassword::checkKey() {
    Key key;
    return readKey(key);
}

std::string KXPassword::encrypt(const std::string& clear) const {
    (void)mode_;
    if (!sodiumReady())
        return std::string();
    Key key;
    if (!loadOrCreateKey(key))
        return std::string();
    std::vector<unsigned char> sealed(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES +
                                      clear.size());
    ::randombytes_buf(sealed.data(), crypto_secretbox_NONCEBYTES);
    ::crypto_secretbox_easy(sealed.data() + crypto_secretbox_NONCEBYTES,
                            reinterpret_cast<const unsigned char*>(clear.data()), clear.size(),
                            sealed.data(), key.data());
    std::vector<char> encoded(
        sodium_base64_ENCODED_LEN(sealed.size(), sodium_base64_VARIANT_ORIGINAL));
    ::sodium_bin2base64(encoded.data(), encoded.size(), sealed.data(), sealed.size(),
                        sodium_base64_VARIANT_ORIGINAL);
    return kPrefix + encoded.data();
}
