#pragma once

#include "pgulo/host/UniqueFd.h"

#include <cstdint>
#include <string>
#include <vector>

namespace PGUlo {

// One collect file record: the collect file of one mounted file system. The stream is
// opened by the manager when the first entry is written to it.
class CollectFilePG {
public:
    // The device and the integer are accepted for the manager's sake and not kept: the manager
    // keys its records by device, and the index is always -1.
    CollectFilePG(std::uint64_t deviceId, std::string mountPoint, int unused = 0);

    const std::string& MountPoint() const { return mountPoint_; }
    const std::string& CollectFilePath() const { return collectFilePath_; }
    void SetCollectFilePath(std::string path) { collectFilePath_ = std::move(path); }

    std::FILE* Stream() const { return stream_.get(); }
    bool IsOpen() const { return static_cast<bool>(stream_); }
    void SetStream(UniqueFile stream) { stream_ = std::move(stream); }
    // Flushes what is buffered; false when anything written so far failed to reach the file.
    bool Flush();
    // Closes the stream; false when it was open and some data did not reach the file.
    bool CloseStream();

    // Bytes written to the stream since it was opened: its position.
    long long Offset() const { return offset_; }
    void AddToOffset(long long bytes) { offset_ += bytes; }

    std::uint64_t Count() const { return count_; }
    const std::vector<std::uint64_t>& Numbers() const { return numbers_; }
    int Index() const { return index_; }

private:
    std::string mountPoint_;
    std::string collectFilePath_;
    UniqueFile stream_;
    std::uint64_t count_ = 0;
    std::vector<std::uint64_t> numbers_;
    int index_ = -1;
    long long offset_ = 0;
};

} // namespace PGUlo
