// The readers of the package's entries. The two loaders of settings belong to the dialog class but use
// none of its state.
#include "dialog/QuillbrookDlg.h"
#include "package/PackageIds.h"
#include "package/PackageResources.h"
#include "platform/MappedRead.h"
#include "platform/SystemCalls.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace
{
// TRUE when every byte of the range can be read.
bool IsReadable(const BYTE* pb, DWORD cb)
{
    const uintptr_t end = (uintptr_t)pb + cb;
    if (end < (uintptr_t)pb)
        return false;
    for (uintptr_t at = (uintptr_t)pb; at < end;)
    {
        MEMORY_BASIC_INFORMATION mbi;
        if (::VirtualQuery((const void*)at, &mbi, sizeof mbi) == 0 || mbi.State != MEM_COMMIT ||
            (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0)
            return false;
        at = (uintptr_t)mbi.BaseAddress + mbi.RegionSize;
    }
    return true;
}

// An entry's bytes, copied out of the mapped package: FALSE when they could not all be read.
bool CopyEntry(void* pTo, const BYTE* pbEntry, DWORD cb)
{
    return AfxReadMapped(pbEntry, cb, [&] { memcpy(pTo, pbEntry, cb); });
}
} // namespace

PackageEntryLookup LookUpPackageEntry(const char* pszType, UINT nID, const BYTE** ppData, DWORD* pcbSize)
{
    *ppData = NULL;
    *pcbSize = 0;
    HRSRC hResInfo = sys.FindResourceA(NULL, MAKEINTRESOURCEA(nID), pszType);
    if (hResInfo == NULL)
        return PACKAGE_ENTRY_ABSENT;
    const DWORD cbSize = sys.SizeofResource(NULL, hResInfo);
    HGLOBAL hResData = sys.LoadResource(NULL, hResInfo);
    const BYTE* pbData = hResData ? (const BYTE*)sys.LockResource(hResData) : NULL;
    if (pbData == NULL)
        return PACKAGE_ENTRY_ABSENT;
    if (!IsReadable(pbData, cbSize))
        return PACKAGE_ENTRY_UNREADABLE;
    *ppData = pbData;
    *pcbSize = cbSize;
    return PACKAGE_ENTRY_FOUND;
}

CString CQuillbrookDlg::LoadPackageString(UINT nID, BOOL* pbWhole)
{
    if (pbWhole != NULL)
        *pbWhole = TRUE;
    const BYTE* pbData;
    DWORD cbSize;
    if (LookUpPackageEntry(PACKAGE_SETTING_TYPE, nID, &pbData, &cbSize) != PACKAGE_ENTRY_FOUND)
        return CString();

    // The text ends at its NUL; an entry that lacks one ends at its last whole code unit instead. One whose
    // bytes cannot be read reads as absent.
    const int cchMax = (int)(cbSize / sizeof(wchar_t));
    wchar_t* pwch = (wchar_t*)malloc(((size_t)cchMax + 1) * sizeof(wchar_t));
    if (pwch == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    int cch = 0;
    if (CopyEntry(pwch, pbData, (DWORD)cchMax * sizeof(wchar_t)))
        while (cch < cchMax && pwch[cch] != L'\0')
            ++cch;
    CString strText;
    BOOL bWhole = strText.AssignWide(pwch, cch);
    free(pwch);
    if (pbWhole != NULL)
        *pbWhole = bWhole;
    return strText;
}

int CQuillbrookDlg::LoadPackageFlag(UINT nID)
{
    const BYTE* pb;
    DWORD cbSize;
    if (LookUpPackageEntry(PACKAGE_SETTING_TYPE, nID, &pb, &cbSize) != PACKAGE_ENTRY_FOUND)
        return (int)nID;

    // All 32 bits count; an entry shorter than four bytes counts the bytes it has.
    BYTE ab[4] = {};
    if (!CopyEntry(ab, pb, cbSize < sizeof ab ? cbSize : sizeof ab))
        return (int)nID;
    return ab[0] | ab[1] | ab[2] | ab[3] ? 1 : 0;
}
