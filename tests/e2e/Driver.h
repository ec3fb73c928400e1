// Drives a setup package as a user would: starts it as its own process, finds its windows, reads their
// texts, styles and visibility, and presses their buttons with posted messages (a sent one would block
// while a handler shows a modal box).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace qbtest
{
struct Control
{
    HWND hwnd;
    int id;
    std::string className;
    std::string text;
    LONG style;
    bool visible;
    RECT rect; // on the screen
};

// The children of a window, in their order (which is a dialog's tab order).
std::vector<Control> Children(HWND parent);
const Control* FindControl(const std::vector<Control>& controls, int id);
std::string WindowText(HWND hwnd);

// A message box as the user sees it.
struct MessageBoxView
{
    HWND hwnd = nullptr;
    std::string text;
    std::vector<int> buttons; // visible buttons' ids (IDOK, IDCANCEL, IDYES...)
    int defaultButton = 0;    // the one Enter presses
    HICON icon = nullptr;     // compare with LoadIcon(NULL, IDI_...)

    explicit operator bool() const { return hwnd != nullptr; }
    void Press(int id) const;
};

class InstallerRun
{
public:
    // Starts exe with the given arguments (already quoted as needed).
    explicit InstallerRun(const std::string& exe, const std::string& arguments = "");

    // The main dialog once it is visible, or nullptr after timeoutMs.
    HWND Dialog(DWORD timeoutMs = 15000);
    // A visible box captioned with the application title, or an empty view after timeoutMs.
    MessageBoxView WaitForMessageBox(DWORD timeoutMs = 15000);
    // The visible top-level dialog of this process captioned exactly so.
    HWND WaitForWindow(const std::string& caption, DWORD timeoutMs = 15000);
    // Every visible top-level dialog of this process captioned so, right now.
    std::vector<HWND> WindowsCaptioned(const std::string& caption);
    // Whether a visible top-level window of this process has this caption right now.
    bool HasWindow(const std::string& caption);

    // Leaves through Cancel and a Yes to the exit question; false when the run did not end so.
    bool LeaveAnsweringYes(HWND dialog);

    bool WaitForExit(DWORD timeoutMs = 20000) { return process_.Wait(timeoutMs); }
    // As WaitForExit, for a run that must show nothing: a window it shows fails the test at once, and
    // the run is ended rather than left waiting for an answer.
    bool WaitForExitShowingNothing(DWORD timeoutMs = 20000);
    // The caption and text of a visible window of this process, or "" when it shows none.
    std::string ShownWindow();
    DWORD ExitCode() const { return process_.ExitCode(); }
    bool Running() { return !process_.Wait(0); }

    // The system's save dialog, opened by "Browse...".
    HWND WaitForSaveDialog(DWORD timeoutMs = 15000) { return WaitForWindow("Save", timeoutMs); }
    // Types a full path as the file name and presses Save.
    void ChooseFile(HWND saveDialog, const std::string& path);

    void Click(HWND dialog, int id);            // the button's BN_CLICKED, as a mouse click gives
    void Key(HWND window, UINT virtualKey);     // a key press through the dialog manager
    void SysCommand(HWND window, UINT command); // a window-menu command
    const std::string& Title() const { return title_; }

private:
    std::string title_;
    ChildProcess process_;
};

// Runs a package unattended to its end and gives its exit status; STILL_ACTIVE (259) when it had to be
// stopped because it did not end by itself or showed a window (which fails the test).
DWORD RunToEnd(const std::string& exe, const std::string& arguments);

// Waits until predicate() is true or timeoutMs pass; returns its last value.
template <class Predicate> bool WaitUntil(Predicate predicate, DWORD timeoutMs = 15000)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        if (predicate())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
}
} // namespace qbtest
