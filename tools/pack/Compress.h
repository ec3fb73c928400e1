// The compressed payload (package/CompressedPayload.h): made from the database, and read back.
#pragma once

#include "pack/PackageEntries.h"

// One Zstandard frame holding the database, with its size recorded and a window of at most 8 MiB. The same
// database always gives the same bytes, here and in the generator's other build, on any machine: the same
// library version and parameters, in worker threads whose number changes nothing.
Bytes CompressDatabase(const uint8_t* data, size_t size);

// What a frame decodes to, as far as it decodes: complete is false when the decoder stopped before the
// frame's end, on damaged or missing bytes, or on a database beyond 4 GiB.
struct DecodedFrame
{
    Bytes bytes;
    bool complete;
};
DecodedFrame DecodeFrame(const uint8_t* frame, size_t size);

// XXH64 with seed 0, as the integrity entry records it.
uint64_t PayloadHash(const uint8_t* data, size_t size);
