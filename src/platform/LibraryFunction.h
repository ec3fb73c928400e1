// A function of a system library that only some runs need, found when it is first wanted: the library
// already loaded is used, otherwise it is loaded now. NULL when the library or the function is missing.
#pragma once

#include <windows.h>

template <class T> T AfxLibraryFunction(const char* pszLibrary, const char* pszFunction)
{
    HMODULE hModule = GetModuleHandleA(pszLibrary);
    if (hModule == NULL)
        hModule = LoadLibraryA(pszLibrary);
    return hModule ? (T)(void*)GetProcAddress(hModule, pszFunction) : NULL;
}
