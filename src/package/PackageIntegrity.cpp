#include "package/PackageIntegrity.h"
#include "package/CompressedPayload.h"
#include "package/PackageIds.h"
#include "package/PackageResources.h"
#include "platform/MappedRead.h"

#include <stdint.h>

BOOL IsPackageIntact(BOOL* pbStamped)
{
    PackageEntryView aEntries[CHECKED_ENTRY_COUNT];
    bool bAllReadable = true;
    for (int i = 0; i < CHECKED_ENTRY_COUNT; i++)
    {
        const BYTE* pbData;
        DWORD cbData;
        PackageEntryLookup lookup = LookUpPackageEntry(kCheckedPackageEntries[i].pszType,
                                                       kCheckedPackageEntries[i].nID, &pbData, &cbData);
        aEntries[i] = PackageEntryView{lookup == PACKAGE_ENTRY_FOUND, pbData, cbData};
        bAllReadable = bAllReadable && lookup != PACKAGE_ENTRY_UNREADABLE;
    }

    const BYTE* pbEntry;
    DWORD cbEntry;
    LookUpPackageEntry(PACKAGE_INTEGRITY_TYPE, SUM_INTEGRITY, &pbEntry, &cbEntry);
    // The check reads every entry, most of them for the first time, and a compressed database's frame
    // headers: the span they lie in is read guarded.
    uintptr_t first = UINTPTR_MAX, end = 0;
    auto cover = [&](const void* p, DWORD cb) {
        first = p != NULL && (uintptr_t)p < first ? (uintptr_t)p : first;
        end = p != NULL && (uintptr_t)p + cb > end ? (uintptr_t)p + cb : end;
    };
    for (const PackageEntryView& entry : aEntries)
        cover(entry.pData, entry.cbData);
    cover(pbEntry, cbEntry);
    const PackageEntryView& compressed = aEntries[COMPRESSED_PAYLOAD_ENTRY];
    DecodedPayload decoded;
    IntegrityState state = INTEGRITY_MISMATCH;
    FrameProblem frame = FRAME_USABLE;
    if (!AfxReadMapped((const void*)first, end > first ? end - first : 0, [&] {
            state = CheckIntegrityEntry(pbEntry, cbEntry, aEntries, &decoded);
            if (state == INTEGRITY_MATCHES && compressed.bPresent)
                frame = CheckCompressedFrame(compressed.pData, compressed.cbData, decoded.cbSize);
        }))
        return FALSE;
    if (pbStamped != NULL)
        *pbStamped = state != INTEGRITY_UNSTAMPED;
    switch (state)
    {
    case INTEGRITY_UNSTAMPED:
        return TRUE;
    case INTEGRITY_MATCHES:
        // A frame the generator would not make is refused as a damaged package is: the decoder's memory
        // and the size the run reports depend on what its header says.
        return bAllReadable && frame == FRAME_USABLE;
    case INTEGRITY_MISMATCH:
        break;
    }
    return FALSE;
}

BOOL LoadDecodedPayload(DecodedPayload* pDecoded)
{
    const BYTE* pbEntry;
    DWORD cbEntry;
    BOOL bRead = FALSE;
    return LookUpPackageEntry(PACKAGE_INTEGRITY_TYPE, SUM_INTEGRITY, &pbEntry, &cbEntry) ==
               PACKAGE_ENTRY_FOUND &&
           AfxReadMapped(pbEntry, cbEntry, [&] { bRead = ReadDecodedPayload(pbEntry, cbEntry, pDecoded); }) &&
           bRead;
}
