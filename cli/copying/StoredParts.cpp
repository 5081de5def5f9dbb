#include "StoredParts.h"

#include <algorithm>

std::string StoredParts::Name(const std::string& stored, std::size_t part) {
    return part == 0 ? stored : stored + ".part" + std::to_string(part);
}

std::vector<std::string> StoredParts::Names(const std::string& stored, std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t k = 0; k < std::max<std::size_t>(count, 1); ++k)
        names.push_back(Name(stored, k));
    return names;
}

std::size_t StoredParts::Count(std::uint64_t size) {
    return static_cast<std::size_t>(std::max<std::uint64_t>(1, (size + kPartSize - 1) / kPartSize));
}
