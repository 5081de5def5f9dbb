#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

// Stored passwords. encrypt() seals a clear password with the host key (created in
// <home>/secret.key, mode 0600, on first use) and gives printable text; decrypt()
// opens it. Clear text never reaches a file.
class PGULO_HOST_API KXPassword {
public:
    explicit KXPassword(int mode = 0);

    // In: *length is the buffer's size. Out: the clear text, NUL-terminated, and its length.
    // Returns 0 for a wrong key, a damaged text or a buffer too small; nothing is written
    // beyond the buffer. An empty stored text is an instance without a password: it opens to
    // the empty text.
    int decrypt(const std::string& stored, char* buffer, int* length) const;
    // Empty on failure (no key could be made).
    std::string encrypt(const std::string& clear) const;

private:
    int mode_;
};
