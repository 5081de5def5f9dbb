#pragma once

#include <cstdarg>
#include <string>

// printf-style formatting into a std::string, for the host library's own units.
class HostFormat {
public:
    static std::string vformat(const char* format, va_list args);
};
