#pragma once

#include "ByteSink.h"
#include "Compressor.h"
#include "StoredForm.h"
#include "StreamSealer.h"

#include <memory>

// Turns a file's original bytes into its stored form: compressed, then sealed. One stream
// after the other; one encoder per thread.
class StoredEncoder {
public:
    explicit StoredEncoder(const StoredForm& form);

    void Put(const char* data, std::size_t size, const ByteSink& out);
    void Finish(const ByteSink& out);
    // Drops a stream begun and not finished.
    void Reset();

    // The whole text in stored form.
    static std::string EncodeText(const StoredForm& form, const std::string& text);

private:
    ByteSink Sealing(const ByteSink& out);

    Compressor compressor_;
    std::unique_ptr<StreamSealer> sealer_;
};
