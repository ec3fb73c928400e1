// The package's entries as the running executable carries them, found the way the loaders find them
// and checked before anything follows them: a package damaged on its way to the user can claim any
// address and size for an entry.
#pragma once

#include "package/PackageIntegrity.h"

#include <windows.h>

enum PackageEntryLookup
{
    PACKAGE_ENTRY_ABSENT,     // not in the package, or not loadable
    PACKAGE_ENTRY_FOUND,      // *ppData and *pcbSize give its bytes
    PACKAGE_ENTRY_UNREADABLE, // listed, but its bytes do not all lie in readable memory
};

PackageEntryLookup LookUpPackageEntry(const char* pszType, UINT nID, const BYTE** ppData, DWORD* pcbSize);

// FALSE when the package's integrity entry says that its payload or its settings are not what the
// generator stamped, or when the entry itself is missing or damaged. A package stamped by a tool that
// does not know the entry (it still carries the fixed executable's placeholder) counts as intact;
// *pbStamped (when given) tells it from one that matches its entry.
BOOL IsPackageIntact(BOOL* pbStamped = NULL);

// What the package's compressed payload decodes to, as its integrity entry records it; FALSE when the
// package carries no version-2 entry. The entry was checked with the package (IsPackageIntact).
BOOL LoadDecodedPayload(DecodedPayload* pDecoded);
