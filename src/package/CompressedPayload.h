// A compressed payload ("MDZ" 129): the database as one standard Zstandard frame, made for a small decoder
// that writes it out as it decodes. The generator makes it so, and the installer refuses any other frame
// before it touches anything, as it refuses a damaged package; `zstd -d` gives the database back.
// Shared by the installer and the generator, in the plain style of IntegrityEntry.h.
#pragma once

#include <windows.h>

// The most history the decoder keeps: its memory stays flat whatever the database's size.
constexpr int COMPRESSED_WINDOW_LOG_MAX = 23;
constexpr ULONGLONG COMPRESSED_WINDOW_MAX = 1ull << COMPRESSED_WINDOW_LOG_MAX;

enum FrameProblem
{
    FRAME_USABLE,
    FRAME_NOT_ZSTANDARD,    // no Zstandard frame header, or a damaged one
    FRAME_NO_CONTENT_SIZE,  // the frame does not record the decoded size
    FRAME_SIZE_DIFFERS,     // it records another size than the integrity entry
    FRAME_WINDOW_TOO_LARGE, // it needs more history than COMPRESSED_WINDOW_MAX
    FRAME_DICTIONARY,       // it needs a dictionary that no package carries
    FRAME_NOT_ONE,          // cut short, or followed by more bytes than its own
};

// What is wrong with pData as the compressed payload of a database of cbDecoded bytes; FRAME_USABLE when
// nothing is. Reads the frame's header and its blocks' headers, not its contents.
FrameProblem CheckCompressedFrame(const void* pData, DWORD cbData, ULONGLONG cbDecoded);

// One line for the generator's --show: what the installer would make of the frame.
const char* FrameProblemText(FrameProblem problem);
