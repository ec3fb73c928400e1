// The integrity entry ("SUM" 142): a checksum over the payload and the six settings, stamped by the
// generator and checked by the installer before it touches anything, so that a package damaged in transit
// is refused. Plain code without exceptions, RTTI or library containers: the installer and the generator
// both compile it.
#pragma once

#include <windows.h>

#include <stddef.h>

// One entry as found in a package: absent, or present with its bytes (cbData may be 0).
struct PackageEntryView
{
    BOOL bPresent;
    const void* pData;
    DWORD cbData;
};

// The seven entries the checksum covers, in this order: MDB 129, REG 136, 137, 138, 139, 140, 141.
extern const struct PackageEntryId
{
    const char* pszType;
    UINT nID;
} kCheckedPackageEntries[7];

constexpr DWORD INTEGRITY_ENTRY_SIZE = 8;

enum IntegrityState
{
    INTEGRITY_UNSTAMPED, // the fixed executable's placeholder: the package is installed unchecked
    INTEGRITY_MATCHES,
    INTEGRITY_MISMATCH,
};

// CRC-32C (Castagnoli), continuing from crc: pass 0 to start, or an earlier result to go on with more
// bytes. "123456789" gives 0xE3069283.
DWORD Crc32c(DWORD crc, const void* pData, size_t cbData);
// The same without the processor's crc32 instruction; Crc32c falls back to it where the processor lacks
// SSE4.2. Public for the tests and the benchmark.
DWORD Crc32cPortable(DWORD crc, const void* pData, size_t cbData);

// Version 1: CRC-32C over the version byte (1), then for each entry in kCheckedPackageEntries order: its
// type name's ASCII bytes and one zero byte, its id as 2 bytes little-endian, one byte 1 (present) or 0
// (absent), and when present its size as 4 bytes little-endian followed by its bytes.
DWORD PackageChecksum(const PackageEntryView aEntries[7]);

// The 8 bytes to stamp: 'Q','B','I', version 1, then the checksum little-endian.
void MakeIntegrityEntry(const PackageEntryView aEntries[7], BYTE abEntry[INTEGRITY_ENTRY_SIZE]);

// What an integrity entry (pEntry NULL when absent) says about the entries: INTEGRITY_UNSTAMPED for
// exactly the placeholder 'Q','B','I',0,0,0,0,0 (a package stamped by a tool that does not know the entry),
// INTEGRITY_MATCHES for a version-1 entry whose checksum matches, INTEGRITY_MISMATCH for anything else:
// absent, wrong size, unknown version, wrong checksum.
IntegrityState CheckIntegrityEntry(const void* pEntry, DWORD cbEntry, const PackageEntryView aEntries[7]);
