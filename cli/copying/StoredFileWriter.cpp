#include "StoredFileWriter.h"

#include "FileOps.h"

#include "pgulo/host/AtomicFile.h"

#include <fcntl.h>

#include <cerrno>
#include <stdexcept>

namespace {

constexpr std::size_t kBuffer = 1 << 20;

} // namespace

StoredFileWriter::StoredFileWriter(std::string path, const StoredForm& form)
    : path_(std::move(path)),
      fd_(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)), encoder_(form) {
    if (fd_.get() < 0)
        throw std::runtime_error("cannot create " + path_ + ": " + FileOps::ErrnoText(errno));
    buffer_.reserve(kBuffer);
}

void StoredFileWriter::Flush() {
    if (AtomicFile::writeAll(fd_.get(), buffer_.data(), buffer_.size()) != 0)
        throw std::runtime_error("cannot write " + path_ + ": " + FileOps::ErrnoText(errno));
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
    if (!fd_.close())
        throw std::runtime_error("cannot close " + path_ + ": " + FileOps::ErrnoText(errno));
    written_.checksum = PieceChecksum::Combine(sum_.finishPieces(true));
    return written_;
}
