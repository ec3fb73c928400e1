// Keeps Wine's desktop process alive for a whole test session. Without a window of its own somewhere,
// the desktop ends a second after the last window closes and every windowed test pays for a new one.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HWND window =
        CreateWindowA("STATIC", "keep-desktop", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr)
        return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
