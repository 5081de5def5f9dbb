#pragma once

#include "ByteSink.h"
#include "Decompressor.h"
#include "StoredForm.h"
#include "StreamOpener.h"

#include <memory>

// Turns a stored file back into the original bytes: opened, then decompressed. Throws
// DamagedStream for stored bytes that were altered, cut short or sealed under another key.
class StoredDecoder {
public:
    explicit StoredDecoder(const StoredForm& form);

    void Put(const char* data, std::size_t size, const ByteSink& out);
    void Finish(const ByteSink& out);
    // Forgets the stream read so far.
    void Reset();

private:
    Decompressor decompressor_;
    std::unique_ptr<StreamOpener> opener_;
};
