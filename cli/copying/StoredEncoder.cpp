#include "StoredEncoder.h"

StoredEncoder::StoredEncoder(const StoredForm& form) : compressor_(form.compression) {
    if (form.key)
        sealer_ = std::make_unique<StreamSealer>(*form.key);
}

ByteSink StoredEncoder::Sealing(const ByteSink& out) {
    if (!sealer_)
        return out;
    return [this, &out](const char* data, std::size_t size) { sealer_->Put(data, size, out); };
}

void StoredEncoder::Put(const char* data, std::size_t size, const ByteSink& out) {
    compressor_.Put(data, size, Sealing(out));
}

void StoredEncoder::Finish(const ByteSink& out) {
    compressor_.Finish(Sealing(out));
    if (sealer_)
        sealer_->Finish(out);
}

void StoredEncoder::Reset() {
    compressor_.Reset();
    if (sealer_)
        sealer_->Reset();
}

std::string StoredEncoder::EncodeText(const StoredForm& form, const std::string& text) {
    std::string stored;
    const ByteSink append = [&stored](const char* data, std::size_t size) {
        stored.append(data, size);
    };
    StoredEncoder encoder(form);
    encoder.Put(text.data(), text.size(), append);
    encoder.Finish(append);
    return stored;
}
