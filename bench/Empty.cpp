// The cost of starting and ending a Windows process under Wine, with nothing in between: the baseline
// every installer pays before it does any work.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 0;
}
