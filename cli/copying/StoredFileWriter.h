#pragma once

#include "PieceChecksum.h"
#include "StoredEncoder.h"
#include "StoredForm.h"

#include "pgulo/host/UniqueFd.h"

#include <cstdint>
#include <string>

// Writes one file in a stored form from bytes that arrive in pieces (a program's output),
// taking the size and checksum of the original as they pass: the counterpart of
// StoredFileReader. Not flushed; the caller flushes the file system once for all its files.
class StoredFileWriter {
public:
    struct Written {
        std::uint64_t size = 0;   // of the original
        std::uint64_t stored = 0; // of the stored form
        std::string checksum;     // of the original
    };

    // Creates (or replaces) the file, mode 0600. Throws std::runtime_error.
    StoredFileWriter(std::string path, const StoredForm& form);

    void Put(const char* data, std::size_t size);
    // Ends the stored form and closes the file.
    Written Finish();

private:
    void Write(const char* data, std::size_t size);
    void Flush();

    std::string path_;
    UniqueFd fd_;
    StoredEncoder encoder_;
    PieceChecksum sum_;
    Written written_;
    std::string buffer_;
};
