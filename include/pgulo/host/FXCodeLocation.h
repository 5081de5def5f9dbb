#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// Where an error value was made: source unit, function signature and line.
class PGULO_HOST_API FXCodeLocation {
public:
    FXCodeLocation(const char* file, const char* function, int line);
    std::string ToString() const;  // "file:line (function)"

    const std::string& file() const { return file_; }
    const std::string& function() const { return function_; }
    int line() const { return line_; }

private:
    std::string file_;
    std::string function_;
    int line_;
};

#define FX_CODE_LOCATION FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)
