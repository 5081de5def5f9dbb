#pragma once

#include "pgulo/host/HostExport.h"

#include <string>
#include <vector>

class PGULO_HOST_API FXString {
public:
    static std::string Format(const char* format, ...) PGULO_PRINTF(1, 2);
    // Splits at every occurrence of the separator; empty pieces are kept.
    static std::vector<std::string> Split(const std::string& text, const std::string& separator);
    static std::string Trim(const std::string& text, const std::string& characters = " \t\r\n");
    static std::string ToString(long long value);
};
