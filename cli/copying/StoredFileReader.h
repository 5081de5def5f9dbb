#pragma once

#include "StoredForm.h"

class Storage;

#include <cstdint>
#include <string>

// Reads one stored file back as the original, whole, and checks it against what the manifest
// says of it: for the files the host reads itself (labels, timeline histories) or hands to
// another program (dumps). Large sets of files go through the copy engine instead.
class StoredFileReader {
public:
    struct Expected {
        std::uint64_t size = 0;
        std::string checksum; // empty: not checked
    };

    // The original bytes. Throws std::runtime_error, naming the file, when it is missing,
    // does not decode, or differs from the expected size or checksum.
    static std::string ReadText(const std::string& path, const StoredForm& form,
                                const Expected& expected);
    // Reads the file (in parts: StoredParts) through and checks it as ReadText does, keeping
    // nothing.
    static void Check(const std::string& path, const StoredForm& form, const Expected& expected,
                      std::size_t parts = 1);
    // Writes the original bytes to target (mode 0600), checked as ReadText does; a target
    // left by a failure is removed.
    static void Extract(const std::string& path, const StoredForm& form, const Expected& expected,
                        const std::string& target);

    // The same for a file of a storage (streamed when it is not a local directory).
    static std::string ReadText(const Storage& storage, const std::string& path,
                                const StoredForm& form, const Expected& expected);
    static void Check(const Storage& storage, const std::string& path, const StoredForm& form,
                      const Expected& expected);
    static void Extract(const Storage& storage, const std::string& path, const StoredForm& form,
                        const Expected& expected, const std::string& target);
};
