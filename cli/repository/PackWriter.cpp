#include "PackWriter.h"

// Holds a member's stored bytes until its copy is complete: an abandoned copy adds nothing.
class PackWriter::MemberWriter : public StorageWriter {
public:
    MemberWriter(PackWriter& packs, std::size_t member) : packs_(packs), member_(member) {}

    void Write(const char* data, std::size_t size) override { bytes_.append(data, size); }
    void Commit() override { packs_.Add(member_, bytes_); }

private:
    PackWriter& packs_;
    std::size_t member_;
    std::string bytes_;
};

PackWriter::PackWriter(std::shared_ptr<Storage> storage, std::string prefix)
    : storage_(std::move(storage)), prefix_(std::move(prefix)) {}

std::unique_ptr<StorageWriter> PackWriter::Create(std::size_t member) {
    return std::make_unique<MemberWriter>(*this, member);
}

void PackWriter::Add(std::size_t member, const std::string& bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    places_[member] = Place{"packs/" + std::to_string(number_), pack_.size()};
    pack_ += bytes;
    if (pack_.size() >= kPackSize)
        WritePack();
}

void PackWriter::WritePack() {
    if (pack_.empty())
        return;
    const std::unique_ptr<StorageWriter> writer =
        storage_->Create(Storage::Join(prefix_, "packs/" + std::to_string(number_)));
    writer->Write(pack_.data(), pack_.size());
    writer->Commit();
    pack_.clear();
    ++number_;
}

void PackWriter::Finish() {
    const std::lock_guard<std::mutex> lock(mutex_);
    WritePack();
}

std::optional<PackWriter::Place> PackWriter::PlaceOf(std::size_t member) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = places_.find(member);
    if (found == places_.end())
        return std::nullopt;
    return found->second;
}
