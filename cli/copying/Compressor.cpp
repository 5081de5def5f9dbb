#include "Compressor.h"

#include <lz4frame.h>
#include <zstd.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace {

// lz4 is fed this much at a time, so that its output buffer stays small.
constexpr std::size_t kLz4Step = 64 << 10;

void CheckZstd(std::size_t rc) {
    if (ZSTD_isError(rc))
        throw std::runtime_error(std::string("zstd compression failed: ") + ZSTD_getErrorName(rc));
}

std::size_t CheckLz4(std::size_t rc) {
    if (LZ4F_isError(rc))
        throw std::runtime_error(std::string("lz4 compression failed: ") + LZ4F_getErrorName(rc));
    return rc;
}

} // namespace

struct Compressor::Zstd {
    struct Free {
        void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
    };
    std::unique_ptr<ZSTD_CCtx, Free> context{ZSTD_createCCtx()};
};

struct Compressor::Lz4 {
    struct Free {
        void operator()(LZ4F_cctx* c) const noexcept { LZ4F_freeCompressionContext(c); }
    };
    std::unique_ptr<LZ4F_cctx, Free> context;
    LZ4F_preferences_t preferences{};
    bool begun = false;
};

Compressor::Compressor(Compression compression) : compression_(compression) {
    switch (compression_.algorithm()) {
    case Compression::Algorithm::Zstd:
        zstd_ = std::make_unique<Zstd>();
        if (!zstd_->context)
            throw std::bad_alloc();
        CheckZstd(ZSTD_CCtx_setParameter(zstd_->context.get(), ZSTD_c_compressionLevel,
                                         compression_.level()));
        buffer_.resize(ZSTD_CStreamOutSize());
        break;
    case Compression::Algorithm::Lz4: {
        lz4_ = std::make_unique<Lz4>();
        LZ4F_cctx* context = nullptr;
        CheckLz4(LZ4F_createCompressionContext(&context, LZ4F_VERSION));
        lz4_->context.reset(context);
        lz4_->preferences.frameInfo.blockSizeID = LZ4F_max64KB;
        buffer_.resize(std::max<std::size_t>(LZ4F_compressBound(kLz4Step, &lz4_->preferences),
                                             LZ4F_HEADER_SIZE_MAX));
        break;
    }
    case Compression::Algorithm::None:
        break;
    }
}

Compressor::~Compressor() = default;

void Compressor::Put(const char* data, std::size_t size, const ByteSink& out) {
    if (zstd_) {
        ZSTD_inBuffer in{data, size, 0};
        while (in.pos < in.size) {
            ZSTD_outBuffer o{buffer_.data(), buffer_.size(), 0};
            CheckZstd(ZSTD_compressStream2(zstd_->context.get(), &o, &in, ZSTD_e_continue));
            if (o.pos > 0)
                out(buffer_.data(), o.pos);
        }
        return;
    }
    if (!lz4_) {
        if (size > 0)
            out(data, size);
        return;
    }
    if (!lz4_->begun) {
        const std::size_t n = CheckLz4(LZ4F_compressBegin(lz4_->context.get(), buffer_.data(),
                                                          buffer_.size(), &lz4_->preferences));
        out(buffer_.data(), n);
        lz4_->begun = true;
    }
    while (size > 0) {
        const std::size_t step = std::min(size, kLz4Step);
        const std::size_t n = CheckLz4(LZ4F_compressUpdate(lz4_->context.get(), buffer_.data(),
                                                           buffer_.size(), data, step, nullptr));
        if (n > 0)
            out(buffer_.data(), n);
        data += step;
        size -= step;
    }
}

void Compressor::Finish(const ByteSink& out) {
    if (zstd_) {
        ZSTD_inBuffer in{nullptr, 0, 0};
        std::size_t left = 0;
        do {
            ZSTD_outBuffer o{buffer_.data(), buffer_.size(), 0};
            left = ZSTD_compressStream2(zstd_->context.get(), &o, &in, ZSTD_e_end);
            CheckZstd(left);
            if (o.pos > 0)
                out(buffer_.data(), o.pos);
        } while (left != 0);
        return;
    }
    if (!lz4_)
        return;
    if (!lz4_->begun)
        Put(nullptr, 0, out); // an empty file is still one whole frame
    const std::size_t n =
        CheckLz4(LZ4F_compressEnd(lz4_->context.get(), buffer_.data(), buffer_.size(), nullptr));
    out(buffer_.data(), n);
    lz4_->begun = false;
}

void Compressor::Reset() {
    if (zstd_)
        ZSTD_CCtx_reset(zstd_->context.get(), ZSTD_reset_session_only);
    if (lz4_)
        lz4_->begun = false;
}
