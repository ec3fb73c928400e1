// The package's entries as the running executable carries them, found the way the loaders find them
// and checked before anything follows them: a package damaged on its way to the user can claim any
// address and size for an entry.
#pragma once

#include <windows.h>

enum PackageEntryLookup
{
    PACKAGE_ENTRY_ABSENT,     // not in the package, or not loadable
    PACKAGE_ENTRY_FOUND,      // *ppData and *pcbSize give its bytes
    PACKAGE_ENTRY_UNREADABLE, // listed, but its bytes do not all lie in readable memory
};

PackageEntryLookup LookUpPackageEntry(const char* pszType, UINT nID, const BYTE** ppData, DWORD* pcbSize);
