#include "Decompressor.h"

#include "DamagedStream.h"

#include <lz4frame.h>
#include <zstd.h>

#include <stdexcept>
#include <string>

namespace {

constexpr std::size_t kLz4Output = 64 << 10;

[[noreturn]] void Damaged(const char* algorithm, const char* why) {
    throw DamagedStream(std::string("the ") + algorithm + " data is damaged (" + why + ")");
}

} // namespace

struct Decompressor::Zstd {
    struct Free {
        void operator()(ZSTD_DCtx* c) const noexcept { ZSTD_freeDCtx(c); }
    };
    std::unique_ptr<ZSTD_DCtx, Free> context{ZSTD_createDCtx()};
};

struct Decompressor::Lz4 {
    struct Free {
        void operator()(LZ4F_dctx* c) const noexcept { LZ4F_freeDecompressionContext(c); }
    };
    std::unique_ptr<LZ4F_dctx, Free> context;
};

Decompressor::Decompressor(Compression::Algorithm algorithm) {
    switch (algorithm) {
    case Compression::Algorithm::Zstd:
        zstd_ = std::make_unique<Zstd>();
        if (!zstd_->context)
            throw std::bad_alloc();
        // A damaged or forged frame must not make us reserve a window of gigabytes.
        ZSTD_DCtx_setParameter(zstd_->context.get(), ZSTD_d_windowLogMax,
                               Compression::kZstdWindowLogMax);
        buffer_.resize(ZSTD_DStreamOutSize());
        break;
    case Compression::Algorithm::Lz4: {
        lz4_ = std::make_unique<Lz4>();
        LZ4F_dctx* context = nullptr;
        if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION)))
            throw std::bad_alloc();
        lz4_->context.reset(context);
        buffer_.resize(kLz4Output);
        break;
    }
    case Compression::Algorithm::None:
        break;
    }
}

Decompressor::~Decompressor() = default;

void Decompressor::Put(const char* data, std::size_t size, const ByteSink& out) {
    if (!zstd_ && !lz4_) {
        if (size > 0)
            out(data, size);
        return;
    }
    if (size > 0) {
        frameOpen_ = true;
        sawFrame_ = true;
    }
    if (zstd_) {
        ZSTD_inBuffer in{data, size, 0};
        // Until the input is used up and the output buffer comes back short of full: the
        // decoder may still hold bytes of the input it took.
        for (;;) {
            ZSTD_outBuffer o{buffer_.data(), buffer_.size(), 0};
            const std::size_t before = in.pos;
            const std::size_t rc = ZSTD_decompressStream(zstd_->context.get(), &o, &in);
            if (ZSTD_isError(rc))
                Damaged("zstd", ZSTD_getErrorName(rc));
            // A call that moved nothing answers for the next frame, not for this one.
            if (o.pos > 0 || in.pos > before)
                frameOpen_ = rc != 0;
            if (o.pos > 0)
                out(buffer_.data(), o.pos);
            if (in.pos == in.size && o.pos < o.size)
                return;
        }
    }
    while (size > 0 || frameOpen_) {
        std::size_t produced = buffer_.size();
        std::size_t consumed = size;
        const std::size_t rc = LZ4F_decompress(lz4_->context.get(), buffer_.data(), &produced,
                                               data, &consumed, nullptr);
        if (LZ4F_isError(rc))
            Damaged("lz4", LZ4F_getErrorName(rc));
        if (produced > 0 || consumed > 0)
            frameOpen_ = rc != 0;
        if (produced > 0)
            out(buffer_.data(), produced);
        data += consumed;
        size -= consumed;
        if (size == 0 && produced < buffer_.size())
            break;
    }
}

void Decompressor::Reset() {
    if (zstd_)
        ZSTD_DCtx_reset(zstd_->context.get(), ZSTD_reset_session_only);
    if (lz4_)
        LZ4F_resetDecompressionContext(lz4_->context.get());
    frameOpen_ = false;
    sawFrame_ = false;
}

void Decompressor::Finish() {
    if (!zstd_ && !lz4_)
        return;
    if (!sawFrame_)
        Damaged(zstd_ ? "zstd" : "lz4", "the file is empty");
    if (frameOpen_)
        Damaged(zstd_ ? "zstd" : "lz4", "the file ends inside a frame: it was cut short");
    Reset();
}
