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

    // Why a stored text opens or not, without handing out the clear text: 0 when it opens (the
    // empty text always does), ENOENT when there is no key file, EINVAL when the key file does
    // not hold a key, EBADMSG when the text is not a sealed password, EKEYREJECTED when the
    // key does not open it (the key or the text was altered), EIO when the cipher library
    // cannot start, or the errno of a key file that cannot be read.
    int check(const std::string& stored) const;
    // 0 when the key file holds a key; otherwise ENOENT, EINVAL or an errno as check() gives.
    static int checkKey();

private:
    int mode_;
};
