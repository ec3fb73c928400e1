// Checks the benchmark's memory method: commits and writes the given number of MiB of private memory,
// holds it briefly, and exits. The measured peak must exceed an empty process's by that much.
#include <windows.h>

#include <stdlib.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR pszCmdLine, int)
{
    const SIZE_T cb = (SIZE_T)atoi(pszCmdLine) << 20;
    volatile BYTE* pb = (volatile BYTE*)VirtualAlloc(NULL, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (pb == NULL)
        return 1;
    for (SIZE_T i = 0; i < cb; i += 4096)
        pb[i] = 1;
    Sleep(20);
    return 0;
}
