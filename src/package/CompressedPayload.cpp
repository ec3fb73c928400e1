#include "package/CompressedPayload.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

FrameProblem CheckCompressedFrame(const void* pData, DWORD cbData, ULONGLONG cbDecoded)
{
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, pData, cbData) != 0 || header.frameType != ZSTD_frame)
        return FRAME_NOT_ZSTANDARD;
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
        return FRAME_NO_CONTENT_SIZE;
    if (header.windowSize > COMPRESSED_WINDOW_MAX)
        return FRAME_WINDOW_TOO_LARGE;
    if (header.dictID != 0)
        return FRAME_DICTIONARY;
    if (ZSTD_findFrameCompressedSize(pData, cbData) != cbData)
        return FRAME_NOT_ONE;
    if (header.frameContentSize != cbDecoded)
        return FRAME_SIZE_DIFFERS;
    return FRAME_USABLE;
}

const char* FrameProblemText(FrameProblem problem)
{
    switch (problem)
    {
    case FRAME_USABLE:
        return "one Zstandard frame the installer decodes";
    case FRAME_NOT_ZSTANDARD:
        return "not a Zstandard frame, or its header is damaged";
    case FRAME_NO_CONTENT_SIZE:
        return "a Zstandard frame that does not record the database's size";
    case FRAME_SIZE_DIFFERS:
        return "a Zstandard frame of another size than the integrity entry records";
    case FRAME_WINDOW_TOO_LARGE:
        return "a Zstandard frame whose window is larger than 8 MiB";
    case FRAME_DICTIONARY:
        return "a Zstandard frame that needs a dictionary";
    case FRAME_NOT_ONE:
        return "not exactly one Zstandard frame: cut short, or followed by other bytes";
    }
    return "";
}
