#pragma once

#include "PieceChecksum.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A large file stored in a form other than plain (or into a storage without local files) is
// stored in parts, one per checksum piece, each a complete stored stream of its own: the
// parts can be written, resumed and read by different workers. Part 0 keeps the stored name;
// part k is the name with ".part<k>" (no file of a cluster has such a name).
class StoredParts {
public:
    static constexpr std::uint64_t kPartSize = PieceChecksum::kPieceSize;

    // The stored name of part k of a copy whose first part is stored.
    static std::string Name(const std::string& stored, std::size_t part);
    // The names of a copy's count parts (a copy in one stream has one).
    static std::vector<std::string> Names(const std::string& stored, std::size_t count);
    // How many parts a file of size bytes is cut into.
    static std::size_t Count(std::uint64_t size);
};
