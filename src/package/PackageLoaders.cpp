// The two readers of the package's settings. They belong to the dialog class but use none of its state.
#include "dialog/QuillbrookDlg.h"
#include "package/PackageIds.h"
#include "platform/SystemCalls.h"

namespace
{
// The bytes of the "REG" entry nID in the running executable, or NULL when it is absent or unloadable.
const BYTE* FindSetting(UINT nID, DWORD* pcbSize)
{
    HRSRC hResInfo = sys.FindResourceA(NULL, MAKEINTRESOURCEA(nID), PACKAGE_SETTING_TYPE);
    if (hResInfo == NULL)
        return NULL;
    *pcbSize = sys.SizeofResource(NULL, hResInfo);
    HGLOBAL hResData = sys.LoadResource(NULL, hResInfo);
    if (hResData == NULL)
        return NULL;
    return (const BYTE*)sys.LockResource(hResData);
}
} // namespace

CString CQuillbrookDlg::LoadPackageString(UINT nID)
{
    DWORD cbSize = 0;
    const wchar_t* pwch = (const wchar_t*)FindSetting(nID, &cbSize);
    if (pwch == NULL)
        return CString();

    // The text ends at its NUL; an entry that lacks one ends at its last whole code unit instead.
    const int cchMax = (int)(cbSize / sizeof(wchar_t));
    int cch = 0;
    while (cch < cchMax && pwch[cch] != L'\0')
        ++cch;
    return CString(pwch, cch);
}

int CQuillbrookDlg::LoadPackageFlag(UINT nID)
{
    DWORD cbSize = 0;
    const BYTE* pb = FindSetting(nID, &cbSize);
    if (pb == NULL)
        return (int)nID;

    // All 32 bits count; an entry shorter than four bytes counts the bytes it has.
    DWORD dwValue = 0;
    for (DWORD i = 0; i < cbSize && i < sizeof dwValue; i++)
        dwValue |= (DWORD)pb[i] << (8 * i);
    return dwValue != 0 ? 1 : 0;
}
