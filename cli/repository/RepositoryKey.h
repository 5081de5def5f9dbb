#pragma once

#include "CipherKey.h"
#include "Storage.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

// The key the encrypted files of one repository are sealed under. The repository records
// where it comes from (<root>/encryption.json): the key file $PGULO_HOME/repository.key, or a
// passphrase in $PGULO_REPO_PASSPHRASE stretched with Argon2id under the recorded salt and
// limits. The record also holds a short text sealed under the key, so that a wrong key or
// passphrase is refused before any file is read. The key itself never enters the repository.
class RepositoryKey {
public:
    static constexpr const char* kRecordFile = "encryption.json";
    static constexpr const char* kPassphraseVariable = "PGULO_REPO_PASSPHRASE";
    // Argon2id's limits for a new passphrase: the memory stays well inside what a backup may
    // take as a whole (the derivation is over before the copying starts).
    static constexpr unsigned long long kOpsLimit = 3;
    static constexpr std::size_t kMemLimit = 48u << 20;
    // What a record may ask for at most.
    static constexpr unsigned long long kMaxOpsLimit = 16;
    static constexpr std::size_t kMaxMemLimit = 64u << 20;

    explicit RepositoryKey(std::shared_ptr<Storage> storage);

    // The key, found once and kept. A repository that has no key yet gets one with create
    // (from the passphrase when one is set, else from the key file, made when missing);
    // without create that is an error. Throws CliError when the key cannot be had, or does
    // not open the repository.
    const CipherKey& Get(bool create);
    // $PGULO_HOME/repository.key.
    static std::string KeyFile();

private:
    CipherKey Create();
    CipherKey Open(const nlohmann::json& record) const;
    // The key file's key, made first when there is none and make is set.
    static CipherKey KeyFromFile(bool make);

    std::shared_ptr<Storage> storage_;
    std::string root_; // for messages
    std::optional<CipherKey> key_;
};
