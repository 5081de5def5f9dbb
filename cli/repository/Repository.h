#pragma once

#include "CipherKey.h"
#include "CopyEngine.h"
#include "Manifest.h"
#include "PackCache.h"
#include "RepositoryKey.h"
#include "Storage.h"
#include "StoredForm.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One backup directory of the repository, as a listing sees it.
struct BackupRecord {
    std::string id;
    // The backup's files: the storage, the prefix of their paths in it ("<instance>/<id>"), and
    // the directory they are in when the storage is a local one (empty otherwise).
    std::shared_ptr<Storage> storage;
    std::string prefix;
    std::string directory;
    // Only a backup whose manifest is in place and readable is complete.
    bool complete = false;
    // "complete", "running" (its process still works on it), "failed" (its job ended with an
    // error) or "incomplete" (its job was killed, its removal was cut short, or its manifest
    // is gone or unreadable).
    std::string state;
    // What the status file says ("running", "failed", "complete", "deleting"; empty without
    // one).
    std::string recordedState;
    std::string type; // "full", "diff", "incr", "log" or "dump"
    std::int64_t startMicros = 0;
    std::string message; // why an incomplete backup stopped, when known
    std::shared_ptr<const Manifest> manifest;
    // The repository's key, when the backup has encrypted files.
    std::optional<CipherKey> key;
    // Packs read whole, shared by the records of one repository (null: every packed file is
    // read by its range).
    std::shared_ptr<PackCache> packs;

    // How an entry of the manifest is stored, with what it takes to read it.
    StoredForm FormOf(const ManifestEntry& entry) const;
    // The storage's path of a file of the backup (a manifest entry's stored name).
    std::string PathOf(const std::string& stored) const { return Storage::Join(prefix, stored); }
    // For messages: where a file of the backup is.
    std::string Describe(const std::string& stored) const;
    // Whether the storage holds the file of the backup.
    bool Holds(const std::string& stored) const;
    // A copy of an entry's stored file back to its original bytes into target (empty: read
    // and checksum only): from the local file, or streamed from the storage.
    CopyEngine::Task ReadTask(const ManifestEntry& entry, const std::string& target) const;
};

// The catalogue: <instance>/<backup id>/ of the storage holds one backup. A backup gets a
// status file when it is created and its manifest, atomically, as the very last step; a
// backup without a manifest is incomplete and is never offered for restore. The
// manifest of an encrypted backup is sealed under the repository's key (RepositoryKey); the
// status file stays plain and holds no data.
class Repository {
public:
    static constexpr const char* kManifestFile = "manifest.json";
    static constexpr const char* kStatusFile = "status.json";

    // A --repo value (Storage::Open). Throws CliError.
    explicit Repository(const std::string& root);
    explicit Repository(std::shared_ptr<Storage> storage);

    const std::shared_ptr<Storage>& Store() const { return storage_; }
    // For messages.
    const std::string& Root() const { return root_; }
    std::string InstanceDirectory(const std::string& instance) const;
    std::string BackupDirectory(const std::string& instance, const std::string& id) const;
    // The storage's prefix of a backup's files.
    static std::string BackupPrefix(const std::string& instance, const std::string& id);
    // What the backup's files take in the repository (as du counts them when it is local).
    static std::uint64_t StoredBytes(const BackupRecord& record);

    // Creates the directory of a new backup ("<stem>" and a letter of its type: F full,
    // C diff, I incr, L log, D dump; a suffix added when
    // that second already has a backup) with the status "running". Returns the id.
    std::string CreateBackup(const std::string& instance, const std::string& type,
                             std::int64_t startMicros);
    // Records that the backup's job failed, and why.
    void MarkFailed(const std::string& instance, const std::string& id, const std::string& type,
                    std::int64_t startMicros, const std::string& reason);
    // Backups whose status still says "running" although their process is gone (a killed
    // job) are marked failed. Call while holding the instance's lock.
    void MarkAbandoned(const std::string& instance);
    // Removes a backup whose job is not running; whether anything needs it is the caller's
    // question. Durable steps, each followed by afterStep (when given): the status says
    // "deleting"; the manifest goes (the backup is no longer complete); the backup leaves the
    // listing (Storage::RemoveTree); its files go. A removal cut short thus leaves the backup
    // whole and listed, or listed as being removed, or not listed at all.
    void Remove(const std::string& instance, const std::string& id,
                const std::function<void()>& afterStep = {});
    // Finishes removals cut short once their backup had left the listing.
    void RemoveLeftovers(const std::string& instance);
    // Sealed under the repository's key when the manifest says its backup is encrypted.
    void WriteManifest(const std::string& instance, const Manifest& manifest);
    // The repository's key (RepositoryKey::Get). Throws CliError.
    const CipherKey& Key(bool create) const;

    // Every backup of the instance, oldest first. A sealed manifest is opened with the
    // repository's key: throws CliError when the key cannot be had or is the wrong one (a
    // manifest that does not open under the right key makes its backup incomplete).
    std::vector<BackupRecord> List(const std::string& instance) const;
    // Throws CliError when there is no such backup.
    BackupRecord Get(const std::string& instance, const std::string& id) const;

    // The files of a complete backup that its manifest does not list, one sentence each.
    static std::vector<std::string> UnexpectedFiles(const BackupRecord& record);
    // The backups a restore to the end of a log backup replays: the newest complete data
    // backup (full, diff or incr) before it, then the complete log backups that continue one
    // another up to it. Empty when the log backup continues no complete data backup.
    // all: as List gives it.
    static std::vector<const BackupRecord*> ChainTo(const std::vector<BackupRecord>& all,
                                                    const BackupRecord& log);

    // Takes type, start, message and recorded state from the text of a status file into the
    // record; returns the pid of the job that wrote it (0 when it names none). Throws
    // std::exception for a text that is not a status file.
    static long ParseStatus(const std::string& text, BackupRecord& record);

private:
    void WriteStatus(const std::string& instance, const std::string& id, const std::string& type,
                     std::int64_t startMicros, const std::string& state,
                     const std::string& message);
    BackupRecord Read(const std::string& instance, const std::string& id) const;
    // The manifest of the file, opened first when it is sealed (the key goes into the record).
    Manifest ReadManifest(const std::string& text, BackupRecord& record) const;

    std::shared_ptr<Storage> storage_;
    std::string root_;
    // Shared by copies: a passphrase is stretched once.
    std::shared_ptr<RepositoryKey> key_;
    std::shared_ptr<PackCache> packs_;
};
