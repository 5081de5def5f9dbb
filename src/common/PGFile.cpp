#include "common/PGFile.h"

#include <cstdlib>
#include <memory>
#include <sys/types.h>

bool PGFile::ReadLine(FILE* file, std::string& line) {
    line.clear();
    if (file == nullptr)
        return false;
    char* raw = nullptr;
    size_t capacity = 0;
    ssize_t length = ::getline(&raw, &capacity, file);
    // getline allocates even when it fails, so the buffer is owned before looking at length.
    std::unique_ptr<char, decltype(&std::free)> buffer(raw, &std::free);
    if (length < 0)
        return false;
    line.assign(buffer.get(), static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    }
    return true;
}
