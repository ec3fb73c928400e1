#include "pack/Compress.h"
#include "pack/PackError.h"
#include "pack/Platform.h"
#include "package/CompressedPayload.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <memory>

namespace
{
// Measured on a price-list-shaped database of 64 MiB against makensis with solid LZMA (29 s, in one
// thread): level 18 made a package 1.17 x as large as LZMA's in 22 s, in one thread; these, level 18's but
// for the optimal parser pricing in whole bits instead of fractions (btopt, not btultra), a hash table half
// the size, shorter searches and longer matches taken at once, one 1.19 x as large in 15 s, and in 8 s on two
// processors. Set one by one, not as a level, so that they say what the frames are. The window is 8 MiB, the
// most the installer's decoder keeps, and less for a smaller database.
const struct
{
    ZSTD_cParameter parameter;
    int value;
    const char* name;
} kParameters[] = {
    {ZSTD_c_strategy, ZSTD_btopt, "strategy"},
    {ZSTD_c_windowLog, COMPRESSED_WINDOW_LOG_MAX, "window"},
    {ZSTD_c_chainLog, 23, "chain"},
    {ZSTD_c_hashLog, 21, "hash"},
    {ZSTD_c_searchLog, 5, "search"},
    {ZSTD_c_minMatch, 3, "shortest match"},
    {ZSTD_c_targetLength, 256, "target length"},
    {ZSTD_c_contentSizeFlag, 1, "content size"},
    // The integrity entry records a 64-bit hash of the database; the frame's own 32 bits would add nothing.
    {ZSTD_c_checksumFlag, 0, "checksum"},
    {ZSTD_c_dictIDFlag, 0, "dictionary id"},
};

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
    for (const auto& p : kParameters)
        Check(ZSTD_CCtx_setParameter(context.get(), p.parameter, p.value), p.name);
    // Always in worker threads, one for each processor the publisher's machine gives the process: the library
    // cuts such a frame into jobs by the database's size alone, so it is the same bytes whatever the number
    // of workers, whereas a frame made in the calling thread would differ. A library built without threads
    // refuses, rather than make other packages. A 32-bit generator keeps to four: each takes about 100 MiB
    // of its address space (its tables, a job of 32 MiB and the job's output) beside the database.
    const unsigned workers = sizeof(void*) == 4 ? std::min(UsableProcessors(), 4u) : UsableProcessors();
    Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, (int)workers), "worker threads");
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
    // The header's size is only a hint: a damaged one may claim gigabytes for a frame of a few bytes, more
    // than a 32-bit process could ever hold. Room is made for at most 256 MiB ahead; the rest as it comes.
    const unsigned long long recorded = ZSTD_getFrameContentSize(frame, size);
    const uint64_t kLimit = std::min<uint64_t>(4ull << 30, decoded.bytes.max_size());
    if (recorded < kLimit)
        decoded.bytes.reserve((size_t)std::min<uint64_t>(recorded, 256u << 20));
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
