#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// The host's own exception type. It deliberately does not derive from
// std::exception: guards catch it in a case of its own.
class PGULO_HOST_API KxException {
public:
    explicit KxException(std::string message) : message_(std::move(message)) {}
    const char* getMessage() const { return message_.c_str(); }

private:
    std::string message_;
};
