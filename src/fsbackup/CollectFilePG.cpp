#include "fsbackup/CollectFilePG.h"

namespace PGUlo {

CollectFilePG::CollectFilePG(std::uint64_t /*deviceId*/, std::string mountPoint, int /*unused*/)
    : mountPoint_(std::move(mountPoint)) {}

bool CollectFilePG::Flush() {
    if (!stream_)
        return true;
    return std::fflush(stream_.get()) == 0 && std::ferror(stream_.get()) == 0;
}

bool CollectFilePG::CloseStream() {
    if (!stream_)
        return false;
    const bool failed = std::ferror(stream_.get()) != 0;
    return stream_.close() == 0 && !failed;
}

} // namespace PGUlo
