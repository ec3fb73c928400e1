// Writes a stamped package as a clean PE file.
//
// The system's resource update is trusted with the resource tree only: that is what the installer's
// FindResource reads, and the system knows its rules best. The file around it is laid out again here,
// because the update leaves it in a state that loads but that the standard tools (and Wine's loader,
// for the memory it uses) judge harshly: a stale checksum, a symbol-table pointer aiming into moved data,
// raw data off page boundaries when the base was not page-aligned, and whatever else another version of
// the system does differently.
#pragma once

#include "pack/PeImage.h"

#include <windows.h>

#include <string>

// `base` is the fixed executable and `stamped` a copy of it after the resource update. Refuses (with a
// PackError) an update that changed anything of the base but its resources. Writes to `out`, positioned at
// its start, a file where:
//   - every section's raw data starts on a 4096-byte boundary, in section-table order;
//   - the resource section is not writable;
//   - SizeOfImage, SizeOfInitializedData and SizeOfCode follow the resource section's new size;
//   - the data directories point where their sections now are, and the certificate entry is cleared (a
//     signature of the base cannot cover the package: sign the package itself);
//   - the base's COFF symbol and string tables, if any, follow the last section and are pointed to;
//   - CheckSum is the file's true checksum.
void WriteCleanImage(const PeImage& base, const PeImage& stamped, HANDLE out, const std::wstring& outPath);
