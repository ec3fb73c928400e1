#include "LibraryFunction.h"

void AfxRestrictLibrarySearch()
{
    // Windows 8 and later, and Windows 7 with its security update for this, can be told once for the
    // whole process. Where that is missing, the current folder at least is taken out of the search.
    typedef BOOL(WINAPI * PFNSETDEFAULTDLLDIRECTORIES)(DWORD);
    auto pfnSetDefaultDllDirectories = (PFNSETDEFAULTDLLDIRECTORIES)(void*)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (pfnSetDefaultDllDirectories == NULL || !pfnSetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryA("");
}

HMODULE AfxLoadSystemLibrary(const char* pszLibrary)
{
    HMODULE hModule = LoadLibraryExA(pszLibrary, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (hModule != NULL || GetLastError() != ERROR_INVALID_PARAMETER)
        return hModule;

    // A system that does not know the flag: the library by its full path in the system folder.
    char szPath[MAX_PATH];
    UINT cch = GetSystemDirectoryA(szPath, MAX_PATH);
    if (cch == 0 || cch + 1 + (UINT)lstrlenA(pszLibrary) >= MAX_PATH)
        return NULL;
    lstrcatA(szPath, "\\");
    lstrcatA(szPath, pszLibrary);
    return LoadLibraryA(szPath);
}
