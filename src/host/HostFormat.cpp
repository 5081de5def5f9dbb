#include "HostFormat.h"

#include <cstdio>
#include <vector>

std::string HostFormat::vformat(const char* format, va_list args) {
    if (format == nullptr)
        return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0)
        return std::string();
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    va_copy(copy, args);
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    return std::string(big.data(), static_cast<size_t>(needed));
}
