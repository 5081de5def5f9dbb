#include "Repository.h"

#include "CliError.h"
#include "FileOps.h"
#include "JsonInteger.h"
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
#include <filesystem>
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
constexpr const char* kDeletingPrefix = ".deleting-";

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

Repository::Repository(std::string root)
    : root_(std::move(root)), key_(std::make_shared<RepositoryKey>(root_)) {}

const CipherKey& Repository::Key(bool create) const {
    return key_->Get(create);
}

std::string Repository::InstanceDirectory(const std::string& instance) const {
    return root_ + "/" + instance;
}

std::string Repository::BackupDirectory(const std::string& instance, const std::string& id) const {
    return InstanceDirectory(instance) + "/" + id;
}

std::string Repository::CreateBackup(const std::string& instance, const std::string& type,
                                     std::int64_t startMicros) {
    FileOps::MakeDirectories(InstanceDirectory(instance));
    const std::string stem = TimeText::IdStem(startMicros) + IdSuffix(type);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string id = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        const std::string dir = BackupDirectory(instance, id);
        if (::mkdir(dir.c_str(), 0700) == 0) {
            FileOps::SyncDirectory(InstanceDirectory(instance));
            WriteStatus(instance, id, type, startMicros, "running", "");
            return id;
        }
        if (errno != EEXIST)
            throw CliError("cannot create the backup directory " + dir + ": " +
                           FileOps::ErrnoText(errno));
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
    const std::string path = BackupDirectory(instance, id) + "/" + kStatusFile;
    try {
        FileOps::WriteAtomically(path, text);
    } catch (const std::exception& e) {
        if (!OverwriteInPlace(path, text))
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
    const std::string manifest = record.directory + "/" + kManifestFile;
    if (FileOps::Exists(manifest)) {
        // Said first, so that a backup whose manifest is gone reads as one being removed, not
        // as a complete one that lost its manifest.
        if (record.recordedState != "deleting") {
            WriteStatus(instance, id, record.type, record.startMicros, "deleting",
                        "its removal was cut short; 'pgulo expire' finishes it");
            step();
        }
        if (::unlink(manifest.c_str()) != 0)
            throw CliError("cannot remove " + manifest + ": " + FileOps::ErrnoText(errno));
        FileOps::SyncDirectory(record.directory);
        step();
    }
    // Renamed before its files go: a removal cut short leaves a directory the listing no
    // longer takes for a backup, and the next removal finishes it.
    const std::string doomed = InstanceDirectory(instance) + "/" + kDeletingPrefix + id;
    if (::rename(record.directory.c_str(), doomed.c_str()) != 0)
        throw CliError("cannot remove " + record.directory + ": " + FileOps::ErrnoText(errno));
    FileOps::SyncDirectory(InstanceDirectory(instance));
    step();
    RemoveLeftovers(instance);
    step();
}

void Repository::RemoveLeftovers(const std::string& instance) {
    for (const std::string& name : FileOps::List(InstanceDirectory(instance))) {
        if (name.rfind(kDeletingPrefix, 0) == 0)
            FileOps::RemoveTree(InstanceDirectory(instance) + "/" + name);
    }
}

void Repository::WriteManifest(const std::string& instance, const Manifest& manifest) {
    const std::string dir = BackupDirectory(instance, manifest.id);
    std::string text = manifest.ToJson().dump(1) + "\n";
    if (manifest.encrypted)
        text = StreamSealer::SealText(Key(false), text);
    FileOps::WriteAtomically(dir + "/" + kManifestFile, text);
    WriteStatus(instance, manifest.id, manifest.type, manifest.startMicros, "complete", "");
}

BackupRecord Repository::Read(const std::string& instance, const std::string& id) const {
    BackupRecord record;
    record.id = id;
    record.directory = BackupDirectory(instance, id);
    record.type = TypeOfId(id);
    record.state = "incomplete";
    try {
        const long pid =
            ParseStatus(FileOps::ReadWhole(record.directory + "/" + kStatusFile), record);
        if (record.recordedState == "failed")
            record.state = "failed";
        if (record.recordedState == "running" && ProcessAlive(pid) &&
            pid != static_cast<long>(::getpid()))
            record.state = "running";
    } catch (const std::exception&) {
        // A backup without a readable status file is judged by its manifest alone.
    }
    const std::string manifestPath = record.directory + "/" + kManifestFile;
    if (FileOps::Exists(manifestPath)) {
        try {
            auto manifest = std::make_shared<Manifest>(ReadManifest(manifestPath, record));
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

Manifest Repository::ReadManifest(const std::string& path, BackupRecord& record) const {
    std::string text = FileOps::ReadWhole(path);
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
    for (const std::string& name : FileOps::List(InstanceDirectory(instance))) {
        if (LooksLikeBackupId(name) && FileOps::IsDirectory(BackupDirectory(instance, name)))
            records.push_back(Read(instance, name));
    }
    std::stable_sort(
        records.begin(), records.end(),
        [](const BackupRecord& a, const BackupRecord& b) { return a.startMicros < b.startMicros; });
    return records;
}

BackupRecord Repository::Get(const std::string& instance, const std::string& id) const {
    if (id.find('/') != std::string::npos || !LooksLikeBackupId(id) ||
        !FileOps::IsDirectory(BackupDirectory(instance, id)))
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
            known.insert(entry.stored);
    }
    std::vector<std::string> problems;
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(record.directory, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            continue;
        const std::string relative = it->path().string().substr(record.directory.size() + 1);
        if (known.count(relative) == 0)
            problems.push_back(relative + ": unexpected file, not in the manifest");
    }
    if (ec)
        problems.push_back("cannot list " + record.directory + ": " + ec.message());
    return problems;
}
