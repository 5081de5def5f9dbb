#include "Repository.h"

#include "CliError.h"
#include "FileOps.h"
#include "JsonInteger.h"
#include "ResumeState.h"
#include "StoredParts.h"
#include "StreamOpener.h"
#include "StreamSealer.h"
#include "TimeText.h"

#include "pgulo/host/UniqueFd.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <cerrno>
#include <stdexcept>
#include <sys/stat.h>

namespace {

using json = nlohmann::json;

bool ProcessAlive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

constexpr std::size_t kStatusReserve = 4096;

// Writes text over the start of an existing file at least as long, needing no new blocks. A
// crash in the middle leaves a status that cannot be read, which counts as no status: the
// backup is then judged by its manifest alone.
bool OverwriteInPlace(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || static_cast<std::size_t>(st.st_size) < text.size())
        return false;
    return ::pwrite(fd.get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
           ::fsync(fd.get()) == 0;
}

// The letter after a backup id's time tells its type.
const std::pair<char, const char*> kIdLetters[] = {
    {'F', "full"}, {'C', "diff"}, {'I', "incr"}, {'L', "log"}, {'D', "dump"}};

std::string IdSuffix(const std::string& type) {
    for (const auto& [letter, name] : kIdLetters) {
        if (type == name)
            return std::string(1, letter);
    }
    return "L";
}

std::string TypeOfId(const std::string& id) {
    for (const auto& [letter, name] : kIdLetters) {
        if (id.size() > 15 && id[15] == letter)
            return name;
    }
    return "log";
}

bool LooksLikeBackupId(const std::string& name) {
    if (name.size() < 16)
        return false;
    for (const auto& letter : kIdLetters) {
        if (name[15] == letter.first)
            return true;
    }
    return false;
}

// A number of a status file (an object), 0 when it has none.
template <typename T> T StatusNumber(const json& status, const char* key) {
    if (!status.contains(key))
        return 0;
    if (const std::optional<T> value = JsonInteger<T>(status.at(key)))
        return *value;
    throw std::runtime_error(std::string("status file: '") + key +
                             "' is not a whole number in range");
}

} // namespace

StoredForm BackupRecord::FormOf(const ManifestEntry& entry) const {
    StoredForm form;
    form.compression = Compression(entry.compression, 0);
    if (entry.encrypted) {
        if (!key)
            throw CliError("backup " + id + " lists encrypted files, but its key was not opened");
        form.key = key;
    }
    return form;
}

std::string BackupRecord::Describe(const std::string& stored) const {
    return storage->Describe(PathOf(stored));
}

bool BackupRecord::Holds(const std::string& stored) const {
    return storage->Size(PathOf(stored)).has_value();
}

CopyEngine::Task BackupRecord::ReadTask(const ManifestEntry& entry,
                                        const std::string& target) const {
    CopyEngine::Task task(Describe(entry.stored), target, 0600, entry.size, FormOf(entry),
                          StoredForm());
    task.parts = std::max<std::size_t>(1, entry.partSizes.size());
    if (entry.packed)
        task.openSource = [store = storage, packs = packs, path = PathOf(entry.stored),
                           offset = entry.packOffset, length = entry.storedSize](std::size_t) {
            return packs ? packs->Open(*store, path, offset, length)
                         : store->Open(path, offset, length);
        };
    else if (directory.empty())
        task.openSource = [store = storage, path = PathOf(entry.stored)](std::size_t part) {
            return store->Open(StoredParts::Name(path, part), 0, 0);
        };
    return task;
}

Repository::Repository(const std::string& root) : Repository(Storage::Open(root)) {}

Repository::Repository(std::shared_ptr<Storage> storage)
    : storage_(std::move(storage)), root_(storage_->Describe()),
      key_(std::make_shared<RepositoryKey>(storage_)), packs_(std::make_shared<PackCache>()) {}

const CipherKey& Repository::Key(bool create) const {
    return key_->Get(create);
}

std::string Repository::InstanceDirectory(const std::string& instance) const {
    return storage_->Describe(instance);
}

std::string Repository::BackupDirectory(const std::string& instance, const std::string& id) const {
    return storage_->Describe(BackupPrefix(instance, id));
}

std::string Repository::BackupPrefix(const std::string& instance, const std::string& id) {
    return instance + "/" + id;
}

std::uint64_t Repository::StoredBytes(const BackupRecord& record) {
    if (!record.directory.empty())
        return FileOps::TreeBytes(record.directory);
    std::uint64_t bytes = 0;
    for (const Storage::Entry& entry : record.storage->List(record.prefix))
        bytes += entry.size;
    return bytes;
}

std::string Repository::CreateBackup(const std::string& instance, const std::string& type,
                                     std::int64_t startMicros) {
    // The instance's lock keeps a second job from taking the same id meanwhile.
    const std::vector<std::string> taken = storage_->ListChildren(instance);
    const std::string stem = TimeText::IdStem(startMicros) + IdSuffix(type);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string id = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        if (std::binary_search(taken.begin(), taken.end(), id + "/") ||
            std::binary_search(taken.begin(), taken.end(), id))
            continue;
        try {
            WriteStatus(instance, id, type, startMicros, "running", "");
        } catch (const std::runtime_error& e) {
            throw CliError("cannot create the backup " + BackupDirectory(instance, id) + ": " +
                           e.what());
        }
        return id;
    }
    throw CliError("cannot find a free backup id under " + InstanceDirectory(instance));
}

void Repository::WriteStatus(const std::string& instance, const std::string& id,
                             const std::string& type, std::int64_t startMicros,
                             const std::string& state, const std::string& message) {
    const json status = {{"id", id},
                         {"type", type},
                         {"state", state},
                         {"start_time_us", startMicros},
                         {"pid", static_cast<long>(::getpid())},
                         {"message", message}};
    std::string text = status.dump(2) + "\n";
    // Padded, so that the file keeps room for the next status: a failure must still be
    // recorded when it is the disk filling up that made the backup fail.
    if (text.size() < kStatusReserve)
        text.insert(text.size() - 1, kStatusReserve - text.size(), ' ');
    const std::string path = Storage::Join(BackupPrefix(instance, id), kStatusFile);
    try {
        storage_->WriteLast(path, text);
    } catch (const std::exception& e) {
        const std::string local = storage_->LocalPath(path);
        if (local.empty() || !OverwriteInPlace(local, text))
            throw;
        std::fprintf(stderr, "pgulo: note: %s; the status was written in place\n", e.what());
    }
}

void Repository::MarkFailed(const std::string& instance, const std::string& id,
                            const std::string& type, std::int64_t startMicros,
                            const std::string& reason) {
    WriteStatus(instance, id, type, startMicros, "failed", reason);
}

void Repository::MarkAbandoned(const std::string& instance) {
    for (const BackupRecord& record : List(instance)) {
        if (record.complete || record.recordedState != "running" || record.state == "running")
            continue;
        WriteStatus(instance, record.id, record.type, record.startMicros, "failed",
                    "its job ended without finishing (killed)");
    }
}

void Repository::Remove(const std::string& instance, const std::string& id,
                        const std::function<void()>& afterStep) {
    const BackupRecord record = Get(instance, id);
    if (record.state == "running")
        throw CliError("backup " + id + " is still being written by its job");
    auto step = [&afterStep] {
        if (afterStep)
            afterStep();
    };
    const std::string manifest = record.PathOf(kManifestFile);
    if (storage_->Size(manifest)) {
        // Said first, so that a backup whose manifest is gone reads as one being removed, not
        // as a complete one that lost its manifest.
        if (record.recordedState != "deleting") {
            WriteStatus(instance, id, record.type, record.startMicros, "deleting",
                        "its removal was cut short; 'pgulo expire' finishes it");
            step();
        }
        try {
            storage_->Remove({manifest});
        } catch (const std::runtime_error& e) {
            throw CliError(e.what());
        }
        step();
    }
    // Out of the listing before its files go: a removal cut short leaves nothing the listing
    // takes for a backup, and the next removal finishes it.
    try {
        storage_->RemoveTree(record.prefix, step);
    } catch (const std::runtime_error& e) {
        throw CliError(e.what());
    }
    RemoveLeftovers(instance);
    step();
}

void Repository::RemoveLeftovers(const std::string& instance) {
    for (std::string name : storage_->ListChildren(instance)) {
        if (name.rfind(Storage::kUnlistedPrefix, 0) != 0)
            continue;
        if (!name.empty() && name.back() == '/')
            name.pop_back();
        storage_->RemoveTree(Storage::Join(instance, name));
    }
}

void Repository::WriteManifest(const std::string& instance, const Manifest& manifest) {
    std::string text = manifest.ToJson().dump(1) + "\n";
    if (manifest.encrypted)
        text = StreamSealer::SealText(Key(false), text);
    storage_->WriteLast(Storage::Join(BackupPrefix(instance, manifest.id), kManifestFile), text);
    WriteStatus(instance, manifest.id, manifest.type, manifest.startMicros, "complete", "");
}

BackupRecord Repository::Read(const std::string& instance, const std::string& id) const {
    BackupRecord record;
    record.id = id;
    record.storage = storage_;
    record.packs = packs_;
    record.prefix = BackupPrefix(instance, id);
    record.directory = storage_->LocalPath(record.prefix);
    record.type = TypeOfId(id);
    record.state = "incomplete";
    try {
        const std::optional<std::string> status = storage_->ReadSmall(record.PathOf(kStatusFile));
        if (!status)
            throw std::runtime_error("no status file");
        const long pid = ParseStatus(*status, record);
        if (record.recordedState == "failed")
            record.state = "failed";
        if (record.recordedState == "running" && ProcessAlive(pid) &&
            pid != static_cast<long>(::getpid()))
            record.state = "running";
    } catch (const std::exception&) {
        // A backup without a readable status file is judged by its manifest alone.
    }
    std::optional<std::string> manifestText;
    std::string unreadable;
    try {
        manifestText = storage_->ReadSmall(record.PathOf(kManifestFile));
    } catch (const std::runtime_error& e) {
        unreadable = e.what();
    }
    if (!unreadable.empty()) {
        record.state = "incomplete";
        record.message = "unreadable manifest: " + unreadable;
    } else if (manifestText) {
        try {
            auto manifest = std::make_shared<Manifest>(ReadManifest(*manifestText, record));
            record.type = manifest->type;
            record.startMicros = manifest->startMicros;
            record.manifest = std::move(manifest);
            record.complete = true;
            record.state = "complete";
            record.message.clear();
        } catch (const CliError&) {
            throw; // the key, not this backup, is at fault
        } catch (const std::exception& e) {
            record.state = "incomplete";
            record.message = std::string("unreadable manifest: ") + e.what();
        }
    } else if (record.recordedState == "complete") {
        record.message = "its manifest is gone although its status says complete";
    } else if (record.state != "running" && record.message.empty()) {
        record.message = "no manifest";
    }
    return record;
}

Manifest Repository::ReadManifest(const std::string& stored, BackupRecord& record) const {
    std::string text = stored;
    const bool sealed = StreamOpener::IsSealed(text);
    if (sealed) {
        record.key = Key(false);
        text = StreamOpener::OpenText(*record.key, text);
    }
    Manifest manifest = Manifest::FromJson(json::parse(text));
    for (const ManifestEntry& entry : manifest.entries) {
        if (entry.encrypted && !record.key)
            record.key = Key(false);
    }
    return manifest;
}

long Repository::ParseStatus(const std::string& text, BackupRecord& record) {
    const json status = json::parse(text);
    record.type = status.value("type", record.type);
    record.startMicros = StatusNumber<std::int64_t>(status, "start_time_us");
    record.message = status.value("message", std::string());
    const long pid = StatusNumber<long>(status, "pid");
    record.recordedState = status.value("state", std::string());
    return pid;
}

std::vector<BackupRecord> Repository::List(const std::string& instance) const {
    std::vector<BackupRecord> records;
    std::vector<std::string> ids;
    for (const std::string& name : storage_->ListChildren(instance)) {
        const std::string id = name.substr(0, name.size() - 1);
        if (!name.empty() && name.back() == '/' && LooksLikeBackupId(id))
            ids.push_back(id);
    }
    // Backups of the same second in the order of their ids.
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids)
        records.push_back(Read(instance, id));
    std::stable_sort(
        records.begin(), records.end(),
        [](const BackupRecord& a, const BackupRecord& b) { return a.startMicros < b.startMicros; });
    return records;
}

BackupRecord Repository::Get(const std::string& instance, const std::string& id) const {
    const std::vector<std::string> names =
        id.find('/') != std::string::npos || !LooksLikeBackupId(id)
            ? std::vector<std::string>()
            : storage_->ListChildren(instance);
    if (!std::binary_search(names.begin(), names.end(), id + "/"))
        throw CliError("instance '" + instance + "' has no backup '" + id + "'");
    return Read(instance, id);
}

std::vector<const BackupRecord*> Repository::ChainTo(const std::vector<BackupRecord>& all,
                                                     const BackupRecord& log) {
    const BackupRecord* full = nullptr;
    for (const BackupRecord& r : all) {
        if (r.complete && Manifest::IsDataBackup(r.type) && r.startMicros < log.startMicros)
            full = &r;
    }
    if (full == nullptr)
        return {};
    std::vector<const BackupRecord*> chain = {full};
    std::string end = full->manifest->endWal;
    for (const BackupRecord& r : all) {
        if (!r.complete || r.type != "log" || r.startMicros <= full->startMicros ||
            r.startMicros > log.startMicros || r.manifest->baseWal != end)
            continue;
        chain.push_back(&r);
        end = r.manifest->endWal;
        if (r.id == log.id)
            return chain;
    }
    return {};
}

std::vector<std::string> Repository::UnexpectedFiles(const BackupRecord& record) {
    std::set<std::string> known = {kManifestFile, kStatusFile};
    for (const auto& entry : record.manifest->entries) {
        // A file another backup stores is no part of this directory.
        if (entry.kind == ManifestEntry::Kind::File && entry.storedIn.empty())
            for (const std::string& part : StoredParts::Names(entry.stored, entry.partSizes.size()))
                known.insert(part);
    }
    std::vector<std::string> problems;
    try {
        for (const Storage::Entry& file : record.storage->List(record.prefix)) {
            // What a full backup kept to be resumed, left when a crash came between its
            // manifest and the removal: no data, and never read once the manifest is in place.
            if (file.path.rfind(std::string(ResumeState::kDirectory) + "/", 0) == 0)
                continue;
            if (known.count(file.path) == 0)
                problems.push_back(file.path + ": unexpected file, not in the manifest");
        }
    } catch (const std::runtime_error& e) {
        problems.push_back(e.what());
    }
    return problems;
}
