#pragma once

#include "Checksum.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The checksum of a backed-up file. Up to 64 MiB it is the file's SHA-256; a larger file is
// hashed in 64 MiB pieces and its checksum is the SHA-256 of the pieces' digests, one after
// the other. Pieces let several workers copy (and check) one large file at the same time,
// and the result does not depend on how the file was cut up among them.
class PieceChecksum {
public:
    static constexpr std::uint64_t kPieceSize = 64ull << 20;
    static constexpr const char* kAlgorithm = "sha256 (64 MiB pieces)";

    PieceChecksum();
    // Feeds bytes that follow each other; a piece ends every kPieceSize bytes, counted from
    // the first byte fed (which must start a piece of the file).
    void update(const void* data, std::size_t size);
    // The raw digests of the pieces that received bytes; with none, the digest of nothing
    // when emptyGivesOne.
    std::vector<std::string> finishPieces(bool emptyGivesOne);
    std::uint64_t bytes() const { return bytes_; }

    // The file's checksum from its pieces' digests, in order.
    static std::string Combine(const std::vector<std::string>& pieces);
    static std::string OfText(const std::string& text);

private:
    std::unique_ptr<Checksum> current_;
    std::uint64_t inPiece_ = 0;
    std::uint64_t bytes_ = 0;
    std::vector<std::string> pieces_;
};
