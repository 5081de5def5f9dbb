#include "PieceChecksum.h"

#include <algorithm>

PieceChecksum::PieceChecksum() : current_(std::make_unique<Checksum>()) {}

void PieceChecksum::update(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (inPiece_ == kPieceSize) {
            pieces_.push_back(current_->finishRaw());
            current_ = std::make_unique<Checksum>();
            inPiece_ = 0;
        }
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, kPieceSize - inPiece_));
        current_->update(bytes, take);
        inPiece_ += take;
        bytes_ += take;
        bytes += take;
        size -= take;
    }
}

std::vector<std::string> PieceChecksum::finishPieces(bool emptyGivesOne) {
    if (inPiece_ > 0 || (bytes_ == 0 && emptyGivesOne))
        pieces_.push_back(current_->finishRaw());
    return pieces_;
}

std::string PieceChecksum::Combine(const std::vector<std::string>& pieces) {
    if (pieces.size() == 1)
        return Checksum::Hex(pieces.front());
    Checksum sum;
    for (const auto& piece : pieces)
        sum.update(piece.data(), piece.size());
    return sum.finish();
}

std::string PieceChecksum::OfText(const std::string& text) {
    PieceChecksum sum;
    sum.update(text.data(), text.size());
    return Combine(sum.finishPieces(true));
}
