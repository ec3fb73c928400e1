#include "Driver.h"

#include <gtest/gtest.h>

namespace qbtest
{
namespace
{
std::string ClassName(HWND hwnd)
{
    char name[64] = "";
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

struct TopLevelSearch
{
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM lParam)
{
    auto* search = (TopLevelSearch*)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid && IsWindowVisible(hwnd) && ClassName(hwnd) == "#32770")
        search->found.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> VisibleDialogs(DWORD pid)
{
    TopLevelSearch search{pid, {}};
    EnumWindows(CollectTopLevel, (LPARAM)&search);
    return search.found;
}

std::string FileTitle(const std::string& path)
{
    std::string name = path.substr(path.find_last_of("\\/") + 1);
    return name.substr(0, name.rfind('.'));
}
} // namespace

std::string WindowText(HWND hwnd)
{
    // WM_GETTEXT crosses processes where GetWindowText of another process's control would not.
    char text[2048] = "";
    SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

std::vector<Control> Children(HWND parent)
{
    std::vector<Control> controls;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    {
        Control c;
        c.hwnd = child;
        c.id = GetDlgCtrlID(child);
        c.className = ClassName(child);
        c.text = WindowText(child);
        c.style = GetWindowLongA(child, GWL_STYLE);
        c.visible = IsWindowVisible(child) != FALSE;
        GetWindowRect(child, &c.rect);
        controls.push_back(c);
    }
    return controls;
}

const Control* FindControl(const std::vector<Control>& controls, int id)
{
    for (const Control& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

DWORD RunToEnd(const std::string& exe, const std::string& arguments)
{
    InstallerRun run(exe, arguments);
    return run.WaitForExitShowingNothing() ? run.ExitCode() : STILL_ACTIVE;
}

void MessageBoxView::Press(int id) const
{
    PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(hwnd, id));
}

InstallerRun::InstallerRun(const std::string& exe, const std::string& arguments)
    : title_(FileTitle(exe)), process_(Quote(exe) + (arguments.empty() ? "" : " " + arguments))
{
}

HWND InstallerRun::WaitForWindow(const std::string& caption, DWORD timeoutMs)
{
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (HWND hwnd : VisibleDialogs(process_.pid()))
                if (WindowText(hwnd) == caption)
                    result = hwnd;
            return result != nullptr;
        },
        timeoutMs);
    return result;
}

std::vector<HWND> InstallerRun::WindowsCaptioned(const std::string& caption)
{
    std::vector<HWND> windows;
    for (HWND hwnd : VisibleDialogs(process_.pid()))
        if (WindowText(hwnd) == caption)
            windows.push_back(hwnd);
    return windows;
}

std::string InstallerRun::ShownWindow()
{
    std::vector<HWND> shown = VisibleDialogs(process_.pid());
    if (shown.empty())
        return "";
    std::string text;
    for (const Control& c : Children(shown[0]))
        if (c.className == "Static" && c.text.size() > text.size())
            text = c.text;
    return "\"" + WindowText(shown[0]) + "\": " + text;
}

bool InstallerRun::WaitForExitShowingNothing(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!process_.Wait(20))
    {
        const std::string shown = ShownWindow();
        if (!shown.empty())
        {
            ADD_FAILURE() << "the run showed " << shown;
            process_.Kill();
            return false;
        }
        if (GetTickCount() - start > timeoutMs)
            return false;
    }
    return true;
}

bool InstallerRun::HasWindow(const std::string& caption)
{
    return WaitForWindow(caption, 0) != nullptr;
}

HWND InstallerRun::Dialog(DWORD timeoutMs)
{
    return WaitForWindow("Marlowen", timeoutMs);
}

MessageBoxView InstallerRun::WaitForMessageBox(DWORD timeoutMs)
{
    MessageBoxView view;
    view.hwnd = WaitForWindow(title_, timeoutMs);
    if (view.hwnd == nullptr)
        return view;
    // Let the box finish laying itself out before reading it.
    Sleep(50);
    for (const Control& c : Children(view.hwnd))
    {
        if (c.className == "Button" && c.visible)
        {
            view.buttons.push_back(c.id);
            if ((c.style & 0x0F) == BS_DEFPUSHBUTTON)
                view.defaultButton = c.id;
        }
        else if (c.className == "Static" && (c.style & SS_TYPEMASK) == SS_ICON)
        {
            view.icon = (HICON)SendMessageA(c.hwnd, STM_GETICON, 0, 0);
        }
        else if (c.className == "Static" && c.text.size() > view.text.size())
        {
            view.text = c.text;
        }
    }
    return view;
}

bool InstallerRun::LeaveAnsweringYes(HWND dialog)
{
    Click(dialog, IDCANCEL);
    MessageBoxView question = WaitForMessageBox();
    if (!question)
        return false;
    question.Press(IDYES);
    return WaitForExit();
}

void InstallerRun::ChooseFile(HWND saveDialog, const std::string& path)
{
    const int kFileNameEdit = 1152;
    SendMessageTimeoutA(GetDlgItem(saveDialog, kFileNameEdit), WM_SETTEXT, 0, (LPARAM)path.c_str(),
                        SMTO_ABORTIFHUNG, 5000, nullptr);
    Click(saveDialog, IDOK);
}

void InstallerRun::Click(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

void InstallerRun::Key(HWND window, UINT virtualKey)
{
    PostMessageA(window, WM_KEYDOWN, virtualKey, 1);
    PostMessageA(window, WM_KEYUP, virtualKey, 0xC0000001);
}

void InstallerRun::SysCommand(HWND window, UINT command)
{
    PostMessageA(window, WM_SYSCOMMAND, command, 0);
}
} // namespace qbtest
