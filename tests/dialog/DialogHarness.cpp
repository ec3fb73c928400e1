#include "DialogHarness.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace qbtest
{
namespace
{
struct Search
{
    std::string caption;
    HWND found;
};

BOOL CALLBACK MatchOwnWindow(HWND hwnd, LPARAM lParam)
{
    auto* search = (Search*)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char caption[256] = "", className[32] = "";
    GetWindowTextA(hwnd, caption, sizeof caption);
    GetClassNameA(hwnd, className, sizeof className);
    // An empty caption searched for stands for any dialog.
    if (pid == GetCurrentProcessId() && IsWindowVisible(hwnd) &&
        (search->caption == caption || (search->caption.empty() && std::string(className) == "#32770")))
    {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}
} // namespace

CWinApp& TestApp()
{
    static CWinApp app("dialog_tests");
    return app;
}

HWND FindOwnWindow(const std::string& caption, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        Search search{caption, nullptr};
        EnumWindows(MatchOwnWindow, (LPARAM)&search);
        if (search.found != nullptr || GetTickCount() - start > timeoutMs)
            return search.found;
        Sleep(20);
    }
}

std::string MessageText(HWND box)
{
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    {
        char className[32] = "", buffer[1024] = "";
        GetClassNameA(child, className, sizeof className);
        GetWindowTextA(child, buffer, sizeof buffer);
        if (std::string(className) == "Static" && strlen(buffer) > text.size())
            text = buffer;
    }
    return text;
}

int RunDialog(CQuillbrookDlg& dlg, const std::function<void(HWND)>& script)
{
    CWinApp& app = TestApp();
    app.m_nExitCode = -1;
    app.m_pMainWnd = &dlg;

    if (dlg.m_bUnattended)
    {
        // Nothing to drive: an unattended run shows no window of its own. One it shows all the same fails
        // the test, and is cancelled as often as it comes, rather than left waiting for the time limit.
        std::atomic<bool> ended{false};
        std::string shown;
        std::thread watcher([&] {
            while (!ended)
                if (HWND box = FindOwnWindow("", 20))
                {
                    char caption[256] = "";
                    GetWindowTextA(box, caption, sizeof caption);
                    if (shown.empty())
                        shown = "\"" + std::string(caption) + "\": " + MessageText(box);
                    PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
                    Sleep(20);
                }
        });
        dlg.DoModal();
        ended = true;
        watcher.join();
        EXPECT_EQ("", shown) << "an unattended run showed a window";
        app.m_pMainWnd = nullptr;
        return app.m_nExitCode;
    }

    const DWORD mainThread = GetCurrentThreadId();
    std::thread driver([&] {
        HWND window = FindOwnWindow("Marlowen");
        if (window != nullptr)
            script(window);
        // Whatever the script left open ends here, so that the test cannot hang.
        if (IsWindow(window))
            PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
    });
    dlg.DoModal();
    driver.join();

    // A quit message that ended the loop is posted again for the next one; it is not wanted here.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
    {
    }
    app.m_pMainWnd = nullptr;
    return app.m_nExitCode;
}
} // namespace qbtest
