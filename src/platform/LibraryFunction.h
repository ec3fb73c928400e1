// Libraries beyond the few the executable imports (kernel32, user32, advapi32 and the C runtime, which
// the system always takes from its own folder) are loaded when a run first needs them, and only from
// the system folder. A setup package is typically started from a downloads folder, where anyone may
// have left a DLL named like a system library; a library looked for there would run its code with the
// user's rights, or an administrator's.
#pragma once

#include <windows.h>

// From now on, libraries this process loads by name (its own requests and those of the system's
// libraries) come from the system folder only. Called first thing in the process.
void AfxRestrictLibrarySearch();

// A system library, from the system folder, or NULL.
HMODULE AfxLoadSystemLibrary(const char* pszLibrary);

// A function of a system library that only some runs need, found when it is first wanted: the library
// already loaded is used, otherwise it is loaded from the system folder now. NULL when the library or
// the function is missing.
template <class T> T AfxLibraryFunction(const char* pszLibrary, const char* pszFunction)
{
    HMODULE hModule = GetModuleHandleA(pszLibrary);
    if (hModule == NULL)
        hModule = AfxLoadSystemLibrary(pszLibrary);
    return hModule ? (T)(void*)GetProcAddress(hModule, pszFunction) : NULL;
}
