// A library that leaves a mark when its code runs: planted beside a program under the name of a system
// library, it shows whether the program loaded it. The mark is a file beside it, named after it with
// ".loaded" appended.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*lpReserved*/)
{
    if (dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    char szMark[MAX_PATH + 16];
    DWORD cch = GetModuleFileNameA(hInstance, szMark, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return TRUE;
    lstrcpyA(szMark + cch, ".loaded");
    HANDLE hMark = CreateFileA(szMark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (hMark != INVALID_HANDLE_VALUE)
        CloseHandle(hMark);
    return TRUE;
}
