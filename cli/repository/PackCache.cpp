#include "PackCache.h"

#include "PackWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

// A range of a pack held in memory.
class HeldReader : public StorageReader {
public:
    HeldReader(std::shared_ptr<const std::string> bytes, std::uint64_t offset, std::uint64_t length)
        : bytes_(std::move(bytes)), position_(offset), end_(offset + length) {}

    std::size_t Read(char* buffer, std::size_t size) override {
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - position_));
        std::memcpy(buffer, bytes_->data() + position_, take);
        position_ += take;
        return take;
    }

private:
    std::shared_ptr<const std::string> bytes_;
    std::uint64_t position_;
    std::uint64_t end_;
};

} // namespace

PackCache::Bytes PackCache::ReadWhole(const Storage& storage, const std::string& pack) {
    const std::unique_ptr<StorageReader> reader = storage.Open(pack, 0, 0);
    if (!reader)
        return nullptr;
    auto bytes = std::make_shared<std::string>();
    char buffer[1 << 16];
    while (const std::size_t n = reader->Read(buffer, sizeof buffer))
        bytes->append(buffer, n);
    return bytes;
}

std::unique_ptr<StorageReader> PackCache::Open(const Storage& storage, const std::string& pack,
                                               std::uint64_t offset, std::uint64_t length) {
    if (length == 0) // an empty file stored plain: nothing to read, and 0 means "to the end"
        return std::make_unique<HeldReader>(std::make_shared<const std::string>(), 0, 0);
    std::shared_future<Bytes> held;
    std::promise<Bytes> reading;
    bool reader = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = packs_.find(pack);
        if (found != packs_.end()) {
            held = found->second;
        } else if (bytes_ + PackWriter::kPackSize <= kMostBytes) {
            bytes_ += PackWriter::kPackSize;
            held = reading.get_future().share();
            packs_.emplace(pack, held);
            reader = true;
        }
    }
    if (reader) {
        try {
            reading.set_value(ReadWhole(storage, pack));
        } catch (...) {
            // Whoever waits for it fails as this reader does; the next try reads afresh.
            reading.set_exception(std::current_exception());
            const std::lock_guard<std::mutex> lock(mutex_);
            packs_.erase(pack);
            bytes_ -= PackWriter::kPackSize;
            throw;
        }
    }
    if (!held.valid())
        return storage.Open(pack, offset, length);
    const Bytes bytes = held.get();
    if (!bytes)
        return nullptr;
    // A pack shorter than the manifest says gives what it has: the checksum tells.
    const std::uint64_t start = std::min<std::uint64_t>(offset, bytes->size());
    const std::uint64_t take = std::min<std::uint64_t>(length, bytes->size() - start);
    return std::make_unique<HeldReader>(bytes, start, take);
}
