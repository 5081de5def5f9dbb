#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// The host registry: an INI file (<home>/registry.ini) of [Section] headers and
// key=value lines. A missing file, section or key means "not set". Lines starting
// with '#' or ';' are comments; blanks around keys and values are trimmed. Section and key
// names match without regard to case, as the host's registry always did.
class PGULO_HOST_API KXPlatformInfo {
public:
    KXPlatformInfo() = default;
    // Non-zero when the key exists; the value is filled then.
    int getString(const std::string& section, const std::string& key, std::string& value) const;
    // Non-zero when the key exists and holds a whole decimal number.
    int getNumber(const std::string& section, const std::string& key, long& value) const;

    // Host side: store a value (the file is rewritten atomically). True when stored.
    bool setString(const std::string& section, const std::string& key, const std::string& value);
    bool setNumber(const std::string& section, const std::string& key, long value);
};
