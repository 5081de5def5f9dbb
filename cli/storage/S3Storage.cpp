#include "S3Storage.h"

#include "S3ObjectReader.h"
#include "S3Writer.h"
#include "pgulo/host/EvDebug.h"

#include <algorithm>
#include <ctime>
#include <set>

namespace {

EvDebug g_log(nullptr);

// An upload, counted among those in flight while it lives: the more files are written at once,
// the fewer parts each may send in parallel.
class CountedWriter : public StorageWriter {
public:
    CountedWriter(S3Client& client, const std::string& key,
                  std::shared_ptr<std::atomic<std::size_t>> writers,
                  std::shared_ptr<S3Storage::Levels> levels,
                  std::shared_ptr<UploadQueue> pending)
        : writers_(std::move(writers)), levels_(std::move(levels)), pending_(std::move(pending)),
          writer_(std::make_unique<S3Writer>(client, key, ThreadsFor(++*writers_, client))) {}
    ~CountedWriter() override { --*writers_; }
    CountedWriter(const CountedWriter&) = delete;
    CountedWriter& operator=(const CountedWriter&) = delete;

    void Write(const char* data, std::size_t size) override { writer_->Write(data, size); }
    void Commit() override {
        if (writer_->Multipart()) {
            writer_->Commit();
            levels_->Forget();
            return;
        }
        std::shared_ptr<S3Writer> writer = std::move(writer_);
        pending_->Add([writer, levels = levels_] {
            writer->Commit();
            levels->Forget();
        });
    }

private:
    // A writer holds its parts in flight and the one it fills.
    static std::size_t ThreadsFor(std::size_t writers, const S3Client& client) {
        const std::size_t share = S3Storage::kUploadPartsBudget / writers;
        const auto most = static_cast<std::size_t>(client.Location().Settings().threads);
        return std::clamp<std::size_t>(share > 1 ? share - 1 : 1, 1, most);
    }

    std::shared_ptr<std::atomic<std::size_t>> writers_;
    std::shared_ptr<S3Storage::Levels> levels_;
    std::shared_ptr<UploadQueue> pending_;
    std::unique_ptr<S3Writer> writer_;
};

// S3's "Initiated" time, e.g. 2026-12-07T15:04:05.000Z; 0 when it is not one.
std::time_t ParseInitiated(const std::string& text) {
    std::tm parts{};
    if (::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts) == nullptr)
        return 0;
    return ::timegm(&parts);
}

} // namespace

S3Storage::S3Storage(S3Location location)
    : client_(std::make_shared<S3Client>(std::move(location))),
      writers_(std::make_shared<std::atomic<std::size_t>>(0)), levels_(std::make_shared<Levels>()),
      pending_(std::make_shared<UploadQueue>()) {}

S3Storage::~S3Storage() {
    try {
        pending_->Drain();
    } catch (const std::exception& e) {
        g_log.Error("S3", "a file's upload failed after its writer was done: %s", e.what());
    }
}

void S3Storage::Levels::Forget() {
    const std::lock_guard<std::mutex> lock(mutex);
    ++changes;
    sizes.clear();
}

std::optional<std::optional<std::uint64_t>> S3Storage::Listed(const std::string& key) const {
    const std::size_t slash = key.rfind('/');
    const std::string level = slash == std::string::npos ? "" : key.substr(0, slash + 1);
    const std::string name = key.substr(level.size());
    std::unique_lock<std::mutex> lock(levels_->mutex);
    auto known = levels_->sizes.find(level);
    if (known == levels_->sizes.end())
        return std::nullopt;
    const auto object = known->second.find(name);
    if (object == known->second.end())
        return std::optional<std::uint64_t>();
    return std::optional<std::uint64_t>(object->second);
}

std::string S3Storage::Key(const std::string& path) const {
    return client_->Location().Key(path);
}

std::string S3Storage::KeyPrefix(const std::string& prefix) const {
    if (prefix.empty() || prefix.back() == '/')
        return Key(prefix);
    return Key(prefix + "/");
}

std::unique_ptr<StorageWriter> S3Storage::Create(const std::string& path) {
    return std::make_unique<CountedWriter>(*client_, Key(path), writers_, levels_, pending_);
}

std::unique_ptr<StorageReader> S3Storage::Open(const std::string& path, std::uint64_t offset,
                                               std::uint64_t length) const {
    pending_->Drain();
    std::optional<std::optional<std::uint64_t>> size = Listed(Key(path));
    if (!size) {
        const std::optional<S3Object> object = client_->Head(Key(path));
        size = object ? std::optional<std::uint64_t>(object->size) : std::nullopt;
    }
    if (!*size)
        return nullptr;
    return std::make_unique<S3ObjectReader>(client_, Key(path), **size, offset, length);
}

std::optional<std::string> S3Storage::ReadSmall(const std::string& path) const {
    pending_->Drain();
    if (!client_->Head(Key(path)))
        return std::nullopt;
    return client_->Get(Key(path));
}

void S3Storage::WriteLast(const std::string& path, const std::string& bytes) {
    pending_->Drain();
    // One PUT: the store replaces an object whole, so a reader sees the old bytes or the new.
    client_->Put(Key(path), bytes);
    levels_->Forget();
}

bool S3Storage::WriteNew(const std::string& path, const std::string& bytes) {
    pending_->Drain();
    // The store offers no create-if-absent, so two writers could both see no object; the
    // instance lock is what keeps a second writer of the same name away.
    if (client_->Head(Key(path)))
        return false;
    client_->Put(Key(path), bytes);
    levels_->Forget();
    return true;
}

std::vector<Storage::Entry> S3Storage::List(const std::string& prefix) const {
    pending_->Drain();
    const std::string keyPrefix = KeyPrefix(prefix);
    std::vector<Entry> entries;
    for (const S3Object& object : client_->List(keyPrefix))
        entries.push_back(Entry{object.key.substr(keyPrefix.size()), object.size});
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    return entries;
}

std::vector<std::string> S3Storage::ListChildren(const std::string& prefix) const {
    pending_->Drain();
    const std::string keyPrefix = KeyPrefix(prefix);
    const S3Level level = client_->ListLevel(keyPrefix);
    std::set<std::string> names;
    for (const S3Object& object : level.objects)
        names.insert(object.key.substr(keyPrefix.size()));
    for (const std::string& below : level.prefixes)
        names.insert(below.substr(keyPrefix.size()));
    return {names.begin(), names.end()};
}

std::optional<std::uint64_t> S3Storage::Size(const std::string& path) const {
    pending_->Drain();
    const std::string key = Key(path);
    if (const auto listed = Listed(key))
        return *listed;
    const std::size_t slash = key.rfind('/');
    const std::string level = slash == std::string::npos ? "" : key.substr(0, slash + 1);
    std::uint64_t changes = 0;
    {
        const std::lock_guard<std::mutex> lock(levels_->mutex);
        changes = levels_->changes;
    }
    std::map<std::string, std::uint64_t> sizes;
    for (const S3Object& object : client_->ListLevel(level).objects)
        sizes[object.key.substr(level.size())] = object.size;
    const auto found = sizes.find(key.substr(level.size()));
    const std::optional<std::uint64_t> size =
        found == sizes.end() ? std::nullopt : std::optional<std::uint64_t>(found->second);
    const std::lock_guard<std::mutex> lock(levels_->mutex);
    if (levels_->changes == changes)
        levels_->sizes[level] = std::move(sizes);
    return size;
}

void S3Storage::Remove(const std::vector<std::string>& paths) {
    pending_->Drain();
    std::vector<std::string> keys;
    keys.reserve(paths.size());
    for (const std::string& path : paths)
        keys.push_back(Key(path));
    client_->DeleteMany(keys);
    levels_->Forget();
}

void S3Storage::RemoveTree(const std::string& prefix, const std::function<void()>& afterUnlisted) {
    pending_->Drain();
    // Nothing here leaves a listing before its objects go; the repository has removed the
    // manifest first, so what remains meanwhile never looks like a complete backup.
    std::vector<std::string> keys;
    for (const S3Object& object : client_->List(KeyPrefix(prefix)))
        keys.push_back(object.key);
    client_->DeleteMany(keys);
    levels_->Forget();
    if (afterUnlisted)
        afterUnlisted();
}

void S3Storage::Sync(const std::string& prefix) {
    (void)prefix; // a completed upload is already as durable as the store makes it
    pending_->Drain();
}

std::string S3Storage::LocalPath(const std::string& path) const {
    (void)path;
    return "";
}

std::string S3Storage::Describe(const std::string& path) const {
    const S3Location& location = client_->Location();
    return "s3://" + location.Bucket() + "/" + location.Key(path);
}

std::size_t S3Storage::AbortAbandonedWrites(std::chrono::seconds age) {
    const std::time_t before = std::time(nullptr) - static_cast<std::time_t>(age.count());
    std::size_t aborted = 0;
    for (const S3Upload& upload : client_->ListUploads(Key(""))) {
        const std::time_t initiated = ParseInitiated(upload.initiated);
        if (initiated == 0 || initiated > before)
            continue;
        client_->AbortUpload(upload);
        levels_->Forget();
        g_log.Debug("S3", "aborted the unfinished upload of '%s' begun at %s", upload.key.c_str(),
                    upload.initiated.c_str());
        ++aborted;
    }
    return aborted;
}
