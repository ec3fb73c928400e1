#include "pack/Compress.h"
#include "pack/PackError.h"
#include "package/CompressedPayload.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <xxhash.h>
#include <zstd.h>

#include <memory>

namespace
{
// Measured on price-list-shaped databases: the level that makes packages about as small as solid LZMA's in
// a fraction of its time. Its window is 8 MiB, the most the installer's decoder keeps, and less for a
// smaller database.
constexpr int kLevel = 18;

struct FreeCompressor
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct FreeDecompressor
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

void Check(size_t result, const char* what)
{
    if (ZSTD_isError(result))
        Fail(std::string("compressing the database: ") + what + ": " + ZSTD_getErrorName(result));
}
} // namespace

Bytes CompressDatabase(const uint8_t* data, size_t size)
{
    std::unique_ptr<ZSTD_CCtx, FreeCompressor> context(ZSTD_createCCtx());
    if (!context)
        throw std::bad_alloc();
    Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, kLevel), "level");
    Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, COMPRESSED_WINDOW_LOG_MAX), "window");
    Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1), "content size");
    // The integrity entry records a 64-bit hash of the database; the frame's own 32 bits would add nothing.
    Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0), "checksum");
    Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_dictIDFlag, 0), "dictionary id");
    Bytes frame(ZSTD_compressBound(size));
    const size_t written = ZSTD_compress2(context.get(), frame.data(), frame.size(), data, size);
    Check(written, "frame");
    frame.resize(written);
    return frame;
}

DecodedFrame DecodeFrame(const uint8_t* frame, size_t size)
{
    DecodedFrame decoded = {Bytes(), false};
    std::unique_ptr<ZSTD_DCtx, FreeDecompressor> context(ZSTD_createDCtx());
    if (!context)
        throw std::bad_alloc();
    // Any window: a frame the installer refuses for its window is still shown for what it holds.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX);
    const unsigned long long recorded = ZSTD_getFrameContentSize(frame, size);
    const uint64_t kLimit = 4ull << 30;
    if (recorded < kLimit)
        decoded.bytes.reserve((size_t)recorded);
    ZSTD_inBuffer input = {frame, size, 0};
    uint8_t piece[1 << 16];
    for (;;)
    {
        ZSTD_outBuffer output = {piece, sizeof piece, 0};
        const size_t hint = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(hint) || decoded.bytes.size() + output.pos > kLimit)
            return decoded;
        decoded.bytes.insert(decoded.bytes.end(), piece, piece + output.pos);
        if (hint == 0)
        {
            decoded.complete = input.pos == input.size;
            return decoded;
        }
        if (input.pos == input.size && output.pos < output.size)
            return decoded; // cut short
    }
}

uint64_t PayloadHash(const uint8_t* data, size_t size)
{
    return XXH64(data, size, 0);
}
