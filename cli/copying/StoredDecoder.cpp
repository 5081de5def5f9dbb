#include "StoredDecoder.h"

StoredDecoder::StoredDecoder(const StoredForm& form)
    : decompressor_(form.compression.algorithm()) {
    if (form.key)
        opener_ = std::make_unique<StreamOpener>(*form.key);
}

void StoredDecoder::Put(const char* data, std::size_t size, const ByteSink& out) {
    if (!opener_) {
        decompressor_.Put(data, size, out);
        return;
    }
    opener_->Put(data, size, [this, &out](const char* opened, std::size_t length) {
        decompressor_.Put(opened, length, out);
    });
}

void StoredDecoder::Finish(const ByteSink& out) {
    if (opener_)
        opener_->Finish([this, &out](const char* opened, std::size_t length) {
            decompressor_.Put(opened, length, out);
        });
    decompressor_.Finish();
}

void StoredDecoder::Reset() {
    decompressor_.Reset();
    if (opener_)
        opener_->Reset();
}
