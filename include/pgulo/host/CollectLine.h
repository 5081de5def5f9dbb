#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// One line of a collect file: a path with carriage return, line feed and '%' written as %0D,
// %0A and %25, so that any path is one line. The agent writes these lines and reads them back;
// hosts read them to know what to copy. The log backup writes some entries as they are, so
// decoding leaves any other percent sequence alone: those entries read back byte for byte.
class PGULO_HOST_API CollectLine {
public:
    // Appends the encoded path to line, without a line break.
    static void Append(std::string& line, const std::string& path);
    static std::string Encode(const std::string& path);
    static std::string Decode(const std::string& line);
};
