#include "Compression.h"

#include <stdexcept>

Compression::Compression(Algorithm algorithm, int level) : algorithm_(algorithm), level_(level) {}

Compression Compression::Parse(const std::string& text) {
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    if (colon == std::string::npos) {
        if (name == "zstd")
            return Compression(Algorithm::Zstd, kZstdDefaultLevel);
        if (name == "lz4" || name == "none")
            return Compression(AlgorithmNamed(name), 0);
    } else if (name == "zstd") {
        const std::string level = text.substr(colon + 1);
        if (!level.empty() && level.size() <= 2 &&
            level.find_first_not_of("0123456789") == std::string::npos) {
            const int value = std::stoi(level);
            if (value >= 1 && value <= kZstdMaxLevel)
                return Compression(Algorithm::Zstd, value);
        }
        throw std::invalid_argument("the zstd level in '" + text + "' must be a number from 1 to " +
                                    std::to_string(kZstdMaxLevel));
    }
    throw std::invalid_argument("'" + text + "' is not a compression: use zstd[:LEVEL], lz4 or none");
}

Compression::Algorithm Compression::AlgorithmNamed(const std::string& name) {
    for (Algorithm a : {Algorithm::None, Algorithm::Zstd, Algorithm::Lz4}) {
        if (name == NameOf(a))
            return a;
    }
    throw std::invalid_argument("unknown compression '" + name + "'");
}

const char* Compression::NameOf(Algorithm algorithm) {
    switch (algorithm) {
    case Algorithm::Zstd:
        return "zstd";
    case Algorithm::Lz4:
        return "lz4";
    case Algorithm::None:
        break;
    }
    return "none";
}

std::string Compression::Text() const {
    if (algorithm_ == Algorithm::Zstd)
        return "zstd:" + std::to_string(level_);
    return NameOf(algorithm_);
}

const char* Compression::Suffix() const {
    switch (algorithm_) {
    case Algorithm::Zstd:
        return ".zst";
    case Algorithm::Lz4:
        return ".lz4";
    case Algorithm::None:
        break;
    }
    return "";
}
