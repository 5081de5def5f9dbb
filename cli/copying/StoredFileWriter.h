#pragma once

#include "PieceChecksum.h"
#include "StoredEncoder.h"
#include "Storage.h"
#include "StoredForm.h"

#include <memory>

#include <cstdint>
#include <string>

// Writes one file in a stored form from bytes that arrive in pieces (a program's output),
// taking the size and checksum of the original as they pass: the counterpart of
// StoredFileReader. Not flushed; the caller syncs the storage once for all its files.
class StoredFileWriter {
public:
    struct Written {
        std::uint64_t size = 0;   // of the original
        std::uint64_t stored = 0; // of the stored form
        std::string checksum;     // of the original
    };

    // Creates (or replaces, once finished) the file of the storage. Throws
    // std::runtime_error.
    StoredFileWriter(Storage& storage, const std::string& path, const StoredForm& form);

    void Put(const char* data, std::size_t size);
    // Ends the stored form and commits the file.
    Written Finish();

private:
    void Write(const char* data, std::size_t size);
    void Flush();

    std::unique_ptr<StorageWriter> out_;
    StoredEncoder encoder_;
    PieceChecksum sum_;
    Written written_;
    std::string buffer_;
};
