// The integrity entry's bytes ("SUM" 142): a checksum over the payload and the six settings, stamped by the
// generator and checked by the installer before it touches anything (PackageIntegrity.h), so that a package
// damaged in transit is refused. For a compressed payload it also records what the payload decodes to, so
// that the installer knows the database's size and hash without decoding it. Plain code without exceptions,
// RTTI or library containers: the installer and the generator both compile it.
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

// The entries the checksum covers, in this order: MDB 129, REG 136, 137, 138, 139, 140, 141, then MDZ 129,
// which only version 2 covers.
constexpr int CHECKED_ENTRY_COUNT = 8;
extern const struct PackageEntryId
{
    const char* pszType;
    UINT nID;
} kCheckedPackageEntries[CHECKED_ENTRY_COUNT];
constexpr int COMPRESSED_PAYLOAD_ENTRY = 7; // MDZ 129's place in kCheckedPackageEntries

constexpr DWORD INTEGRITY_ENTRY_SIZE = 8;     // version 1, for a stored payload
constexpr DWORD INTEGRITY_ENTRY_V2_SIZE = 24; // version 2, for a compressed one

// What a compressed payload decodes to: the database's size, and its XXH64 (seed 0). A 64-bit hash, so that
// a file of the same size taken for this database by mistake is a chance of one in 2^64; the decoder's own
// hash, so that checking a file costs about as little as reading it.
struct DecodedPayload
{
    ULONGLONG cbSize;
    ULONGLONG ullHash;
};

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

// Version 1: CRC-32C over the version byte (1), then for each of the first seven entries in
// kCheckedPackageEntries order: its type name's ASCII bytes and one zero byte, its id as 2 bytes
// little-endian, one byte 1 (present) or 0 (absent), and when present its size as 4 bytes little-endian
// followed by its bytes.
// Version 2 (pDecoded given): the same over the version byte (2) and all eight entries, followed by the
// decoded size and hash, 8 bytes little-endian each.
DWORD PackageChecksum(const PackageEntryView aEntries[CHECKED_ENTRY_COUNT],
                      const DecodedPayload* pDecoded = NULL);

// The entry to stamp, and its size: for a stored payload (pDecoded NULL) the 8 bytes 'Q','B','I', version
// 1, then the checksum little-endian; for a compressed one 'Q','B','I', version 2, the checksum, then the
// decoded size and hash as the checksum covers them.
DWORD MakeIntegrityEntry(const PackageEntryView aEntries[CHECKED_ENTRY_COUNT], const DecodedPayload* pDecoded,
                         BYTE abEntry[INTEGRITY_ENTRY_V2_SIZE]);

// What an integrity entry (pEntry NULL when absent) says about the entries: INTEGRITY_UNSTAMPED for
// exactly the placeholder 'Q','B','I',0,0,0,0,0 (a package stamped by a tool that does not know the entry)
// over a package without a compressed payload; INTEGRITY_MATCHES for a version-1 entry whose checksum
// matches a package without a compressed payload, or a version-2 entry whose checksum matches a package
// with a compressed payload and no stored one (*pDecoded, when given, then receives what it decodes to);
// INTEGRITY_MISMATCH for anything else: absent, wrong size, unknown version, wrong checksum, a payload that
// the version does not cover, or both payloads.
IntegrityState CheckIntegrityEntry(const void* pEntry, DWORD cbEntry,
                                   const PackageEntryView aEntries[CHECKED_ENTRY_COUNT],
                                   DecodedPayload* pDecoded = NULL);

// The decoded size and hash that a version-2 entry records; FALSE for any other entry. Whether they match
// the package is CheckIntegrityEntry's to say.
BOOL ReadDecodedPayload(const void* pEntry, DWORD cbEntry, DecodedPayload* pDecoded);
