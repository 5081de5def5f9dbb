#include "RepositoryKey.h"

#include "CliError.h"
#include "DamagedStream.h"
#include "FileOps.h"
#include "StreamOpener.h"
#include "StreamSealer.h"

#include "pgulo/host/HostHome.h"

#include <sodium.h>

#include <cstdlib>

namespace {

using json = nlohmann::json;

constexpr int kRecordFormat = 1;
constexpr const char* kFromKeyFile = "key-file";
constexpr const char* kFromPassphrase = "passphrase";
// What the record's check value opens to under the right key.
constexpr const char* kCheckText = "pgulo repository key check";

std::string Hex(const std::string& bytes) {
    std::string hex(bytes.size() * 2 + 1, '\0');
    ::sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size());
    hex.pop_back();
    return hex;
}

std::string Unhex(const std::string& hex) {
    std::string bytes(hex.size() / 2, '\0');
    std::size_t length = 0;
    if (::sodium_hex2bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), hex.data(),
                         hex.size(), nullptr, &length, nullptr) != 0 ||
        length * 2 != hex.size())
        throw std::runtime_error("a value is not hexadecimal");
    bytes.resize(length);
    return bytes;
}

// The passphrase of the environment, or nothing when it is not set or empty.
std::optional<std::string> Passphrase() {
    const char* value = std::getenv(RepositoryKey::kPassphraseVariable);
    if (value == nullptr || *value == '\0')
        return std::nullopt;
    return std::string(value);
}

} // namespace

RepositoryKey::RepositoryKey(std::shared_ptr<Storage> storage)
    : storage_(std::move(storage)), root_(storage_->Describe()) {}

std::string RepositoryKey::KeyFile() {
    return HostHome::root() + "/repository.key";
}

const CipherKey& RepositoryKey::Get(bool create) {
    if (key_)
        return *key_;
    const std::string path = storage_->Describe(kRecordFile);
    const std::optional<std::string> text = storage_->ReadSmall(kRecordFile);
    if (!text) {
        if (!create)
            throw CliError("the repository " + root_ + " holds encrypted backups but no " +
                           kRecordFile + " telling where their key comes from");
        key_ = Create();
        return *key_;
    }
    json record;
    try {
        record = json::parse(*text);
    } catch (const std::exception& e) {
        throw CliError("the repository's key record " + path + " cannot be read: " + e.what());
    }
    key_ = Open(record);
    return *key_;
}

CipherKey RepositoryKey::KeyFromFile(bool make) {
    const std::string file = KeyFile();
    if (!FileOps::Exists(file)) {
        if (!make)
            throw CliError("the repository key file " + file + " is missing");
        if (!HostHome::ensureDirectory(HostHome::root()))
            throw CliError("cannot create the pgulo home " + HostHome::root());
        // A concurrent first backup may make one at the same moment: the first one stays.
        FileOps::CreateAtomically(file, CipherKey::Random().Bytes(), 0600);
    }
    std::string bytes = FileOps::ReadWhole(file);
    try {
        CipherKey key = CipherKey::FromBytes(bytes);
        ::sodium_memzero(bytes.data(), bytes.size());
        return key;
    } catch (const std::invalid_argument&) {
        throw CliError("the repository key file " + file + " is damaged: it does not hold a key");
    }
}

CipherKey RepositoryKey::Create() {
    CipherKey::InitLibrary();
    json record = {{"format", kRecordFormat}};
    std::optional<CipherKey> key;
    if (const std::optional<std::string> passphrase = Passphrase()) {
        std::string salt(crypto_pwhash_SALTBYTES, '\0');
        ::randombytes_buf(salt.data(), salt.size());
        key = CipherKey::Derive(*passphrase, salt, kOpsLimit, kMemLimit);
        record["source"] = kFromPassphrase;
        record["kdf"] = {{"algorithm", "argon2id13"},
                         {"salt", Hex(salt)},
                         {"opslimit", kOpsLimit},
                         {"memlimit", kMemLimit}};
    } else {
        key = KeyFromFile(true);
        record["source"] = kFromKeyFile;
    }
    record["check"] = Hex(StreamSealer::SealText(*key, kCheckText));
    if (storage_->WriteNew(kRecordFile, record.dump(2) + "\n"))
        return *key;
    // Another job recorded a key first: that one holds.
    return Open(json::parse(storage_->ReadSmall(kRecordFile).value_or("")));
}

CipherKey RepositoryKey::Open(const json& record) const {
    std::string source, check;
    json kdf;
    try {
        if (record.at("format").get<int>() != kRecordFormat)
            throw std::runtime_error("its format is not " + std::to_string(kRecordFormat));
        source = record.at("source").get<std::string>();
        check = Unhex(record.at("check").get<std::string>());
        if (source == kFromPassphrase)
            kdf = record.at("kdf");
        else if (source != kFromKeyFile)
            throw std::runtime_error("it names no known key source");
    } catch (const std::exception& e) {
        throw CliError("the repository's key record " + storage_->Describe(kRecordFile) + " is damaged: " + e.what());
    }
    std::optional<CipherKey> key;
    std::string which;
    if (source == kFromPassphrase) {
        const std::optional<std::string> passphrase = Passphrase();
        if (!passphrase)
            throw CliError("the repository " + root_ + " is encrypted under a passphrase; set " +
                           kPassphraseVariable);
        try {
            const auto opsLimit = kdf.at("opslimit").get<unsigned long long>();
            const auto memLimit = kdf.at("memlimit").get<std::size_t>();
            // An altered record must not make us spend minutes or gigabytes on the key.
            if (opsLimit < crypto_pwhash_OPSLIMIT_MIN || opsLimit > kMaxOpsLimit ||
                memLimit < crypto_pwhash_MEMLIMIT_MIN || memLimit > kMaxMemLimit)
                throw std::runtime_error("its limits are out of range");
            key = CipherKey::Derive(*passphrase, Unhex(kdf.at("salt").get<std::string>()),
                                    opsLimit, memLimit);
        } catch (const std::exception& e) {
            throw CliError("the repository's key record " + storage_->Describe(kRecordFile) + " is damaged: " +
                           e.what());
        }
        which = std::string("the passphrase in ") + kPassphraseVariable;
    } else {
        if (!FileOps::Exists(KeyFile()))
            throw CliError("the repository " + root_ + " is encrypted under the key file " +
                           KeyFile() + ", which is missing");
        key = KeyFromFile(false);
        which = "the key file " + KeyFile();
    }
    try {
        if (StreamOpener::OpenText(*key, check) == kCheckText)
            return *key;
    } catch (const DamagedStream&) {
        // What another key makes of the check value; said below in the user's words.
    }
    throw CliError("the repository key does not open the repository " + root_ + ": " + which +
                   " is not the one its backups were encrypted under");
}
