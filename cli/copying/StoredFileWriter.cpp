#include "StoredFileWriter.h"

namespace {

constexpr std::size_t kBuffer = 1 << 20;

} // namespace

StoredFileWriter::StoredFileWriter(Storage& storage, const std::string& path,
                                   const StoredForm& form)
    : out_(storage.Create(path)), encoder_(form) {
    buffer_.reserve(kBuffer);
}

void StoredFileWriter::Flush() {
    out_->Write(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void StoredFileWriter::Write(const char* data, std::size_t size) {
    written_.stored += size;
    buffer_.append(data, size);
    if (buffer_.size() >= kBuffer)
        Flush();
}

void StoredFileWriter::Put(const char* data, std::size_t size) {
    sum_.update(data, size);
    written_.size += size;
    encoder_.Put(data, size, [this](const char* d, std::size_t n) { Write(d, n); });
}

StoredFileWriter::Written StoredFileWriter::Finish() {
    encoder_.Finish([this](const char* d, std::size_t n) { Write(d, n); });
    Flush();
    out_->Commit();
    written_.checksum = PieceChecksum::Combine(sum_.finishPieces(true));
    return written_;
}
